// SPDX-License-Identifier: MIT
// Runs one command and prints its wall time in seconds and its peak resident
// set in KiB. A small launcher, so that the peak is the command's own: a child
// forked from a large process (the Python harness) would count the parent's
// pages as its own until it execs.
//
// usage: spawn OUT COMMAND [ARG...]   (OUT: file for the command's standard
// output, or - for /dev/null)
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: spawn OUT COMMAND [ARG...]\n", stderr);
        return 2;
    }
    const char* out = std::strcmp(argv[1], "-") == 0 ? "/dev/null" : argv[1];
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 2;
    }
    if (pid == 0) {
        const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0)
            _exit(126);
        execvp(argv[2], argv + 2);
        std::fprintf(stderr, "spawn: %s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    std::printf("%.6f %ld\n", seconds, usage.ru_maxrss);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
