#!/usr/bin/python3
"""The built tool ($KIV_TOOL) on the cases of fixtures/, each run in a private mount namespace under
strace, which must see nothing written; notify on private buses with python3-dbusmock as both peers.
KIV_CASE=NAME runs one case; KIV_WRAP=valgrind... runs the tool under valgrind instead."""
import ctypes, json, os, re, shlex, shutil, subprocess, tempfile, unittest  # noqa: E401
from pathlib import Path

import dbus
import dbusmock

HERE = Path(__file__).resolve().parent
BOOTLIST, NOTIFY = HERE / 'fixtures' / 'bootlist', HERE / 'fixtures' / 'notify'
TOOL, QM_DIR = os.environ.get('KIV_TOOL', ''), os.environ.get('KIV_QM_DIR', '')
WRAP, ONLY = os.environ.get('KIV_WRAP', '').split(), os.environ.get('KIV_CASE')
VERSION = re.search(r'project\(\S+ VERSION (\S+)', (HERE.parent / 'CMakeLists.txt').read_text())[1]
CALLS = ('open,openat,openat2,creat,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,'
         'chmod,fchmod,fchmodat,truncate,ftruncate,link,linkat,symlink,symlinkat')
CALL, WRITE = re.compile(r'^\d+ +(\w+)\((.*)$', re.M), re.compile(r'\bO_(WRONLY|RDWR|CREAT|TRUNC)\b')
# Whether the kernel has Landlock: landlock_create_ruleset(NULL, 0, VERSION) gives its ABI.
LANDLOCK = ctypes.CDLL(None).syscall(444, None, 0, 1) > 0
NOTIFICATIONS = ('org.freedesktop.Notifications', '/org/freedesktop/Notifications',
                 'org.freedesktop.Notifications', 'Notify', 'susssasa{sv}i')
DAEMON = ('com.oxbrin.kivrecovery', '/com/oxbrin/kivrecovery', 'com.oxbrin.daemon.kivrecovery',
          'ClearRollbackAutoNotify', '')
PEERS = {'ok': ('', ''), 'text': ('s', 'ret = "not an id"'),
         'error': ('', 'raise dbus.exceptions.DBusException("read-only", name="kiv.Error")')}
NOTIFY_ARGS = ['Backup and Restore', 101, 'kiv-recovery', 'System Recovery', None, [], {}, 8000]
INI = ['[restore]', 'rollback_status=0', 'rollback_version=V2', 'rollback_before_version=V1']


def namespace(over, devices=(), setup=''):
    """The command that runs the rest of its command line in a private mount namespace, where each
    (TARGET, DIR) of over lays DIR over the folder TARGET (a read-only overlay: the rest stays
    visible) and each (NAME, MOUNTDIR, CONTENT) of devices is a tmpfs with the fake source
    /dev/kivtestNAME holding a copy of CONTENT; then setup runs. Nothing is seen outside."""
    q = shlex.quote
    script = ''.join(f'mount -t overlay overlay -o lowerdir={q(f"{d}:{t}")} {t}\n' for t, d in over)
    script += ''.join(f'mkdir -p {q(str(m))}\nmount -t tmpfs /dev/kivtest{n} {q(str(m))}\n'
                      f'cp -a {q(f"{c}/.")} {q(str(m))}\n' for n, m, c in devices)
    return ['unshare', '--mount', '--propagation', 'private', 'sh', '-ec',
            f'{script}{setup}\nexec "$@"', 'sh']


def signature(value):
    kind = {'String': 's', 'UInt32': 'u', 'Int32': 'i'}.get(type(value).__name__)
    return kind or ('a{%s}' if isinstance(value, dbus.Dictionary) else 'a%s') % value.signature


