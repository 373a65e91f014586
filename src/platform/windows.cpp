// Windows: the media control interface, Sleep, a message box, and the
// command line as the system hands it over, read by the active ANSI code page.
// dorvanel.exe links no C runtime: what little it would take from one is here.
#include <windows.h>
#include <mmsystem.h>

#include <cstring>

#include "platform/byte_loops.h"
#include "platform/mci_command.h"
#include "platform/platform.h"

// Laid out by the link as -1, the constructors, 0.
using Constructor = void (*)();
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name for the list.
extern "C" const Constructor __CTOR_LIST__[];

namespace {

// A function of a DLL looked up by name; null when it has none such.
template <typename Function>
Function find_function(HMODULE module, const char* name) {
    // Through void (*)(), which converts to and from any function pointer
    // without the compiler warning about the types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// winmm and the CD driver it loads for "cdaudio" (mcicda.dll, as Windows'
// and Wine's MCI registry name it) are no KnownDLLs: by bare name they would
// be looked for beside the exe first, usually a Downloads folder anyone can
// drop a DLL in. Both are loaded from System32 by full path, the driver
// first: winmm, asking for it by name, is then handed the one loaded, also
// where SetDefaultDllDirectories is missing. A driver named otherwise is
// left to winmm: from System32 where start_process could restrict the
// search, by the standard search (the exe's folder first) where it could not.
// The altered search path takes their own imports from System32 as well.
HMODULE load_winmm() {
    static constexpr char names[][sizeof "\\mcicda.dll"] = {"\\mcicda.dll", "\\winmm.dll"};
    char path[MAX_PATH + sizeof names[0]];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    HMODULE module = nullptr;
    for (const char* const name : names) {
        std::memcpy(path + length, name, sizeof names[0]);
        module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return module;
}

}  // namespace

namespace dorvanel::platform {

std::optional<Arguments> arguments(int, char**) {
    // The C runtime's argv follows other quoting rules; the text is split here.
    const char* const command_line = GetCommandLineA();
    const std::size_t length = command_line ? std::strlen(command_line) : 0;
    // Splitting and normalising only ever shrink text: one command line's
    // worth of bytes for the arguments and one for the room.
    const std::size_t half = length + 1;
    char* const buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 2 * half));
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
    // Loaded again for each command (it stays loaded, so this only counts it
    // up): keeping the handle would take writable data, 1 KiB more of file.
    const HMODULE winmm = load_winmm();
    if (winmm == nullptr) return;
    const auto send = find_function<decltype(&mciSendStringA)>(winmm, "mciSendStringA");
    if (send != nullptr) send(mci::door_command(drive, action).bytes.data(), nullptr, 0, nullptr);
}

void wait(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

void show_notice(const char* text, const char* caption, unsigned style) {
    MessageBoxA(nullptr, text, caption, style);
}

void start_process() {
    // First of all, whatever the system's DLLs load by bare name comes from
    // System32 only, never from the program's folder. Looked up, not
    // imported: the exe must still start on systems without it (before
    // Windows 8, unless update KB2533623 is installed); load_winmm does not
    // depend on it.
    const auto restrict_search = find_function<decltype(&SetDefaultDllDirectories)>(
        GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (restrict_search != nullptr) restrict_search(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Then the static constructors, like the C runtime, last to first.
    std::size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    for (; count != 0; --count) __CTOR_LIST__[count]();
}

[[noreturn]] void end_process() {
    ExitProcess(0);
}

}  // namespace dorvanel::platform

// The memory functions the compiler calls for copies, clears and the text
// searches of std::string_view: byte_loops.h's. CMakeLists.txt keeps the
// compiler from turning the loops back into calls to these very functions;
// "used" keeps link-time optimisation from dropping them before the calls are
// generated.
// NOLINTBEGIN(bugprone-easily-swappable-parameters): the C library's signatures, which the compiler calls.
extern "C" {

__attribute__((used)) void* memcpy(void* to, const void* from, std::size_t size) {
    return dorvanel::byte_loops::copy(to, from, size);
}
__attribute__((used)) void* memset(void* to, int value, std::size_t size) {
    return dorvanel::byte_loops::fill(to, value, size);
}
__attribute__((used)) int memcmp(const void* a, const void* b, std::size_t size) {
    return dorvanel::byte_loops::compare(a, b, size);
}
__attribute__((used)) std::size_t strlen(const char* text) { return dorvanel::byte_loops::length(text); }
__attribute__((used)) void* memchr(const void* text, int value, std::size_t size) {
    return dorvanel::byte_loops::find(text, value, size);
}

}  // extern "C"
// NOLINTEND(bugprone-easily-swappable-parameters)
