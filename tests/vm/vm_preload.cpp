// Preloaded into dorvanel in the vm tests' guest, where a step needs the
// system to act otherwise than it does:
// - DORVANEL_VM_NO_SG_IO set: SG_IO fails with ENOTTY, as on a device that
//   takes no SCSI commands, so that only the CD-ROM driver's own requests can
//   move the tray.
// - DORVANEL_VM_ANY_CD set: CDROM_GET_CAPABILITY succeeds on any device, as
//   it would on a character device whose driver takes that number for a
//   request of its own.
// - DORVANEL_VM_BEFORE_LOOKUP=COMMAND: COMMAND runs through sh, once, when
//   the program first looks up a name within a directory (openat): after it
//   has read the mount table, before it looks for the first mount point. It
//   stands for another process acting at that moment.
// - DORVANEL_VM_READ_ERROR set: every read after the first fails with EIO,
//   as the mount table's second read, or a second loop device's backing
//   file, would on a failing system.
#include <dlfcn.h>
#include <unistd.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list rest;
    va_start(rest, request);
    void* const argument = va_arg(rest, void*);
    va_end(rest);
    if (std::getenv("DORVANEL_VM_NO_SG_IO") && request == SG_IO) {
        errno = ENOTTY;
        return -1;
    }
    if (std::getenv("DORVANEL_VM_ANY_CD") && request == CDROM_GET_CAPABILITY) return 0;
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}

extern "C" int openat(int directory, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const unsigned mode = va_arg(rest, unsigned);
    va_end(rest);
    static bool ran = false;
    if (const char* command = std::getenv("DORVANEL_VM_BEFORE_LOOKUP"); command && !ran) {
        ran = true;
        (void)std::system(command);
    }
    using Openat = int (*)(int, const char*, int, ...);
    static const auto real = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
    return real(directory, path, flags, mode);
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    static bool first = true;
    if (std::getenv("DORVANEL_VM_READ_ERROR") && !first) {
        errno = EIO;
        return -1;
    }
    first = false;
    using Read = ssize_t (*)(int, void*, size_t);
    static const auto real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    return real(fd, buffer, size);
}
