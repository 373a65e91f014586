// Windows: the media control interface, Sleep, a message box, and the
// command line as the system hands it over, read by the active ANSI code page.
#include <windows.h>
#include <mmsystem.h>

#include <cstdlib>
#include <cstring>

#include "platform/mci_command.h"
#include "platform/platform.h"

namespace dorvanel::platform {

std::optional<Arguments> arguments(int, char**) {
    // The C runtime's argv follows other quoting rules; the text is split here.
    const char* const command_line = GetCommandLineA();
    const std::size_t length = command_line ? std::strlen(command_line) : 0;
    // Splitting and normalising only ever shrink text: one command line's
    // worth of bytes for the arguments and one for the room.
    const std::size_t half = length + 1;
    char* const buffer = static_cast<char*>(std::malloc(2 * half));
    if (buffer == nullptr) return std::nullopt;
    const ArgumentList list = split_command_line({command_line, length}, is_lead_byte, {buffer, half});
    return Arguments{list, {buffer + half, half}};
}

void lowercase(char* text, std::size_t size) {
    CharLowerBuffA(text, static_cast<DWORD>(size));
}

bool is_lead_byte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != FALSE;
}

void move_tray(const DriveElement& drive, DoorAction action) {
    mciSendStringA(mci::door_command(drive, action).bytes.data(), nullptr, 0, nullptr);
}

void wait(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

void show_notice(const char* text, const char* caption, unsigned style) {
    MessageBoxA(nullptr, text, caption, style);
}

}  // namespace dorvanel::platform
