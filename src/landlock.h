// Landlock: what the run may not do to files, and whom it may not signal, whatever its rights.
#ifndef KIV_RECOVERY_LANDLOCK_H
#define KIV_RECOVERY_LANDLOCK_H

namespace Landlock {

// The kernel's Landlock ABI, or 0 where it has none or has it disabled.
long abi();

// The ABI from which ioctls on device files opened later are refused.
const long DeviceIoctlAbi = 5;

// What the restriction holds, once in force.
struct Held
{
    bool restricted = false;
    // Signals (and, without sockets, abstract UNIX sockets) reach no process outside the run.
    bool signalsScoped = false;
};

// Restricts the process and all it starts from now on; sockets says whether the run may reach
// abstract UNIX sockets outside it (its buses may be ones). Logs a failed step.
Held restrict(long abi, bool sockets);

} // namespace Landlock

#endif // KIV_RECOVERY_LANDLOCK_H