class EndToEnd(dbusmock.DBusTestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.start_session_bus()
        cls.start_system_bus()

    @classmethod
    def tearDownClass(cls):
        data = Path(cls.get_services_dir()).parent  # dbusmock's own tear-down leaves it behind
        super().tearDownClass()
        shutil.rmtree(data)

    def run_tool(self, tmp, args, over, devices=(), setup='', env=None, path=os.environ['PATH'],
                 stdout=subprocess.PIPE):
        """Runs the tool in a namespace; answers status, stdout and stderr after the trace check."""
        trace = tmp / 'trace'
        watch = WRAP or [shutil.which('strace'), '-f', '--seccomp-bpf', '-qq', '-o', trace,
                         '-e', 'trace=' + CALLS]
        # timeout kills its whole process group, so a hung tool is not left behind (status -9).
        command = [*namespace(over, [(n, tmp / 'mnt' / n, c) for n, c in devices], setup),
                   'timeout', '-s', 'KILL', '60', 'env', f'PATH={path}', *watch, TOOL, *args]
        base = {k: v for k, v in os.environ.items() if not k.startswith(('LC_', 'LANGUAGE', 'QT_'))
                } | {'LANG': 'C.UTF-8', 'QT_LOGGING_RULES': 'default.info=true', 'TMP': str(tmp)}
        process = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, text=True,
                                 env=base | (env or {}))
        out, err = process.stdout, process.stderr
        if process.returncode == 77:  # the setup found the system cannot show what the case tries
            self.skipTest(err)
        if not WRAP:  # the trace saw the run, and nothing that writes but the probe's attempts
            calls = CALL.findall(trace.read_text(errors='replace'))
            self.assertIn('libQt5Core', str(calls))
            self.assertEqual([c for c in calls if (not c[0].startswith('open') or WRITE.search(
                c[1])) and str(tmp / 'probe') not in c[1]], [])
            self.assertEqual([c for c in calls if 'never-open' in c[1]], [])  # a case's bait
        # valgrind does not know Landlock's calls (the tool then runs unrestricted) and says so
        return process.returncode, out or '', re.sub(r'(?m)^--\d+-- .*\n', '', err) if WRAP else err

    def check_bootlist(self, case, tmp):
        stage, probe = tmp / 'stage', tmp / 'probe'
        shutil.copytree(BOOTLIST / 'base', stage, symlinks=True)
        shutil.copytree(case, stage, symlinks=True, dirs_exist_ok=True)
        probe.mkdir()  # where the fake lsblk tries to write, which the sandbox must refuse
        for name in ('old', 'gone'):
            (probe / name).write_text(name)
        setup = stage / 'setup'
        status, out, err = self.run_tool(
            tmp, ['-a', 'bootlist'], [('/etc', stage / 'etc'), ('/root', stage / 'root')],
            [(d.name, d) for d in sorted((stage / 'devices').iterdir())],
            setup.read_text() if setup.exists() else '',
            {'KIV_FAKE': str(stage / 'cmd'), 'STAGE': str(stage)} |
            ({'KIV_PROBE': str(probe)} if LANDLOCK and not WRAP else {}), stage / 'bin')
        stderr = (stage / 'stderr').read_text() if (stage / 'stderr').exists() else ''
        self.assertEqual((status, err), (0, stderr))
        # Alone, so that unittest shows no diff where it would take too long (the huge store).
        self.assertEqual(out, (stage / 'expected.json').read_text())
        self.assertEqual(sorted((p.name, p.read_text()) for p in probe.iterdir()),
                         [('gone', 'gone'), ('old', 'old')])

    def peer(self, kind, names, system_bus):
        if kind == 'template':
            process, peer = self.spawn_server_template('notification_daemon',
                                                       stdout=subprocess.DEVNULL)
        else:
            process = self.spawn_server(*names[:3], system_bus=system_bus, stdout=subprocess.DEVNULL)
            peer = self.get_dbus(system_bus).get_object(*names[:2])
            peer.AddMethod('', names[3], names[4], *PEERS[kind], dbus_interface=dbusmock.MOCK_IFACE)
        self.addCleanup(lambda: (process.terminate(), process.wait()))
        return lambda: [list(args) for _, args in
                        peer.GetMethodCalls(names[3], dbus_interface=dbusmock.MOCK_IFACE)]

    def check_notify(self, row, tmp):
        session, daemon = row.get('session', 'template'), row.get('daemon', 'ok')
        notified = self.peer(session, NOTIFICATIONS, False) if session != 'none' else None
        cleared = self.peer(daemon, DAEMON, True) if daemon != 'none' else None
        shutil.copytree(QM_DIR, tmp / 'share' / 'kiv-recovery' / 'translations' / 'tool')
        (tmp / 'etc' / 'kiv-recovery').mkdir(parents=True)
        if row.get('ini', INI) is not None:
            (tmp / 'etc' / 'kiv-recovery' / 'kiv-recovery.ini').write_text(
                '\n'.join(row.get('ini', INI)) + '\n')
        with open('/dev/full', 'w') as full:
            status, out, err = self.run_tool(
                tmp, row.get('args', ['-a', 'notify']),
                [('/etc', tmp / 'etc'), ('/usr/share', tmp / 'share')], (), row.get('setup', ''),
                row.get('env'), stdout=full if row.get('full') else subprocess.PIPE)
        expected = row.get('stdout', '')
        expected = (NOTIFY / expected[1:]).read_text() if expected.startswith('@') else expected
        self.assertEqual((status, out, err.splitlines()), (row.get('status', 0), expected.replace(
            '{tool}', TOOL).replace('{version}', VERSION), row.get('stderr', [])))
        notify = row.get('notify') or 'body' in row and [*NOTIFY_ARGS[:4], row['body'], *NOTIFY_ARGS[5:]]
        if notified:  # the arguments as sent, and their types on the wire
            self.assertEqual([(c, ''.join(map(signature, c))) for c in notified()],
                             [(notify, NOTIFICATIONS[4])] if notify else [])
        if cleared:
            self.assertEqual(len(cleared()), 1 if row.get('cleared') else 0)

    def test_bootlist(self):
        if not LANDLOCK:
            with self.subTest('sandbox'):
                self.skipTest('the kernel has no Landlock, so no write of lsblk is tried')
        for line in (BOOTLIST / 'cases.txt').read_text().splitlines():
            name = line.split(' ')[0]
            if not line.startswith('#') and name == (ONLY or name):
                with self.subTest(name), tempfile.TemporaryDirectory(prefix='kiv-e2e-') as tmp:
                    self.check_bootlist(BOOTLIST / 'cases' / name, Path(tmp))

    def test_notify(self):
        for row in json.loads((NOTIFY / 'cases.json').read_text()):
            if row['name'] == (ONLY or row['name']):
                with self.subTest(row['name']), tempfile.TemporaryDirectory(prefix='kiv-e2e-') as t:
                    try:
                        self.check_notify(row, Path(t))
                    finally:
                        self.doCleanups()


if __name__ == '__main__':
    unittest.main(verbosity=2)
