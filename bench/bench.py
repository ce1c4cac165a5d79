#!/usr/bin/python3
"""Measures kiv-recovery-tool on synthetic systems and prints the figures docs/performance.md
describes: per scenario the instructions of one run (callgrind), the peak RSS (/usr/bin/time,
median of 3) and the wall time (hyperfine) beside two baselines; one program start through the
tool beside a bare posix_spawnp (bench/spawn.c); the system calls per description (strace -c).
Run as root: python3 bench/bench.py [BUILD_DIR] (without one it builds bench/build, Release).
The systems (bench/systems.py) are run with the end-to-end tests' harness (tests/kivharness.py):
one tmpfs per fake device in a private mount namespace, where the script runs itself again."""
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

import systems
from systems import DESCRIBED, SNAPSHOTS, UNBOOTABLE, UNDESCRIBED, configuration, use

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / 'tests'))
import kivharness  # noqa: E402

# The tool may consider only the first this many snapshot folders of a device, by name.
FOLDERS = 65536
# counted: whether callgrind counts it (slow where the store is large); runs: hyperfine's, where
# a run takes seconds (checking the list has warmed it up), else at least 10 after 3 warm-up
# runs; target: the most milliseconds and MiB of peak RSS it may take (None: no bound).
Scenario = namedtuple('Scenario', 'name devices counted runs target', defaults=(None, None))
BOOTLIST = [
    Scenario('bootlist 2 devices x 500 snapshots', ['P0', 'P1'], True),
    Scenario('bootlist 100 snapshots', ['S100'], True),
    Scenario('bootlist 10,000 snapshots', ['S10000'], True),
    Scenario('bootlist 100,000 snapshots', ['S100000'], False),
    Scenario('bootlist 64 x 1 MB of control bytes', ['RAW'], False),
    Scenario('bootlist 8,000 links to one 1 MB non-bootable description', ['LINKS'], False, 3,
             (500, None)),
    Scenario('bootlist 1,000,000 empty snapshot folders', ['EMPTY'], False, 3, (3000, 32)),
]
BARE_QT = '/usr/lib/qt5/bin/qtpaths'
# The tool is run naming this many devices that lsblk does not list, so that it starts lsblk
# once for each and otherwise does the same: the difference in time is that of the starts. One
# at the least, so that uname is started at both counts (the tool skips it without a device).
STARTS = (1, 51)
LSBLK = ['lsblk', '--output', 'UUID,PATH']
# Rounds of the four runs (the tool and the bare starts, at each count), after one to warm up.
ROUNDS = 30


def run(*args, **kw):
    return subprocess.run(args, check=True, text=True, **kw)


