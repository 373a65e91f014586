#include "recording_platform.h"

#include "platform/platform.h"

namespace dorvanel {

void PrintTo(const Invocation& invocation, std::ostream* out) {
    static constexpr const char* modes[] = {"Usage", "Open", "Close", "OpenClose"};
    *out << "{" << modes[static_cast<int>(invocation.mode)] << ", \"" << invocation.drive_element.text() << "\", "
         << invocation.delay << "}";
}

namespace recording {

std::vector<std::string>& requests() {
    static std::vector<std::string> all;
    return all;
}

std::string& last_notice_text() {
    static std::string text;
    return text;
}

void clear() {
    requests().clear();
    last_notice_text().clear();
}

void ascii_lowercase(char* text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] + ('a' - 'A'));
    }
}

void windows_1252_lowercase(char* text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7)) {
            text[i] = static_cast<char>(byte + 0x20);
        }
    }
}

bool single_byte(unsigned char) { return false; }

bool shift_jis_lead_byte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

PackedArguments pack(const std::vector<std::string>& arguments) {
    PackedArguments packed;
    for (const std::string& argument : arguments) {
        if (argument.empty()) continue;
        packed.bytes += argument;
        packed.bytes += '\0';
    }
    return packed;
}

Invocation interpret_arguments(const std::vector<std::string>& arguments) {
    const PackedArguments packed = pack(arguments);
    std::string room(packed.bytes.size(), '\0');
    return interpret(packed.list(), ascii_lowercase, room);
}

}  // namespace recording

namespace platform {

Arguments arguments(int, char**) { return {}; }
void lowercase(char* text, std::size_t size) { recording::ascii_lowercase(text, size); }
bool is_lead_byte(unsigned char) { return false; }

void send_door_command(const char* command) { recording::requests().push_back(std::string("send ") + command); }

void wait(std::uint32_t milliseconds) { recording::requests().push_back("wait " + std::to_string(milliseconds)); }

void show_notice(const char* text, const char* caption, unsigned style) {
    recording::requests().push_back(std::string("notice ") + caption + " " + std::to_string(style));
    recording::last_notice_text() = text;
}

}  // namespace platform
}  // namespace dorvanel
