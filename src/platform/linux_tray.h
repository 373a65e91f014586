// Linux: how a drive and a door action become tray movement, through the
// system calls in DeviceCalls, so that the sequence is tested without a drive.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "platform/linux_loop.h"
#include "platform/linux_mounts.h"
#include "platform/linux_scsi.h"
#include "platform/platform.h"

namespace dorvanel::linux_tray {

using linux_mounts::DeviceNumbers;

struct DevicePath {
    std::array<char, 16> bytes{};  // zero-terminated
};

// Drive letters name optical drives the way Windows usually letters them:
// D: is /dev/sr0, each next letter the next drive, up to Z:; no letter is
// /dev/cdrom. Any other letter names no drive.
std::optional<DevicePath> device_for(const DriveElement& drive);

// The system calls the tray is driven with; those that return an int give
// 0 or a negative errno, and open_device a descriptor or a negative errno.
struct DeviceCalls {
    // Non-blocking. `exclusive` adds O_EXCL, which the kernel refuses with EBUSY
    // while anything claims the device, and read-write where the user may write.
    int (*open_device)(const char* path, bool exclusive);
    // The numbers of the CD drive open on `fd`; none for any other device.
    std::optional<DeviceNumbers> (*cd_drive)(int fd);
    linux_loop::Found (*loop_on_drive)(DeviceNumbers drive);  // linux_loop::find_on
    // Unmounts the disc's own mounts (linux_mounts.h). A mount point it
    // names stays readable until the process ends.
    linux_mounts::Unmounted (*unmount_disc)(DeviceNumbers drive);
    // The name of a device built on the drive (its first in /sys), if any, kept until the next call.
    const char* (*holder)(DeviceNumbers drive);
    // A CD-ROM driver request: 0, -errno, or the kernel's result word where
    // the drive did not carry it out.
    int (*cdrom_ioctl)(int fd, unsigned long request, unsigned long argument);
    // Through SG_IO, on the program's own time limit, which is no shorter than a working drive needs.
    linux_scsi::Answer (*scsi_command)(int fd, linux_scsi::Command command);
    void (*close_device)(int fd);
    void (*wait)(std::uint32_t milliseconds);
    void (*write_line)(std::span<const std::string_view> pieces);  // one line, on standard error
};

// Opens the tray of the drive (an empty element is the default drive) or
// closes it; where the tray does not move, says why in one line, "dorvanel:
// DEVICE: CAUSE". Only a device that answers as a CD drive is sent a tray
// request or has its mounts taken off. Opening waits for other programs two
// seconds at most; a drive that says it is becoming ready is waited for 20
// seconds at most; each SCSI command is bounded by scsi_command's own limit,
// and none is sent again after one the drive did not answer.
void move_tray(const DriveElement& drive, DoorAction action, const DeviceCalls& calls);

}  // namespace dorvanel::linux_tray
