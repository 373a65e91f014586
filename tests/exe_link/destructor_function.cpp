// A function the C runtime would call at exit, from the destructor list.
#include <windows.h>

__attribute__((destructor)) void wait_last() { Sleep(1234); }
