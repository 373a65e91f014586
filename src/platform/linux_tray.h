// Linux: how a door command text becomes tray movement through the CD-ROM
// driver. Kept apart from the system calls so the sequence can be tested
// without a drive.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace dorvanel::linux_tray {

enum class TrayAction : std::uint8_t { Open, Close };

struct TrayRequest {
    std::array<char, 16> device{};  // zero-terminated path
    TrayAction action = TrayAction::Open;
    std::string_view device_path() const { return device.data(); }
};

// Reads one of the four door command texts; any other text asks for nothing.
// Drive letters name optical drives the way Windows usually letters them:
// d is /dev/sr0, e is /dev/sr1, ... z is /dev/sr22; no letter is /dev/cdrom.
std::optional<TrayRequest> read_door_command(std::string_view command);

// The system calls the tray is driven with; each returns 0 or a negative
// errno, and open_device a descriptor or a negative errno.
struct DeviceCalls {
    int (*open_device)(const char* path);  // read-only, non-blocking
    int (*control)(int fd, unsigned long request, unsigned long argument);
    // SCSI START STOP UNIT with LoEj set; `start` clear ejects, set loads.
    int (*start_stop_unit)(int fd, bool start);
    void (*close_device)(int fd);
};

// Releases the door lock and ejects, or closes the tray, falling back to the
// SCSI command where the driver does not support the request. Silent.
void drive_tray(const TrayRequest& request, const DeviceCalls& calls);

}  // namespace dorvanel::linux_tray
