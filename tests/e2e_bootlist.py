r"""End-to-end tests of `kiv-recovery-tool -a bootlist`, run as a built binary in private mount
namespaces.

Every folder under fixtures/bootlist/cases/ is one run of the tool, laid over the shared system in
fixtures/bootlist/base/ (a file of the case replaces the base's file of the same path):

  etc/, root/          laid over /etc and /root
  devices/NAME/        the contents of a tmpfs mounted with the source /dev/kivtestNAME
  devices/NAME REST/   the same, mounted at a folder whose name holds a space
  bin/                 the whole search path of the tool: the fake lsblk and uname, and cat
  cmd/PROGRAM ARGS     what the fake lsblk and uname print for that command line;
                       with the suffix ".err" they print it on standard error and exit with 1;
                       with the suffix ".kill" they die of the signal it names
  prepare              what git cannot hold, one step a line, shell-quoted, with \n, \xff, ...
                       escapes in the words: "fifo PATH", "pad PATH SIZE" (blanks appended up
                       to SIZE bytes), "rm PATH", "mv PATH NEWPATH", "chmod PATH OCTAL",
                       "append PATH N TEXT" and "copy PATH N NEWPATH" (N times, {} in TEXT or
                       NEWPATH counting from 0); it may also make expected.json
  run-as               the user id that runs the tool (none: root)
  expected.json        the exact standard output
  stderr               the exact standard error (none: empty)
  README               what the case tries and why the tool must answer so
  slow                 (empty) run only when KIV_E2E_SLOW=1, which runs nothing else

Every run is traced: neither the tool nor a program it starts may open a file for writing or
create, rename, remove or change one. Two rich cases run once more, untraced, with every
filesystem of the namespace read-only, and must answer just the same.
"""

import codecs
import json
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

import nowrite

HERE = Path(__file__).resolve().parent
FIXTURES = HERE / "fixtures" / "bootlist"
NSRUN = HERE / "nsrun.sh"
TOOL = os.environ["KIV_TOOL"]
# A command the tool runs under instead of strace, such as valgrind (CTest's valgrind_bootlist).
WRAP = os.environ.get("KIV_WRAP", "").split()

SLOW = os.environ.get("KIV_E2E_SLOW") == "1"
# A description that makes the tool block (a FIFO) must fail its case, not hang the suite.
TIMEOUT = 300 if SLOW else 30
SHM = "/dev/shm"


def prepare(stage):
    steps = stage / "prepare"
    if not steps.exists():
        return
    for line in steps.read_text().splitlines():
        words = [os.fsdecode(codecs.escape_decode(word)[0]) for word in shlex.split(line)]
        verb, name, *rest = words
        path = stage / name
        # The driver runs as root: a step must never reach through a link out of the stage.
        assert path.resolve().is_relative_to(stage.resolve()), f"outside the stage: {line}"
        path.parent.mkdir(parents=True, exist_ok=True)
        if verb == "fifo":
            os.mkfifo(path)
        elif verb == "pad":
            size = int(rest[0])
            with open(path, "ab") as f:
                f.write(b" " * (size - path.stat().st_size))
            assert path.stat().st_size == size, line
        elif verb == "rm":
            path.unlink()
        elif verb == "mv":
            path.rename(stage / rest[0])
        elif verb == "chmod":
            path.chmod(int(rest[0], 8))
        elif verb == "append":
            with open(path, "ab") as f:
                f.writelines(os.fsencode(rest[1].replace("{}", str(i)))
                             for i in range(int(rest[0])))
        elif verb == "copy":  # files are hard links: 100,000 copies cost no data
            for i in range(int(rest[0])):
                copy = stage / rest[1].replace("{}", str(i))
                if path.is_dir():
                    shutil.copytree(path, copy, copy_function=os.link)
                else:
                    os.link(path, copy)
        else:
            raise ValueError(f"unknown step: {line}")


def replace(source, target):
    """Copies a case's file over the base's: a link there is replaced, never written through."""
    if os.path.lexists(target):
        os.unlink(target)
    shutil.copy2(source, target)


def run_tool(case, tmp, stage, readonly=False):
    """Runs the tool on the case's system; answers its exit status, stdout and stderr."""
    shutil.copytree(FIXTURES / "base", stage, symlinks=True)
    shutil.copytree(case, stage, symlinks=True, dirs_exist_ok=True, copy_function=replace)
    prepare(stage)

    command = [NSRUN, "--over", "/etc", stage / "etc", "--over", "/root", stage / "root"]
    for device in sorted((stage / "devices").iterdir()):
        mount_dir = tmp / "mnt" / device.name
        mount_dir.mkdir(parents=True)
        command += ["--dev", f"/dev/kivtest{device.name.split()[0]}", mount_dir, device]
    command += ["--readonly"] * readonly + ["--"]
    if not readonly and not WRAP:
        command += nowrite.strace(tmp / "trace")
    if (stage / "run-as").exists():
        user = (stage / "run-as").read_text().strip()
        command += ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]
        tmp.chmod(0o755)
        stage.parent.chmod(0o755)
    command += ["env", f"PATH={stage / 'bin'}", *WRAP, TOOL, "-a", "bootlist"]

    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("LC_", "LANGUAGE", "QT_"))}
    env.update(LANG="C.UTF-8", QT_LOGGING_RULES="default.info=true", KIV_FAKE=str(stage / "cmd"))
    # A session of its own, so that a tool stuck in a read can be killed with all it started.
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise AssertionError(f"still running after {TIMEOUT} s") from None
    return process.returncode, out, err


class BootList(unittest.TestCase):
    maxDiff = None

    def check_case(self, case, readonly=False):
        # The stage in memory where there is a tmpfs for it, which makes large generated cases
        # fast; the mount points not, since a volume mounted below /dev is no disk to Qt.
        memory = SHM if os.path.isdir(SHM) else None
        with tempfile.TemporaryDirectory(prefix="kiv-e2e-") as tmp, \
                tempfile.TemporaryDirectory(prefix="kiv-e2e-", dir=memory) as shm:
            stage = Path(shm) / "stage"
            status, out, err = run_tool(case, Path(tmp), stage, readonly)
            expected = (stage / "expected.json").read_bytes()
            expected_err = (stage / "stderr").read_bytes() if (stage / "stderr").exists() else b""
            traced = not readonly and not WRAP
            trace = (Path(tmp) / "trace").read_text(errors="replace") if traced else ""

        self.assertEqual(status, 0, err.decode(errors="replace"))
        # Parsed first, so that a failure names the entry and member that differ; then as bytes
        # (decoded strictly, so that a diff is readable and bad UTF-8 fails).
        self.assertEqual(json.loads(out), json.loads(expected))
        self.assertEqual(out.decode(), expected.decode())
        self.assertEqual(err.decode(), expected_err.decode())
        if not traced:
            return
        # The trace must have seen the run at all, or finding nothing in it would prove nothing.
        self.assertIn('"/etc/fstab"', trace, "nothing traced")
        self.assertEqual(nowrite.changes(trace), [])


for _case in sorted((FIXTURES / "cases").iterdir()):
    if (_case / "slow").exists() == SLOW:
        setattr(BootList, f"test_{_case.name}", lambda self, case=_case: self.check_case(case))
# Rich cases again, with every filesystem read-only: a write the trace missed would change them.
for _name in ("history_dedup", "mount_point_space") * (not SLOW):
    setattr(BootList, f"test_readonly_{_name}",
            lambda self, case=FIXTURES / "cases" / _name: self.check_case(case, readonly=True))

if __name__ == "__main__":
    unittest.main(verbosity=2)
