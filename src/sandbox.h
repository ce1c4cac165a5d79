// The restriction the tool puts itself under once its action is chosen: the kernel holds the
// process, and every program it starts, to reading.
//
// A step that fails (an old kernel, a container that refuses a call, a missing privilege) logs
// one warning naming the step and the error, and the run goes on with the mechanisms that did
// take hold. The list feeds a boot menu: a run that stopped there would leave the user no way
// back to a snapshot, which is worse than a list read by a run held less tightly.
#ifndef KIV_RECOVERY_SANDBOX_H
#define KIV_RECOVERY_SANDBOX_H

namespace Sandbox {

// What a run may reach beside reading files and starting programs.
enum class Reach
{
    // Nothing more: no socket; with the privileges for it, a mount, PID and IPC namespace of the
    // run's own, every mount read-only and no capability but reading files owned by anyone.
    FilesOnly,
    // Sockets too: its connections to the session and system buses.
    FilesAndSockets,
};

// Closes every descriptor from 3 up, and opens a standard one that is closed on /dev/null for
// reading. Whatever started the tool (a shell, a package hook) may have left descriptors open to
// files it could write; none is the tool's, and none may reach the programs the tool starts, nor
// be taken from the tool itself. No library the tool uses needs one of them.
void resetDescriptors();

// For both reaches: denies writing, creating, renaming, removing and truncating files anywhere,
// ioctls on devices and signals to processes outside the run (Landlock), makes the process
// undumpable, and refuses the system calls that change a file's metadata, the system, another
// process, the keyrings, io_uring and typing into a terminal (seccomp). Must run while the process
// still has one thread, before the mount table is read: the restriction covers the calling
// thread and the threads and programs it starts afterwards, and a new namespace gives its mounts
// new IDs. As root with FilesOnly the process forks into a PID namespace of its own: the parent
// never returns from here, it ends as the run ends. What the kernel does not offer is left out
// without a word.
void restrictToReading(Reach reach);

} // namespace Sandbox

#endif // KIV_RECOVERY_SANDBOX_H
