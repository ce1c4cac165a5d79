/* The least any program must do to run a command and take in what it prints: posix_spawnp with
 * standard input an empty pipe and standard output and error two pipes, both read to their end
 * with poll(), then waitpid. bench.py sets its time beside that of the tool's own starts.
 * Usage: spawn COUNT PROGRAM [ARGUMENT...] runs the command COUNT times, one after the other. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static void fail(const char *what, int error)
{
    fprintf(stderr, "spawn: %s: %s\n", what, strerror(error));
    exit(1);
}

/* Close-on-exec, so that the child keeps only the ends it is given as 0, 1 and 2. */
static void makePipe(int ends[2])
{
    if (pipe2(ends, O_CLOEXEC) != 0)
        fail("pipe2", errno);
}

/* Reads both pipes until each is at its end, dropping what comes: the tool keeps it, but that
 * costs nothing beside a start. */
static void drain(int output, int error)
{
    struct pollfd fds[2] = {{.fd = output, .events = POLLIN}, {.fd = error, .events = POLLIN}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail("poll", errno);
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count > 0 || (count < 0 && errno == EINTR))
                continue;
            if (count < 0)
                fail("read", errno);
            close(fds[i].fd);
            /* poll passes over a negative descriptor. */
            fds[i].fd = -1;
            --open;
        }
    }
}

static void start(char **argv)
{
    int input[2];
    int output[2];
    int error[2];
    makePipe(input);
    makePipe(output);
    makePipe(error);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, error[1], 2);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ);
    if (failed != 0)
        fail(argv[0], failed);
    posix_spawn_file_actions_destroy(&actions);
    /* Closing the writing end at once gives the child an empty input. */
    close(input[0]);
    close(input[1]);
    close(output[1]);
    close(error[1]);
    drain(output[0], error[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            fail("waitpid", errno);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "spawn: %s failed\n", argv[0]);
        exit(1);
    }
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: spawn COUNT PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    const long count = strtol(argv[1], NULL, 10);
    for (long i = 0; i < count; ++i)
        start(argv + 2);
    return 0;
}
