#include "platform/linux_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace dorvanel::linux_process {
namespace {

// Makes this forked process start as a fresh one would (linux_process.h).
void make_fresh() {
    sigset_t none{};
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) (void)std::signal(signal, SIG_DFL);
    closefrom(0);
    // The lowest free descriptors: 0, then 1 and 2.
    for (int fd = open("/dev/null", O_RDWR); fd >= 0 && fd < STDERR_FILENO;) fd = dup(fd);
}

int wait_for(pid_t child) {
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

}  // namespace

int run_quietly(const char* path, const char* const argv[]) {
    if (access(path, X_OK) != 0) return -errno;
    (void)signal(SIGCHLD, SIG_DFL);  // an ignored SIGCHLD would lose the exit status
    const pid_t child = fork();
    if (child < 0) return -errno;
    if (child == 0) {
        make_fresh();
        // execv takes the arguments as writable, and does not write to them.
        (void)execv(path, const_cast<char* const*>(argv));
        _exit(127);
    }
    return wait_for(child);
}

bool fork_detached() {
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
    make_fresh();
    return true;
}

}  // namespace dorvanel::linux_process
