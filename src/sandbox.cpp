#include "sandbox.h"

#include <linux/landlock.h>
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
// stay allowed; device ioctls, the network and IPC are left alone, as the D-Bus buses need them.
const __u64 WriteRights =
    LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER | LANDLOCK_ACCESS_FS_TRUNCATE;
// The ABIs that brought the rights newer than the first.
const long ReferAbi = 2;
const long TruncateAbi = 3;

long landlockAbi()
{
    // Fails with ENOSYS on kernels built without Landlock and EOPNOTSUPP where it is disabled.
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : abi;
}

} // namespace

unsigned long long Sandbox::writeRights(long abi)
{
    __u64 rights = WriteRights;
    if (abi < ReferAbi)
        rights &= ~LANDLOCK_ACCESS_FS_REFER;
    if (abi < TruncateAbi)
        rights &= ~LANDLOCK_ACCESS_FS_TRUNCATE;
    return rights;
}

void Sandbox::restrictToReading()
{
    const long abi = landlockAbi();
    if (abi == 0)
        return;
    landlock_ruleset_attr attributes{};
    attributes.handled_access_fs = writeRights(abi);
    // No rule is added: with no path allowed a handled right is denied everywhere.
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0)
        return;
    // Landlock lets a process without CAP_SYS_ADMIN restrict itself only once exec can no longer
    // grant privileges; asked for always, so that a run as root is held like a user's. None of
    // the programs the tool runs relies on a set-user-ID bit.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
        syscall(SYS_landlock_restrict_self, ruleset, 0);
    close(static_cast<int>(ruleset));
}
