// Preloaded into dorvanel in the vm tests' guest: the CD-ROM driver's tray
// requests fail with ENOTTY, as from a driver that cannot move the tray
// itself, so that only the program's SCSI command can move it.
#include <dlfcn.h>
#include <linux/cdrom.h>

#include <cerrno>
#include <cstdarg>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list rest;
    va_start(rest, request);
    void* const argument = va_arg(rest, void*);
    va_end(rest);
    if (request == CDROMEJECT || request == CDROMCLOSETRAY) {
        errno = ENOTTY;
        return -1;
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}
