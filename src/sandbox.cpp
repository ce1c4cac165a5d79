// The tool's restriction to reading: a read-only mount namespace and dropped capabilities for
// bootlist as root, Landlock and a seccomp filter for both actions.
#include "sandbox.h"

#include "bootlisttext.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

// Landlock rights and scopes newer than the oldest kernel headers the tool is built with (Debian
// 12's know ABI 1 and 2); the values are fixed by the kernel's ABI.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

// Every right that changes the filesystem. Reading, listing and executing are not handled and so
// stay allowed; device ioctls, the network and IPC are left to the seccomp filter.
const __u64 WriteRights =
    LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER | LANDLOCK_ACCESS_FS_TRUNCATE;
// The ABIs that brought the rights newer than the first, and scoping.
const long ReferAbi = 2;
const long TruncateAbi = 3;
const long ScopeAbi = 6;

// A ruleset's attributes as Landlock ABI 6 knows them. Older kernels take the larger structure
// as long as the members they do not know are zero.
struct RulesetAttributes
{
    __u64 handledAccessFs = 0;
    __u64 handledAccessNet = 0;
    __u64 scoped = 0;
};

// Landlock governs the contents and names of files, not their metadata, and nothing outside the
// filesystem. These calls would change what Landlock leaves alone: a file's mode, owner, times and
// extended attributes (a file capability is one), the running kernel, the clock and the host's
// name; and truncating by path, which Landlock governs only from ABI 3 (Linux 6.2). Read-only
// mounts and dropped capabilities refuse all of them, so they are filtered only where those are
// not in force. They are the members of systemd's @chown, @swap, @reboot, @module and @clock
// groups, the metadata and truncate calls of @file-system, and acct, quotactl and the name setters
// of @privileged. One family a line.
// clang-format off
const char *const MetadataAndSystemCalls[] = {
    "chown", "chown32", "fchown", "fchown32", "fchownat", "lchown", "lchown32",
    "chmod", "fchmod", "fchmodat", "fchmodat2",
    "setxattr", "lsetxattr", "fsetxattr", "setxattrat",
    "removexattr", "lremovexattr", "fremovexattr", "removexattrat",
    "utime", "utimes", "futimesat", "utimensat", "utimensat_time64",
    "truncate", "truncate64",
    "swapon", "swapoff",
    "reboot", "kexec_load", "kexec_file_load",
    "init_module", "finit_module", "delete_module",
    "adjtimex", "clock_adjtime", "clock_adjtime64", "clock_settime", "clock_settime64",
    "settimeofday", "stime",
    "acct", "quotactl", "quotactl_fd", "sethostname", "setdomainname"};
// The mount family, systemd's @mount, is refused always: without capabilities a process may
// still make a user namespace of its own and mount a fresh /proc or /sys there, which only
// Landlock would keep it from writing to.
const char *const MountCalls[] = {
    "mount", "umount", "umount2", "pivot_root", "chroot", "fsopen", "fsconfig", "fsmount",
    "fspick", "move_mount", "open_tree", "mount_setattr"};
// clang-format on
// io_uring's requests reach the kernel without passing through any call the filter names, so it
// is refused as a whole.
const char *const IoUringCalls[] = {"io_uring_setup", "io_uring_enter", "io_uring_register"};
// bootlist and the programs it starts need no socket; a process that cannot open one cannot ask
// a root service (the system bus, init) to act for it.
const char *const SocketCalls[] = {"socket", "socketpair"};
// The calls that signal a process named by its ID, its first argument. Without Landlock's
// scoping they may signal the tool alone: a process of the run could otherwise stop another
// process of the same user, or reboot a machine with one signal to its init.
const char *const SignalCalls[] = {"kill", "tkill", "tgkill", "rt_sigqueueinfo",
                                   "rt_tgsigqueueinfo"};
