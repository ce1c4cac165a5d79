// The run's own namespaces as root: a mount namespace whose mounts are all read-only, and a PID
// and an IPC namespace in which the rest of the run lives.
#ifndef KIV_RECOVERY_NAMESPACES_H
#define KIV_RECOVERY_NAMESPACES_H

namespace Namespaces {

// A mount namespace of the process's own: the mounts are copies, so what is done to them leaves
// the host's as they are. Needs CAP_SYS_ADMIN; logs a failure and answers false.
bool enterMountNamespace();

// Sets every mount of the namespace read-only and private, so that every change that goes
// through a mount, whatever call or ioctl asks for it, fails with EROFS, and none mounted on the
// host later appears here writable. Answers whether "/" itself is read-only, with every mount
// beneath it: where "/" is no mount point (a chroot, as an installer runs the boot menu
// generator) the mounts beneath it are set one by one and the chroot's own filesystem stays
// writable, so the answer is false. Logs the first failure.
bool readOnlyMounts();

// Moves the rest of the run into a PID and an IPC namespace of its own: the process forks once;
// the parent only waits and ends as the child ends, with its exit status or its signal, and the
// child, PID 1 of the new namespace, returns true and does the work. Every process the run starts
// lives there and goes when the child ends, and no process of the run can name one outside it,
// nor reach an IPC object or message queue of the host. The child mounts a /proc of its own, so
// that no path names an outside process either, and dies with the parent. Needs CAP_SYS_ADMIN
// and, for the /proc, the mount namespace; logs a failure and answers false, the run going on in
// the one process.
bool runInOwnPidNamespace(bool ownMounts);

// How the waiting parent ends: by the signal that ended the child, or that the child reported
// (SIGABRT, which PID 1 cannot end by), or else with the child's exit status, 1 where it has
// none (waitpid failed). status is what waitpid answered, where it did.
struct End
{
    int signal = 0;
    int status = 0;
};
End endOf(bool waited, int status, int reported);

} // namespace Namespaces

#endif // KIV_RECOVERY_NAMESPACES_H
