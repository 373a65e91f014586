// How a fuzz target reports a broken invariant: a message, then a crash
// that libFuzzer records with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace dorvanel {

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

}  // namespace dorvanel
