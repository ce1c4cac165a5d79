#!/usr/bin/python3
"""Runs kiv-recovery-tool on the built-in sample system and shows what it did.

bootlist: a private mount namespace stands in for the machine (tests/nsrun.sh), with two tmpfs
backup devices holding the sample snapshots. notify: a private session bus and a private system
bus, with python3-dbusmock as the notification server and the recovery daemon.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import dbus
import dbusmock

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, 'sample-system')
NSRUN = os.path.join(HERE, '..', 'tests', 'nsrun.sh')
TOOL = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, '..', 'build', 'kiv-recovery-tool'))


def run_in_sample(tmp, *args, env=None):
    mounts = []
    for name in ('A', 'B'):
        point = os.path.join(tmp, 'mnt', name)
        os.makedirs(point, exist_ok=True)
        mounts += ['--dev', '/dev/kivsample' + name, point, os.path.join(SAMPLE, 'devices', name)]
    env = dict(env or os.environ, PATH=os.path.join(SAMPLE, 'bin') + ':' + os.environ['PATH'])
    return subprocess.run([NSRUN, '--over', '/etc', os.path.join(SAMPLE, 'etc'), *mounts, '--', TOOL, *args],
                          env=env, capture_output=True, text=True, check=False)


class Buses(dbusmock.DBusTestCase):
    """Borrows dbusmock's bus handling outside a test run."""


def main():
    with tempfile.TemporaryDirectory() as tmp:
        print('$ kiv-recovery-tool -a bootlist   # on the sample system')
        result = run_in_sample(tmp, '-a', 'bootlist')
        print(result.stdout + result.stderr, end='')

        Buses.start_session_bus()
        Buses.start_system_bus()
        peers = []
        try:
            peers.append(Buses.spawn_server_template('notification_daemon', {}, stdout=subprocess.DEVNULL)[0])
            peers.append(Buses.spawn_server('com.oxbrin.kivrecovery', '/com/oxbrin/kivrecovery',
                                            'com.oxbrin.daemon.kivrecovery', system_bus=True,
                                            stdout=subprocess.DEVNULL))
            daemon = Buses.get_dbus(system_bus=True).get_object('com.oxbrin.kivrecovery', '/com/oxbrin/kivrecovery')
            daemon.AddMethod('com.oxbrin.daemon.kivrecovery', 'ClearRollbackAutoNotify', '', '', '',
                             dbus_interface=dbusmock.MOCK_IFACE)
            print('\n$ kiv-recovery-tool -a notify    # rollback_status=0, rollback_version=V25.12.1')
            result = run_in_sample(tmp, '-a', 'notify', env=dict(os.environ, QT_LOGGING_RULES='default.info=true'))
            print(result.stdout + result.stderr, end='')
            time.sleep(0.2)
            note = Buses.get_dbus().get_object('org.freedesktop.Notifications', '/org/freedesktop/Notifications')
            for _, method, args in note.GetCalls(dbus_interface=dbusmock.MOCK_IFACE):
                shown = ', '.join(repr(dbus_to_py(a)) for a in args)
                print('notification server received %s(%s)' % (method, shown))
            for _, method, _args in daemon.GetCalls(dbus_interface=dbusmock.MOCK_IFACE):
                print('recovery daemon received %s()' % method)
        finally:
            for peer in peers:
                peer.terminate()
                peer.wait()
            # dbusmock stops the buses but leaves its folder of bus configurations behind.
            datadir = dbusmock.DBusTestCase._DBusTestCase__datadir
            Buses.tearDownClass()
            shutil.rmtree(datadir, ignore_errors=True)
    return 0


def dbus_to_py(value):
    if isinstance(value, dbus.String):
        return str(value)
    if isinstance(value, (dbus.Int32, dbus.UInt32)):
        return int(value)
    if isinstance(value, dbus.Array):
        return [dbus_to_py(v) for v in value]
    if isinstance(value, dbus.Dictionary):
        return {str(k): dbus_to_py(v) for k, v in value.items()}
    return value


if __name__ == '__main__':
    sys.exit(main())
