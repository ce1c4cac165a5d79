#!/usr/bin/python3
"""Runs the built tool on private session and system buses, with python3-dbusmock as the
notification service and the recovery daemon, in a private mount namespace where /etc and
/usr/share show the case's files. Checks what each peer received, the signature of "Notify" on
the wire, the log lines, standard output and the exit status of each case in
fixtures/notify/cases.json."""

import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

import dbus
import dbus.lowlevel
import dbusmock
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

import nowrite

TOOL = os.environ['KIV_TOOL']
# A command the tool runs under instead of strace, such as valgrind (CTest's valgrind_notify).
WRAP = os.environ.get('KIV_WRAP', '').split()
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
    'silent': ('u', ''),  # gets asynchronous reply callbacks, and calls neither
    'blind': ('u', 'ret = 7'),  # answers the call, but "Introspect" is silent
}
# Peers left out: none at all, or the bus itself missing, never accepting, never reading.
NO_PEER = ('none', 'nobus', 'deaf', 'mute')
INTROSPECT = ('org.freedesktop.DBus.Introspectable', 'Introspect')
INI = '/etc/kiv-recovery/kiv-recovery.ini'
CASES = json.loads((FIXTURES / 'cases.json').read_text())
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
            out_sig, code = PEERS[peer] if isinstance(peer, str) else ('', 'raise dbus.exceptions.'
                f'DBusException({peer[1]!r}, name={peer[0]!r})')  # ["error.Name", "message"]
            obj.AddMethod('', method, in_sig, out_sig, code, dbus_interface=dbusmock.MOCK_IFACE)
            if peer in ('silent', 'blind'):  # a method that takes calls and answers none
                iface, member = (names[2], method) if peer == 'silent' else INTROSPECT
                if peer == 'blind':
                    obj.AddMethod(*INTROSPECT, '', 's', '', dbus_interface=dbusmock.MOCK_IFACE)
                hush = (f'self.methods[{iface!r}][{member!r}][3]'
                        '._dbus_async_callbacks = ("reply", "fail")')
                obj.AddMethod('', 'Hush', '', '', hush, dbus_interface=dbusmock.MOCK_IFACE)
                obj.Hush(dbus_interface=names[2])
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
            path = etc / 'kiv-recovery' / 'kiv-recovery.ini'
            if ini == 'dir':
                path.mkdir()
            else:  # a line, or [line, how many times]; "encoding": "latin-1" writes bytes
                lines = [ln for i in ini for ln in ([i] if isinstance(i, str) else [i[0]] * i[1])]
                path.write_bytes(('\n'.join(lines) + '\n').encode(case.get('encoding', 'utf-8')))
        env = {k: v for k, v in os.environ.items() if not k.startswith(('LC_', 'LANGUAGE', 'QT_'))}
        # No logging rules of the user's or the host's may add or hide lines.
        env.update({'QT_LOGGING_RULES': 'default.info=true', 'LANG': 'C.UTF-8',
                    'XDG_CONFIG_HOME': str(root), 'XDG_CONFIG_DIRS': str(root)})
        env.update(case.get('env', {}))
        env = {k: v for k, v in env.items() if v is not None}
        for key, bus in ('session', 'SESSION'), ('daemon', 'SYSTEM'):
            if case.get(key) in NO_PEER[1:]:
                env[f'DBUS_{bus}_BUS_ADDRESS'] = f'unix:path={root}/{key}-bus'
            if case.get(key) in ('deaf', 'mute'):
                sock = socket.create_server(f'{root}/{key}-bus', family=socket.AF_UNIX)
                self.addCleanup(sock.close)
                if case[key] == 'mute':
                    threading.Thread(target=lambda s=sock: self.addCleanup(s.accept()[0].close),
                                     daemon=True).start()
        wire = self.monitor_session_bus()
        trace = root / 'strace.log'
        cmd = [HERE / 'nsrun.sh', '--over', '/etc', etc, '--over', '/usr/share', root / 'share',
               *(['--readonly'] if case.get('readonly') else []), '--',
               *(nowrite.strace(trace) if case.get('strace') else WRAP), TOOL, *case.get('args', ['-a', 'notify'])]
        start = time.monotonic()
        result = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=120)
        low, high = case.get('seconds', [0, 120])  # how long the run may take
        self.assertTrue(low <= time.monotonic() - start <= high, time.monotonic() - start)
        if case.get('strace'):  # the configuration file read, and nothing written
            calls = nowrite.CALL.findall(trace.read_text())
            self.assertTrue([1 for c in calls if c[1].startswith(f'AT_FDCWD, "{INI}", O_RDONLY')])
            self.assertEqual(nowrite.changes(trace.read_text()), [])
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
            if session not in NO_PEER else None
        daemon = self.spawn(system, DAEMON, CLEAR, '', True) if system not in NO_PEER else None
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
        only, slow = os.environ.get('KIV_CASE'), os.environ.get('KIV_E2E_SLOW') == '1'
        cases = [c for c in CASES if (c['name'] == only if only else c.get('slow', False) == slow)]
        self.assertGreater(len(cases), 0)
        for case in cases:
            with self.subTest(case['name']):
                try:
                    self.check(case)
                finally:
                    self.doCleanups()


if __name__ == '__main__':
    if os.environ.get('KIV_E2E_SLOW') == '1' and not os.environ.get('KIV_CASE'):
        # The slow rows wait out time limits: all at once, each in a process with its own buses.
        runs = [subprocess.Popen([sys.executable, __file__], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, env=dict(os.environ, KIV_CASE=name))
                for name in [c['name'] for c in CASES if c.get('slow')]]
        sys.stdout.buffer.write(b''.join(run.communicate()[0] for run in runs))
        sys.exit(max(run.returncode for run in runs))
    unittest.main(verbosity=2)
