#include "support/recording_platform.h"

#include "support/code_pages.h"
#include "platform/platform.h"

namespace dorvanel {
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

}  // namespace recording

namespace platform {

std::optional<Arguments> arguments(int, char**) { return Arguments{}; }
void lowercase(char* text, std::size_t size) { code_pages::ascii_lowercase(text, size); }
bool is_lead_byte(unsigned char byte) { return code_pages::single_byte(byte); }

void move_tray(const DriveElement& drive, DoorAction action) {
    std::string request = action == DoorAction::Open ? "open" : "close";
    if (drive.size != 0) {
        request += ' ';
        request += drive.text();
    }
    recording::requests().push_back(request);
}

void wait(std::uint32_t milliseconds) { recording::requests().push_back("wait " + std::to_string(milliseconds)); }

void show_notice(const char* text, const char* caption, unsigned style) {
    recording::requests().push_back(std::string("notice ") + caption + " " + std::to_string(style));
    recording::last_notice_text() = text;
}

}  // namespace platform
}  // namespace dorvanel
