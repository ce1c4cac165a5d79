// Landlock: the rights over files the run gives up, and the scoping of its signals.
#include "landlock.h"

#include "sandboxstep.h"

#include <cerrno>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

// Landlock rights and scopes newer than the oldest kernel headers the tool is built with (Debian
// 12's know ABI 1 and 2); the values are fixed by the kernel's ABI.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

// Every right that changes the filesystem. Reading, listing and executing are not handled and so
// stay allowed; the network and IPC are left to the namespaces and the seccomp filter.
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

// The rights Landlock is told to handle at ABI abi (1 or later): every right that changes the
// filesystem, and from ABI 5 ioctls on device files. With no rule added, each is denied
// everywhere. A kernel rejects a ruleset that names a right newer than its ABI.
__u64 handledRights(long abi)
{
    __u64 rights = WriteRights;
    if (abi < ReferAbi)
        rights &= ~LANDLOCK_ACCESS_FS_REFER;
    if (abi < TruncateAbi)
        rights &= ~LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= Landlock::DeviceIoctlAbi)
        rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

} // namespace

long Landlock::abi()
{
    // Fails with ENOSYS on kernels built without Landlock and EOPNOTSUPP where it is disabled.
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : abi;
}

Landlock::Held Landlock::restrict(long abi, bool sockets)
{
    RulesetAttributes attributes;
    attributes.handledAccessFs = handledRights(abi);
    if (abi >= ScopeAbi) {
        attributes.scoped = LANDLOCK_SCOPE_SIGNAL;
        if (!sockets)
            attributes.scoped |= LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
    }
    // No rule is added: with no path allowed a handled right is denied everywhere.
    Held held;
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0) {
        SandboxStep::warnFailed("landlock_create_ruleset", errno);
        return held;
    }
    held.restricted = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    if (!held.restricted)
        SandboxStep::warnFailed("landlock_restrict_self", errno);
    close(static_cast<int>(ruleset));
    held.signalsScoped = held.restricted && attributes.scoped != 0;
    return held;
}
