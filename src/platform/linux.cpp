// Linux: the tray through the CD-ROM driver, the wait with nanosleep, the
// usage notice on standard error (a console has no message box).
#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/limits.h>
#include <linux/loop.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "platform/linux_tray.h"
#include "platform/platform.h"

namespace dorvanel::platform {
namespace {

int open_device(const char* path, bool alone) {
    // Without O_NONBLOCK the driver may close the tray or wait for a disc.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (alone ? O_EXCL : 0));
    return fd < 0 ? -errno : fd;
}

std::optional<linux_tray::DeviceNumbers> cd_drive(int fd) {
    struct statx file {};
    // Only the CD-ROM driver answers CDROM_GET_CAPABILITY.
    if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &file) != 0 || !S_ISBLK(file.stx_mode) ||
        ioctl(fd, CDROM_GET_CAPABILITY, 0) < 0) {
        return std::nullopt;
    }
    return linux_tray::DeviceNumbers{file.stx_rdev_major, file.stx_rdev_minor};
}

// Whether the block device `name` is a loop device that reads the drive, or
// a file on its disc, by the numbers the kernel keeps for its backing file.
// True when that cannot be told.
bool loop_reads(const char* name, linux_tray::DeviceNumbers drive) {
    char path[sizeof "/sys/block//loop" + NAME_MAX];
    // Only a loop device that is bound has this directory.
    (void)std::snprintf(path, sizeof path, "/sys/block/%s/loop", name);
    if (access(path, F_OK) != 0) return errno != ENOENT;
    (void)std::snprintf(path, sizeof path, "/dev/%s", name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    loop_info64 status{};
    const int result = ioctl(fd, LOOP_GET_STATUS64, &status);
    const int error = errno;
    close(fd);
    if (result != 0) return error != ENXIO;  // ENXIO: unbound since
    // The node must lead to that very loop device.
    char own[sizeof "loop" + 10];
    (void)std::snprintf(own, sizeof own, "loop%u", status.lo_number);
    const auto on_drive = [&](std::uint64_t device) {
        return linux_tray::DeviceNumbers{major(device), minor(device)} == drive;
    };
    return std::string_view(own) != name || on_drive(status.lo_rdevice) || on_drive(status.lo_device);
}

// True also when /sys/block cannot be read to its end: then a loop device
// could be left out.
bool has_stacked_devices(linux_tray::DeviceNumbers drive) {
    DIR* const block = opendir("/sys/block");
    if (block == nullptr) return true;
    bool stacked = false;
    const dirent* entry;
    // readdir gives none at the end and on an error, which only errno tells apart.
    while (!stacked && (errno = 0, entry = readdir(block)) != nullptr) {
        // "." and "..": no device's name starts with a dot.
        stacked = entry->d_name[0] != '.' && loop_reads(entry->d_name, drive);
    }
    stacked = stacked || errno != 0;
    closedir(block);
    return stacked;
}

void unmount_disc(linux_tray::DeviceNumbers drive) {
    const int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0) return;
    // Read to its end (read gives 0) or not at all: a table read only in part
    // could leave out one of the disc's mounts.
    char* text = nullptr;
    std::size_t size = 0, room = 0;
    ssize_t got = 1;
    while (got > 0) {
        if (size == room) {
            char* const larger = static_cast<char*>(std::realloc(text, room = room * 2 + 16384));
            if (larger == nullptr) break;
            text = larger;
        }
        while ((got = read(table, text + size, room - size)) < 0 && errno == EINTR) {
        }
        if (got > 0) size += static_cast<std::size_t>(got);
    }
    close(table);
    if (got == 0) {
        (void)signal(SIGCHLD, SIG_DFL);  // an ignored SIGCHLD would lose umount's exit status
        linux_mounts::unmount_mounts({text, size}, drive, {linux_mounts::prove_mount, linux_mounts::unmount_mount});
    }
    std::free(text);
}

int control(int fd, unsigned long request, unsigned long argument) {
    return ioctl(fd, request, argument) < 0 ? -errno : 0;
}

// How long a drive has to answer START STOP UNIT (the kernel allows no less
// than 7 s). Then the kernel aborts the command and, as it never retries one
// sent through SG_IO, returns: a drive that never answers holds the program
// about this long, not until it answers.
constexpr unsigned start_stop_timeout_ms = 10000;

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
    io.timeout = start_stop_timeout_ms;
    return ioctl(fd, SG_IO, &io) < 0 ? -errno : 0;
}

void close_device(int fd) { close(fd); }

constexpr linux_tray::DeviceCalls device_calls{open_device,  cd_drive,        has_stacked_devices, unmount_disc,
                                               control,      start_stop_unit, close_device,        wait};

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
    const auto device = linux_tray::device_for(drive);
    if (!device) return;
    if (action == DoorAction::Open) {
        linux_tray::open_tray(device->bytes.data(), device_calls);
    } else {
        linux_tray::close_tray(device->bytes.data(), device_calls);
    }
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
