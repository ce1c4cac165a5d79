// The capabilities a run holds, and dropping all but reading.
#include "capabilities.h"

#include "sandboxstep.h"

#include <cerrno>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The one capability bootlist keeps, so that descriptions owned by anyone stay readable.
const int ReadingCapability = CAP_DAC_READ_SEARCH;

} // namespace

Capabilities::Held Capabilities::held()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    Held held;
    if (syscall(SYS_capget, &header, sets) != 0)
        return held;
    held.admin = (sets[0].effective & (1U << CAP_SYS_ADMIN)) != 0;
    held.any = (sets[0].permitted | sets[1].permitted) != 0;
    return held;
}

bool Capabilities::dropAllButReading()
{
    for (int capability = 0; prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; ++capability) {
        if (capability != ReadingCapability && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            SandboxStep::warnFailed("prctl(PR_CAPBSET_DROP)", errno);
            return false;
        }
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) {
        SandboxStep::warnFailed("prctl(PR_CAP_AMBIENT_CLEAR_ALL)", errno);
        return false;
    }
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    sets[0].effective = 1U << ReadingCapability;
    sets[0].permitted = sets[0].effective;
    sets[0].inheritable = sets[0].effective;
    const bool dropped = syscall(SYS_capset, &header, sets) == 0;
    if (!dropped)
        SandboxStep::warnFailed("capset", errno);
    return dropped;
}
