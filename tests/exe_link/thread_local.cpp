// Thread-local data, used from a static constructor so that it is kept.
#include <windows.h>

namespace {
thread_local DWORD milliseconds = 1234;
struct WaitFirst {
    WaitFirst() { Sleep(milliseconds); }
} wait_first;
}  // namespace
