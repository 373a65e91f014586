// Linux: the tray through the CD-ROM driver, the wait with nanosleep, the
// usage notice on standard error (a console has no message box).
#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/limits.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// The numbers of the block device at `path` (relative to `folder`), if it is one.
// statx serves every look at a file, so that binding it at start costs once.
std::optional<linux_tray::DeviceNumbers> block_device(int folder, const char* path, int flags) {
    struct statx file {};
    if (statx(folder, path, flags, STATX_TYPE, &file) != 0 || !S_ISBLK(file.stx_mode)) return std::nullopt;
    return linux_tray::DeviceNumbers{file.stx_rdev_major, file.stx_rdev_minor};
}

std::optional<linux_tray::DeviceNumbers> cd_drive(int fd) {
    const auto device = block_device(fd, "", AT_EMPTY_PATH);
    // Only the CD-ROM driver answers this request.
    if (!device || ioctl(fd, CDROM_GET_CAPABILITY, 0) < 0) return std::nullopt;
    return device;
}

// A sysfs file's text, without its last newline; false when it cannot be read.
bool read_sysfs(const char* path, std::span<char> text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t size;
    while ((size = read(fd, text.data(), text.size() - 1)) < 0 && errno == EINTR) {
    }
    close(fd);
    if (size <= 0) return false;
    if (text[static_cast<std::size_t>(size) - 1] == '\n') --size;
    text[static_cast<std::size_t>(size)] = '\0';
    return true;
}

// Whether `visit` returns true for a name in the folder at `path` ("." and
// ".." left out). Read with getdents64 through syscall, which the program
// binds anyway: opendir and its kin would cost three more at every start.
template <typename Visit>
bool any_entry(const char* path, Visit visit) {
    const int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    alignas(dirent64) char entries[4096];
    bool found = false;
    for (long size; !found && (size = syscall(SYS_getdents64, folder, entries, sizeof entries)) > 0;) {
        for (long at = 0; !found && at < size;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            const std::string_view name = entry->d_name;
            found = name != "." && name != ".." && visit(entry->d_name);
            at += entry->d_reclen;
        }
    }
    close(folder);
    return found;
}

bool has_stacked_devices(linux_tray::DeviceNumbers drive) {
    // A device-mapper target (or another layer the kernel links the same
    // way) is listed among the drive's holders.
    char holders[64];  // room for any two numbers
    (void)std::snprintf(holders, sizeof holders, "/sys/dev/block/%u:%u/holders", drive.major, drive.minor);
    if (any_entry(holders, [](const char*) { return true; })) return true;
    // A loop device is not: its backing file is named in sysfs, by the path
    // the kernel has for the file it holds open.
    return any_entry("/sys/block", [&](const char* name) {
        if (!std::string_view(name).starts_with("loop")) return false;
        char path[PATH_MAX + 1];  // room for any name in a folder, and for any path sysfs gives
        (void)std::snprintf(path, sizeof path, "/sys/block/%s/loop/backing_file", name);
        const auto backing = read_sysfs(path, path) ? block_device(AT_FDCWD, path, 0) : std::nullopt;
        return backing && backing->major == drive.major && backing->minor == drive.minor;
    });
}

void unmount_disc(linux_tray::DeviceNumbers drive) {
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
        linux_mounts::unmount_mounts({text, size}, drive, linux_mounts::unmount_mount);
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
