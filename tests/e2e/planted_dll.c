/* A DLL someone has dropped beside dorvanel.exe, built as winmm.dll,
 * mcicda.dll, mcicda.drv and dsound.dll. Loaded, it leaves a marker beside itself, its
 * own path with ".loaded" added, and answers whatever it is called with a
 * failure. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char marker[MAX_PATH + sizeof ".loaded"];
    const DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyA(marker + length, ".loaded");
    const HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}

/* What a program that imports winmm statically needs to start at all. */
__declspec(dllexport) DWORD WINAPI mciSendStringA(const char* command, char* answer, UINT size, HWND window) {
    (void)command, (void)answer, (void)size, (void)window;
    return 1;
}

/* What winmm looks up in a CD driver it has loaded. */
__declspec(dllexport) LRESULT WINAPI DriverProc(DWORD_PTR id, HANDLE driver, UINT message, LPARAM a, LPARAM b) {
    (void)id, (void)driver, (void)message, (void)a, (void)b;
    return 0;
}
