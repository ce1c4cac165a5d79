// The seccomp filter and its groups of refused calls, one purpose a group.
#include "syscallfilter.h"

#include "sandboxstep.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// clang-format off
// @file-metadata: a file's mode, owner, times and extended attributes (a file capability is
// one), and truncating by path, which Landlock governs only from ABI 3 (Linux 6.2). Landlock
// leaves metadata alone; read-only mounts refuse it.
const char *const FileMetadataCalls[] = {
    "chown", "chown32", "fchown", "fchown32", "fchownat", "lchown", "lchown32",
    "chmod", "fchmod", "fchmodat", "fchmodat2",
    "setxattr", "lsetxattr", "fsetxattr", "setxattrat",
    "removexattr", "lremovexattr", "fremovexattr", "removexattrat",
    "utime", "utimes", "futimesat", "utimensat", "utimensat_time64",
    "truncate", "truncate64"};
// @system: swap, the running kernel, the clock, the host's name, accounting and quotas; dropped
// capabilities refuse them.
const char *const SystemCalls[] = {
    "swapon", "swapoff",
    "reboot", "kexec_load", "kexec_file_load",
    "init_module", "finit_module", "delete_module",
    "adjtimex", "clock_adjtime", "clock_adjtime64", "clock_settime", "clock_settime64",
    "settimeofday", "stime",
    "acct", "quotactl", "quotactl_fd", "sethostname", "setdomainname"};
// @mount: always, as without capabilities a process may still make a user namespace of its own
// and mount a fresh /proc or /sys there, which only Landlock would keep it from writing to.
const char *const MountCalls[] = {
    "mount", "umount", "umount2", "pivot_root", "chroot", "fsopen", "fsconfig", "fsmount",
    "fspick", "move_mount", "open_tree", "mount_setattr"};
// clang-format on
// @io-uring: its requests reach the kernel without passing through any call the filter names.
const char *const IoUringCalls[] = {"io_uring_setup", "io_uring_enter", "io_uring_register"};
// @process-access: another process's memory and descriptors, the tool's own among them, which
// its programs share credentials with.
const char *const ProcessAccessCalls[] = {"ptrace", "process_vm_readv", "process_vm_writev",
                                          "pidfd_getfd"};
// @keyring: the kernel's keys are the user's, not the run's: no namespace holds them.
const char *const KeyCalls[] = {"add_key", "keyctl", "request_key"};
// @file-handle: a file handle opens any file of a mounted filesystem, past every folder's
// rights and outside a chroot, with the capability to read that bootlist keeps.
const char *const FileHandleCalls[] = {"open_by_handle_at"};
// @socket: bootlist and its programs need none; a process that cannot open one cannot ask a
// root service (the system bus, init) to act for it.
const char *const SocketCalls[] = {"socket", "socketpair"};
// @signal: the calls that signal a process named by its ID, their first argument. Without
// Landlock's scoping they may signal the tool alone: a process of the run could otherwise stop
// another process of the same user, or reboot a machine with one signal to its init. A process
// descriptor may name any process, so signals through one are refused.
const char *const SignalCalls[] = {"kill", "tkill", "tgkill", "rt_sigqueueinfo",
                                   "rt_tgsigqueueinfo"};
const char *const PidfdSignalCalls[] = {"pidfd_send_signal"};
// @other-process: the calls that change another process, named by its ID in their first
// argument, where 0 names the caller: its limits, scheduling, CPUs and memory placement. With
// matching user IDs they need no capability; without a PID namespace of the run only 0 is let
// through.
const char *const OtherProcessCalls[] = {"sched_setaffinity", "sched_setscheduler",
                                         "sched_setparam",    "sched_setattr",
                                         "migrate_pages",     "move_pages"};
// prlimit64 only where it sets a limit, its third argument.
const char PrlimitCall[] = "prlimit64";
const unsigned NewLimitArgument = 2;
// setpriority and ioprio_set name a process, a process group or a user; 0 names the caller's
// own group or user, which hold other processes, so only the caller itself is let through.
const char SetPriorityCall[] = "setpriority";
const char IoPriorityCall[] = "ioprio_set";
// IOPRIO_WHO_PROCESS, fixed by the kernel's ABI; Debian 12's <linux/ioprio.h> does not build as
// C++.
const scmp_datum_t IoPriorityOfProcess = 1;
const unsigned WhoArgument = 1;

