// The run's own mount, PID and IPC namespaces.
#include "namespaces.h"

#include "constants.h"
#include "descriptor.h"
#include "mounttable.h"
#include "sandboxstep.h"

#include <QFile>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char ProcFolder[] = "/proc";
const char ProcType[] = "proc";
const unsigned long ProcFlags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
// The status of a parent whose child ended in a way it cannot relay.
const int UnknownEndStatus = 1;
const int SignalStatusBase = 128;

// Sets the mount at path, and with recursive every mount beneath it, read-only and private, and
// answers the error. Kernels before 5.12 have no mount_setattr: the mount is remounted instead,
// keeping the flags it has.
int setReadOnly(const char *path, unsigned long flags, bool recursive)
{
    mount_attr attributes = {};
    attributes.attr_set = MOUNT_ATTR_RDONLY;
    attributes.propagation = MS_PRIVATE;
    const unsigned at = recursive ? AT_RECURSIVE : 0;
    if (mount_setattr(AT_FDCWD, path, at, &attributes, sizeof attributes) == 0)
        return 0;
    if (errno != ENOSYS || recursive)
        return errno;
    if (mount(nullptr, path, nullptr, MS_PRIVATE, nullptr) != 0 ||
        mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | flags, nullptr) != 0)
        return errno;
    return 0;
}

// PID 1 of a namespace ignores every signal it has no handler for, abort()'s SIGABRT among them,
// which it would then end by as a fault. The handler tells the parent, which ends by SIGABRT
// itself, as the tool would have without a namespace of its own. A signal handler reaches the
// pipe it writes to only through a variable of the file, set once, in the child, before the
// handler is installed.
int abortReport = -1;

void reportAbort(int signal)
{
    const char number = char(signal);
    // Where the parent cannot be told, it ends with the status a shell shows for the signal.
    const bool told = ::write(abortReport, &number, 1) == 1;
    Q_UNUSED(told)
    _exit(SignalStatusBase + signal);
}

// The parent's whole part once the child runs: it waits, and leaves the way the run left.
[[noreturn]] void endAsChild(pid_t child, int report)
{
    int status = 0;
    pid_t waited = 0;
    do
        waited = ::waitpid(child, &status, 0);
    while (waited < 0 && errno == EINTR);
    char reported = 0;
    if (::read(report, &reported, 1) != 1)
        reported = 0;
    const Namespaces::End end = Namespaces::endOf(waited == child, status, reported);
    if (end.signal != 0) {
        std::signal(end.signal, SIG_DFL);
        sigset_t just;
        sigemptyset(&just);
        sigaddset(&just, end.signal);
        sigprocmask(SIG_UNBLOCK, &just, nullptr);
        ::raise(end.signal);
    }
    _exit(end.status);
}

} // namespace

Namespaces::End Namespaces::endOf(bool waited, int status, int reported)
{
    End end;
    if (reported != 0)
        end.signal = reported;
    else if (waited && WIFSIGNALED(status))
        end.signal = WTERMSIG(status);
    end.status = waited && WIFEXITED(status) ? WEXITSTATUS(status) : UnknownEndStatus;
    return end;
}

bool Namespaces::enterMountNamespace()
{
    if (unshare(CLONE_NEWNS) == 0)
        return true;
    SandboxStep::warnFailed("unshare(CLONE_NEWNS)", errno);
    return false;
}

bool Namespaces::readOnlyMounts()
{
    const QByteArray root = QFile::encodeName(KivRecovery::RootMountPoint);
    const int error = setReadOnly(root.constData(), 0, true);
    if (error != EINVAL && error != ENOSYS) {
        if (error != 0)
            SandboxStep::warnFailed("mount_setattr", error);
        return error == 0;
    }
    // "/" is no mount point, or the kernel has no mount_setattr: each mount of the table is set
    // on its own.
    int firstError = 0;
    bool rootListed = false;
    for (const MountTable::Mount &mount : MountTable::parse(MountTable::read())) {
        const int mountError = setReadOnly(mount.path.constData(), mount.flags, false);
        if (firstError == 0)
            firstError = mountError;
        rootListed = rootListed || mount.path == root;
    }
    if (firstError != 0)
        SandboxStep::warnFailed(error == ENOSYS ? "mount(MS_REMOUNT)" : "mount_setattr",
                                firstError);
    return firstError == 0 && rootListed;
}

bool Namespaces::runInOwnPidNamespace(bool ownMounts)
{
    // Made first: once the namespace is made, the next process started is its first.
    Pipe abortPipe;
    if (abortPipe.readEnd.get() < 0) {
        SandboxStep::warnFailed("pipe2", errno);
        return false;
    }
    // getppid() answers 0 across the namespace; a descriptor of the parent, taken before the
    // fork, tells whether it died before the child asked to die with it.
    const Descriptor parent(int(::syscall(SYS_pidfd_open, ::getpid(), 0)));
    if (unshare(CLONE_NEWPID | CLONE_NEWIPC) != 0) {
        SandboxStep::warnFailed("unshare(CLONE_NEWPID | CLONE_NEWIPC)", errno);
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        SandboxStep::warnFailed("fork", errno);
        return false;
    }
    if (child > 0) {
        abortPipe.writeEnd.reset();
        endAsChild(child, abortPipe.readEnd.get());
    }
    abortPipe.readEnd.reset();
    abortReport = abortPipe.writeEnd.release();
    std::signal(SIGABRT, reportAbort);
    pollfd parentEnded = {parent.get(), POLLIN, 0};
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 ||
        (parent.get() >= 0 && ::poll(&parentEnded, 1, 0) != 0))
        _exit(UnknownEndStatus);
    if (ownMounts && ::mount(ProcType, ProcFolder, ProcType, ProcFlags, nullptr) != 0)
        SandboxStep::warnFailed("mount(proc)", errno);
    return true;
}
