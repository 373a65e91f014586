#include "platform/linux_tray.h"

#include <linux/cdrom.h>

#include <cerrno>
#include <cstring>

namespace dorvanel::linux_tray {
namespace {

// The driver's ways of saying "this drive cannot do that request".
constexpr bool is_unsupported(int result) {
    return result == -ENOSYS || result == -ENOTTY || result == -EINVAL;
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
        calls.control(fd, CDROM_LOCKDOOR, 0);
        result = calls.control(fd, CDROMEJECT, 0);
    } else {
        result = calls.control(fd, CDROMCLOSETRAY, 0);
    }
    if (is_unsupported(result)) calls.start_stop_unit(fd, action == DoorAction::Close);
    calls.close_device(fd);
}

}  // namespace dorvanel::linux_tray
