#!/usr/bin/python3
"""Runs the built tool on private session and system buses, with python3-dbusmock as the
notification service and the recovery daemon, in a private mount namespace where /etc and
/usr/share show the case's files. Checks what each peer received, the signature of "Notify" on
the wire, the log lines, standard output and the exit status of each case in
fixtures/notify/cases.json."""

import json
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import dbus
import dbus.lowlevel
import dbusmock
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

TOOL = os.environ['KIV_TOOL']
QM_DIR = Path(os.environ['KIV_QM_DIR'])
HERE = Path(__file__).resolve().parent
FIXTURES = HERE / 'fixtures' / 'notify'
NOTIFICATIONS = ('org.freedesktop.Notifications', '/org/freedesktop/Notifications',
                 'org.freedesktop.Notifications')
DAEMON = ('com.oxbrin.kivrecovery', '/com/oxbrin/kivrecovery', 'com.oxbrin.daemon.kivrecovery')
CLEAR = 'ClearRollbackAutoNotify'
# What a mocked method does when called: its reply signature and its body.
PEERS = {
    'ok': ('', ''),
    'error': ('', 'raise dbus.exceptions.DBusException("the flag store is read-only", '
                  'name="com.oxbrin.daemon.kivrecovery.Error.ReadOnly")'),
    'text': ('s', 'ret = "not an id"'),
}
NOTIFY_ARGS = ['Backup and Restore', 101, 'kiv-recovery', 'System Recovery', None, [], {}, 8000]
DEFAULT_INI = ['[restore]', 'rollback_status=0', 'rollback_version=V2',
               'rollback_before_version=V1']
WIRE_SIGNATURE = 'susssasa{sv}i'
END_MARK = 'kiv.e2e.end'


class NotifyEndToEnd(dbusmock.DBusTestCase):
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

    def spawn(self, peer, names, method, in_sig, system_bus):
        """Starts a mocked peer; "template" is dbusmock's own notification daemon."""
        if peer == 'template':
            proc, obj = self.spawn_server_template('notification_daemon',
                                                   stdout=subprocess.DEVNULL)
        else:
            proc = self.spawn_server(*names, system_bus=system_bus, stdout=subprocess.DEVNULL)
            obj = self.get_dbus(system_bus).get_object(*names[:2])
            obj.AddMethod('', method, in_sig, *PEERS[peer], dbus_interface=dbusmock.MOCK_IFACE)
        self.addCleanup(lambda: (proc.terminate(), proc.wait()))
        return obj

    def run_tool(self, case, root):
        """Runs the tool in its namespace; returns its result and the signatures of "Notify"."""
        etc, share = root / 'etc', root / 'share' / 'kiv-recovery' / 'translations' / 'tool'
        etc.mkdir()
        share.mkdir(parents=True)
        for qm in QM_DIR.glob('*.qm'):
            (share / qm.name).symlink_to(qm)
        ini = case.get('ini', DEFAULT_INI)
        if ini is None:  # a whiteout hides any /etc/kiv-recovery of the host
            os.mknod(etc / 'kiv-recovery', stat.S_IFCHR, 0)
        else:
            (etc / 'kiv-recovery').mkdir()
            (etc / 'kiv-recovery' / 'kiv-recovery.ini').write_text('\n'.join(ini) + '\n')
        env = {k: v for k, v in os.environ.items() if not k.startswith(('LC_', 'LANGUAGE', 'QT_'))}
        # No logging rules of the user's or the host's may add or hide lines.
        env.update({'QT_LOGGING_RULES': 'default.info=true', 'LANG': 'C.UTF-8',
                    'XDG_CONFIG_HOME': str(root), 'XDG_CONFIG_DIRS': str(root)})
        env.update(case.get('env', {}))
        if case.get('session') == 'nobus':
            env['DBUS_SESSION_BUS_ADDRESS'] = f'unix:path={root}/no-such-socket'
        wire = self.monitor_session_bus()
        cmd = [HERE / 'nsrun.sh', '--over', '/etc', etc, '--over', '/usr/share', root / 'share',
               '--', TOOL, *case.get('args', ['-a', 'notify'])]
        result = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=120)
        # The bus hands messages to the monitor in order: once the mark arrives, all calls have.
        self.get_dbus().name_has_owner(END_MARK)
        deadline = time.monotonic() + 10
        while ('NameHasOwner', 's') not in wire and time.monotonic() < deadline:
            GLib.MainContext.default().iteration(False) or time.sleep(0.01)
        self.assertIn(('NameHasOwner', 's'), wire, 'the session bus monitor saw nothing')
        return result, [sig for member, sig in wire if member == 'Notify']

    def monitor_session_bus(self):
        """Collects (member, signature) of every "Notify" call as it went over the session bus."""
        wire = []
        monitor = dbus.bus.BusConnection(os.environ['DBUS_SESSION_BUS_ADDRESS'],
                                         mainloop=DBusGMainLoop())
        # A monitor must never answer: every message counts as handled.
        monitor.add_message_filter(lambda _, msg: wire.append(
            (msg.get_member(), msg.get_signature())) or dbus.lowlevel.HANDLER_RESULT_HANDLED)
        monitor.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus',
                              'org.freedesktop.DBus.Monitoring', 'BecomeMonitor', 'asu',
                              (["member='Notify'", f"arg0='{END_MARK}'"], 0))
        self.addCleanup(monitor.close)
        return wire

    def check(self, case):
        session, system = case.get('session', 'template'), case.get('daemon', 'ok')
        notifications = self.spawn(session, NOTIFICATIONS, 'Notify', WIRE_SIGNATURE, False) \
            if session in ('template', 'text') else None
        daemon = self.spawn(system, DAEMON, CLEAR, '', True) if system != 'none' else None
        with tempfile.TemporaryDirectory(prefix='kiv-e2e-') as tmp:
            result, signatures = self.run_tool(case, Path(tmp))

        stdout = case.get('stdout', '')
        if stdout.startswith('@'):
            stdout = (FIXTURES / stdout[1:]).read_text().replace('{tool}', TOOL)
        self.assertEqual(result.stdout, stdout)
        self.assertEqual(result.stderr.splitlines(), case.get('stderr', []))
        self.assertEqual(result.returncode, case.get('status', 0))

        expected = case.get('notify')
        if expected is None and 'body' in case:
            expected = NOTIFY_ARGS[:4] + [case['body']] + NOTIFY_ARGS[5:]
        self.assertEqual(signatures, [WIRE_SIGNATURE] if expected else [])
        if notifications is not None:
            calls = [list(args) for _, args in
                     notifications.GetMethodCalls('Notify', dbus_interface=dbusmock.MOCK_IFACE)]
            self.assertEqual(calls, [expected] if expected else [])
        if daemon is not None:
            calls = daemon.GetMethodCalls(CLEAR, dbus_interface=dbusmock.MOCK_IFACE)
            self.assertEqual(len(calls), 1 if case.get('cleared') else 0)

    def test_cases(self):
        cases = json.loads((FIXTURES / 'cases.json').read_text())
        self.assertGreater(len(cases), 0)
        for case in cases:
            with self.subTest(case['name']):
                try:
                    self.check(case)
                finally:
                    self.doCleanups()


if __name__ == '__main__':
    unittest.main(verbosity=2)