// A process descriptor may name any process, so signals through one are refused.
const char PidfdSignalCall[] = "pidfd_send_signal";
// The ioctls that type into a terminal, which the shell that started the tool would run once it
// is done. The kernel takes the request as 32 bits, so only those are compared.
const scmp_datum_t TerminalInput[] = {TIOCSTI, TIOCLINUX};
const scmp_datum_t RequestMask = 0xffffffff;
const unsigned RequestArgument = 1;
const unsigned TargetArgument = 0;
// A filter covers only the ABIs it is built for and kills a call of any other. An i386 tool on
// amd64 starts amd64 programs, so each family's ABIs are all filtered, with the same rules.
const std::vector<std::vector<uint32_t>> AbiFamilies = {
    {SCMP_ARCH_X86_64, SCMP_ARCH_X86, SCMP_ARCH_X32}, {SCMP_ARCH_AARCH64, SCMP_ARCH_ARM}};

// The one capability bootlist keeps, so that descriptions owned by anyone stay readable.
const int ReadingCapability = CAP_DAC_READ_SEARCH;

const int FirstInheritedDescriptor = 3;
const char OpenDescriptorsFolder[] = "/proc/self/fd";
const char RootFolder[] = "/";

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

// Answers whether signals are scoped to the run.
bool restrictWithLandlock(long abi, Sandbox::Action action)
{
    RulesetAttributes attributes;
    attributes.handledAccessFs = Sandbox::writeRights(abi);
    if (abi >= ScopeAbi) {
        attributes.scoped = LANDLOCK_SCOPE_SIGNAL;
        if (action == Sandbox::Action::BootList)
            attributes.scoped |= LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
    }
    // No rule is added: with no path allowed a handled right is denied everywhere.
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0) {
        warnFailed("landlock_create_ruleset", errno);
        return false;
    }
    const bool restricted = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    if (!restricted)
        warnFailed("landlock_restrict_self", errno);
    close(static_cast<int>(ruleset));
    return restricted && attributes.scoped != 0;
}

// Has the filter answer EPERM to the call named, when all the comparisons hold. A name that
// libseccomp does not know for any ABI adds no rule; one it knows for another ABI of the filter
// only (chown32 in an amd64 build) is refused there.
void refuse(scmp_filter_ctx filter, const char *name, const std::vector<scmp_arg_cmp> &when)
{
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR || call == __NR_SCMP_UNDEF)
        return;
    const int result = seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(EPERM), call,
                                              unsigned(when.size()), when.data());
    if (result < 0)
        warnFailed("seccomp_rule_add", -result);
}

// Whether the kernel runs x32 programs: most amd64 kernels are built with that ABI but leave it
// off, and a filter for an ABI that cannot run only costs building it.
bool kernelRunsX32()
{
#if defined(__x86_64__) && !defined(__ILP32__)
    return syscall(__X32_SYSCALL_BIT | SYS_getpid) >= 0;
#else
    return true;
#endif
}

template <size_t Count> void refuseAll(scmp_filter_ctx filter, const char *const (&names)[Count])
{
    for (const char *name : names)
        refuse(filter, name, {});
}

void addKernelAbis(scmp_filter_ctx filter)
{
    const uint32_t native = seccomp_arch_native();
    for (const std::vector<uint32_t> &family : AbiFamilies) {
        if (std::find(family.cbegin(), family.cend(), native) == family.cend())
            continue;
        for (const uint32_t abi : family) {
            if (abi == native || (abi == SCMP_ARCH_X32 && !kernelRunsX32()))
                continue;
            const int result = seccomp_arch_add(filter, abi);
            if (result < 0)
                warnFailed("seccomp_arch_add", -result);
        }
    }
}

// Builds and loads the filter. With classesHeld, read-only mounts and dropped capabilities
// refuse what MetadataAndSystemCalls names, and it is left out.
void filterCalls(Sandbox::Action action, bool refuseSignals, bool classesHeld)
{
    const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter) {
        warnFailed("seccomp_init", ENOMEM);
        return;
    }
    // A failed load then reports the kernel's own error, not libseccomp's "Operation canceled".
    seccomp_attr_set(filter, SCMP_FLTATR_API_SYSRAWRC, 1);
    addKernelAbis(filter);
    if (!classesHeld)
        refuseAll(filter, MetadataAndSystemCalls);
    refuseAll(filter, MountCalls);
    refuseAll(filter, IoUringCalls);
    for (const scmp_datum_t request : TerminalInput)
        refuse(filter, "ioctl", {{RequestArgument, SCMP_CMP_MASKED_EQ, RequestMask, request}});
    if (action == Sandbox::Action::BootList)
        refuseAll(filter, SocketCalls);
    if (refuseSignals) {
        const scmp_datum_t self = scmp_datum_t(getpid());
        for (const char *name : SignalCalls)
            refuse(filter, name, {{TargetArgument, SCMP_CMP_NE, self, 0}});
        refuse(filter, PidfdSignalCall, {});
    }
    const int result = seccomp_load(filter);
    if (result < 0)
        warnFailed("seccomp_load", -result);
    seccomp_release(filter);
}

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