// The ioctls that type into a terminal, which the shell that started the tool would run once it
// is done. The kernel takes the request as 32 bits, so only those are compared.
const scmp_datum_t TerminalInput[] = {TIOCSTI, TIOCLINUX};
const scmp_datum_t RequestMask = 0xffffffff;
// The owner of a descriptor gets its SIGIO (or the signal F_SETSIG names) from the kernel, a
// signal to any process, which Landlock scopes only from ABI 6.
const scmp_datum_t OwnerFcntls[] = {F_SETOWN, F_SETOWN_EX};
const scmp_datum_t OwnerIoctls[] = {FIOSETOWN, SIOCSPGRP};
// The ioctl types of loop devices ('L': attach, detach, LOOP_CTL_ADD) and of consoles ('K'
// keyboard, 'V' virtual terminals), which obey a descriptor opened read-only. Landlock refuses
// every device ioctl from ABI 5; below it these types are refused by the type, bits 8 to 15 of
// the request.
const scmp_datum_t DeviceIoctlTypes[] = {'L', 'K', 'V'};
const scmp_datum_t IoctlTypeMask = 0xff00;
const int IoctlTypeShift = 8;

const unsigned FirstArgument = 0;
const unsigned RequestArgument = 1;

// A filter covers only the ABIs it is built for and kills a call of any other. An i386 tool on
// amd64 starts amd64 programs, so each family's ABIs are all filtered, with the same rules: the
// architectures Debian releases with their 32-bit companions.
const std::vector<std::vector<uint32_t>> AbiFamilies = {
    {SCMP_ARCH_X86_64, SCMP_ARCH_X86, SCMP_ARCH_X32},
    {SCMP_ARCH_AARCH64, SCMP_ARCH_ARM},
    {SCMP_ARCH_MIPSEL64, SCMP_ARCH_MIPSEL64N32, SCMP_ARCH_MIPSEL},
    {SCMP_ARCH_S390X, SCMP_ARCH_S390},
    {SCMP_ARCH_PPC64LE},
    {SCMP_ARCH_RISCV64}};

// Has the filter answer EPERM to the call named, when all the comparisons hold. A name that
// libseccomp does not know for any ABI adds no rule; one it knows for another ABI of the filter
// only (chown32 in an amd64 build) is refused there.
void refuse(scmp_filter_ctx filter, const char *name, const std::vector<scmp_arg_cmp> &when)
{
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR || call == __NR_SCMP_UNDEF)
        return;
    const int result = seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(EPERM), call,
                                              unsigned(when.size()), when.data());
    if (result < 0)
        SandboxStep::warnFailed("seccomp_rule_add", -result);
}

template <size_t Count>
void refuseAll(scmp_filter_ctx filter, const char *const (&names)[Count],
               const std::vector<scmp_arg_cmp> &when = {})
{
    for (const char *name : names)
        refuse(filter, name, when);
}

template <size_t Count>
void refuseRequests(scmp_filter_ctx filter, const char *name, unsigned argument,
                    const scmp_datum_t (&requests)[Count], scmp_datum_t mask = RequestMask)
{
    for (const scmp_datum_t request : requests)
        refuse(filter, name, {{argument, SCMP_CMP_MASKED_EQ, mask, request & mask}});
}

// Whether the kernel runs x32 programs: most amd64 kernels are built with that ABI but leave it
// off, and a filter for an ABI that cannot run only costs building it. An amd64 tool asks with
// one x32 call; an i386 tool has no call that could ask, so it counts on x32, lest the x32
// programs it might start be killed.
bool kernelRunsX32()
{
#if defined(__x86_64__) && !defined(__ILP32__)
    return syscall(__X32_SYSCALL_BIT | SYS_getpid) >= 0;
#else
    return true;
#endif
}

