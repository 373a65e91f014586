// The floor for dorvanel.exe: the same calls written as plainly as they can
// be, built as dorvanel.exe is (no C runtime, the same layout, flags,
// subsystem and resources). It reads the command line, lowercases it, and
// sends one door command; /? shows a notice and an "=digit" waits, so that
// every import dorvanel.exe has is linked here too. Like dorvanel.exe it
// keeps DLL loads to System32 and loads the CD driver and winmm from there
// by full path, so that both pay the same at start-up and for the door
// command.
#include <windows.h>
#include <mmsystem.h>

static HMODULE load_from_system32(const char* name) {
    char path[MAX_PATH + 16];
    UINT end = GetSystemDirectoryA(path, MAX_PATH);
    if (!end || end >= MAX_PATH) return nullptr;
    while ((path[end++] = *name++)) {}
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

extern "C" [[noreturn]] void floor_start() {
    const auto restrict_search = reinterpret_cast<decltype(&SetDefaultDllDirectories)>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    if (restrict_search) restrict_search(LOAD_LIBRARY_SEARCH_SYSTEM32);
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
        load_from_system32("\\mcicda.dll");
        const HMODULE winmm = load_from_system32("\\winmm.dll");
        const auto send = reinterpret_cast<decltype(&mciSendStringA)>(reinterpret_cast<void (*)()>(
            winmm ? GetProcAddress(winmm, "mciSendStringA") : nullptr));
        if (send) send("set cdaudio door closed", nullptr, 0, nullptr);
    }
    ExitProcess(0);
}
