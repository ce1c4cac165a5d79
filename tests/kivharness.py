"""How the end-to-end tests, the benchmark and the sample run kiv-recovery-tool on a made-up
system: a private mount namespace, the fake lsblk and uname, private buses with mocked peers."""
import contextlib
import os
import shlex
import shutil
import subprocess
from collections import namedtuple
from pathlib import Path

import dbusmock

BOOTLIST = Path(__file__).resolve().parent / 'fixtures' / 'bootlist'
FAKE = BOOTLIST / 'base' / 'bin' / 'lsblk'
# The host's locale and Qt settings, which would change what the tool prints.
UNSET = ('LC_', 'LANG', 'QT_')
# A configuration whose last rollback succeeded, so that notify makes both of its calls.
INI = ['[restore]', 'rollback_status=0', 'rollback_version=V2', 'rollback_before_version=V1']

Peer = namedtuple('Peer', 'service path interface method signature')
NOTIFICATIONS = Peer('org.freedesktop.Notifications', '/org/freedesktop/Notifications',
                     'org.freedesktop.Notifications', 'Notify', 'susssasa{sv}i')
DAEMON = Peer('com.oxbrin.kivrecovery', '/com/oxbrin/kivrecovery',
              'com.oxbrin.daemon.kivrecovery', 'ClearRollbackAutoNotify', '')
# How a mocked peer answers: its reply signature and the code of its method.
ANSWERS = {'ok': ('', ''), 'text': ('s', 'ret = "not an id"'),
           'error': ('', 'raise dbus.exceptions.DBusException("read-only", name="kiv.Error")')}


def namespace(over, devices=(), setup=''):
    """The command that runs the rest of its command line in a private mount namespace where each
    (TARGET, DIR) of over lays DIR read-only over TARGET and each folder of devices is copied to a
    tmpfs from /dev/kivtestNAME at $TMP/mnt/NAME, NAME being the folder's; then setup runs."""
    q = shlex.quote
    lines = []
    for target, folder in over:
        lines.append(f'mount -t overlay overlay -o lowerdir={q(f"{folder}:{target}")} {target}')
    for folder in devices:
        lines.append(f'mkdir -p "$TMP/mnt/{folder.name}"')
        lines.append(f'mount -t tmpfs /dev/kivtest{folder.name} "$TMP/mnt/{folder.name}"')
        lines.append(f'cp -a {q(f"{folder}/.")} "$TMP/mnt/{folder.name}"')
    lines.append(setup)
    lines.append('exec "$@"')
    return ['unshare', '--mount', '--propagation', 'private', 'sh', '-ec', '\n'.join(lines), 'sh']


def run(command, tmp, over, devices=(), setup='', env=None, stdout=subprocess.PIPE):
    """Runs command in a namespace(over, devices, setup), $TMP being tmp, the locale C.UTF-8."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith(UNSET)}
    environment.update(LANG='C.UTF-8', QT_LOGGING_RULES='default.info=true', TMP=str(tmp))
    environment.update(env or {})
    return subprocess.run([*namespace(over, devices, setup), *command], stdout=stdout,
                          stderr=subprocess.PIPE, text=True, env=environment)


def fake_programs(folder, replies):
    """Puts the fake lsblk (unless folder has one) and uname, answering from replies, first on
    the search path: answers the variables that do it."""
    folder.mkdir(exist_ok=True)
    if not (folder / 'lsblk').exists():
        (folder / 'lsblk').symlink_to(FAKE)
    (folder / 'uname').symlink_to('lsblk')
    return {'KIV_FAKE': str(replies), 'PATH': f'{folder}:{os.environ["PATH"]}'}


class Buses(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_session_bus()
        cls.start_system_bus()

    @classmethod
    def tearDownClass(cls):
        # dbusmock 0.28 (Debian 12) forgets its data folder in its own tear-down; 0.34 (Debian 13)
        # removes it there itself, so it may be gone already.
        data = Path(cls.get_services_dir()).parent
        super().tearDownClass()
        shutil.rmtree(data, ignore_errors=True)

    def peer(self, answer, peer, system_bus):
        """Starts a mocked peer; answers a function that lists the calls it received."""
        if answer == 'none':
            return None
        if answer == 'template':
            process, mock = self.spawn_server_template('notification_daemon',
                                                       stdout=subprocess.DEVNULL)
        else:
            process = self.spawn_server(peer.service, peer.path, peer.interface,
                                        system_bus=system_bus, stdout=subprocess.DEVNULL)
            mock = self.get_dbus(system_bus).get_object(peer.service, peer.path)
            mock.AddMethod('', peer.method, peer.signature, *ANSWERS[answer],
                           dbus_interface=dbusmock.MOCK_IFACE)
        self.addCleanup(process.wait)
        self.addCleanup(process.terminate)

        def calls():
            recorded = mock.GetMethodCalls(peer.method, dbus_interface=dbusmock.MOCK_IFACE)
            return [list(args) for _, args in recorded]
        return calls


@contextlib.contextmanager
def peers():
    """Private buses with both peers answering well; gives the functions listing their calls."""
    Buses.setUpClass()
    buses = Buses()
    try:
        yield buses.peer('template', NOTIFICATIONS, False), buses.peer('ok', DAEMON, True)
    finally:
        buses.doCleanups()
        Buses.tearDownClass()
