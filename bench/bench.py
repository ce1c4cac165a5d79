#!/usr/bin/python3
"""Times kiv-recovery-tool with hyperfine on synthetic systems and prints one table.
Run as root: python3 bench/bench.py [BUILD_DIR] (without one it builds bench/build, Release).
The systems are made as the end-to-end tests make theirs: a fake /etc and one tmpfs per fake
device in a private mount namespace (e2e.namespace()), the tests' fake lsblk and uname first on
PATH, private buses with dbusmock as the peers. The script re-enters itself in the namespace."""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / 'tests'))
import e2e  # noqa: E402  the tests' namespace, D-Bus names and rollback configuration

ROOT = Path(__file__).resolve().parent.parent
TESTS = ROOT / 'tests'
FAKE = TESTS / 'fixtures' / 'bootlist' / 'base' / 'bin' / 'lsblk'
LOAD = '%.2f %.2f %.2f'
CONF = '/etc/kiv-recovery/kiv-recovery.ini'
ROOT_UUID = '5a1e0c7d-0000-4000-8000-000000000001'
DEVICES = {**{f'D{i:02}': 100 for i in range(16)}, 'S10000': 10000}
BOOTLIST = {'bootlist 100 snapshots': ['D00'], 'bootlist 10,000 snapshots': ['S10000'],
            'bootlist 2 devices': ['D00', 'D01'], 'bootlist 16 devices': list(DEVICES)[:16]}
UNBOOTABLE = 10  # every tenth snapshot failed (status 0) and is left out of the list


def uuid(name):
    return f'b4c0de00-0000-4000-8000-{name.encode().hex():0>12}'


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def make_system(work):
    """Writes the fake /etc, the fake programs' replies, PATH and one configuration per scenario;
    answers the command that mounts them with the devices in a private namespace."""
    write(work / 'etc' / 'kiv-recovery' / 'kiv-recovery.ini', '')  # each scenario binds its own
    write(work / 'etc' / 'fstab', f'UUID={ROOT_UUID}\t/\text4\terrors=remount-ro\t0\t1\n')
    write(work / 'fake' / 'lsblk --output MOUNTPOINT,UUID', f'MOUNTPOINT UUID\n/ {ROOT_UUID}\n')
    write(work / 'fake' / 'lsblk --output UUID,PATH', f'UUID PATH\n{ROOT_UUID} /dev/vda1\n'
          + ''.join(f'{uuid(d)} /dev/kivtest{d}\n' for d in DEVICES))
    write(work / 'fake' / 'uname -r', '6.1.0-27-amd64\n')
    (work / 'bin').mkdir()
    for name, target in (('lsblk', FAKE), ('uname', FAKE), ('cat', '/usr/bin/cat')):
        (work / 'bin' / name).symlink_to(target)
    for scenario, devices in BOOTLIST.items():
        uuids = [uuid(d) for d in devices]
        write(work / 'ini' / scenario, f'[backup]\ndevice_uuid={uuids[-1]}\n'
              f'history_device_uuid="{",".join(uuids[:-1])}"\n')
    (work / 'empty').mkdir()
    return e2e.namespace([('/etc', work / 'etc')],
                         [(name, work / 'mnt' / name, work / 'empty') for name in DEVICES])


def fill(mount, count, name):
    snapshots = mount / 'backup' / 'system' / 'snapshots'
    for i in range(count):
        write(snapshots / f'snap-{i:05}' / 'backup_info.json', json.dumps({
            'backupDevUUID': uuid(name), 'backupVersion': f'{name}-{i}', 'size': 8421376 + i,
            'status': 0 if i % UNBOOTABLE == UNBOOTABLE - 1 else 1,
            'time': '2026-11-30 10:00:00', 'versionDisplay': f'Snapshot {name}-{i}'}, indent=4))


def run(*args, **kw):
    return subprocess.run(args, check=True, text=True, **kw)


def measure(name, args, results, out):
    """hyperfine's figures and the median peak RSS of three runs, for one scenario."""
    report = out / (name.strip('-').replace(' ', '-').replace(',', '') + '.json')
    timed = subprocess.run(['hyperfine', '-N', '--warmup', '3', '--style', 'none', '--export-json',
                            report, f'--command-name={name}', ' '.join(args)], capture_output=True)
    if timed.returncode:  # its warnings about a loaded machine are left out of the table
        sys.exit(f'bench: {name}: hyperfine failed: {timed.stderr.decode()}')
    rss = [int(run('/usr/bin/time', '-f', '%M', *args, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE).stderr.split()[-1]) for _ in range(3)]
    results.append((name, json.loads(report.read_text())['results'][0], statistics.median(rss)))


