// The few things the program asks of the system it runs on. One
// implementation per platform; the tests link a recording one instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "invocation/invocation.h"

namespace dorvanel::platform {

// The process's arguments after the program name, and room to normalise the
// longest of them. Both live until the process ends.
struct Arguments {
    ArgumentList list;
    std::span<char> room;
};
Arguments arguments(int argc, char** argv);

// The active code page's rules, for reading the arguments.
void lowercase(char* text, std::size_t size);
bool is_lead_byte(unsigned char byte);

// Hands a door command ("set cdaudio... door open|closed") to the media
// control interface. Its outcome is never looked at.
void send_door_command(const char* command);

// Blocks for the given number of milliseconds (0xFFFFFFFF is never passed).
void wait(std::uint32_t milliseconds);

// Shows the usage notice and returns once the user has dismissed it.
void show_notice(const char* text, const char* caption, unsigned style);

#ifdef _WIN32
// What a C runtime would do around the run, which dorvanel.exe links none of:
// call the static constructors, if any, and end the process with status 0.
void run_static_constructors();
[[noreturn]] void end_process();
#endif

}  // namespace dorvanel::platform
