#include "platform/linux_tray.h"

#include <linux/cdrom.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace dorvanel::linux_tray {
namespace {

// The driver's ways of saying "this drive cannot do that request".
constexpr bool is_unsupported(int result) {
    return result == -ENOSYS || result == -ENOTTY || result == -EINVAL;
}

// mountinfo writes space, tab, newline and backslash in a path as \ooo.
constexpr bool is_octal_escape(std::string_view text) {
    return text.size() >= 4 && text[0] == '\\' && text[1] >= '0' && text[1] <= '3' && text[2] >= '0' &&
           text[2] <= '7' && text[3] >= '0' && text[3] <= '7';
}

// One line of mountinfo: "id parent major:minor root mount-point options ...".
int unmount_if_on(std::span<char> line, std::string_view device, int (*unmount)(const char*)) {
    const std::string_view text(line.data(), line.size());
    std::string_view fields[5];
    std::size_t at = 0;
    for (std::string_view& field : fields) {
        const std::size_t space = text.find(' ', at);
        // A line cut short has no blank after its mount point, and no room to end it.
        if (space == std::string_view::npos) return 0;
        field = text.substr(at, space - at);
        at = space + 1;
    }
    if (fields[2] != device) return 0;

    char* const path = line.data() + (fields[4].data() - text.data());
    std::size_t size = 0;
    for (std::size_t i = 0; i < fields[4].size();) {
        if (is_octal_escape(fields[4].substr(i))) {
            path[size++] = static_cast<char>((path[i + 1] - '0') * 64 + (path[i + 2] - '0') * 8 + (path[i + 3] - '0'));
            i += 4;
        } else {
            path[size++] = path[i++];
        }
    }
    path[size] = '\0';  // on the blank after the mount point at the latest
    return unmount(path);
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
    const int fd = calls.open_device(device);
    if (fd < 0) return;
    int result;
    if (action == DoorAction::Open) {
        // A disc still mounted would leave its filesystem behind, or keep the
        // tray shut for a user; one in use stays in.
        if (calls.unmount_all(fd) != 0) {
            calls.close_device(fd);
            return;
        }
        calls.control(fd, CDROM_LOCKDOOR, 0);
        result = calls.control(fd, CDROMEJECT, 0);
    } else {
        result = calls.control(fd, CDROMCLOSETRAY, 0);
    }
    if (is_unsupported(result)) calls.start_stop_unit(fd, action == DoorAction::Close);
    calls.close_device(fd);
}

int unmount_each(std::span<char> mountinfo, unsigned major, unsigned minor, int (*unmount)(const char* mount_point)) {
    std::array<char, 24> numbers;  // "major:minor", as mountinfo writes it
    char* end = std::to_chars(numbers.data(), numbers.data() + 10, major).ptr;
    *end++ = ':';
    end = std::to_chars(end, numbers.data() + numbers.size(), minor).ptr;
    const std::string_view device(numbers.data(), static_cast<std::size_t>(end - numbers.data()));
    // Last line first: a filesystem mounted on top of another from the same
    // disc has to go before it.
    for (std::size_t line_end = mountinfo.size(); line_end > 0;) {
        std::size_t start = line_end;
        while (start > 0 && mountinfo[start - 1] != '\n') --start;
        if (const int result = unmount_if_on(mountinfo.subspan(start, line_end - start), device, unmount)) return result;
        line_end = start > 0 ? start - 1 : 0;
    }
    return 0;
}

}  // namespace dorvanel::linux_tray
