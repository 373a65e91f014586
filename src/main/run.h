#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "invocation/invocation.h"

namespace dorvanel {

enum class DoorAction : std::uint8_t { Open, Close };

// A zero-terminated door command; the longest is 27 bytes.
struct DoorCommand {
    std::array<char, 32> bytes{};
    std::size_t size = 0;
    std::string_view text() const { return {bytes.data(), size}; }
};

DoorCommand door_command(const DriveElement& drive_element, DoorAction action);

inline constexpr std::string_view usage_text =
    "ex. dorvanel.exe /D: /Open\r\n"
    "ex. dorvanel.exe /D: /Close\r\n"
    "ex. dorvanel.exe /D: /OpenClose=20\r\n"
    "\r\n"
    "by quorvell";
inline constexpr std::string_view usage_caption = "Dorvanel";
inline constexpr unsigned usage_style = 0x40;  // MB_OK | MB_ICONINFORMATION

// The longest single wait handed to the platform: 0xFFFFFFFF means "forever"
// to Windows, so a longer delay is waited in several parts.
inline constexpr std::uint32_t longest_wait_ms = 0xFFFFFFFEu;

// Carries the invocation out through the platform.
void carry_out(const Invocation& invocation);

}  // namespace dorvanel
