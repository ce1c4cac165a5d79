#!/usr/bin/python3
"""Runs kiv-recovery-tool (the path given, else build/) on the built-in sample system with the test
suite's own parts: a private mount namespace whose /etc is the sample's and whose two backup devices
are tmpfs mounts, the fake lsblk and uname answering from sample-system/cmd/, and private buses
where python3-dbusmock plays the notification server and the recovery daemon."""
import os
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / 'examples' / 'sample-system'
TOOL = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / 'build' / 'kiv-recovery-tool'
os.environ['KIV_TOOL'] = str(TOOL.resolve())
os.environ['KIV_QM_DIR'] = str(TOOL.resolve().parent / 'translations')
sys.path.insert(0, str(ROOT / 'tests'))
import e2e  # noqa: E402


def plain(value):
    """A D-Bus value as the plain Python value it holds, for printing."""
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, dict):
        return dict(value)
    if isinstance(value, int):
        return int(value)
    return str(value)


def show(process):
    print(process.stdout + process.stderr, end='')


def main():
    tests = e2e.EndToEnd('test_notify')
    e2e.EndToEnd.setUpClass()
    over = [('/etc', SAMPLE / 'etc')]
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        fake = work / 'bin'
        fake.mkdir()
        (fake / 'lsblk').symlink_to(e2e.BOOTLIST / 'base' / 'bin' / 'lsblk')
        (fake / 'uname').symlink_to('lsblk')
        env = {'KIV_FAKE': str(SAMPLE / 'cmd'), 'PATH': f'{fake}:{os.environ["PATH"]}'}
        print('$ kiv-recovery-tool -a bootlist')
        devices = sorted((SAMPLE / 'devices').iterdir())
        show(tests.run_tool(work, ['-a', 'bootlist'], over, devices, env=env))
        notified = tests.peer('template', e2e.NOTIFICATIONS, False)
        cleared = tests.peer('ok', e2e.DAEMON, True)
        print('\n$ kiv-recovery-tool -a notify    # rollback_status=0 in the sample configuration')
        show(tests.run_tool(work, ['-a', 'notify'], over))
        call = [plain(arg) for arg in notified()[0]]
        print(f'the notification server received Notify{tuple(call)}')
        print(f'the recovery daemon received {len(cleared())} {e2e.DAEMON.method} call')
    tests.doCleanups()
    e2e.EndToEnd.tearDownClass()


if __name__ == '__main__':
    main()
