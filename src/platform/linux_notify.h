// Linux: why a tray did not move, also shown as a desktop notification.
#pragma once

#include <span>
#include <string_view>

namespace dorvanel::linux_notify {

// The pieces as one notification body in GVariant text, a quoted string, for
// gdbus: valid UTF-8 (a byte that is none becomes U+FFFD), without control
// characters, and where the server reads `markup`, with its &, < and >
// escaped. Cut short at the first character that does not fit in `room`:
// 5 bytes for each byte of the pieces, and 3 more, always do.
std::string_view body(std::span<const std::string_view> pieces, bool markup, std::span<char> room);

// Shows the pieces under "The tray did not move", with the desktop entry's
// name and icon, through gdbus on the session bus that GLib finds, in a
// process of its own: this program does not wait for it.
void show(std::span<const std::string_view> pieces);

}  // namespace dorvanel::linux_notify
