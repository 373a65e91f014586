// The usage notice as the tests expect it, read from support/usage.txt (its
// exact bytes: CR LF line ends, none after the last line).
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace dorvanel {

inline std::string expected_usage_text() {
    std::ifstream file(DORVANEL_USAGE_FILE, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace dorvanel
