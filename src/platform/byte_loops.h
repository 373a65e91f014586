// Windows: the memory functions dorvanel.exe defines for itself, as it links
// no C runtime (windows.cpp), written here as plain byte loops: the few bytes
// they see never pay for anything faster. Kept free of Windows headers so
// that they are checked on any system.
#pragma once

#include <cstddef>

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the C library's signatures, which the compiler calls.
namespace dorvanel::byte_loops {

inline void* copy(void* to, const void* from, std::size_t size) {
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    for (std::size_t i = 0; i < size; ++i) out[i] = in[i];
    return to;
}

inline void* fill(void* to, int value, std::size_t size) {
    auto* out = static_cast<unsigned char*>(to);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(value);
    return to;
}

inline int compare(const void* a, const void* b, std::size_t size) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    for (std::size_t i = 0; i < size; ++i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

inline std::size_t length(const char* text) {
    std::size_t size = 0;
    while (text[size] != '\0') ++size;
    return size;
}

inline void* find(const void* text, int value, std::size_t size) {
    const auto* in = static_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < size; ++i) {
        if (in[i] == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(in + i);
    }
    return nullptr;
}

}  // namespace dorvanel::byte_loops
// NOLINTEND(bugprone-easily-swappable-parameters)
