// A static constructor that leaves a trace: a wait of 1234 ms before the run.
#include <windows.h>

namespace {
struct WaitFirst {
    WaitFirst() { Sleep(1234); }
} wait_first;
}  // namespace