def instructions(args):
    """The instructions callgrind counts for one run of the tool alone, its children left out.
    valgrind does not know openat2, so the tool walks its paths one component at a time there."""
    counted = run('valgrind', '--tool=callgrind', '--callgrind-out-file=/dev/null', *args,
                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return int(re.search(r'Collected : (\d+)', counted.stderr)[1])


def measure(name, args, out, counted=True, runs=None):
    """hyperfine's figures, the median peak RSS of three runs and the instruction count."""
    report = out / (re.sub(r'\W+', '-', name).strip('-') + '.json')
    repeat = ['--warmup', '3'] if runs is None else ['--warmup', '0', '--runs', str(runs)]
    timed = subprocess.run(['hyperfine', '-N', *repeat, '--style', 'none',
                            '--export-json', report, f'--command-name={name}', ' '.join(args)],
                           capture_output=True, text=True)
    if timed.returncode:
        sys.exit(f'bench: {name}: hyperfine failed: {timed.stderr}')
    rss = []
    for _ in range(3):
        timing = run('/usr/bin/time', '-f', '%M', *args, stdout=subprocess.DEVNULL,
                     stderr=subprocess.PIPE)
        rss.append(int(timing.stderr.split()[-1]))
    result = json.loads(report.read_text())['results'][0]
    result['rss'] = statistics.median(rss)
    result['instructions'] = instructions(args) if counted else None
    result['name'] = name
    return result


def check_bootlist(tool, scenario, names):
    """Checks the number of entries, and answers how many snapshot folders the tool considered:
    every one, or where it bounds a device, the first FOLDERS of it."""
    # Standard error is left alone: a device where the tool stops at a bound on what it reads
    # gets a warning line there.
    listed = run(tool, '-a', 'bootlist', capture_output=True).stdout
    entries = len(json.loads(listed)['version_list'])
    # The folders considered, by the number of entries they give.
    considered = {}
    for bound in (math.inf, FOLDERS):
        counts = [min(SNAPSHOTS.get(name, 0), bound) for name in names]
        considered[sum(count - count // UNBOOTABLE for count in counts)] = sum(counts)
    if names == ['RAW']:
        return None
    if entries not in considered:
        sys.exit(f'bench: {scenario}: {entries} entries, {" or ".join(map(str, considered))} '
                 f'expected')
    return considered[entries]


def notify(work, tool, out):
    """Measures notify on private buses, with the end-to-end tests' mocked peers."""
    use(work / 'notify.ini', '\n'.join(kivharness.INI) + '\n')
    with kivharness.peers() as (notified, cleared):
        run(tool, '-a', 'notify')
        calls = [len(notified()), len(cleared())]
        if calls != [1, 1]:
            sys.exit(f'bench: notify made {calls} calls to the notification service and daemon')
        return measure('notify', [tool, '-a', 'notify'], out)


def spawn_cost(work, tool):
    """The wall time of one more program start through the tool (spawnCmd) and through
    bench/spawn.c: per round, the difference between the runs at the two counts of STARTS over
    the difference in starts; then the median of the rounds. A round makes the four runs one
    after the other, backwards every other round, so that a change of load weighs on both."""
    current = use(work / 'ini' / 'unlisted', '')
    texts = {}
    commands = {}
    for count in STARTS:
        names = [f'U{i}' for i in range(count)]
        texts[count] = configuration(names)
        # Written in place: the binding holds the file, not its name.
        current.write_text(texts[count])
        check_bootlist(tool, f'{count} unlisted devices', names)
        commands['tool', count] = [tool, '-a', 'bootlist']
        commands['bare', count] = [work / 'spawn', str(count), *LSBLK]
    times = {job: [] for job in commands}
    jobs = list(commands)
    for turn in range(ROUNDS + 1):
        for kind, count in jobs if turn % 2 else jobs[::-1]:
            current.write_text(texts[count])
            start = time.perf_counter()
            run(*commands[kind, count], stdout=subprocess.DEVNULL)
            took = time.perf_counter() - start
            if turn > 0:
                times[kind, count].append(took)
    low, high = STARTS
    print(f'one more program start ({" ".join(LSBLK)}, the fake), from runs at {low} and '
          f'{high}, median of {ROUNDS} rounds:')
    print(f'| starts through | whole run at {low} ms | at {high} ms | per start ms |')
    print('|---|---:|---:|---:|')
    per_start = {}
    for kind, label in (('tool', 'spawnCmd (the tool)'), ('bare', 'posix_spawnp (spawn.c)')):
        pairs = zip(times[kind, low], times[kind, high])
        per_start[kind] = statistics.median((b - a) / (high - low) for a, b in pairs)
        whole = [statistics.median(times[kind, count]) * 1e3 for count in STARTS]
        print(f'| {label} | {whole[0]:.1f} | {whole[1]:.1f} | {per_start[kind] * 1e3:.3f} |')
    print(f'spawnCmd / bare start: {per_start["tool"] / per_start["bare"]:.2f}x '
          f'(target at most 1.10x)')


def system_calls(work, tool, name):
    """The system calls of a run over the device name, by call: strace -c -f, as the work is done
    in a child where the tool runs as root; the programs it starts make the same calls in every
    run, which the difference of two runs takes away."""
    use(work / 'ini' / name, configuration([name]))
    check_bootlist(tool, name, [name])
    summary = work / 'calls.txt'
    run('strace', '-f', '-c', '-U', 'name,calls', '-o', summary, tool, '-a', 'bootlist',
        stdout=subprocess.DEVNULL)
    counts = {}
    # The lines between the header's rule and the total's, of the native ABI's table: the
    # tool's probe of whether the kernel runs x32 gets a table of its own after it.
    for line in summary.read_text().splitlines()[2:]:
        if line.startswith('-'):
            break
        call, count = line.split()
        counts[call] = int(count)
    return counts


def calls_per_description(work, tool):
    many = system_calls(work, tool, DESCRIBED)
    none = system_calls(work, tool, UNDESCRIBED)
    return {call: (many.get(call, 0) - none.get(call, 0)) / SNAPSHOTS[DESCRIBED]
            for call in many.keys() | none.keys()}


def print_calls(work, tool):
    """The system calls per description on a tmpfs, then on the same remounted nodev."""
    mounts = {'tmpfs': calls_per_description(work, tool)}
    for name in (DESCRIBED, UNDESCRIBED):
        run('mount', '-o', 'remount,nodev', work / 'mnt' / name)
    mounts['nodev tmpfs'] = calls_per_description(work, tool)
    print(f'system calls per description: strace -c -f of a run over '
          f'{SNAPSHOTS[DESCRIBED]:,} descriptions less one over none:')
    print(f'| call | {" | ".join(mounts)} |')
    print('|---|---:|---:|')
    # A call whose count moves by a few in a run, such as the polls while a child runs, is
    # none per description.
    calls = {call for per in mounts.values() for call, n in per.items() if round(n, 3) != 0}
    for call in sorted(calls):
        print(f'| {call} | {" | ".join(f"{per.get(call, 0):.3f}" for per in mounts.values())} |')
    print(f'| total | {" | ".join(f"{sum(per.values()):.3f}" for per in mounts.values())} |')
    # The document goes out through stdio, one write a buffer of about 18 entries.
    reading = [sum(n for call, n in per.items() if call != 'write') for per in mounts.values()]
    print(f'| total but the document\'s writes | {" | ".join(f"{n:.3f}" for n in reading)} |')
    print('targets: at most 5 per description on tmpfs, at most 4 on nodev tmpfs')


def print_results(results):
    """The table, the figures per snapshot and those of the scenarios that have bounds."""
    print('| scenario | instructions M | peak RSS MiB | median ms | min ms | runs |')
    print('|---|---:|---:|---:|---:|---:|')
    for r in results:
        counted = '' if r['instructions'] is None else f'{r["instructions"] / 1e6:.1f}'
        print(f'| {r["name"]} | {counted} | {r["rss"] / 1024:.1f} | {r["median"] * 1e3:.1f} | '
              f'{r["min"] * 1e3:.1f} | {len(r["times"])} |')
    by_name = {r['name']: r for r in results}
    small = by_name['bootlist 100 snapshots']['instructions']
    large = by_name['bootlist 10,000 snapshots']['instructions']
    print(f'instructions per snapshot, 100 to 10,000: {(large - small) / 9900:,.0f}')
    small = by_name['bootlist 10,000 snapshots']
    large = by_name['bootlist 100,000 snapshots']
    # Per snapshot folder the tool considered: past a bound, it leaves the rest alone.
    per = (large['median'] - small['median']) / (large['snapshots'] - small['snapshots'])
    print(f'wall time per snapshot, {small["snapshots"]:,} to {large["snapshots"]:,}: '
          f'{per * 1e6:.1f} us')
    for scenario in BOOTLIST:
        if scenario.target is None:
            continue
        ms, mib = scenario.target
        result = by_name[scenario.name]
        figures = [f'median {result["median"] * 1e3:.1f} ms (at most {ms})']
        met = result['median'] * 1e3 <= ms
        if mib is not None:
            figures.append(f'peak RSS {result["rss"] / 1024:.1f} MiB (at most {mib})')
            met = met and result['rss'] / 1024 <= mib
        print(f'{scenario.name}: {", ".join(figures)}: {"met" if met else "not met"}')


def inside(work, tool, out):
    systems.fill_devices(work / 'mnt')
    os.environ.update(kivharness.fake_programs(work / 'bin', work / 'fake'))
    os.environ['LANG'] = 'C.UTF-8'
    results = [measure('bare process start: /bin/true', ['/bin/true'], out, False),
               measure('bare Qt program: qtpaths --version', [BARE_QT, '--version'], out, False)]
    for scenario in BOOTLIST:
        use(work / 'ini' / scenario.name, configuration(scenario.devices))
        considered = check_bootlist(tool, scenario.name, scenario.devices)
        results.append(measure(scenario.name, [tool, '-a', 'bootlist'], out, scenario.counted,
                               scenario.runs))
        results[-1]['snapshots'] = considered
    results.append(notify(work, tool, out))
    results.append(measure('--version', [tool, '--version'], out))
    print_results(results)
    spawn_cost(work, tool)
    print_calls(work, tool)


def main():
    if os.geteuid() != 0:
        sys.exit('bench: run as root (it mounts in a private mount namespace)')
    if sys.argv[1:2] == ['--inside']:
        return inside(Path(sys.argv[2]), sys.argv[3], Path(sys.argv[4]))
    for needed in ('hyperfine', 'valgrind', '/usr/bin/time', BARE_QT, 'strace', 'cc'):
        if not shutil.which(needed):
            sys.exit('bench: apt-get install hyperfine time valgrind qttools5-dev-tools strace '
                     'gcc')
    build = ROOT / 'bench' / 'build'
    if len(sys.argv) > 1:
        build = Path(sys.argv[1]).resolve()
    else:
        run('cmake', '-S', ROOT, '-B', build, '-DCMAKE_BUILD_TYPE=Release', '-DBUILD_TESTING=OFF',
            stdout=subprocess.DEVNULL)
        run('cmake', '--build', build, f'-j{os.cpu_count()}', stdout=subprocess.DEVNULL)
    out = ROOT / 'bench' / 'build' / 'results'
    out.mkdir(parents=True, exist_ok=True)
    start = time.monotonic()
    load = '%.2f %.2f %.2f' % os.getloadavg()
    print(f'bench: {os.cpu_count()} cores, load {load}; hyperfine JSON in {out}', flush=True)
    with tempfile.TemporaryDirectory(prefix='kiv-bench-') as tmp:
        work = Path(tmp)
        systems.make_system(work)
        run('cc', '-O2', '-o', work / 'spawn', ROOT / 'bench' / 'spawn.c')
        devices = sorted((work / 'devices').iterdir())
        command = kivharness.namespace([('/etc', work / 'etc')], devices)
        # The distribution's python3, whatever comes first on PATH: it has python3-dbusmock.
        env = {k: v for k, v in os.environ.items() if not k.startswith(kivharness.UNSET)}
        env['TMP'] = str(work)
        inner = subprocess.run([*command, '/usr/bin/python3', __file__, '--inside', work,
                                build / 'kiv-recovery-tool', out], env=env)
    if inner.returncode:
        sys.exit(inner.returncode)
    load = '%.2f %.2f %.2f' % os.getloadavg()
    print(f'bench: load {load} at the end, after {time.monotonic() - start:.0f} s')


if __name__ == '__main__':
    main()
