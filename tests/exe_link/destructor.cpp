// A static object with a destructor: the compiler registers it with atexit.
#include <windows.h>

namespace {
struct WaitLast {
    ~WaitLast() { Sleep(1234); }
} wait_last;
}  // namespace
