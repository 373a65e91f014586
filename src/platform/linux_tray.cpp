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

// Up to two seconds for another opener to let go of the door lock.
constexpr int unlock_tries = 21;
constexpr std::uint32_t unlock_pause = 100;

// The device at `path`, opened exclusively, if it is still `drive`.
int open_alone(const char* path, DeviceNumbers drive, const DeviceCalls& calls) {
    const int fd = calls.open_device(path, true);
    if (fd < 0 || calls.cd_drive(fd) == drive) return fd;
    calls.close_device(fd);
    return -ENODEV;
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

void open_tray(const char* device, const DeviceCalls& calls) {
    // What the path leads to is asked first, and let go again: only a CD
    // drive is ever unmounted or sent a request.
    const int probe = calls.open_device(device, false);
    if (probe < 0) return;
    const auto drive = calls.cd_drive(probe);
    calls.close_device(probe);
    if (!drive || calls.has_stacked_devices(*drive)) return;

    // Open alone, the drive is lent to no filesystem: none is mounted from
    // it, and none can be until the tray has moved.
    int fd = open_alone(device, *drive, calls);
    if (fd == -EBUSY) {
        calls.unmount_disc(*drive);
        fd = open_alone(device, *drive, calls);
    }
    if (fd < 0) return;

    // Opening the drive reports a disc just loaded, and udev's cdrom_id then
    // opens it too, to lock the door; while it does (a tenth of a second),
    // the driver lets only root unlock the door.
    for (int tries = 1; calls.control(fd, CDROM_LOCKDOOR, 0) == -EBUSY && tries < unlock_tries; ++tries) {
        calls.wait(unlock_pause);
    }
    if (is_unsupported(calls.control(fd, CDROMEJECT, 0))) calls.start_stop_unit(fd, false);
    calls.close_device(fd);
}

void close_tray(const char* device, const DeviceCalls& calls) {
    const int fd = calls.open_device(device, false);
    if (fd < 0) return;
    if (calls.cd_drive(fd) && is_unsupported(calls.control(fd, CDROMCLOSETRAY, 0))) calls.start_stop_unit(fd, true);
    calls.close_device(fd);
}

}  // namespace dorvanel::linux_tray
