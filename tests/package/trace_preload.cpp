// Preloaded into the installed program by the package test: records which
// device it opens and how long it waits, without touching a drive or waiting.
// Every device open fails as if the device did not exist, so no tray moves.
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using OpenCall = int (*)(const char*, int, ...);

OpenCall real_open() { return reinterpret_cast<OpenCall>(dlsym(RTLD_NEXT, "open")); }

void record(const char* line) {
    const char* log = std::getenv("DORVANEL_TRACE");
    if (log == nullptr) return;
    const int fd = real_open()(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)!write(fd, line, std::strlen(line));
    close(fd);
}

int traced_open(const char* path, int flags, mode_t mode) {
    if (std::strncmp(path, "/dev/", 5) != 0) return real_open()(path, flags, mode);
    char line[256];
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

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    return traced_open(path, flags, mode);
}

// The same call under its large-file name.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int nanosleep(const struct timespec* duration, struct timespec*) {
    char line[64];
    std::snprintf(line, sizeof line, "wait %lld ms\n",
                  static_cast<long long>(duration->tv_sec) * 1000 + duration->tv_nsec / 1000000);
    record(line);
    return 0;
}

}  // extern "C"
