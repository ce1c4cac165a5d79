#ifndef KIV_RECOVERY_SANDBOX_H
#define KIV_RECOVERY_SANDBOX_H

// Has the kernel hold the process, and every program it starts from then on, to reading files.
class Sandbox
{
public:
    // Denies writing, creating, renaming, removing and truncating files anywhere, through Landlock.
    // Must run while the process still has one thread: the restriction covers the calling thread
    // and the threads and programs it starts afterwards, never threads that already exist. On a
    // kernel without Landlock it does nothing and says nothing: the tool works the same, only
    // without the kernel's guarantee.
    static void restrictToReading();

    // The Landlock rights that change the filesystem and that a kernel of Landlock ABI abi knows
    // (1 or later): it rejects a ruleset that names a right newer than its ABI.
    static unsigned long long writeRights(long abi);
};

#endif // KIV_RECOVERY_SANDBOX_H
