#include "main/run.h"

#include <cstring>

#include "platform/platform.h"

namespace dorvanel {
namespace {

constexpr std::string_view command_head = "set cdaudio";
constexpr std::string_view open_suffix = " door open";
constexpr std::string_view close_suffix = " door closed";

void send(const DriveElement& drive_element, DoorAction action) {
    platform::send_door_command(door_command(drive_element, action).bytes.data());
}

// delay x 1000 ms, exactly, in one wait whenever that fits in 32 bits.
void wait_seconds(std::int32_t delay) {
    std::uint64_t remaining = static_cast<std::uint64_t>(delay) * 1000u;
    while (remaining > longest_wait_ms) {
        platform::wait(longest_wait_ms);
        remaining -= longest_wait_ms;
    }
    platform::wait(static_cast<std::uint32_t>(remaining));
}

}  // namespace

DoorCommand door_command(const DriveElement& drive_element, DoorAction action) {
    DoorCommand command;
    for (const std::string_view piece :
         {command_head, drive_element.text(), action == DoorAction::Open ? open_suffix : close_suffix}) {
        std::memcpy(command.bytes.data() + command.size, piece.data(), piece.size());
        command.size += piece.size();
    }
    command.bytes[command.size] = '\0';
    return command;
}

void carry_out(const Invocation& invocation) {
    const DriveElement& drive = invocation.drive_element;
    switch (invocation.mode) {
    case Mode::Open:
        send(drive, DoorAction::Open);
        break;
    case Mode::Close:
        send(drive, DoorAction::Close);
        break;
    case Mode::OpenClose:
        send(drive, DoorAction::Open);
        if (invocation.delay > 0) {
            wait_seconds(invocation.delay);
            send(drive, DoorAction::Close);
        }
        break;
    case Mode::Usage:
        // The notice needs zero-terminated texts; both are literals, so they are.
        platform::show_notice(usage_text.data(), usage_caption.data(), usage_style);
        break;
    }
}

}  // namespace dorvanel
