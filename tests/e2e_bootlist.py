"""End-to-end tests of `kiv-recovery-tool -a bootlist`, run as a built binary in private mount
namespaces.

Every folder under fixtures/bootlist/cases/ is one run of the tool, laid over the shared system in
fixtures/bootlist/base/ (a file of the case replaces the base's file of the same path):

  etc/, root/          laid over /etc and /root
  devices/NAME/        the contents of a tmpfs mounted with the source /dev/kivtestNAME
  cmd/PROGRAM ARGS     what the fake lsblk and uname print for that command line;
                       with the suffix ".err" they print it on standard error and exit with 1
  prepare              what git cannot hold, one step a line: "fifo PATH", "pad PATH SIZE"
                       (blanks appended up to SIZE bytes), "rm PATH"
  expected.json        the exact standard output
  stderr               the exact standard error (none: empty)

Every run is traced: neither the tool nor a program it starts may open a file for writing or
create, rename, remove or change one.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
FIXTURES = HERE / "fixtures" / "bootlist"
NSRUN = HERE / "nsrun.sh"
TOOL = os.environ["KIV_TOOL"]

CHANGING_CALLS = ("creat,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,chmod,fchmod,"
                  "fchmodat,truncate,ftruncate,link,linkat,symlink,symlinkat")
WRITE_FLAGS = re.compile(r"\bO_(WRONLY|RDWR|CREAT|TRUNC)\b")
SYSCALL = re.compile(r"^\d+ +(\w+)\(")
# A description that makes the tool block (a FIFO) must fail its case, not hang the suite.
TIMEOUT = 30


def prepare(stage):
    steps = stage / "prepare"
    if not steps.exists():
        return
    for line in steps.read_text().splitlines():
        verb, name, *rest = line.split()
        path = stage / name
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
        else:
            raise ValueError(f"unknown step: {line}")


def changes_a_file(trace_line):
    call = SYSCALL.match(trace_line)
    return call and (call[1] not in ("open", "openat") or WRITE_FLAGS.search(trace_line))


def run_tool(case, tmp):
    """Runs the tool on the case's system; answers its exit status, stdout and stderr."""
    stage = tmp / "stage"
    shutil.copytree(FIXTURES / "base", stage, symlinks=True)
    shutil.copytree(case, stage, symlinks=True, dirs_exist_ok=True)
    prepare(stage)

    command = [NSRUN, "--over", "/etc", stage / "etc", "--over", "/root", stage / "root"]
    for device in sorted((stage / "devices").iterdir()):
        mount_dir = tmp / "mnt" / device.name
        mount_dir.mkdir(parents=True)
        command += ["--dev", f"/dev/kivtest{device.name}", mount_dir, device]
    command += ["--", "strace", "-f", "-q", "-o", tmp / "trace",
                "-e", "trace=open,openat," + CHANGING_CALLS, TOOL, "-a", "bootlist"]

    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("LC_", "LANGUAGE", "QT_"))}
    env.update(LANG="C.UTF-8", QT_LOGGING_RULES="default.info=true", KIV_FAKE=str(stage / "cmd"),
               PATH=f"{FIXTURES / 'bin'}:{os.environ['PATH']}")
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

    def check_case(self, case):
        with tempfile.TemporaryDirectory(prefix="kiv-e2e-") as tmp:
            status, out, err = run_tool(case, Path(tmp))
            trace = (Path(tmp) / "trace").read_text(errors="replace").splitlines()

        self.assertEqual(status, 0, err.decode(errors="replace"))
        expected = (case / "expected.json").read_bytes()
        # Parsed first, so that a failure names the entry and member that differ; then as bytes
        # (decoded strictly, so that a diff is readable and bad UTF-8 fails).
        self.assertEqual(json.loads(out), json.loads(expected))
        self.assertEqual(out.decode(), expected.decode())
        expected_err = (case / "stderr").read_bytes() if (case / "stderr").exists() else b""
        self.assertEqual(err.decode(), expected_err.decode())
        # The trace must have seen the run at all, or finding nothing in it would prove nothing.
        self.assertTrue(any('"/etc/fstab"' in line for line in trace), "nothing traced")
        self.assertEqual([line for line in trace if changes_a_file(line)], [])


for _case in sorted((FIXTURES / "cases").iterdir()):
    setattr(BootList, f"test_{_case.name}", lambda self, case=_case: self.check_case(case))

if __name__ == "__main__":
    unittest.main(verbosity=2)
