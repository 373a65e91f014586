// Preloaded into the program wherever a test runs it outside a vm: records
// which device it opens and how long it waits, without touching a drive or
// waiting. Every device open fails as if the device did not exist, so no tray
// moves. A device is anything under /dev/, also when reached through a link
// or a relative path, and any block device; it is caught at every libc entry
// that opens a file by name, the fortified ones included.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using OpenAtCall = int (*)(int, const char*, int, ...);

// Every open below goes to the system through this one, with the path as given.
int system_openat(int directory, const char* path, int flags, mode_t mode) {
    static const auto next = reinterpret_cast<OpenAtCall>(dlsym(RTLD_NEXT, "openat"));
    return next(directory, path, flags, mode);
}

void record(const char* line) {
    const char* log = std::getenv("DORVANEL_TRACE");
    if (log == nullptr) return;
    const int fd = system_openat(AT_FDCWD, log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)!write(fd, line, std::strlen(line));
    close(fd);
}

bool in_dev(const char* path) { return std::strncmp(path, "/dev/", 5) == 0; }

// Where `path`, relative to `directory`, leads once every link is followed.
bool leads_to_device(int directory, const char* path) {
    if (in_dev(path)) return true;
    char full[PATH_MAX];
    if (path[0] != '/' && directory != AT_FDCWD) {
        char link[32];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", directory);
        const ssize_t size = readlink(link, full, sizeof full - 1);
        if (size < 0) return false;
        std::snprintf(full + size, sizeof full - static_cast<std::size_t>(size), "/%s", path);
        if (in_dev(full)) return true;
        path = full;
    }
    char resolved[PATH_MAX];
    // A path that leads nowhere opens nothing.
    if (realpath(path, resolved) == nullptr) return false;
    struct stat target;
    return in_dev(resolved) || (stat(resolved, &target) == 0 && S_ISBLK(target.st_mode));
}

int traced_open(int directory, const char* path, int flags, mode_t mode) {
    if (!leads_to_device(directory, path)) return system_openat(directory, path, flags, mode);
    char line[PATH_MAX + 32];
    // The flags too when asked: the end-to-end test checks them.
    if (std::getenv("DORVANEL_TRACE_FLAGS") != nullptr) {
        std::snprintf(line, sizeof line, "open %s 0x%x\n", path, static_cast<unsigned>(flags));
    } else {
        std::snprintf(line, sizeof line, "open %s\n", path);
    }
    record(line);
    errno = ENOENT;
    return -1;
}

mode_t mode_argument(int flags, va_list rest) {
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(rest, mode_t) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = mode_argument(flags, rest);
    va_end(rest);
    return traced_open(AT_FDCWD, path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = mode_argument(flags, rest);
    va_end(rest);
    return traced_open(directory, path, flags, mode);
}

// What _FORTIFY_SOURCE turns an open with flags known only at run time into.
int __open_2(const char* path, int flags) { return traced_open(AT_FDCWD, path, flags, 0); }
int __openat_2(int directory, const char* path, int flags) { return traced_open(directory, path, flags, 0); }

// The same calls under their large-file names.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
int openat64(int directory, const char* path, int flags, ...) __attribute__((alias("openat")));
int __open64_2(const char* path, int flags) __attribute__((alias("__open_2")));
int __openat64_2(int directory, const char* path, int flags) __attribute__((alias("__openat_2")));

// Newer C libraries wrap the openat2 system call too; older ones never call this.
int openat2(int directory, const char* path, struct open_how* how, std::size_t size) {
    if (leads_to_device(directory, path)) return traced_open(directory, path, static_cast<int>(how->flags), 0);
    return static_cast<int>(syscall(SYS_openat2, directory, path, how, size));
}

int nanosleep(const struct timespec* duration, struct timespec*) {
    char line[64];
    std::snprintf(line, sizeof line, "wait %lld ms\n",
                  static_cast<long long>(duration->tv_sec) * 1000 + duration->tv_nsec / 1000000);
    record(line);
    return 0;
}

}  // extern "C"
