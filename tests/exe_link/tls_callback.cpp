// A thread-local storage callback, which a C runtime's TLS directory lists.
#include <windows.h>

namespace {
void NTAPI on_thread(PVOID, DWORD, PVOID) { Sleep(1234); }
}  // namespace

extern "C" __attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK dorvanel_tls_callback = on_thread;
