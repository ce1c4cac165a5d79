#include "sandbox.h"

#include <QDebug>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// Landlock rights newer than the oldest kernel headers the tool is built with (Debian 12's know
// ABI 1 and 2); the values are fixed by the kernel's ABI.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace {

// Every right that changes the filesystem. Reading, listing and executing are not handled and so
// stay allowed; device ioctls, the network and IPC are left to the seccomp filter.
const __u64 WriteRights =
    LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER | LANDLOCK_ACCESS_FS_TRUNCATE;
// The ABIs that brought the rights newer than the first.
const long ReferAbi = 2;
const long TruncateAbi = 3;

// Landlock governs the contents and names of files, not their metadata, and nothing outside the
// filesystem. These calls would change what Landlock leaves alone: a file's mode, owner, times and
// extended attributes (a file capability is one), the mounts, the running kernel, the clock and
// the host's name; and truncating by path, which Landlock governs only from ABI 3 (Linux 6.2).
// They are the members of systemd's @chown, @mount, @swap, @reboot, @module and @clock groups,
// the metadata and truncate calls of @file-system, and acct, quotactl and the name setters of
// @privileged; a name this architecture or libseccomp does not know is passed over.
// One family a line.
// clang-format off
const char *const MetadataAndSystemCalls[] = {
    "chown", "chown32", "fchown", "fchown32", "fchownat", "lchown", "lchown32",
    "chmod", "fchmod", "fchmodat", "fchmodat2",
    "setxattr", "lsetxattr", "fsetxattr", "setxattrat",
    "removexattr", "lremovexattr", "fremovexattr", "removexattrat",
    "utime", "utimes", "futimesat", "utimensat", "utimensat_time64",
    "truncate", "truncate64",
    "mount", "umount", "umount2", "pivot_root", "chroot", "fsopen", "fsconfig", "fsmount",
    "fspick", "move_mount", "open_tree", "mount_setattr",
    "swapon", "swapoff",
    "reboot", "kexec_load", "kexec_file_load",
    "init_module", "finit_module", "delete_module",
    "adjtimex", "clock_adjtime", "clock_adjtime64", "clock_settime", "clock_settime64",
    "settimeofday", "stime",
    "acct", "quotactl", "quotactl_fd", "sethostname", "setdomainname"};
// clang-format on
// bootlist and the programs it starts need no socket; a process that cannot open one cannot ask
// a root service (the system bus, init) to act for it.
const char *const SocketCalls[] = {"socket", "socketpair"};

const int FirstInheritedDescriptor = 3;
const char OpenDescriptorsFolder[] = "/proc/self/fd";

void warnFailed(const char *step, int error)
{
    qWarning() << "restrictToReading step = " << QLatin1String(step)
               << ", error = " << qt_error_string(error);
}

long landlockAbi()
{
    // Fails with ENOSYS on kernels built without Landlock and EOPNOTSUPP where it is disabled.
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : abi;
}

void denyWriting(long abi)
{
    landlock_ruleset_attr attributes{};
    attributes.handled_access_fs = Sandbox::writeRights(abi);
    // No rule is added: with no path allowed a handled right is denied everywhere.
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0) {
        warnFailed("landlock_create_ruleset", errno);
        return;
    }
    if (syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
        warnFailed("landlock_restrict_self", errno);
    close(static_cast<int>(ruleset));
}

// Has the filter answer EPERM to the calls it names.
template <size_t Count> void refuse(scmp_filter_ctx filter, const char *const (&calls)[Count])
{
    for (const char *name : calls) {
        const int call = seccomp_syscall_resolve_name(name);
        if (call == __NR_SCMP_ERROR)
            continue;
        const int result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
        if (result < 0)
            warnFailed("seccomp_rule_add", -result);
    }
}

void filterCalls(bool sockets)
{
    const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter) {
        warnFailed("seccomp_init", ENOMEM);
        return;
    }
    refuse(filter, MetadataAndSystemCalls);
    if (!sockets)
        refuse(filter, SocketCalls);
    const int result = seccomp_load(filter);
    if (result < 0)
        warnFailed("seccomp_load", -result);
    seccomp_release(filter);
}

} // namespace

void Sandbox::closeInheritedDescriptors()
{
    if (close_range(FirstInheritedDescriptor, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // Kernels before 5.11 have no CLOSE_RANGE_CLOEXEC: one descriptor at a time.
    DIR *const descriptors = opendir(OpenDescriptorsFolder);
    if (!descriptors)
        return;
    while (const dirent *entry = readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        if (fd >= FirstInheritedDescriptor && fd != dirfd(descriptors))
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    closedir(descriptors);
}

unsigned long long Sandbox::writeRights(long abi)
{
    __u64 rights = WriteRights;
    if (abi < ReferAbi)
        rights &= ~LANDLOCK_ACCESS_FS_REFER;
    if (abi < TruncateAbi)
        rights &= ~LANDLOCK_ACCESS_FS_TRUNCATE;
    return rights;
}

void Sandbox::restrictToReading(bool sockets)
{
    const long abi = landlockAbi();
    // Answers the process's seccomp mode, or fails where the kernel has no seccomp.
    const bool seccomp = prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
    if (abi == 0 && !seccomp)
        return;
    // Both let a process without CAP_SYS_ADMIN restrict itself only once exec can no longer
    // grant privileges; asked for always, so that a run as root is held like a user's. None of
    // the programs the tool runs relies on a set-user-ID bit.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        warnFailed("prctl(PR_SET_NO_NEW_PRIVS)", errno);
    if (abi > 0)
        denyWriting(abi);
    if (seccomp)
        filterCalls(sockets);
}