void addFamilyAbis(scmp_filter_ctx filter, uint32_t arch)
{
    for (const std::vector<uint32_t> &family : AbiFamilies) {
        if (std::find(family.cbegin(), family.cend(), arch) == family.cend())
            continue;
        for (const uint32_t abi : family) {
            if (abi == arch || (abi == SCMP_ARCH_X32 && !kernelRunsX32()))
                continue;
            const int result = seccomp_arch_add(filter, abi);
            if (result < 0)
                SandboxStep::warnFailed("seccomp_arch_add", -result);
        }
    }
}

// The calls that name another process by its ID, shut by their arguments where no PID namespace
// of the run keeps every other process out of their reach.
void refuseOtherProcesses(scmp_filter_ctx filter)
{
    const scmp_arg_cmp namesAnother = {FirstArgument, SCMP_CMP_NE, 0, 0};
    refuseAll(filter, OtherProcessCalls, {namesAnother});
    refuse(filter, PrlimitCall, {namesAnother, {NewLimitArgument, SCMP_CMP_NE, 0, 0}});
    refuse(filter, SetPriorityCall, {{FirstArgument, SCMP_CMP_NE, PRIO_PROCESS, 0}});
    refuse(filter, SetPriorityCall, {{WhoArgument, SCMP_CMP_NE, 0, 0}});
    refuse(filter, IoPriorityCall, {{FirstArgument, SCMP_CMP_NE, IoPriorityOfProcess, 0}});
    refuse(filter, IoPriorityCall, {{WhoArgument, SCMP_CMP_NE, 0, 0}});
}

} // namespace

scmp_filter_ctx SyscallFilter::build(const Plan &plan, uint32_t arch)
{
    const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter)
        return nullptr;
    // A failed load then reports the kernel's own error, not libseccomp's "Operation canceled".
    seccomp_attr_set(filter, SCMP_FLTATR_API_SYSRAWRC, 1);
    // The tool's own ABI is the one of the filter; another, asked for to see its filter without
    // loading it, takes its place first, as a filter's ABIs must share one byte order.
    if (arch != seccomp_arch_native()) {
        seccomp_arch_remove(filter, seccomp_arch_native());
        seccomp_arch_add(filter, arch);
    }
    addFamilyAbis(filter, arch);
    if (!plan.metadataHeld) {
        refuseAll(filter, FileMetadataCalls);
        refuseAll(filter, SystemCalls);
    }
    refuseAll(filter, MountCalls);
    refuseAll(filter, IoUringCalls);
    refuseAll(filter, ProcessAccessCalls);
    refuseAll(filter, KeyCalls);
    refuseAll(filter, FileHandleCalls);
    refuseRequests(filter, "ioctl", RequestArgument, TerminalInput);
    if (!plan.sockets)
        refuseAll(filter, SocketCalls);
    if (!plan.signalsScoped) {
        refuseAll(filter, SignalCalls, {{FirstArgument, SCMP_CMP_NE, scmp_datum_t(plan.self), 0}});
        refuseAll(filter, PidfdSignalCalls);
    }
    if (!plan.signalsScoped && !plan.ownPidNamespace) {
        refuseRequests(filter, "fcntl", RequestArgument, OwnerFcntls);
        refuseRequests(filter, "fcntl64", RequestArgument, OwnerFcntls);
        refuseRequests(filter, "ioctl", RequestArgument, OwnerIoctls);
    }
    if (!plan.ownPidNamespace)
        refuseOtherProcesses(filter);
    if (!plan.deviceIoctlsHeld) {
        for (const scmp_datum_t type : DeviceIoctlTypes)
            refuse(filter, "ioctl",
                   {{RequestArgument, SCMP_CMP_MASKED_EQ, IoctlTypeMask, type << IoctlTypeShift}});
    }
    return filter;
}

void SyscallFilter::load(const Plan &plan)
{
    const scmp_filter_ctx filter = build(plan, seccomp_arch_native());
    if (!filter) {
        SandboxStep::warnFailed("seccomp_init", ENOMEM);
        return;
    }
    const int result = seccomp_load(filter);
    if (result < 0)
        SandboxStep::warnFailed("seccomp_load", -result);
    seccomp_release(filter);
}
