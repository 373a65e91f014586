// The option grammar: arguments are read from the last to the first, so the
// leftmost action and the leftmost drive win, and "?" anywhere wins over all.
#include "invocation.h"

namespace dorvanel {
namespace {

constexpr std::int32_t default_delay = 10;

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of a hexadecimal prefix at the start of text, or 0.
constexpr std::size_t hex_prefix_length(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) return 2;
    if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X')) return 1;
    return 0;
}

std::int32_t read_delay(std::string_view option) {
    const std::size_t equals = option.find('=');
    if (equals == std::string_view::npos) return default_delay;
    option.remove_prefix(equals + 1);
    return read_integer(option).value_or(default_delay);
}

}  // namespace

std::optional<std::int32_t> read_integer(std::string_view text) {
    while (text.starts_with(' ')) text.remove_prefix(1);
    bool negative = false;
    if (text.starts_with('+') || text.starts_with('-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }

    if (const std::size_t prefix = hex_prefix_length(text); prefix != 0) {
        text.remove_prefix(prefix);
        if (text.empty()) return std::nullopt;
        std::uint32_t value = 0;
        for (const char c : text) {
            const int digit = hex_value(c);
            if (digit < 0 || value > 0x0FFFFFFFu) return std::nullopt;
            value = value * 16 + static_cast<std::uint32_t>(digit);
        }
        // Eight digits are a two's complement 32-bit value; the sign negates it.
        if (negative) value = 0u - value;
        return static_cast<std::int32_t>(value);
    }

    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c) || value > 214748364) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// cppcheck-suppress passedByValue ; a string_view, which is passed by value
Invocation interpret(ArgumentList arguments, LowercaseRule lowercase, std::span<char> room) {
    std::string_view rest = arguments.packed;
    if (rest.empty()) return {Mode::Open, {}, 0};

    Invocation result{Mode::Usage, {}, 0};
    char letter = 0;
    bool has_letter = false;

    while (!rest.empty()) {
        // The last argument runs from after the previous terminator to the final one.
        rest.remove_suffix(1);
        const std::size_t previous_end = rest.rfind('\0');
        const std::size_t start = previous_end == std::string_view::npos ? 0 : previous_end + 1;
        const std::string_view argument(rest.data() + start, rest.size() - start);
        rest.remove_suffix(argument.size());

        const std::string_view option = normalise(argument, lowercase, room);
        const std::size_t colon = option.find(':');
        if (colon != std::string_view::npos && colon >= 1) {
            letter = option.front();
            has_letter = true;
        } else if (option == "?") {
            result.mode = Mode::Usage;
            break;
        } else if (option == "open") {
            result.mode = Mode::Open;
        } else if (option == "close") {
            result.mode = Mode::Close;
        } else if (option.starts_with("openclose")) {
            result.mode = Mode::OpenClose;
            result.delay = read_delay(option);
        }
    }

    if (has_letter) result.drive_element = DriveElement::for_letter(letter);
    return result;
}

}  // namespace dorvanel
