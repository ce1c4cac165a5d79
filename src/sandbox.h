#ifndef KIV_RECOVERY_SANDBOX_H
#define KIV_RECOVERY_SANDBOX_H

// Has the kernel hold the process, and every program it starts from then on, to reading.
class Sandbox
{
public:
    // Marks every descriptor from 3 up close-on-exec. Whatever started the tool (a shell, a
    // package hook) may have left descriptors open to files it could write; none is the tool's,
    // and none may reach the programs the tool starts.
    static void closeInheritedDescriptors();

    // Denies writing, creating, renaming, removing and truncating files anywhere (Landlock), and
    // answers EPERM to the system calls that change a file's metadata or the system itself and,
    // without sockets, to socket and socketpair (seccomp). Must run while the process still has one
    // thread: the restriction covers the calling thread and the threads and programs it starts
    // afterwards, never threads that already exist. Where the kernel offers neither it does
    // nothing and says nothing; where a step fails it logs a warning and the run goes on.
    static void restrictToReading(bool sockets);

    // The Landlock rights that change the filesystem and that a kernel of Landlock ABI abi knows
    // (1 or later): it rejects a ruleset that names a right newer than its ABI.
    static unsigned long long writeRights(long abi);
};

#endif // KIV_RECOVERY_SANDBOX_H
