#include "support/argument_lists.h"

#include "support/code_pages.h"

namespace dorvanel {

void PrintTo(const Invocation& invocation, std::ostream* out) {
    static constexpr const char* modes[] = {"Usage", "Open", "Close", "OpenClose"};
    *out << "{" << modes[static_cast<int>(invocation.mode)] << ", \"" << invocation.drive_element.text() << "\", "
         << invocation.delay << "}";
}

namespace argument_lists {

std::string pack(const std::vector<std::string>& arguments) {
    std::string packed;
    for (const std::string& argument : arguments) {
        if (argument.empty()) continue;
        packed += argument;
        packed += '\0';
    }
    return packed;
}

std::vector<std::string> unpack(std::string_view packed) {
    std::vector<std::string> arguments;
    while (!packed.empty()) {
        const std::size_t end = packed.find('\0');
        arguments.emplace_back(packed.substr(0, end));
        if (end == std::string_view::npos) break;
        packed.remove_prefix(end + 1);
    }
    return arguments;
}

Invocation interpret_ascii(const std::vector<std::string>& arguments) {
    const std::string packed = pack(arguments);
    std::string room(packed.size(), '\0');
    return interpret({packed}, code_pages::ascii_lowercase, room);
}

}  // namespace argument_lists
}  // namespace dorvanel
