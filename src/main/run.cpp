#include "main/run.h"

#include "platform/platform.h"

namespace dorvanel {
namespace {

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

void carry_out(const Invocation& invocation) {
    const DriveElement& drive = invocation.drive_element;
    switch (invocation.mode) {
    case Mode::Open:
        platform::move_tray(drive, DoorAction::Open);
        break;
    case Mode::Close:
        platform::move_tray(drive, DoorAction::Close);
        break;
    case Mode::OpenClose:
        platform::move_tray(drive, DoorAction::Open);
        if (invocation.delay > 0) {
            wait_seconds(invocation.delay);
            platform::move_tray(drive, DoorAction::Close);
        }
        break;
    case Mode::Usage:
        platform::show_notice(usage_text, usage_caption, usage_style);
        break;
    }
}

}  // namespace dorvanel
