// Argument vectors near the Linux kernel's limits, and what each reads as.
// The kernel takes at most 128 KiB for one string (its zero byte included)
// and, with the usual 8 MiB stack, 2 MiB for all strings and their pointers.
#pragma once

#include <string>
#include <vector>

#include "invocation/invocation.h"

namespace dorvanel::large {

inline constexpr std::size_t longest_argument = 128 * 1024 - 1;
inline constexpr std::size_t vector_limit = 2 * 1024 * 1024;

// What one argument takes on the new process's stack.
inline std::size_t cost(const std::string& argument) { return argument.size() + 1 + sizeof(char*); }

inline std::size_t cost(const std::vector<std::string>& arguments) {
    std::size_t total = 0;
    for (const std::string& argument : arguments) total += cost(argument);
    return total;
}

// `first`, then as many copies of `filler` as the budget leaves room for, then `last`.
inline std::vector<std::string> fill(std::vector<std::string> first, const std::string& filler,
                                     const std::vector<std::string>& last, std::size_t budget) {
    std::size_t used = cost(first) + cost(last);
    while (used + cost(filler) <= budget) {
        first.push_back(filler);
        used += cost(filler);
    }
    first.insert(first.end(), last.begin(), last.end());
    return first;
}

struct LargeVector {
    const char* name;
    std::vector<std::string> arguments;  // after the program name
    Invocation invocation;
};

inline std::vector<LargeVector> large_vectors(std::size_t budget) {
    const std::string long_open = std::string(longest_argument - 4, '/') + "OPEN";  // reads as "open"
    const std::string long_delay = "/OpenClose=-" + std::string(longest_argument - 13, '0') + "1";
    return {
        // Arguments of the longest size; the action word stands at the very end of one.
        {"longest arguments", fill({"/Z:", long_open}, std::string(longest_argument, 'x'), {"/Close"}, budget),
         {Mode::Open, DriveElement::for_letter('z'), 0}},
        // A delay text of the longest size, then some 140,000 short arguments.
        {"many short arguments", fill({long_delay}, "/Close", {"/D:"}, budget),
         {Mode::OpenClose, DriveElement::for_letter('d'), -1}},
        // "?" as the last of them: nothing to its left is read, the drive neither.
        {"usage at the end", fill({"/E:"}, "/Open", {"/?"}, budget), {Mode::Usage, {}, 0}},
    };
}

}  // namespace dorvanel::large
