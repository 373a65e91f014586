// Linux: the system calls the tray is moved with, the wait with nanosleep,
// and the usage notice and why a tray did not move on standard error (a
// console has no message box).
#include <fcntl.h>
#include <glob.h>
#include <linux/cdrom.h>
#include <linux/limits.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/linux_loop.h"
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

const char* holder(linux_tray::DeviceNumbers drive) {
    char pattern[sizeof "/sys/dev/block/:/holders/*" + 20];
    (void)std::snprintf(pattern, sizeof pattern, "/sys/dev/block/%u:%u/holders/*", drive.major, drive.minor);
    static char name[NAME_MAX + 1];
    glob_t holders{};
    const bool found = glob(pattern, 0, nullptr, &holders) == 0;
    if (found) (void)std::snprintf(name, sizeof name, "%s", std::strrchr(holders.gl_pathv[0], '/') + 1);
    globfree(&holders);
    return found ? name : nullptr;
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

// How long a drive has to answer a SCSI command: as long as the kernel allows its own tray requests, for
// a load that spins a disc up and reads it, or an eject that spins it down first. Only then does the
// kernel's error handler take the command back (and, as the kernel never retries one sent through SG_IO,
// return): a drive that never answers holds the program this long and the kernel's recovery a few seconds
// more, but a slow one is never aborted, nor its link or port reset, in the middle of a load.
constexpr unsigned scsi_timeout_ms = 60000;

linux_scsi::Answer scsi_command(int fd, linux_scsi::Command command) {
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
            linux_scsi::read_sense(std::span(sense).first(std::min<std::size_t>(io.sb_len_wr, sense.size())))};
}

void close_device(int fd) { close(fd); }

// Writes these pieces and a newline to standard error, in one writev. A reader that has gone
// must not end the program with SIGPIPE; a failed write has nowhere to be reported.
void write_stderr(std::span<const std::string_view> pieces) {
    (void)signal(SIGPIPE, SIG_IGN);
    std::array<iovec, 16> line{};
    std::size_t count = 0;
    for (const std::string_view piece : pieces.first(std::min(pieces.size(), line.size() - 1))) {
        line[count++] = {const_cast<char*>(piece.data()), piece.size()};  // writev only reads them
    }
    line[count++] = {const_cast<char*>("\n"), 1};
    while (writev(STDERR_FILENO, line.data(), static_cast<int>(count)) < 0 && errno == EINTR) {
    }
}

// Set by /Notify, which the desktop entry's commands give: launched from the
// desktop, the program has no terminal to show why a tray did not move.
bool notify_desktop = false;

void write_line(std::span<const std::string_view> pieces) {
    write_stderr(pieces);
    if (notify_desktop) linux_notify::show(pieces.subspan(1));  // all but "dorvanel: "
}

constexpr linux_tray::DeviceCalls device_calls{open_device, cd_drive,     linux_loop::find_on, unmount_disc, holder,
                                               cdrom_ioctl, scsi_command, close_device,        wait,         write_line};

}  // namespace

std::optional<Arguments> arguments(int argc, char** argv) {
    const std::size_t size = packed_size(argc, argv);
    if (size == 0) return Arguments{};
    // One buffer: the packed arguments, then as much again as room to normalise.
    char* const buffer = static_cast<char*>(std::malloc(2 * size));
    if (buffer == nullptr) return std::nullopt;
    const ArgumentList list = pack_argument_vector(argc, argv, {buffer, size});
    // /Notify is the Linux program's own: noted here, read as the options are, and left to the grammar to
    // ignore as an unknown word.
    const std::span<char> room{buffer + size, size};
    for (int i = 1; i < argc; ++i) notify_desktop = notify_desktop || normalise(argv[i], lowercase, room) == "notify";
    return Arguments{list, room};
}

void lowercase(char* text, std::size_t size) {
    // A to Z only: a UTF-8 text must keep its other bytes.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::transform(text, text + size, text, lower);
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
    char notice[512];
    std::size_t size = 0;
    for (; *text != '\0' && size < sizeof notice; ++text) {
        if (*text != '\r') notice[size++] = *text;
    }
    const std::string_view line{notice, size};
    write_stderr({&line, 1});
}

}  // namespace dorvanel::platform
