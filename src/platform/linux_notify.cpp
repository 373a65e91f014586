#include "platform/linux_notify.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <utility>

#include "platform/linux_locale.h"
#include "platform/linux_process.h"

namespace dorvanel::linux_notify {
namespace {

// The length of the well-formed UTF-8 sequence that `text` starts with, 0
// where it starts with none. The second byte's range for each lead byte rules
// out overlong forms, surrogates and code points past U+10FFFF.
std::size_t sequence_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0U; };
    struct Form {
        unsigned first, last, low, high;
        std::size_t length;
    };
    constexpr Form forms[] = {{0x00, 0x7F, 0x00, 0xFF, 1}, {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3},
                              {0xE1, 0xEC, 0x80, 0xBF, 3}, {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3},
                              {0xF0, 0xF0, 0x90, 0xBF, 4}, {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4}};
    for (const Form& form : forms) {
        if (byte(0) < form.first || byte(0) > form.last) continue;
        if (form.length > 1 && (byte(1) < form.low || byte(1) > form.high)) return 0;
        for (std::size_t i = 2; i < form.length; ++i) {
            if ((byte(i) & 0xC0) != 0x80) return 0;
        }
        return form.length;
    }
    return 0;
}

// C0 controls, DEL, and C1 controls (U+0080 to U+009F).
bool is_control(std::string_view character) {
    const auto lead = static_cast<unsigned char>(character[0]);
    return lead < 0x20 || lead == 0x7F || (lead == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0);
}

// GVariant text's escapes within a quoted string, then the body markup's.
constexpr std::array<std::pair<char, std::string_view>, 5> escapes{
    {{'"', "\\\""}, {'\\', "\\\\"}, {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}}};

}  // namespace

std::string_view body(std::span<const std::string_view> pieces, bool markup, std::span<char> room) {
    if (room.size() < 3) return {};
    char* end = room.data();
    const char* const last = room.data() + room.size() - 2;  // room for the closing quote and the zero
    *end++ = '"';
    const auto used = escapes.begin() + (markup ? escapes.size() : 2);
    bool full = false;
    for (std::string_view rest : pieces) {
        while (!rest.empty() && !full) {
            const std::size_t length = sequence_length(rest);
            std::string_view text = length > 0 ? rest.substr(0, length) : "\xEF\xBF\xBD";
            rest.remove_prefix(std::max<std::size_t>(length, 1));
            if (is_control(text)) continue;
            const auto* escape = std::find_if(escapes.begin(), used, [&](auto e) { return e.first == text[0]; });
            if (escape != used) text = escape->second;
            full = static_cast<std::size_t>(last - end) < text.size();
            if (!full) end = std::copy(text.begin(), text.end(), end);
        }
    }
    *end++ = '"';
    *end = '\0';
    return {room.data(), static_cast<std::size_t>(end - room.data())};
}

void show(std::span<const std::string_view> pieces) {
    if (!linux_process::fork_detached()) return;
    // A process of its own from here on, which ends as gdbus: only gdbus's
    // time limit holds it. The shell runs a fixed command, with nothing of
    // the user's in it.
    FILE* const asked = popen(  // NOLINT(cert-env33-c)
        "exec /usr/bin/gdbus call --session --timeout=30 --dest=org.freedesktop.Notifications "
        "--object-path=/org/freedesktop/Notifications --method=org.freedesktop.Notifications.GetCapabilities",
        "r");
    char capabilities[1024] = {};
    if (asked != nullptr) {
        capabilities[std::fread(capabilities, 1, sizeof capabilities - 1, asked)] = '\0';
        (void)pclose(asked);
    }
    const auto add = [](std::size_t sum, std::string_view piece) { return sum + piece.size(); };
    const std::size_t size = 5 * std::accumulate(pieces.begin(), pieces.end(), std::size_t{0}, add) + 3;
    char* const room = static_cast<char*>(std::malloc(size));
    if (room == nullptr) _exit(0);
    (void)body(pieces, std::string_view(capabilities).find("'body-markup'") != std::string_view::npos, {room, size});
    // The entry's name as the menu shows it, in the user's language.
    char name[256] = {}, summary[256] = {};
    const std::string_view texts[] = {linux_locale::translated(DORVANEL_ENTRY_NAME),
                                      linux_locale::translated("The tray did not move")};
    (void)body({&texts[0], 1}, false, name);
    (void)body({&texts[1], 1}, false, summary);
    constexpr const char* icon = "\"" DORVANEL_ENTRY_ICON "\"";
    const char* const argv[] = {"gdbus", "call", "--session", "--timeout=30", "--dest=org.freedesktop.Notifications",
                                "--object-path=/org/freedesktop/Notifications",
                                "--method=org.freedesktop.Notifications.Notify", name, "uint32 0", icon, summary, room,
                                "@as []", "@a{sv} {\"desktop-entry\": <\"dorvanel\">}", "int32 -1", nullptr};
    (void)execv("/usr/bin/gdbus", const_cast<char* const*>(argv));
    _exit(0);
}

}  // namespace dorvanel::linux_notify
