#!/usr/bin/python3
"""The built tool ($KIV_TOOL) on the cases of fixtures/, each in a private mount namespace, notify
on private buses with python3-dbusmock as both peers; strace must see nothing written.
KIV_CASE=NAME runs one case; KIV_WRAP="valgrind ..." runs the tool under valgrind, not strace."""
import json
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import dbus

import kivharness
from kivharness import BOOTLIST, DAEMON, NOTIFICATIONS

NOTIFY = Path(__file__).resolve().parent / 'fixtures' / 'notify'
TOOL = os.environ.get('KIV_TOOL', '')
QM_DIR = os.environ.get('KIV_QM_DIR', '')
WRAP = os.environ.get('KIV_WRAP', '').split()
ONLY = os.environ.get('KIV_CASE')

# The calls that write, create, rename, remove or change a file; an open counts when its flags
# would write.
TRACED = ('open,openat,openat2,creat,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,'
          'chmod,fchmod,fchmodat,truncate,ftruncate,link,linkat,symlink,symlinkat')
CALL = re.compile(r'^\d+ +(\w+)\((.*)$', re.M)
FAILED = re.compile(r' = -1 E\w+ \(')
WRITE_FLAG = re.compile(r'\bO_(WRONLY|RDWR|CREAT|TRUNC)\b')
# The user of a case that runs the tool without privileges.
NOBODY = 65534
# A setup that exits with this status finds that the system cannot show what its case tries.
SKIP = 77


def text(path):
    return path.read_text() if path.exists() else ''


def probe_state(probe):
    """The name, text, mode, owner and time of each file of the probe folder."""
    state = []
    for path in sorted(probe.iterdir()):
        info = path.stat()
        state.append((path.name, path.read_text(), info.st_mode, info.st_uid, info.st_mtime))
    return state


def signature(value):
    """The D-Bus type of a value that dbusmock recorded."""
    if isinstance(value, dbus.Dictionary):
        return 'a{' + value.signature + '}'
    if isinstance(value, dbus.Array):
        return 'a' + value.signature
    return {'String': 's', 'UInt32': 'u', 'Int32': 'i'}[type(value).__name__]


