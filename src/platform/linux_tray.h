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
    int (*open_device)(const char* path);  // read-only, non-blocking
    // Unmounts, as umount(8) would, every filesystem mounted from the opened
    // device: 0 when none is left.
    int (*unmount_all)(int fd);
    int (*control)(int fd, unsigned long request, unsigned long argument);
    // SCSI START STOP UNIT with LoEj set; `start` clear ejects, set loads.
    int (*start_stop_unit)(int fd, bool start);
    void (*close_device)(int fd);
};

// Unmounts the disc's filesystems, releases the door lock and ejects, or
// closes the tray, falling back to the SCSI command where the driver does not
// support the request. A disc that cannot be unmounted stays in. Silent.
void drive_tray(const char* device, DoorAction action, const DeviceCalls& calls);

// Hands `unmount` each mount point in `mountinfo` (the text of
// /proc/self/mountinfo) whose filesystem is on device major:minor, the last
// mounted first, unescaped and zero-terminated in place. Stops at the first
// failure and returns it; 0 when every one was unmounted, or there was none.
int unmount_each(std::span<char> mountinfo, unsigned major, unsigned minor, int (*unmount)(const char* mount_point));

}  // namespace dorvanel::linux_tray
