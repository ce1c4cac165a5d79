"""Measures kiv-recovery-tool against the floor of its contract. Started by bench/run.

Outside: writes the fixtures (an /etc overlay, fake lsblk and uname, one configuration per
scenario, empty device folders) and re-enters itself through tests/nsrun.sh in a private mount
namespace with every fake device mounted as a tmpfs. Inside: fills the devices with snapshots,
then for each scenario binds its configuration over /etc/kiv-recovery and times the commands.

Timing: hyperfine, all commands of a comparison in one call, repeated in rounds whose command
order alternates, so that a load change on the machine hits both sides alike. Every figure is a
median over all runs of all rounds. Peak memory: /usr/bin/time -v.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
NSRUN = os.path.join(HERE, "..", "tests", "nsrun.sh")
ROOT_UUID = "5a1e0c7d-0000-4000-8000-000000000001"
KERNEL_RELEASE = "6.1.0-bench-amd64"
SNAPSHOT_SERIES = [100, 1000, 10000, 100000]
DEVICE_SERIES = [1, 4, 16]
PER_DEVICE = 100
TARGET_DEVICES, TARGET_SNAPSHOTS = 2, 1000
# Runs per hyperfine call are --runs for the 10,000 and 100,000 snapshot lists, this many times
# as many for the shorter bootlist runs and for notify and --version, whose noise is larger.
SHORT_RUN_FACTOR = 3
QUICK_RUN_FACTOR = 5
# Every tenth snapshot is not bootable, as after a failed backup.
UNBOOTABLE_EVERY = 10


def device_uuid(name):
    return "b4c0de00-%04x-4000-8000-%012x" % (len(name), zlib.crc32(name.encode()))


def devices():
    """Fake devices: name -> snapshot count."""
    devs = {"S%d" % n: n for n in SNAPSHOT_SERIES}
    devs.update({"D%02d" % i: PER_DEVICE for i in range(max(DEVICE_SERIES))})
    devs.update({"T%d" % i: TARGET_SNAPSHOTS for i in range(TARGET_DEVICES)})
    return devs


def scenarios():
    """Scenario name -> device names its configuration lists (history first, current last)."""
    sc = {"snapshots-%d" % n: ["S%d" % n] for n in SNAPSHOT_SERIES}
    sc.update({"devices-%d" % d: ["D%02d" % i for i in range(d)] for d in DEVICE_SERIES})
    sc["target-2x1000"] = ["T%d" % i for i in range(TARGET_DEVICES)]
    return sc


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def prepare(work, uuids):
    fix = os.path.join(work, "fix")
    write(os.path.join(fix, "etc/fstab"),
          "# /etc/fstab: static file system information.\n"
          "UUID=%s\t/\text4\terrors=remount-ro\t0\t1\n"
          "UUID=0c0ffee0-0000-4000-8000-000000000002\tnone\tswap\tsw\t0\t0\n"
          "/dev/sr0\t/media/cdrom0\tudf,iso9660\tuser,noauto\t0\t0\n" % ROOT_UUID)
    write(os.path.join(fix, "etc/kiv-recovery/kiv-recovery.ini"), "")
    # The listings a real lsblk prints on a machine with these devices attached.
    mountpoints = "MOUNTPOINT UUID\n/ %s\n[SWAP] 0c0ffee0-0000-4000-8000-000000000002\n" % ROOT_UUID
    paths = "UUID PATH\n%s /dev/vda1\n" % ROOT_UUID + "".join(
        "%s /dev/kivtest%s\n" % (u, name) for name, u in sorted(uuids.items()))
    write(os.path.join(fix, "bin/lsblk"),
          "#!/bin/sh\ncase \"$2\" in\nMOUNTPOINT,UUID) cat <<'EOF'\n%sEOF\n;;\n"
          "UUID,PATH) cat <<'EOF'\n%sEOF\n;;\n*) exit 1 ;;\nesac\n" % (mountpoints, paths),
          0o755)
    write(os.path.join(fix, "bin/uname"), "#!/bin/sh\necho %s\n" % KERNEL_RELEASE, 0o755)
    for name, devs in scenarios().items():
        names = [uuids[d] for d in devs]
        write(os.path.join(fix, "cfg", name, "kiv-recovery.ini"),
              "[backup]\ndevice_uuid=%s\nhistory_device_uuid=\"%s\"\n"
              % (names[-1], ",".join(names[:-1])))
    write(os.path.join(fix, "cfg/notify/kiv-recovery.ini"),
          "[restore]\nrollback_status=0\nrollback_version=V23-bench\n"
          "rollback_before_version=V22-bench\n")
    for name in uuids:
        os.makedirs(os.path.join(work, "mnt", name), exist_ok=True)
    return fix


def fill(mount, count, uuid):
    """Writes count snapshot folders with their descriptions, in creation order."""
    base = os.path.join(mount, "backup/system/snapshots")
    os.makedirs(base)
    for i in range(count):
        name = "%s-%06d" % ("Snap" if i % 2 else "snap", i)
        os.mkdir(os.path.join(base, name))
        description = {
            "backupDevUUID": uuid,
            "backupVersion": "V23.%06d" % i,
            "versionDisplay": "System backup %06d (2026-12-06 12:00)" % i,
            "status": 2 if i % UNBOOTABLE_EVERY == UNBOOTABLE_EVERY - 1 else 1,
            "operateID": "%032x" % (i * 2654435761),
            "submissionTime": "2026-12-06T12:00:%02d" % (i % 60),
            "backupType": 1,
            "size": 1234567 + i,
            "remark": "",
        }
        with open(os.path.join(base, name, "backup_info.json"), "w") as f:
            json.dump(description, f, indent=4)


# --- measuring -------------------------------------------------------------------------------

def hyperfine_once(commands, runs, work, reverse=False, shell=False):
    """Per command of one hyperfine call: its wall times in seconds, and its mean user +
    system CPU time, which a loaded machine distorts less than the wall time."""
    out = os.path.join(work, "hyperfine.json")
    args = ["hyperfine", "--style", "none", "--warmup", "1", "--runs", str(runs),
            "--export-json", out]
    if not shell:
        args.append("-N")
    # Its warnings about outliers are what alternating rounds and medians are for; its errors
    # are shown.
    done = subprocess.run(args + (list(reversed(commands)) if reverse else commands),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit("bench: hyperfine failed:\n" + done.stderr)
    with open(out) as f:
        return {r["command"]: (r["times"], r["user"] + r["system"])
                for r in json.load(f)["results"]}


def hyperfine_rounds(commands, rounds, runs, work, shell=False):
    """Wall times per command over rounds x runs, the command order alternating each round."""
    results = {c: {"times": [], "cpu": []} for c in commands}
    for r in range(rounds):
        for c, (t, cpu) in hyperfine_once(commands, runs, work, r % 2 == 1, shell).items():
            results[c]["times"].extend(t)
            results[c]["cpu"].append(cpu)
    return results


def peak_rss_kib(command, repeats=3):
    values = []
    for _ in range(repeats):
        p = subprocess.run(["/usr/bin/time", "-v"] + command, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, check=True)
        for line in p.stderr.splitlines():
            if "Maximum resident set size" in line:
                values.append(int(line.split(":")[1]))
    return statistics.median(values)


def bind_config(fix, name):
    subprocess.run(["mount", "--bind", os.path.join(fix, "cfg", name), "/etc/kiv-recovery"],
                   check=True)


def unbind_config():
    subprocess.run(["umount", "/etc/kiv-recovery"], check=True)


def check_output(tool, floor, scenario, expect):
    """The floor must find what the tool finds, or it is not the floor of the same work."""
    a = subprocess.run([tool, "-a", "bootlist"], capture_output=True, text=True, check=True).stdout
    b = subprocess.run([floor], capture_output=True, text=True, check=True).stdout
    n = len(json.loads(a)["version_list"])
    if a != b or n != expect:
        sys.exit("bench: %s: tool and floor differ (%d entries, %d expected)" % (scenario, n, expect))


def bootlist(args, fix, uuids, results):
    tool, floor = args.tool, args.floor
    t0 = time.time()
    for name, count in devices().items():
        fill(os.path.join(args.work, "mnt", name), count, uuids[name])
    print("  %d snapshots written in %.1f s" % (sum(devices().values()), time.time() - t0),
          flush=True)
    admitted = lambda n: n - n // UNBOOTABLE_EVERY
    plan = [("snapshots-%d" % n, admitted(n)) for n in SNAPSHOT_SERIES]
    plan += [("devices-%d" % d, d * admitted(PER_DEVICE)) for d in DEVICE_SERIES]
    plan += [("target-2x1000", TARGET_DEVICES * admitted(TARGET_SNAPSHOTS))]
    for name, expect in plan:
        bind_config(fix, name)
        check_output(tool, floor, name, expect)
        unbind_config()
    cmds = [tool + " -a bootlist", floor]
    for r in range(args.rounds):
        for name, expect in plan:
            bind_config(fix, name)
            # Short runs are noisier and cheap: they get more of them.
            runs = args.runs * (SHORT_RUN_FACTOR if expect < 9000 else 1)
            times = hyperfine_once(cmds, runs, args.work, r % 2 == 1)
            unbind_config()
            for c, who in zip(cmds, ("tool", "floor")):
                entry = results.setdefault((name, who), {"times": [], "cpu": []})
                entry["times"].extend(times[c][0])
                entry["cpu"].append(times[c][1])
            print("  round %d/%d %-16s tool %9.2f ms  floor %9.2f ms"
                  % (r + 1, args.rounds, name, statistics.median(times[cmds[0]][0]) * 1e3,
                     statistics.median(times[floor][0]) * 1e3), flush=True)
    for name, _ in plan:
        bind_config(fix, name)
        results[(name, "tool")]["rss"] = peak_rss_kib([tool, "-a", "bootlist"])
        results[(name, "floor")]["rss"] = peak_rss_kib([floor])
        unbind_config()


def start_bus(work, name):
    conf = os.path.join(work, name + ".conf")
    write(conf, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
          " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>\n"
          "<type>session</type><listen>unix:dir=%s</listen>\n"
          "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
          "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>\n</busconfig>\n" % work)
    # As an unprivileged user would: the daemon's complaint about its file limit is noise here.
    p = subprocess.Popen(["dbus-daemon", "--config-file", conf, "--nofork", "--print-address=1"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return p, p.stdout.readline().strip()


def wait_for(bus, dest, path):
    for _ in range(200):
        if subprocess.run(["gdbus", "introspect", bus, "--dest", dest, "--object-path", path],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            return
        time.sleep(0.05)
    sys.exit("bench: %s did not come up" % dest)


def notify(args, fix, results):
    procs = []
    try:
        session, session_addr = start_bus(args.work, "session")
        system, system_addr = start_bus(args.work, "system")
        procs += [session, system]
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = session_addr
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = system_addr
        py = "/usr/bin/python3"
        procs.append(subprocess.Popen([py, "-m", "dbusmock", "--template", "notification_daemon"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        procs.append(subprocess.Popen([py, "-m", "dbusmock", "--system", "com.oxbrin.kivrecovery",
                                       "/com/oxbrin/kivrecovery", "com.oxbrin.daemon.kivrecovery"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for("--session", "org.freedesktop.Notifications", "/org/freedesktop/Notifications")
        wait_for("--system", "com.oxbrin.kivrecovery", "/com/oxbrin/kivrecovery")
        subprocess.run(["gdbus", "call", "--system", "--dest", "com.oxbrin.kivrecovery",
                        "--object-path", "/com/oxbrin/kivrecovery", "--method",
                        "org.freedesktop.DBus.Mock.AddMethod", "com.oxbrin.daemon.kivrecovery",
                        "ClearRollbackAutoNotify", "", "", ""], check=True,
                       stdout=subprocess.DEVNULL)
        bind_config(fix, "notify")
        tool = args.tool + " -a notify"
        pair = ("notify-send -a 'Backup and Restore' -i kiv-recovery -r 101 -t 8000 "
                "'System Recovery' 'Your system is successfully rolled back to V23-bench.'; "
                "gdbus call --system --dest com.oxbrin.kivrecovery --object-path "
                "/com/oxbrin/kivrecovery --method "
                "com.oxbrin.daemon.kivrecovery.ClearRollbackAutoNotify >/dev/null")
        cmds = [tool, pair]
        if args.dbusraw:
            cmds.append(args.dbusraw)
        times = hyperfine_rounds(cmds, args.rounds, args.runs * QUICK_RUN_FACTOR, args.work,
                                 shell=True)
        for c, who in zip(cmds, ("tool", "pair", "raw")):
            results[("notify", who)] = times[c]
        unbind_config()
    finally:
        for p in reversed(procs):
            p.terminate()
            p.wait()


def startup(args, results):
    tool = args.tool + " --version"
    times = hyperfine_rounds([tool, args.bareqt], args.rounds, args.runs * QUICK_RUN_FACTOR,
                             args.work)
    results[("startup", "tool")] = dict(times[tool], rss=peak_rss_kib(tool.split()))
    results[("startup", "bareqt")] = dict(times[args.bareqt], rss=peak_rss_kib([args.bareqt]))


# --- report ----------------------------------------------------------------------------------

def report(results, args):
    med = {k: statistics.median(v["times"]) * 1e3 for k, v in results.items()}
    cpu = {k: statistics.median(v["cpu"]) * 1e3 for k, v in results.items()}
    rss = {k: v.get("rss") for k, v in results.items()}
    ms = lambda s, who: med[(s, who)]
    mib = lambda k: "%.1f" % (rss[k] / 1024) if rss.get(k) else ""

    def row(label, s, a, b, note=""):
        print("| %s | %.2f | %.2f%s | %.2fx | %.2f | %.2f | %.2fx | %s | %s |"
              % (label, med[(s, a)], med[(s, b)], note, med[(s, a)] / med[(s, b)], cpu[(s, a)],
                 cpu[(s, b)], cpu[(s, a)] / cpu[(s, b)], mib((s, a)), mib((s, b))))

    print("\n| scenario | tool wall ms | reference wall ms | wall ratio | tool CPU ms"
          " | reference CPU ms | CPU ratio | tool peak RSS MiB | reference peak RSS MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for s in ["snapshots-%d" % n for n in SNAPSHOT_SERIES] + \
             ["devices-%d" % d for d in DEVICE_SERIES] + ["target-2x1000"]:
        row("bootlist " + s, s, "tool", "floor")
    row("notify", "notify", "tool", "pair", " (notify-send + gdbus)")
    if ("notify", "raw") in med:
        row("notify: the two calls without introspection", "notify", "raw", "pair",
            " (notify-send + gdbus)")
    row("--version", "startup", "tool", "bareqt", " (bare QCoreApplication)")
    print("\nreference: the floor program for bootlist; CPU: user + system, mean per run")

    def per_snapshot(table, who, a, b):
        return (table[("snapshots-%d" % b, who)] - table[("snapshots-%d" % a, who)]) * 1e3 / (b - a)

    def per_device(table, who):
        lo, hi = DEVICE_SERIES[0], DEVICE_SERIES[-1]
        return (table[("devices-%d" % hi, who)] - table[("devices-%d" % lo, who)]) / (hi - lo)

    print("\nmarginal cost per snapshot, us (tool wall / floor wall, tool CPU / floor CPU):")
    for a, b in zip(SNAPSHOT_SERIES, SNAPSHOT_SERIES[1:]):
        print("  %6d -> %6d: %6.2f / %6.2f   %6.2f / %6.2f"
              % (a, b, per_snapshot(med, "tool", a, b), per_snapshot(med, "floor", a, b),
                 per_snapshot(cpu, "tool", a, b), per_snapshot(cpu, "floor", a, b)))
    print("marginal cost per device of %d snapshots, ms (same order): %.2f / %.2f   %.2f / %.2f"
          % (PER_DEVICE, per_device(med, "tool"), per_device(med, "floor"),
             per_device(cpu, "tool"), per_device(cpu, "floor")))

    growth = ms("snapshots-100000", "tool") / ms("snapshots-10000", "tool")
    targets = [
        ("bootlist 2 devices x 1,000 snapshots <= 1.25x floor",
         ms("target-2x1000", "tool") / ms("target-2x1000", "floor"), 1.25, "%.2fx"),
        ("marginal cost per snapshot (10k -> 100k) <= 15 us",
         per_snapshot(med, "tool", 10000, 100000), 15, "%.2f us"),
        ("100,000 / 10,000 snapshots <= 11x", growth, 11, "%.2fx"),
        ("peak RSS at 10,000 snapshots <= 48 MiB", rss[("snapshots-10000", "tool")] / 1024, 48,
         "%.1f MiB"),
        ("peak RSS at 100,000 snapshots <= 256 MiB", rss[("snapshots-100000", "tool")] / 1024,
         256, "%.1f MiB"),
        ("notify <= 1.0x notify-send + gdbus", ms("notify", "tool") / ms("notify", "pair"), 1.0,
         "%.2fx"),
        ("--version <= 1.2x bare Qt program", ms("startup", "tool") / ms("startup", "bareqt"),
         1.2, "%.2fx"),
    ]
    print("\ntargets (wall time):")
    for text, value, limit, fmt in targets:
        print("  %-55s %12s  %s" % (text, fmt % value, "met" if value <= limit else "NOT MET"))
    print("\nwall time: medians of %d rounds (command order alternating) of %d runs"
          " (10,000 and 100,000 snapshots), %d (other bootlist runs), %d (notify, --version);"
          " peak RSS: median of 3 runs" % (args.rounds, args.runs, args.runs * SHORT_RUN_FACTOR,
                                            args.runs * QUICK_RUN_FACTOR))
    with open(os.path.join(args.save, "results.json"), "w") as f:
        json.dump({"%s/%s" % k: v for k, v in results.items()}, f, indent=1)


def profile(args, fix, uuids):
    """Instruction counts of one bootlist run over args.profile snapshots, by function."""
    name = "S%d" % args.profile
    fill(os.path.join(args.work, "mnt", name), args.profile, uuids[name])
    bind_config(fix, "snapshots-%d" % args.profile)
    out = os.path.join(args.save, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, args.tool,
                    "-a", "bootlist"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    unbind_config()
    for inclusive in ("no", "yes"):
        text = subprocess.run(["callgrind_annotate", "--inclusive=" + inclusive, out],
                              capture_output=True, text=True, check=True).stdout
        path = os.path.join(args.save, "callgrind-%s.txt" % ("inclusive" if inclusive == "yes"
                                                              else "self"))
        with open(path, "w") as f:
            f.write(text)
        print("\n== %s cost, %s ==" % ("inclusive" if inclusive == "yes" else "self", path))
        print("\n".join(text.splitlines()[:45]))


def inside(args):
    with open(os.path.join(args.work, "uuids.json")) as f:
        uuids = json.load(f)
    fix = os.path.join(args.work, "fix")
    os.environ["PATH"] = os.path.join(fix, "bin") + ":" + os.environ["PATH"]
    os.environ["LANG"] = os.environ["LC_ALL"] = "C.UTF-8"
    os.environ.pop("QT_LOGGING_RULES", None)
    if args.profile:
        return profile(args, fix, uuids)
    results = {}
    t0 = time.time()
    print("bootlist (fill + measure) ...", flush=True)
    bootlist(args, fix, uuids, results)
    print("notify ...", flush=True)
    notify(args, fix, results)
    print("start-up ...", flush=True)
    startup(args, results)
    print("measured in %.0f s" % (time.time() - t0))
    report(results, args)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--floor", required=True)
    ap.add_argument("--bareqt", required=True)
    ap.add_argument("--dbusraw", help="optional: the two D-Bus calls without introspection")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--runs", type=int, default=2)
    ap.add_argument("--work")
    ap.add_argument("--inside", action="store_true")
    ap.add_argument("--profile", type=int, nargs="?", const=10000, choices=SNAPSHOT_SERIES,
                    help="profile bootlist with callgrind over this many snapshots instead")
    ap.add_argument("--save", default=os.path.join(HERE, "build"),
                    help="where --profile leaves its files")
    args = ap.parse_args()
    if args.inside:
        return inside(args)
    work = tempfile.mkdtemp(prefix="kiv-bench-")
    try:
        uuids = {name: device_uuid(name) for name in devices()}
        with open(os.path.join(work, "uuids.json"), "w") as f:
            json.dump(uuids, f)
        fix = prepare(work, uuids)
        cmd = [NSRUN, "--over", "/etc", os.path.join(fix, "etc")]
        for name in sorted(uuids):
            cmd += ["--dev", "/dev/kivtest" + name, os.path.join(work, "mnt", name), "-"]
        cmd += ["--", sys.executable, os.path.abspath(__file__), "--inside", "--work", work]
        for opt in ("tool", "floor", "bareqt", "dbusraw"):
            if getattr(args, opt):
                cmd += ["--" + opt, os.path.abspath(getattr(args, opt))]
        cmd += ["--rounds", str(args.rounds), "--runs", str(args.runs)]
        cmd += ["--save", os.path.abspath(args.save)]
        if args.profile:
            cmd += ["--profile", str(args.profile)]
        subprocess.run(cmd, check=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
