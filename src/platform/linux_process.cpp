#include "platform/linux_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace dorvanel::linux_process {
namespace {

int wait_for(pid_t child) {
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

}  // namespace

int run_quietly(const char* path, const char* const argv[]) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t fresh;
    sigset_t none, all;
    (void)sigemptyset(&none);
    (void)sigfillset(&all);
    int failure = posix_spawn_file_actions_init(&actions);
    if (failure == 0 && (failure = posix_spawnattr_init(&fresh)) != 0) posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) return -failure;
    failure = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (failure == 0) failure = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (failure == 0) failure = posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (failure == 0) failure = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (failure == 0) failure = posix_spawnattr_setsigmask(&fresh, &none);
    if (failure == 0) failure = posix_spawnattr_setsigdefault(&fresh, &all);
    if (failure == 0) failure = posix_spawnattr_setflags(&fresh, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    (void)signal(SIGCHLD, SIG_DFL);  // an ignored SIGCHLD would lose the exit status
    pid_t child;
    // posix_spawn takes the arguments as writable, and does not write to them.
    if (failure == 0) failure = posix_spawn(&child, path, &actions, &fresh, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&fresh);
    return failure != 0 ? -failure : wait_for(child);
}

bool detach() {
    (void)signal(SIGCHLD, SIG_DFL);
    const pid_t middle = fork();
    if (middle != 0) {
        if (middle > 0) (void)wait_for(middle);
        return false;
    }
    // The middle process ends at once: its child, orphaned, is reaped by init
    // (or the session's subreaper).
    if (fork() != 0) _exit(0);
    (void)setsid();
    sigset_t none;
    (void)sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) (void)std::signal(signal, SIG_DFL);
    closefrom(0);
    // The lowest free descriptors: 0, then 1 and 2.
    for (int fd = open("/dev/null", O_RDWR); fd >= 0 && fd < STDERR_FILENO;) fd = dup(fd);
    return true;
}

}  // namespace dorvanel::linux_process
