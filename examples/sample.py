#!/usr/bin/python3
"""Runs kiv-recovery-tool (the path given, else build/) on the built-in sample system with the test
suite's own parts: a private mount namespace whose /etc is the sample's and whose two backup devices
are tmpfs mounts, the fake lsblk and uname answering from sample-system/cmd/, and private buses
where python3-dbusmock plays the notification server and the recovery daemon."""
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / 'examples' / 'sample-system'
TOOL = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / 'build' / 'kiv-recovery-tool'
sys.path.insert(0, str(ROOT / 'tests'))
import kivharness  # noqa: E402


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
    tool = [str(TOOL.resolve())]
    over = [('/etc', SAMPLE / 'etc')]
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        env = kivharness.fake_programs(work / 'bin', SAMPLE / 'cmd')
        print('$ kiv-recovery-tool -a bootlist')
        devices = sorted((SAMPLE / 'devices').iterdir())
        show(kivharness.run(tool + ['-a', 'bootlist'], work, over, devices, env=env))
        with kivharness.peers() as (notified, cleared):
            print('\n$ kiv-recovery-tool -a notify    # rollback_status=0 in the sample '
                  'configuration')
            show(kivharness.run(tool + ['-a', 'notify'], work, over))
            call = [plain(arg) for arg in notified()[0]]
            print(f'the notification server received Notify{tuple(call)}')
            print(f'the recovery daemon received {len(cleared())} '
                  f'{kivharness.DAEMON.method} call')


if __name__ == '__main__':
    main()