class EndToEnd(kivharness.Buses):
    maxDiff = None

    def run_tool(self, tmp, args, over, devices=(), setup='', env=None, stdout=subprocess.PIPE,
                 prefix=()):
        """Runs the tool in a namespace(over, devices, setup), after strace's own options and a
        wrapper in prefix, and checks what strace saw."""
        trace = tmp / 'trace'
        # -y names the file behind each descriptor, also one opened again through /proc. strace
        # injects faults only into the calls it traces.
        injected = re.findall(r'inject=(\w+)', ' '.join(prefix))
        watch = WRAP or ['strace', '-f', '-y', '--seccomp-bpf', '-qq', '-o', str(trace),
                         '-e', 'trace=' + ','.join([TRACED, *injected])]
        # timeout kills its whole process group, so a hung run leaves nothing behind.
        command = ['timeout', '-s', 'KILL', '60', *watch, *prefix, TOOL, *args]
        process = kivharness.run(command, tmp, over, devices, setup, env, stdout)
        if process.returncode == SKIP:
            self.skipTest(process.stderr)
        if WRAP:
            # valgrind's own notes, such as the Landlock calls it does not know
            process.stderr = re.sub(r'(?m)^--\d+-- .*\n', '', process.stderr)
        else:
            # A setup that failed never started the tool: its own words say why.
            self.assertTrue(trace.exists(), process.stderr)
            self.check_trace(trace.read_text(errors='replace'), tmp / 'probe')
        return process

    def check_trace(self, trace, probe):
        self.assertIn('libQt5Core', trace)
        for call, args in CALL.findall(trace):
            # a case's bait, such as a device node, which may be looked at but not opened
            if 'never-open' in args:
                self.assertRegex(args, r'O_PATH|= -1 EACCES')
            # A call that failed changed nothing; the probe's attempts on its folder must fail,
            # which its files show; a call traced to inject a fault into it is no write.
            if call not in TRACED.split(',') or str(probe) in args or FAILED.search(args):
                continue
            self.assertTrue(call.startswith('open'), (call, args))
            self.assertNotRegex(args, WRITE_FLAG)

    def check_bootlist(self, name, tmp, fault=''):
        """Runs the case name; a fault, a line of its faults file, gives strace options that make
        a step of the sandbox fail, the routes the probe then finds open and the warning."""
        stage = tmp / 'stage'
        shutil.copytree(BOOTLIST / 'base', stage, symlinks=True)
        shutil.copytree(BOOTLIST / 'cases' / name, stage, symlinks=True, dirs_exist_ok=True)
        env = kivharness.fake_programs(stage / 'bin', stage / 'cmd')
        env['STAGE'] = str(stage)
        # Where the fake lsblk tries to write, which the sandbox must refuse, also through a
        # descriptor the tool is given open.
        probe = tmp / 'probe'
        probe.mkdir()
        (probe / 'old').write_text('old')
        (probe / 'gone').write_text('gone')
        prefix = text(stage / 'strace').split()
        warning = ''
        if fault:
            options, env['KIV_PROBE_OPEN'], warning = fault.split('\t')
            prefix += options.split()
        user = 0
        if (stage / 'as-nobody').exists():
            # a user's run, held by Landlock and the whole filter: the probe's files are its own
            user = NOBODY
            prefix += ['setpriv', f'--reuid={NOBODY}', f'--regid={NOBODY}', '--clear-groups']
            tmp.chmod(0o755)
            for path in [probe, *probe.iterdir()]:
                os.chown(path, NOBODY, NOBODY)
        before = probe_state(probe)
        env['KIV_PROBE'] = str(probe)
        # a process beside the run, of its user, which it must neither signal nor change
        neighbour = subprocess.Popen(['sleep', '60'], user=user, group=user)
        self.addCleanup(neighbour.wait)
        self.addCleanup(neighbour.kill)
        env['KIV_PROBE_PID'] = str(neighbour.pid)
        env['KIV_HOST_IPC'] = os.readlink('/proc/self/ns/ipc')
        setup = f'exec 9>>{shlex.quote(str(probe / "old"))}\n{text(stage / "setup")}'
        over = [('/etc', stage / 'etc'), ('/root', stage / 'root')]
        devices = sorted((stage / 'devices').iterdir())
        process = self.run_tool(tmp, ['-a', 'bootlist'], over, devices, setup, env, prefix=prefix)
        self.assertEqual(process.returncode, 0, process.stderr)
        expected = f'{warning}\n' if warning else text(stage / 'stderr')
        self.assertEqual(process.stderr, expected)
        # Alone, so that unittest shows no diff where it would take long (6 MB entries).
        self.assertEqual(process.stdout, (stage / 'expected.json').read_text())
        self.assertEqual(probe_state(probe), before)

    def check_notify(self, row, tmp):
        notified = self.peer(row.get('session', 'template'), NOTIFICATIONS, False)
        cleared = self.peer(row.get('daemon', 'ok'), DAEMON, True)
        shutil.copytree(QM_DIR, tmp / 'share' / 'kiv-recovery' / 'translations' / 'tool')
        (tmp / 'etc' / 'kiv-recovery').mkdir(parents=True)
        ini = row.get('ini', kivharness.INI)
        if ini is not None:
            (tmp / 'etc' / 'kiv-recovery' / 'kiv-recovery.ini').write_text('\n'.join(ini))
        over = [('/etc', tmp / 'etc'), ('/usr/share', tmp / 'share')]
        stdout = subprocess.PIPE
        if row.get('closed'):
            # standard output whose reader has gone away
            reader, stdout = os.pipe()
            os.close(reader)
            self.addCleanup(os.close, stdout)
        args = row.get('args', ['-a', 'notify'])
        process = self.run_tool(tmp, args, over, (), row.get('setup', ''), row.get('env'), stdout)
        expected = (NOTIFY / row['stdout']).read_text() if 'stdout' in row else ''
        expected = expected.replace('{tool}', TOOL)
        self.assertEqual(process.returncode, row.get('status', 0))
        self.assertEqual(process.stdout or '', expected)
        self.assertEqual(process.stderr.splitlines(), row.get('stderr', []))
        if notified:
            calls = notified()
            self.assertEqual(calls, [row['notify']] if 'notify' in row else [])
            for call in calls:
                self.assertEqual(''.join(map(signature, call)), NOTIFICATIONS.signature)
        if cleared:
            self.assertEqual(len(cleared()), row.get('cleared', 0))

    def test_bootlist(self):
        for line in (BOOTLIST / 'cases.txt').read_text().splitlines():
            name = line.split(' ')[0]
            if line.startswith('#') or ONLY not in (None, name):
                continue
            faults = text(BOOTLIST / 'cases' / name / 'faults').splitlines()
            for fault in ['', *faults]:
                if fault.startswith('#'):
                    continue
                with self.subTest(name, fault=fault), \
                        tempfile.TemporaryDirectory(prefix='kiv-e2e-') as tmp:
                    try:
                        self.check_bootlist(name, Path(tmp), fault)
                    finally:
                        self.doCleanups()

    def test_notify(self):
        for row in json.loads((NOTIFY / 'cases.json').read_text()):
            if ONLY not in (None, row['name']):
                continue
            with self.subTest(row['name']), tempfile.TemporaryDirectory(prefix='kiv-e2e-') as tmp:
                try:
                    self.check_notify(row, Path(tmp))
                finally:
                    self.doCleanups()


if __name__ == '__main__':
    unittest.main(verbosity=2)
