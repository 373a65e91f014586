// Linux: how a drive and a door action become tray movement through the
// CD-ROM driver. Kept apart from the system calls so the sequence can be
// tested without a drive.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/linux_mounts.h"
#include "platform/platform.h"

namespace dorvanel::linux_tray {

using linux_mounts::DeviceNumbers;

struct DevicePath {
    std::array<char, 16> bytes{};  // zero-terminated
    std::string_view text() const { return bytes.data(); }
};

// Drive letters name optical drives the way Windows usually letters them:
// d is /dev/sr0, e is /dev/sr1, ... z is /dev/sr22; no letter is /dev/cdrom.
// Any other letter names no drive.
std::optional<DevicePath> device_for(const DriveElement& drive);

// The system calls the tray is driven with; those that return an int give
// 0 or a negative errno, and open_device a descriptor or a negative errno.
struct DeviceCalls {
    // Read-only and non-blocking; `alone` adds O_EXCL, which the kernel
    // refuses with EBUSY while a mounted filesystem holds the device.
    int (*open_device)(const char* path, bool alone);
    // The numbers of the CD drive open on `fd`; none for any other device.
    std::optional<DeviceNumbers> (*cd_drive)(int fd);
    // Whether a loop device reads the drive or a file on its disc, or that
    // cannot be told. Unlike a mount or a device-mapper target, a loop device
    // does not claim the drive, so the exclusive open would not see it.
    bool (*has_stacked_devices)(DeviceNumbers drive);
    // Unmounts the disc's own mounts, all or none (see linux_mounts.h);
    // nothing when the mount table cannot be read whole.
    void (*unmount_disc)(DeviceNumbers drive);
    int (*control)(int fd, unsigned long request, unsigned long argument);
    // SCSI START STOP UNIT with LoEj set; `start` clear ejects, set loads.
    int (*start_stop_unit)(int fd, bool start);
    void (*close_device)(int fd);
    void (*wait)(std::uint32_t milliseconds);
};

// Opens the tray of a CD drive once the drive is the program's alone. A
// drive held by a mount is first freed by unmounting the disc's own mounts;
// one still held after that (a disc in use, a mount the user may not unmount
// or that something covers), or read by a device stacked on it, keeps the
// tray shut. Falls back to the SCSI command where the driver does not
// support the request. Silent; any other device gets nothing.
void open_tray(const char* device, const DeviceCalls& calls);

// Closes the tray of a CD drive, with the same fallback. Never mounts or
// unmounts anything.
void close_tray(const char* device, const DeviceCalls& calls);

}  // namespace dorvanel::linux_tray
