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
os.environ['KIV_QM_DIR'] = str(Path(os.environ['KIV_TOOL']).parent / 'translations')
sys.path.insert(0, str(ROOT / 'tests'))
import e2e  # noqa: E402



def plain(value):
    """A D-Bus value as the plain Python value it holds, for printing."""
    if isinstance(value, (list, dict)):
        return [plain(v) for v in value] if isinstance(value, list) else dict(value)
    return int(value) if isinstance(value, int) else str(value)


run = e2e.EndToEnd('test_notify')
e2e.EndToEnd.setUpClass()
with tempfile.TemporaryDirectory() as tmp:
    fake = Path(tmp) / 'bin'
    for folder in (fake, Path(tmp) / 'bootlist', Path(tmp) / 'notify'):
        folder.mkdir()
    for name in ('lsblk', 'uname'):
        (fake / name).symlink_to(e2e.BOOTLIST / 'base' / 'bin' / 'lsblk')
    print('$ kiv-recovery-tool -a bootlist')
    status, out, err = run.run_tool(
        Path(tmp) / 'bootlist', ['-a', 'bootlist'], [('/etc', SAMPLE / 'etc')],
        [(d.name, d) for d in sorted((SAMPLE / 'devices').iterdir())],
        env={'KIV_FAKE': str(SAMPLE / 'cmd')},
        path=f'{fake}:{os.environ["PATH"]}')
    print(out + err, end='')
    notified = run.peer('template', e2e.NOTIFICATIONS, False)
    cleared = run.peer('ok', e2e.DAEMON, True)
    print('\n$ kiv-recovery-tool -a notify    # rollback_status=0 in the sample configuration')
    status, out, err = run.run_tool(Path(tmp) / 'notify', ['-a', 'notify'],
                                    [('/etc', SAMPLE / 'etc')])
    print(out + err, end='')
    print(f'the notification server received Notify{tuple(plain(a) for a in notified()[0])}')
    print(f'the recovery daemon received {len(cleared())} {e2e.DAEMON[3]} call')
run.doCleanups()
e2e.EndToEnd.tearDownClass()
