#include "platform/linux_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace dorvanel::linux_process {

int run_quietly(const char* path, const char* const argv[], int most_ms) {
    posix_spawn_file_actions_t quiet;
    if (const int failure = posix_spawn_file_actions_init(&quiet)) return -failure;
    int failure = posix_spawn_file_actions_addopen(&quiet, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (failure == 0) failure = posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (failure == 0) failure = posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
    (void)signal(SIGCHLD, SIG_DFL);  // an ignored SIGCHLD would lose the exit status
    pid_t child;
    // posix_spawn takes the arguments as writable, and does not write to them.
    if (failure == 0) failure = posix_spawn(&child, path, &quiet, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (failure != 0) return -failure;
    if (most_ms >= 0) {
        // Its pidfd becomes readable when it ends; without one, it is killed at once.
        const int ends = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
        pollfd ended{ends, POLLIN, 0};
        if (ends < 0 || poll(&ended, 1, most_ms) != 1) (void)kill(child, SIGKILL);
        if (ends >= 0) close(ends);
    }
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

}  // namespace dorvanel::linux_process
