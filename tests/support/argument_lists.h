// Argument lists as the tests write them: vectors of strings, packed and
// unpacked, read with the A to Z rule; and how a failing test shows an
// Invocation.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "invocation/invocation.h"

namespace dorvanel {

// {Mode, "drive element", delay}
void PrintTo(const Invocation& invocation, std::ostream* out);

namespace argument_lists {

// Each non-empty argument followed by a zero byte, as the platform hands them over.
std::string pack(const std::vector<std::string>& arguments);
std::vector<std::string> unpack(std::string_view packed);

Invocation interpret_ascii(const std::vector<std::string>& arguments);

}  // namespace argument_lists
}  // namespace dorvanel
