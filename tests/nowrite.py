"""The proof that a run of the tool writes nothing: strace watches the tool and every program it
starts for an open with a write flag and for any call that creates, renames, removes or changes
a file."""

import re

CALLS = ("open,openat,openat2,creat,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,"
         "chmod,fchmod,fchmodat,truncate,ftruncate,link,linkat,symlink,symlinkat")
WRITE_FLAGS = re.compile(r"\bO_(WRONLY|RDWR|CREAT|TRUNC)\b")
CALL = re.compile(r"^\d+ +(\w+)\((.*)$", re.M)


def strace(trace_file):
    """The command that runs the rest of a command line traced into trace_file."""
    return ["strace", "-f", "--seccomp-bpf", "-qq", "-o", str(trace_file), "-e", "trace=" + CALLS]


def changes(trace):
    """The traced calls, as (name, arguments), that would write, create or change a file."""
    return [(name, args) for name, args in CALL.findall(trace)
            if not name.startswith("open") or WRITE_FLAGS.search(args)]
