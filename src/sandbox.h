// The restriction the tool puts itself under once its action is chosen: the kernel holds the
// process, and every program it starts, to reading.
#ifndef KIV_RECOVERY_SANDBOX_H
#define KIV_RECOVERY_SANDBOX_H

class Sandbox
{
public:
    // What the action needs beside reading files and starting programs.
    enum class Action
    {
        // Nothing: no socket, no capability but reading files owned by anyone.
        BootList,
        // Its connections to the session and system buses.
        Notify,
    };

    // Marks every descriptor from 3 up close-on-exec. Whatever started the tool (a shell, a
    // package hook) may have left descriptors open to files it could write; none is the tool's,
    // and none may reach the programs the tool starts.
    static void closeInheritedDescriptors();

    // For both actions: denies writing, creating, renaming, removing and truncating files
    // anywhere and signals to processes outside the run (Landlock), and refuses the system calls
    // that change a file's metadata or the system itself, io_uring and typing into a terminal
    // (seccomp). For bootlist also sockets and, with the privileges for it, every mount
    // read-only in a mount namespace of its own and every capability dropped but reading.
    // Must run while the process still has one thread, before the mount table is read: the
    // restriction covers the calling thread and the threads and programs it starts afterwards,
    // and a new namespace gives its mounts new IDs. What the kernel does not offer is left out
    // without a word; where a step fails it logs a warning and the run goes on.
    static void restrictToReading(Action action);

    // The Landlock rights that change the filesystem and that a kernel of Landlock ABI abi knows
    // (1 or later): it rejects a ruleset that names a right newer than its ABI.
    static unsigned long long writeRights(long abi);
};

#endif // KIV_RECOVERY_SANDBOX_H
