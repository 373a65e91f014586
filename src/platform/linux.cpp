// Linux: the tray through the CD-ROM driver, the wait with nanosleep, the
// usage notice and why a tray did not move on standard error (a console has
// no message box).
#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/limits.h>
#include <linux/loop.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "platform/linux_notify.h"
#include "platform/linux_tray.h"
#include "platform/platform.h"

namespace dorvanel::platform {
namespace {

int open_device(const char* path, bool exclusive) {
    // Without O_NONBLOCK the driver may close the tray or wait for a disc. The kernel lets
    // PREVENT ALLOW MEDIUM REMOVAL through only from a descriptor open for writing (or from root).
    constexpr int flags = O_NONBLOCK | O_CLOEXEC;
    int fd = exclusive ? open(path, O_RDWR | O_EXCL | flags) : -1;
    if (fd < 0 && (!exclusive || errno == EACCES || errno == EPERM || errno == EROFS)) {
        fd = open(path, O_RDONLY | flags | (exclusive ? O_EXCL : 0));
    }
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

int loop_status(const char* name, linux_tray::BackingFile& file) {
    char path[sizeof "/dev/" + NAME_MAX];
    (void)std::snprintf(path, sizeof path, "/dev/%s", name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    loop_info64 status{};
    const int result = ioctl(fd, LOOP_GET_STATUS64, &status);
    const int error = errno;
    close(fd);
    if (result != 0) return -error;
    // The node must lead to that very loop device.
    char own[sizeof "loop" + 10];
    (void)std::snprintf(own, sizeof own, "loop%u", status.lo_number);
    if (std::string_view(own) != name) return -ENODEV;
    file.on = {major(status.lo_device), minor(status.lo_device)};
    // Zero for a backing file that is no device.
    if (status.lo_rdevice != 0) file.is = linux_tray::DeviceNumbers{major(status.lo_rdevice), minor(status.lo_rdevice)};
    return 0;
}

int backing_file(const char* name, std::span<char> path) {
    char attribute[sizeof "/sys/block//loop/backing_file" + NAME_MAX];
    (void)std::snprintf(attribute, sizeof attribute, "/sys/block/%s/loop/backing_file", name);
    const int fd = open(attribute, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    // sysfs gives an attribute whole, in one read.
    ssize_t got;
    while ((got = read(fd, path.data(), path.size())) < 0 && errno == EINTR) {
    }
    const int error = errno;
    close(fd);
    if (got < 0) return -error;
    // The kernel ends the path with a newline; one that fills the room was cut short.
    const auto size = static_cast<std::size_t>(got);
    if (size == 0 || size == path.size() || path[size - 1] != '\n') return -ENAMETOOLONG;
    path[size - 1] = '\0';
    return 0;
}

int file_numbers(const char* path, linux_tray::BackingFile& file) {
    struct stat seen {};
    if (stat(path, &seen) != 0) return -errno;
    file.on = {major(seen.st_dev), minor(seen.st_dev)};
    if (S_ISBLK(seen.st_mode)) file.is = linux_tray::DeviceNumbers{major(seen.st_rdev), minor(seen.st_rdev)};
    return 0;
}

constexpr linux_tray::LoopCalls loop_calls{loop_status, backing_file, file_numbers};

// The next entry of a /sys folder that does not start with a dot (no device's name does), kept
// until the next call; none at the end and on an error, which `error` tells apart (readdir's errno).
const char* next_name(DIR* folder, int& error) {
    static char name[NAME_MAX + 1];
    const dirent* entry;
    while ((errno = 0, entry = readdir(folder)) != nullptr && entry->d_name[0] == '.') {
    }
    error = errno;
    if (entry == nullptr) return nullptr;
    (void)std::snprintf(name, sizeof name, "%s", entry->d_name);
    return name;
}

linux_tray::LoopOnDrive loop_on_drive(linux_tray::DeviceNumbers drive) {
    DIR* const block = opendir("/sys/block");
    if (block == nullptr) return {linux_tray::LoopReads::Unknown};
    linux_tray::LoopOnDrive loop;
    int error = 0;
    for (const char* name; loop.reads == linux_tray::LoopReads::Other && (name = next_name(block, error)) != nullptr;) {
        char bound[sizeof "/sys/block//loop" + NAME_MAX];
        // Only a loop device that is bound has this folder.
        (void)std::snprintf(bound, sizeof bound, "/sys/block/%s/loop", name);
        if (access(bound, F_OK) == 0) {
            loop = {linux_tray::judge_loop(name, drive, loop_calls), name};
        } else if (errno != ENOENT) {
            loop = {linux_tray::LoopReads::Unknown, name};
        }
    }
    closedir(block);
    return error != 0 ? linux_tray::LoopOnDrive{linux_tray::LoopReads::Unknown} : loop;
}

const char* holder(linux_tray::DeviceNumbers drive) {
    char path[sizeof "/sys/dev/block/:/holders" + 20];
    (void)std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/holders", drive.major, drive.minor);
    DIR* const holders = opendir(path);
    if (holders == nullptr) return nullptr;
    int error;
    const char* const name = next_name(holders, error);
    closedir(holders);
    return name;
}

constexpr linux_mounts::MountCalls mount_calls{linux_mounts::prove_mount, linux_mounts::unmount_mount};

linux_mounts::Unmounted unmount_disc(linux_tray::DeviceNumbers drive) {
    const int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0) return {linux_mounts::Unmounted::End::Unreadable};
    // Read to its end (read gives 0) or not at all: a table read in part could leave out a disc's mount.
    char* text = nullptr;
    std::size_t size = 0, room = 0;
    ssize_t got = 1;
    while (got > 0) {
        char* const room_for = size < room ? text : static_cast<char*>(std::realloc(text, room = room * 2 + 16384));
        if (room_for == nullptr) break;
        text = room_for;
        while ((got = read(table, text + size, room - size)) < 0 && errno == EINTR) {
        }
        if (got > 0) size += static_cast<std::size_t>(got);
    }
    close(table);
    const auto unmounted = got == 0 ? linux_mounts::unmount_mounts({text, size}, drive, mount_calls)
                                    : linux_mounts::Unmounted{linux_mounts::Unmounted::End::Unreadable};
    // A mount point named in the result lives in the table's text, which then stays until the process ends.
    if (unmounted.mount_point == nullptr) std::free(text);
    return unmounted;
}

int cdrom_ioctl(int fd, unsigned long request, unsigned long argument) {
    const int result = ioctl(fd, request, argument);
    return result < 0 ? -errno : result;
}

// How long a drive has to answer a SCSI command (the kernel allows no less than 7 s). Then the
// kernel aborts the command and, as it never retries one sent through SG_IO, returns: a drive that
// never answers holds the program this long and the kernel's recovery a few seconds more.
constexpr unsigned scsi_timeout_ms = 10000;

linux_tray::ScsiAnswer scsi_command(int fd, std::array<std::uint8_t, 6> command) {
    std::array<std::uint8_t, 32> sense{};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = command.size();
    io.cmdp = command.data();
    io.mx_sb_len = sense.size();
    io.sbp = sense.data();
    io.timeout = scsi_timeout_ms;
    if (ioctl(fd, SG_IO, &io) < 0) return {-errno};
    return {0, io.status, io.host_status, io.driver_status,
            linux_tray::read_sense(std::span(sense).first(std::min<std::size_t>(io.sb_len_wr, sense.size())))};
}

void close_device(int fd) { close(fd); }

// Writes these pieces and a newline to standard error, in one writev. A reader that has gone
// must not end the program with SIGPIPE; a failed write has nowhere to be reported.
void write_stderr(std::span<const std::string_view> pieces) {
    (void)signal(SIGPIPE, SIG_IGN);
    std::array<iovec, 16> line{};
    std::size_t count = 0;
    for (const std::string_view piece : pieces.first(std::min(pieces.size(), line.size() - 1))) {
        line[count++] = {const_cast<char*>(piece.data()), piece.size()};
    }
    line[count++] = {const_cast<char*>("\n"), 1};
    while (writev(STDERR_FILENO, line.data(), static_cast<int>(count)) < 0 && errno == EINTR) {
    }
}

// Set by /Notify, which the desktop entry's commands give: launched from the
// desktop, the program has no terminal to show why a tray stayed shut.
bool notify_desktop = false;

// Whether `argument` is `word` once read as the options are: its slashes
// removed, A to Z lowercased.
bool is_option(const char* argument, std::string_view word) {
    for (char c; (c = *argument++) != '\0';) {
        lowercase(&c, 1);
        if (c != '/' && (word.empty() || c != word.front())) return false;
        if (c != '/') word.remove_prefix(1);
    }
    return word.empty();
}

void write_line(std::span<const std::string_view> pieces) {
    write_stderr(pieces);
    if (notify_desktop) linux_notify::show(pieces.subspan(1));  // all but "dorvanel: "
}

constexpr linux_tray::DeviceCalls device_calls{open_device, cd_drive,     loop_on_drive, unmount_disc, holder,
                                               cdrom_ioctl, scsi_command, close_device,  wait,         write_line};

}  // namespace

std::optional<Arguments> arguments(int argc, char** argv) {
    const std::size_t size = packed_size(argc, argv);
    if (size == 0) return Arguments{};
    // One buffer: the packed arguments, then as much again as room to normalise.
    char* const buffer = static_cast<char*>(std::malloc(2 * size));
    if (buffer == nullptr) return std::nullopt;
    const ArgumentList list = pack_argument_vector(argc, argv, {buffer, size});
    // /Notify is the Linux program's own: noted here, and left to the grammar to ignore as an unknown word.
    for (int i = 1; i < argc; ++i) notify_desktop = notify_desktop || is_option(argv[i], "notify");
    return Arguments{list, {buffer + size, size}};
}

void lowercase(char* text, std::size_t size) {
    // A to Z only: a UTF-8 text must keep its other bytes.
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    }
}

bool is_lead_byte(unsigned char) { return false; }

void move_tray(const DriveElement& drive, DoorAction action) { linux_tray::move_tray(drive, action, device_calls); }

void wait(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void show_notice(const char* text, const char*, unsigned) {
    // The lines end in a plain newline here, the last one too.
    std::array<std::string_view, 15> pieces{};
    std::size_t count = 0;
    for (std::string_view rest = text; count + 2 <= pieces.size();) {
        const std::size_t end = std::min(rest.find("\r\n"), rest.size());
        pieces[count++] = {rest.data(), end};
        if (end == rest.size()) break;
        pieces[count++] = "\n";
        rest.remove_prefix(end + 2);
    }
    write_stderr({pieces.data(), count});
}

}  // namespace dorvanel::platform
