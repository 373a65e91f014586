// Windows: the media control interface's command text for moving a tray,
// "set cdaudio", the drive element and " door open" or " door closed". Kept
// free of Windows headers so the exact texts are checked on any system.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "platform/platform.h"

namespace dorvanel::mci {

// A zero-terminated command; the longest is 27 bytes.
struct DoorCommand {
    std::array<char, 32> bytes{};
    std::size_t size = 0;
    std::string_view text() const { return {bytes.data(), size}; }
};

DoorCommand door_command(const DriveElement& drive, DoorAction action);

}  // namespace dorvanel::mci
