// Linux: the tray through the CD-ROM driver, the wait with nanosleep, the
// usage notice on standard error (a console has no message box).
#include <fcntl.h>
#include <scsi/sg.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "platform/linux_tray.h"
#include "platform/platform.h"

namespace dorvanel::platform {
namespace {

int open_device(const char* path, bool alone) {
    // Without O_NONBLOCK the driver may close the tray or wait for a disc.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (alone ? O_EXCL : 0));
    return fd < 0 ? -errno : fd;
}

// umount(8) knows more than the kernel: fstab's `user` mounts, and the
// helpers of automounters. What it says goes nowhere.
int run_umount(const char* mount_point) {
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
    char* argv[] = {const_cast<char*>("umount"), const_cast<char*>(mount_point), nullptr};
    pid_t umount;
    const int failure = posix_spawn(&umount, "/bin/umount", &quiet, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (failure != 0) return -failure;
    int status;
    while (waitpid(umount, &status, 0) < 0) {
        if (errno != EINTR) return -errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -EBUSY;
}

void unmount_disc(const char* path) {
    struct stat device;
    if (stat(path, &device) != 0 || !S_ISBLK(device.st_mode)) return;
    const int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0) return;
    char* text = nullptr;
    std::size_t size = 0;
    // A table read only in part could hide a mount that covers the disc's:
    // nothing is unmounted then.
    bool whole = true;
    for (std::size_t room = 0;;) {
        if (size == room) {
            room = room * 2 + 16384;
            char* const larger = static_cast<char*>(std::realloc(text, room));
            if (larger == nullptr) {
                whole = false;
                break;
            }
            text = larger;
        }
        const ssize_t got = read(table, text + size, room - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) whole = false;
        if (got <= 0) break;
        size += static_cast<std::size_t>(got);
    }
    close(table);
    if (whole) {
        (void)signal(SIGCHLD, SIG_DFL);  // an ignored SIGCHLD would lose umount's exit status
        linux_tray::unmount_mounts({text, size}, major(device.st_rdev), minor(device.st_rdev), run_umount);
    }
    std::free(text);
}

int control(int fd, unsigned long request, unsigned long argument) {
    return ioctl(fd, request, argument) < 0 ? -errno : 0;
}

int start_stop_unit(int fd, bool start) {
    unsigned char command[6] = {0x1B, 0, 0, 0, static_cast<unsigned char>(start ? 0x03 : 0x02), 0};
    unsigned char sense[32] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = sizeof command;
    io.cmdp = command;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 10000;
    return ioctl(fd, SG_IO, &io) < 0 ? -errno : 0;
}

void close_device(int fd) { close(fd); }

constexpr linux_tray::DeviceCalls device_calls{open_device, unmount_disc, control, start_stop_unit, close_device, wait};

}  // namespace

std::optional<Arguments> arguments(int argc, char** argv) {
    const std::size_t size = packed_size(argc, argv);
    if (size == 0) return Arguments{};
    // One buffer: the packed arguments, then as much again as room to normalise.
    char* const buffer = static_cast<char*>(std::malloc(2 * size));
    if (buffer == nullptr) return std::nullopt;
    const ArgumentList list = pack_argument_vector(argc, argv, {buffer, size});
    return Arguments{list, {buffer + size, size}};
}

void lowercase(char* text, std::size_t size) {
    // A to Z only: a UTF-8 text must keep its other bytes.
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    }
}

bool is_lead_byte(unsigned char) { return false; }

void move_tray(const DriveElement& drive, DoorAction action) {
    if (const auto device = linux_tray::device_for(drive)) linux_tray::drive_tray(device->bytes.data(), action, device_calls);
}

void wait(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void show_notice(const char* text, const char*, unsigned) {
    // The lines end in a plain newline here, the last one too; a failed write
    // has nowhere to be reported. A reader that has gone must not end the
    // program with SIGPIPE: the exit status stays 0.
    (void)signal(SIGPIPE, SIG_IGN);
    char out[256];
    std::size_t size = 0;
    const auto flush = [&] {
        for (std::size_t done = 0; done < size;) {
            const ssize_t written = write(STDERR_FILENO, out + done, size - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) break;
            done += static_cast<std::size_t>(written);
        }
        size = 0;
    };
    for (const char* c = text;; ++c) {
        if (size == sizeof out) flush();
        if (*c == '\0') break;
        if (*c == '\r' && c[1] == '\n') continue;
        out[size++] = *c;
    }
    out[size++] = '\n';
    flush();
}

}  // namespace dorvanel::platform
