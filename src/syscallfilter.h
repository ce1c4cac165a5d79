// The seccomp filter: the system calls the run refuses where no class mechanism (a namespace, a
// read-only mount, a dropped capability, Landlock) already does.
#ifndef KIV_RECOVERY_SYSCALLFILTER_H
#define KIV_RECOVERY_SYSCALLFILTER_H

#include <seccomp.h>

#include <cstdint>

namespace SyscallFilter {

// What the other mechanisms hold, which the filter then leaves to them, and what the run needs.
struct Plan
{
    // The run may open sockets: its connections to the buses.
    bool sockets = false;
    // "/" and every mount beneath it are read-only and capabilities are dropped, which refuses
    // every change to files' metadata and to the system.
    bool metadataHeld = false;
    // Landlock keeps signals inside the run.
    bool signalsScoped = false;
    // The run has a PID namespace of its own: no process outside it can be named.
    bool ownPidNamespace = false;
    // Landlock refuses ioctls on device files opened from now on.
    bool deviceIoctlsHeld = false;
    // The tool's process ID, the one process its calls that signal may name.
    long self = 0;
};

// The filter of plan for every ABI of the family of arch that the kernel may run (SCMP_ARCH_*;
// the tool's own ABI when loading it), or null where libseccomp cannot make one. The caller
// releases it.
scmp_filter_ctx build(const Plan &plan, uint32_t arch);

// Builds the filter for the tool's own ABI and loads it; logs a failed step.
void load(const Plan &plan);

} // namespace SyscallFilter

#endif // KIV_RECOVERY_SYSCALLFILTER_H
