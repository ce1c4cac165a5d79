// The tool's restriction to reading: which mechanism holds what, and in what order they are set.
#include "sandbox.h"

#include "capabilities.h"
#include "landlock.h"
#include "namespaces.h"
#include "sandboxstep.h"
#include "syscallfilter.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

const int FirstInheritedDescriptor = 3;
const char OpenDescriptorsFolder[] = "/proc/self/fd";
const char NullDevice[] = "/dev/null";

} // namespace

void Sandbox::resetDescriptors()
{
    // A standard descriptor left closed would be taken by the next file the tool opens, and the
    // boot list written into that file: it is opened on /dev/null, for reading only, so that a
    // write to it fails as a write to a closed descriptor does. The open takes the lowest free
    // number, the closed one; where it fails the inherited ones are closed all the same.
    for (int fd = STDIN_FILENO; fd < FirstInheritedDescriptor; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open(NullDevice, O_RDONLY);
    }
    if (close_range(FirstInheritedDescriptor, ~0U, 0) == 0)
        return;
    // Kernels before 5.9 have no close_range: the open ones are listed, then closed.
    DIR *const descriptors = opendir(OpenDescriptorsFolder);
    if (!descriptors)
        return;
    std::vector<int> open;
    while (const dirent *entry = readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        if (fd >= FirstInheritedDescriptor && fd != dirfd(descriptors))
            open.push_back(fd);
    }
    closedir(descriptors);
    for (const int fd : open)
        close(fd);
}

void Sandbox::restrictToReading(Reach reach)
{
    // Neither the tool nor the parent that waits for it in a PID namespace may be traced, nor its
    // memory and descriptors taken through /proc, by a process of the same user without
    // capabilities: a program the tool starts is one.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        SandboxStep::warnFailed("prctl(PR_SET_DUMPABLE)", errno);
    // Without privileges there are no namespaces to make, no mounts to change and no
    // capabilities to drop. The namespaces and mounts come first, as they need CAP_SYS_ADMIN;
    // then every capability but reading goes.
    const Capabilities::Held held = Capabilities::held();
    const bool filesOnly = reach == Reach::FilesOnly;
    const bool ownMounts = filesOnly && held.admin && Namespaces::enterMountNamespace();
    const bool ownPids = filesOnly && held.admin && Namespaces::runInOwnPidNamespace(ownMounts);
    const bool rootReadOnly = ownMounts && Namespaces::readOnlyMounts();
    const bool dropped = filesOnly && held.any && Capabilities::dropAllButReading();
    // Landlock and seccomp let a process without CAP_SYS_ADMIN restrict itself only once exec can
    // no longer grant privileges; asked for always, so that a run as root is held like a user's.
    // None of the programs the tool runs relies on a set-user-ID bit.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        SandboxStep::warnFailed("prctl(PR_SET_NO_NEW_PRIVS)", errno);
    const long abi = Landlock::abi();
    const Landlock::Held landlock =
        abi > 0 ? Landlock::restrict(abi, !filesOnly) : Landlock::Held();
    // Answers the process's seccomp mode, or fails where the kernel has no seccomp.
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0)
        return;
    SyscallFilter::Plan plan;
    plan.sockets = !filesOnly;
    plan.metadataHeld = rootReadOnly && dropped;
    plan.signalsScoped = landlock.signalsScoped;
    plan.ownPidNamespace = ownPids;
    plan.deviceIoctlsHeld = landlock.restricted && abi >= Landlock::DeviceIoctlAbi;
    plan.self = getpid();
    SyscallFilter::load(plan);
}
