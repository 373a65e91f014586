// The floor for dorvanel.exe: the same calls written as plainly as they can
// be, built by the same compiler with the same flags. It reads the command
// line, lowercases it, and sends one door command; /? shows a notice and an
// "=digit" waits, so that every import dorvanel.exe has is linked here too.
#include <windows.h>
#include <mmsystem.h>

#include <cstdlib>

int main() {
    const char* const command_line = GetCommandLineA();
    const int length = lstrlenA(command_line);
    char* const line = static_cast<char*>(malloc(length + 1));
    if (!line) return 0;
    lstrcpyA(line, command_line);
    CharLowerBuffA(line, length);
    for (const char* c = line; *c; ++c) {
        if (*c == '?') {
            MessageBoxA(nullptr, "usage", "floor", MB_OK | MB_ICONINFORMATION);
            return 0;
        }
        if (IsDBCSLeadByte(static_cast<BYTE>(*c)) && c[1]) ++c;
        else if (*c == '=' && c[1] >= '0' && c[1] <= '9') Sleep(static_cast<DWORD>(c[1] - '0') * 1000);
    }
    mciSendStringA("set cdaudio door closed", nullptr, 0, nullptr);
    return 0;
}
