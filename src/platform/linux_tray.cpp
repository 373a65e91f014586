#include "platform/linux_tray.h"

#include <linux/cdrom.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace dorvanel::linux_tray {
namespace {

// The driver's ways of saying "this drive cannot do that request".
constexpr bool is_unsupported(int result) {
    return result == -ENOSYS || result == -ENOTTY || result == -EINVAL;
}

// Up to two seconds for another opener to let go of the door lock.
constexpr int unlock_tries = 21;
constexpr std::uint32_t unlock_pause = 100;

// mountinfo writes space, tab, newline and backslash in a path as \ooo.
constexpr bool is_octal_escape(std::string_view text) {
    return text.size() >= 4 && text[0] == '\\' && text[1] >= '0' && text[1] <= '3' && text[2] >= '0' &&
           text[2] <= '7' && text[3] >= '0' && text[3] <= '7';
}

// One line of mountinfo: "id parent major:minor root mount-point options ...",
// the mount point as written there. None for a line cut short.
struct Mount {
    std::string_view id, parent, device, mount_point;
};

std::optional<Mount> read_mount(std::string_view line) {
    std::string_view fields[5];
    std::size_t at = 0;
    for (std::string_view& field : fields) {
        const std::size_t space = line.find(' ', at);
        // A line cut short has no blank after its mount point, and no room to end it.
        if (space == std::string_view::npos) return std::nullopt;
        field = line.substr(at, space - at);
        at = space + 1;
    }
    return Mount{fields[0], fields[1], fields[2], fields[4]};
}

// Calls `visit` with each mount in the table, the last first, while it returns true.
template <typename Visit>
void each_mount(std::string_view table, Visit visit) {
    for (std::size_t end = table.size(); end > 0;) {
        std::size_t start = end;
        while (start > 0 && table[start - 1] != '\n') --start;
        if (const auto mount = read_mount({table.data() + start, end - start}); mount && !visit(*mount)) return;
        end = start > 0 ? start - 1 : 0;
    }
}

// Whether `mount` stands on the mount `below`, directly or through others.
bool stands_on(std::string_view table, const Mount& mount, std::string_view below) {
    // A table read in several pieces may not agree with itself: no walk
    // goes on longer than the table has lines.
    auto steps = std::count(table.begin(), table.end(), '\n') + 1;
    for (std::string_view parent = mount.parent; steps-- > 0;) {
        if (parent == below) return true;
        std::optional<std::string_view> next;
        each_mount(table, [&](const Mount& at) {
            if (at.id == parent) next = at.parent;
            return !next;
        });
        if (!next) return false;
        parent = *next;
    }
    return false;
}

// Whether a mount point of the device holds another filesystem that the
// device's mount there does not stand on: umount(8) would take that one off
// instead (one mounted over the disc), or could not reach the disc's.
bool holds_another(std::string_view table, std::string_view device) {
    bool found = false;
    each_mount(table, [&](const Mount& disc) {
        if (disc.device != device) return true;
        each_mount(table, [&](const Mount& other) {
            found = other.device != device && other.mount_point == disc.mount_point &&
                    !stands_on(table, disc, other.id);
            return !found;
        });
        return !found;
    });
    return found;
}

}  // namespace

std::optional<DevicePath> device_for(const DriveElement& drive) {
    DevicePath device;
    if (drive.size == 0) {
        constexpr std::string_view default_device = "/dev/cdrom";
        std::memcpy(device.bytes.data(), default_device.data(), default_device.size());
        return device;
    }
    const char letter = drive.bytes[1];
    if (letter < 'd' || letter > 'z') return std::nullopt;

    constexpr std::string_view prefix = "/dev/sr";
    const int number = letter - 'd';
    std::memcpy(device.bytes.data(), prefix.data(), prefix.size());
    std::size_t size = prefix.size();
    if (number >= 10) device.bytes[size++] = static_cast<char>('0' + number / 10);
    device.bytes[size] = static_cast<char>('0' + number % 10);
    return device;
}

void drive_tray(const char* device, DoorAction action, const DeviceCalls& calls) {
    int fd;
    if (action == DoorAction::Open) {
        // Open alone, the device is lent to no filesystem: none is mounted
        // from it, and none can be until the tray has moved.
        fd = calls.open_device(device, true);
        if (fd == -EBUSY) {
            calls.unmount_disc(device);
            fd = calls.open_device(device, true);
        }
    } else {
        fd = calls.open_device(device, false);
    }
    if (fd < 0) return;
    int result;
    if (action == DoorAction::Open) {
        // Opening the drive reports a disc just loaded, and udev's cdrom_id
        // then opens it too, to lock the door; while it does (a tenth of a
        // second), the driver lets only root unlock the door.
        for (int tries = 1; calls.control(fd, CDROM_LOCKDOOR, 0) == -EBUSY && tries < unlock_tries; ++tries) {
            calls.wait(unlock_pause);
        }
        result = calls.control(fd, CDROMEJECT, 0);
    } else {
        result = calls.control(fd, CDROMCLOSETRAY, 0);
    }
    if (is_unsupported(result)) calls.start_stop_unit(fd, action == DoorAction::Close);
    calls.close_device(fd);
}

void unmount_mounts(std::span<char> mountinfo, unsigned major, unsigned minor,
                    int (*unmount)(const char* mount_point)) {
    std::array<char, 24> numbers;  // "major:minor", as mountinfo writes it
    char* end = std::to_chars(numbers.data(), numbers.data() + 10, major).ptr;
    *end++ = ':';
    end = std::to_chars(end, numbers.data() + numbers.size(), minor).ptr;
    const std::string_view device(numbers.data(), static_cast<std::size_t>(end - numbers.data()));
    const std::string_view table(mountinfo.data(), mountinfo.size());
    if (holds_another(table, device)) return;

    // Last line first: a filesystem mounted on top of another from the same
    // disc has to go before it.
    each_mount(table, [&](const Mount& mount) {
        if (mount.device != device) return true;
        // Unescaped within its own line, which no later visit reads.
        char* const path = mountinfo.data() + (mount.mount_point.data() - table.data());
        std::size_t size = 0;
        for (std::size_t i = 0; i < mount.mount_point.size();) {
            if (is_octal_escape(mount.mount_point.substr(i))) {
                path[size++] =
                    static_cast<char>((path[i + 1] - '0') * 64 + (path[i + 2] - '0') * 8 + (path[i + 3] - '0'));
                i += 4;
            } else {
                path[size++] = path[i++];
            }
        }
        path[size] = '\0';  // on the blank after the mount point at the latest
        return unmount(path) == 0;
    });
}

}  // namespace dorvanel::linux_tray