def notify(work, tool, results, out):
    """Times notify on private buses, with the end-to-end tests' mocked peers."""
    write(work / 'notify.ini', '\n'.join(e2e.INI) + '\n')
    run('mount', '--bind', work / 'notify.ini', CONF)
    peers = e2e.EndToEnd('test_notify')
    e2e.EndToEnd.setUpClass()
    try:
        notified = peers.peer('template', e2e.NOTIFICATIONS, False)
        cleared = peers.peer('ok', e2e.DAEMON, True)
        run(tool, '-a', 'notify')
        calls = [len(notified()), len(cleared())]
        if calls != [1, 1]:
            sys.exit(f'bench: notify made {calls} calls to the notification service and daemon')
        measure('notify', [tool, '-a', 'notify'], results, out)
    finally:
        peers.doCleanups()
        e2e.EndToEnd.tearDownClass()


def inside(work, tool, out):
    for name, count in DEVICES.items():
        fill(work / 'mnt' / name, count, name)
    os.environ.update(PATH=f'{work / "bin"}:{os.environ["PATH"]}', KIV_FAKE=str(work / 'fake'),
                      LANG='C.UTF-8')
    results = []
    for scenario, devices in BOOTLIST.items():
        # Each binding covers the one before: the namespace drops them all at the end.
        run('mount', '--bind', work / 'ini' / scenario, CONF)
        listed = json.loads(run(tool, '-a', 'bootlist', capture_output=True).stdout)['version_list']
        expected = sum(DEVICES[d] - DEVICES[d] // UNBOOTABLE for d in devices)
        if len(listed) != expected:
            sys.exit(f'bench: {scenario}: {len(listed)} entries, {expected} expected')
        measure(scenario, [tool, '-a', 'bootlist'], results, out)
    notify(work, tool, results, out)
    measure('--version', [tool, '--version'], results, out)
    print('| scenario | mean ms | ± σ ms | median ms | min ms | user + system ms | runs '
          '| peak RSS MiB |\n|---|---:|---:|---:|---:|---:|---:|---:|')
    for name, r, rss in results:
        print(f'| {name} | {r["mean"] * 1e3:.1f} | {r["stddev"] * 1e3:.1f} | '
              f'{r["median"] * 1e3:.1f} | {r["min"] * 1e3:.1f} | '
              f'{(r["user"] + r["system"]) * 1e3:.1f} | {len(r["times"])} | {rss / 1024:.1f} |')


def main():
    if os.geteuid() != 0:
        sys.exit('bench: run as root (it mounts in a private mount namespace)')
    if sys.argv[1:2] == ['--inside']:
        return inside(Path(sys.argv[2]), sys.argv[3], Path(sys.argv[4]))
    if not shutil.which('hyperfine') or not os.path.exists('/usr/bin/time'):
        sys.exit('bench: apt-get install hyperfine time')
    build = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else ROOT / 'bench' / 'build'
    if len(sys.argv) == 1:
        run('cmake', '-S', ROOT, '-B', build, '-DCMAKE_BUILD_TYPE=Release', '-DBUILD_TESTING=OFF',
            stdout=subprocess.DEVNULL)
        run('cmake', '--build', build, f'-j{os.cpu_count()}', stdout=subprocess.DEVNULL)
    out = ROOT / 'bench' / 'build' / 'results'
    out.mkdir(parents=True, exist_ok=True)
    print(f'bench: {os.cpu_count()} cores, load {LOAD % os.getloadavg()}; hyperfine JSON in {out}',
          flush=True)
    with tempfile.TemporaryDirectory(prefix='kiv-bench-') as tmp:
        work = Path(tmp)
        # The distribution's python3, whatever comes first on PATH: it has python3-dbusmock.
        env = {k: v for k, v in os.environ.items() if not k.startswith(('LC_', 'QT_'))}
        inner = subprocess.run([*make_system(work), '/usr/bin/python3', __file__, '--inside',
                                work, build / 'kiv-recovery-tool', out], env=env)
    if inner.returncode:  # it has said why
        sys.exit(inner.returncode)
    print(f'bench: load {LOAD % os.getloadavg()} at the end')


if __name__ == '__main__':
    main()
