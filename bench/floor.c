/* The floor for the Linux program's whole run: the least a C program linked
 * only to the C library can do to close a tray. It opens the device the way
 * dorvanel does, makes the one ioctl and exits. */
#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(void) {
    int fd = open("/dev/cdrom", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ioctl(fd, CDROMCLOSETRAY, 0);
        close(fd);
    }
    return 0;
}
