// The floor for dorvanel.exe: the same calls written as plainly as they can
// be, built as dorvanel.exe is (no C runtime, the same layout, flags,
// subsystem and resources). It reads the command line, lowercases it, and
// sends one door command; /? shows a notice and an "=digit" waits, so that
// every import dorvanel.exe has is linked here too.
#include <windows.h>
#include <mmsystem.h>

extern "C" [[noreturn]] void floor_start() {
    const char* const command_line = GetCommandLineA();
    DWORD length = 0;
    while (command_line[length]) ++length;
    char* const line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
    if (line) {
        for (DWORD i = 0; i <= length; ++i) line[i] = command_line[i];
        CharLowerBuffA(line, length);
        for (const char* c = line; *c; ++c) {
            if (*c == '?') {
                MessageBoxA(nullptr, "usage", "floor", MB_OK | MB_ICONINFORMATION);
                ExitProcess(0);
            }
            if (IsDBCSLeadByte(static_cast<BYTE>(*c)) && c[1]) ++c;
            else if (*c == '=' && c[1] >= '0' && c[1] <= '9') Sleep(static_cast<DWORD>(c[1] - '0') * 1000);
        }
        mciSendStringA("set cdaudio door closed", nullptr, 0, nullptr);
    }
    ExitProcess(0);
}
