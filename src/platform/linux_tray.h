// Linux: how a drive and a door action become tray movement through the
// CD-ROM driver. Kept apart from the system calls so the sequence can be
// tested without a drive.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "platform/platform.h"

namespace dorvanel::linux_tray {

struct DevicePath {
    std::array<char, 16> bytes{};  // zero-terminated
    std::string_view text() const { return bytes.data(); }
};

// Drive letters name optical drives the way Windows usually letters them:
// d is /dev/sr0, e is /dev/sr1, ... z is /dev/sr22; no letter is /dev/cdrom.
// Any other letter names no drive.
std::optional<DevicePath> device_for(const DriveElement& drive);

// The system calls the tray is driven with; each returns 0 or a negative
// errno, and open_device a descriptor or a negative errno.
struct DeviceCalls {
    // Read-only and non-blocking; `alone` adds O_EXCL, which the kernel
    // refuses with EBUSY while a mounted filesystem holds the device.
    int (*open_device)(const char* path, bool alone);
    // Unmounts, as umount(8) would, the disc's own mounts (see unmount_mounts);
    // nothing when the mount table cannot be read whole.
    void (*unmount_disc)(const char* path);
    int (*control)(int fd, unsigned long request, unsigned long argument);
    // SCSI START STOP UNIT with LoEj set; `start` clear ejects, set loads.
    int (*start_stop_unit)(int fd, bool start);
    void (*close_device)(int fd);
    void (*wait)(std::uint32_t milliseconds);
};

// Opens the tray, once the device is the program's alone, or closes it,
// falling back to the SCSI command where the driver does not support the
// request. A device held by a mount is first freed by unmounting the disc's
// own mounts; one still held after that (a disc in use, a mount the user may
// not unmount or that something covers) keeps the tray shut. Silent.
void drive_tray(const char* device, DoorAction action, const DeviceCalls& calls);

// Hands `unmount` each mount point in `mountinfo` (the text of
// /proc/self/mountinfo) whose filesystem is on device major:minor, the last
// mounted first, unescaped and zero-terminated in place, until one fails.
// umount(8) takes off whatever is on top at a path: when a mount point of
// the disc holds anything else that is not beneath the disc (another
// filesystem mounted over it), none is handed over.
void unmount_mounts(std::span<char> mountinfo, unsigned major, unsigned minor,
                    int (*unmount)(const char* mount_point));

}  // namespace dorvanel::linux_tray
