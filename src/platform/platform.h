// The few things the program asks of the system it runs on, in the program's
// own terms. One implementation per platform; the tests link a recording one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "invocation/invocation.h"

namespace dorvanel {

enum class DoorAction : std::uint8_t { Open, Close };

namespace platform {

// The process's arguments after the program name, and room to normalise the
// longest of them. Both live until the process ends. None when there is no
// memory to hold them.
struct Arguments {
    ArgumentList list;
    std::span<char> room;
};
std::optional<Arguments> arguments(int argc, char** argv);

// The active code page's rules, for reading the arguments.
void lowercase(char* text, std::size_t size);
bool is_lead_byte(unsigned char byte);

// Opens or closes the tray of a drive (an empty drive element is the default
// drive). Nothing comes back to the run: Windows says nothing, and the Linux
// program says on standard error why a tray did not move.
void move_tray(const DriveElement& drive, DoorAction action);

// Blocks for the given number of milliseconds (0xFFFFFFFF is never passed).
void wait(std::uint32_t milliseconds);

// Shows the usage notice and returns once the user has dismissed it.
void show_notice(const char* text, const char* caption, unsigned style);

#ifdef _WIN32
// What a C runtime would do around the run, which dorvanel.exe links none of:
// call the static constructors, if any, and end the process with status 0.
// Starting also keeps every DLL loaded later out of the program's folder.
void start_process();
[[noreturn]] void end_process();
#endif

}  // namespace platform
}  // namespace dorvanel