// Every change that goes through a mount, whatever call or ioctl asks for it, then fails with
// EROFS. The mounts are the namespace's own copies: the host's stay as they are, and being
// private, none mounted on the host later appears here writable.
bool readOnlyMounts()
{
    if (unshare(CLONE_NEWNS) != 0) {
        warnFailed("unshare(CLONE_NEWNS)", errno);
        return false;
    }
    const int error = setReadOnly(RootFolder, 0, true);
    // In a chroot, as an installer runs the boot menu generator, "/" need not be a mount point;
    // the mounts beneath it are in the table, each to be set on its own, as on old kernels.
    if (error != EINVAL && error != ENOSYS) {
        if (error != 0)
            warnFailed("mount_setattr", error);
        return error == 0;
    }
    const QByteArray mountinfo = BootListText::readMountTable();
    int firstError = 0;
    for (const BootListText::MountPoint &point : BootListText::mountPoints(mountinfo)) {
        const int pointError = setReadOnly(point.path.constData(), point.flags, false);
        if (firstError == 0)
            firstError = pointError;
    }
    if (firstError != 0)
        warnFailed(error == ENOSYS ? "mount(MS_REMOUNT)" : "mount_setattr", firstError);
    return firstError == 0;
}

// What the process may do with capabilities: mount (CAP_SYS_ADMIN), and anything at all.
struct Privileges
{
    bool admin = false;
    bool any = false;
};

Privileges heldPrivileges()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    Privileges held;
    if (syscall(SYS_capget, &header, sets) != 0)
        return held;
    held.admin = (sets[0].effective & (1U << CAP_SYS_ADMIN)) != 0;
    held.any = (sets[0].permitted | sets[1].permitted) != 0;
    return held;
}

// Keeps the capability to read alone, for the tool and every program it starts: with it gone
// from the bounding set, no program regains another.
bool dropCapabilities()
{
    for (int capability = 0; prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; ++capability) {
        if (capability != ReadingCapability && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            warnFailed("prctl(PR_CAPBSET_DROP)", errno);
            return false;
        }
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) {
        warnFailed("prctl(PR_CAP_AMBIENT_CLEAR_ALL)", errno);
        return false;
    }
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    sets[0].effective = 1U << ReadingCapability;
    sets[0].permitted = sets[0].effective;
    sets[0].inheritable = sets[0].effective;
    const bool dropped = syscall(SYS_capset, &header, sets) == 0;
    if (!dropped)
        warnFailed("capset", errno);
    return dropped;
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

void Sandbox::restrictToReading(Action action)
{
    // Without privileges there are no mounts to change and no capabilities to drop. The mounts
    // are set first, as that needs CAP_SYS_ADMIN; then every capability but reading goes.
    const Privileges held = heldPrivileges();
    const bool bootList = action == Action::BootList;
    const bool readOnly = bootList && held.admin && readOnlyMounts();
    const bool dropped = bootList && held.any && dropCapabilities();
    // Landlock and seccomp let a process without CAP_SYS_ADMIN restrict itself only once exec can
    // no longer grant privileges; asked for always, so that a run as root is held like a user's.
    // None of the programs the tool runs relies on a set-user-ID bit.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        warnFailed("prctl(PR_SET_NO_NEW_PRIVS)", errno);
    const long abi = landlockAbi();
    const bool signalsScoped = abi > 0 && restrictWithLandlock(abi, action);
    // Answers the process's seccomp mode, or fails where the kernel has no seccomp.
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0)
        filterCalls(action, !signalsScoped, readOnly && dropped);
}
