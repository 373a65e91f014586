#pragma once

#include <cstdint>

#include "invocation/invocation.h"

namespace dorvanel {

// Zero-terminated, as the notice takes them.
inline constexpr const char* usage_text =
    "ex. dorvanel.exe /D: /Open\r\n"
    "ex. dorvanel.exe /D: /Close\r\n"
    "ex. dorvanel.exe /D: /OpenClose=20\r\n"
    "\r\n"
    "by quorvell";
inline constexpr const char* usage_caption = "Dorvanel";
inline constexpr unsigned usage_style = 0x40;  // MB_OK | MB_ICONINFORMATION

// The longest single wait handed to the platform: 0xFFFFFFFF means "forever"
// to Windows, so a longer delay is waited in several parts.
inline constexpr std::uint32_t longest_wait_ms = 0xFFFFFFFEu;

// Carries the invocation out through the platform.
void carry_out(const Invocation& invocation);

}  // namespace dorvanel
