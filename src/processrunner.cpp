// How the tool runs a program and reads what it writes.
#include "processrunner.h"

#include "descriptor.h"

#include <QDebug>
#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// What one read of a program's output takes at most.
const int OutputChunk = 64 * 1024;

// One output of the program: its pipe's read end and what has been kept of it.
struct Output
{
    int fd = -1;
    QByteArray bytes;
    bool cut = false;
};

// Reads up to wanted bytes of the output, at most a chunk, keeping what fits under
// MaxOutputBytes; answers how many were read, 0 once the output has ended or failed.
int readOutput(Output &output, std::vector<char> &chunk, size_t wanted)
{
    ssize_t count = 0;
    do
        count = ::read(output.fd, chunk.data(), std::min(wanted, chunk.size()));
    while (count < 0 && errno == EINTR);
    if (count <= 0)
        return 0;
    const int room = ProcessRunner::MaxOutputBytes - output.bytes.size();
    output.bytes.append(chunk.data(), std::min(int(count), room));
    output.cut = output.cut || count > room;
    return int(count);
}

// Reads both outputs until the program has ended, then what they still hold: both are polled, so
// that a program that fills one pipe while the tool waits on the other cannot hold the run, and
// so is the program itself (a pidfd), so that a process it left behind holding a pipe cannot.
// Where the kernel has no pidfd (before 5.3) the outputs are read until both are closed.
void readUntilEnded(int pidfd, std::array<Output, 2> &outputs)
{
    std::array<pollfd, 3> watched = {
        {{outputs[0].fd, POLLIN, 0}, {outputs[1].fd, POLLIN, 0}, {pidfd, POLLIN, 0}}};
    const size_t programEntry = 2;
    std::vector<char> chunk(OutputChunk);
    while (watched[0].fd >= 0 || watched[1].fd >= 0) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (size_t i = 0; i < outputs.size(); ++i) {
            // poll passes over a negative descriptor: that output has ended.
            if (watched[i].fd >= 0 && watched[i].revents != 0 &&
                readOutput(outputs[i], chunk, chunk.size()) == 0)
                watched[i].fd = -1;
        }
        if (watched[programEntry].revents == 0)
            continue;
        // Only what the pipes hold now: a process left behind may go on writing.
        for (size_t i = 0; i < outputs.size(); ++i) {
            int held = 0;
            if (watched[i].fd < 0 || ::ioctl(watched[i].fd, FIONREAD, &held) != 0)
                continue;
            while (held > 0) {
                const int count = readOutput(outputs[i], chunk, size_t(held));
                if (count == 0)
                    break;
                held -= count;
            }
        }
        return;
    }
}

} // namespace

bool ProcessRunner::run(const QString &program, const QStringList &args, QByteArray &out,
                        QByteArray &err)
{
    // The program's name, then each argument, as the system names them: no shell, no splitting.
    std::vector<QByteArray> words{QFile::encodeName(program)};
    for (const QString &arg : args)
        words.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // Close-on-exec, so that a program gets only the ends it is given as its standard input,
    // output and error. Its input ends at once: nothing is ever sent.
    Pipe input;
    Pipe output;
    Pipe error;
    input.writeEnd.reset();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.readEnd.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error.writeEnd.get(), STDERR_FILENO);
    // A session of its own leaves the program no controlling terminal, and makes it and whatever
    // it starts one process group. The tool ignores SIGPIPE to see its own failed writes; a
    // program it starts gets the default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int started =
        posix_spawnp(&pid, argv.front(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    input.readEnd.reset();
    output.writeEnd.reset();
    error.writeEnd.reset();
    if (started != 0)
        return false;

    const Descriptor programEnd(int(::syscall(SYS_pidfd_open, pid, 0)));
    std::array<Output, 2> outputs;
    outputs[0].fd = output.readEnd.get();
    outputs[1].fd = error.readEnd.get();
    readUntilEnded(programEnd.get(), outputs);
    // What the program left behind in its group goes with it: signalled while the program is
    // still there to be reaped, so that no other group can have taken its number. Where signals
    // to processes the tool did not start itself are refused this fails; as root the run's own
    // PID namespace ends them when the run does.
    siginfo_t ended = {};
    int waited = 0;
    do
        waited = ::waitid(P_PID, id_t(pid), &ended, WEXITED | WNOWAIT);
    while (waited < 0 && errno == EINTR);
    ::kill(-pid, SIGKILL);
    int status = 0;
    pid_t reaped = 0;
    do
        reaped = ::waitpid(pid, &status, 0);
    while (reaped < 0 && errno == EINTR);

    for (const Output &taken : outputs) {
        if (taken.cut)
            qWarning() << "spawnCmd program = " << program << ", bytes = " << MaxOutputBytes;
    }
    out = outputs[0].bytes;
    err = outputs[1].bytes;
    return reaped == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
