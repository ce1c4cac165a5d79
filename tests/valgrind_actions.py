"""Both actions, end to end, under valgrind: any memory error or definite leak fails the run.

The tool runs inside tests/nsrun.sh with the fixture in fixtures/valgrind/ (fake lsblk and uname,
an fstab, the configuration, one backup device with one snapshot), on private session and system
buses whose peers are python-dbusmock mocks. In the sanitizer build (KIV_NO_VALGRIND set), which
valgrind cannot run, the same runs go without it and ASan, UBSan and LSan do the watching.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

import dbus
import dbusmock

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, 'fixtures', 'valgrind')
VALGRIND = [] if os.environ.get('KIV_NO_VALGRIND') else [
    'valgrind', '--error-exitcode=99', '--leak-check=full', '--errors-for-leak-kinds=definite',
    '--show-leak-kinds=definite', '--suppressions=' + os.path.join(HERE, 'valgrind.supp'), '--quiet']


def run_tool(action, tmp):
    device = os.path.join(tmp, 'device')
    os.mkdir(device)
    env = dict(os.environ, PATH=os.path.join(FIXTURE, 'bin') + ':' + os.environ['PATH'],
               QT_LOGGING_RULES='default.info=true', LC_ALL='C.UTF-8', LANG='C.UTF-8')
    env.pop('QT_MESSAGE_PATTERN', None)
    command = [os.path.join(HERE, 'nsrun.sh'),
               '--over', '/etc', os.path.join(FIXTURE, 'etc'),
               '--dev', '/dev/kivtestA', device, os.path.join(FIXTURE, 'device'),
               '--'] + VALGRIND + [os.environ['KIV_TOOL'], '-a', action]
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)


class ValgrindActions(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_session_bus()
        cls.start_system_bus()

    @classmethod
    def tearDownClass(cls):
        # dbusmock stops the buses but forgets its folder of bus configurations.
        datadir = dbusmock.DBusTestCase._DBusTestCase__datadir
        super().tearDownClass()
        shutil.rmtree(datadir)

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def spawn(self, process):
        self.addCleanup(process.wait)
        self.addCleanup(process.terminate)

    def assertClean(self, result):
        # valgrind's own exit status is distinct from the tool's, so the two cannot be confused.
        self.assertNotEqual(result.returncode, 99, 'valgrind found errors:\n' + result.stderr)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_bootlist(self):
        result = run_tool('bootlist', self.tmp.name)
        self.assertClean(result)
        with open(os.path.join(FIXTURE, 'bootlist.out')) as expected:
            self.assertEqual(result.stdout, expected.read())

    def test_notify(self):
        notifier, notifications = self.spawn_server_template(
            'notification_daemon', stdout=subprocess.DEVNULL)
        self.spawn(notifier)
        notifications = dbus.Interface(notifications, dbusmock.MOCK_IFACE)
        daemon = self.spawn_server('com.oxbrin.kivrecovery', '/com/oxbrin/kivrecovery',
                                   'com.oxbrin.daemon.kivrecovery', system_bus=True,
                                   stdout=subprocess.DEVNULL)
        self.spawn(daemon)
        mock = dbus.Interface(self.get_dbus(True).get_object(
            'com.oxbrin.kivrecovery', '/com/oxbrin/kivrecovery'), dbusmock.MOCK_IFACE)
        mock.AddMethod('', 'ClearRollbackAutoNotify', '', '', '')

        result = run_tool('notify', self.tmp.name)
        self.assertClean(result)
        self.assertEqual(result.stdout, '')
        notified = notifications.GetMethodCalls('Notify')
        self.assertEqual(len(notified), 1)
        self.assertEqual(str(notified[0][1][4]), 'Your system is successfully rolled back to V23-1.')
        self.assertEqual(len(mock.GetMethodCalls('ClearRollbackAutoNotify')), 1)


if __name__ == '__main__':
    unittest.main()
