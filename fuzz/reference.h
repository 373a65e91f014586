// Plain, slow readings of the command-line rules, written apart from the
// program's own code so the fuzz targets can compare the two. Test code:
// std::string and friends are fine here.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "invocation/invocation.h"

namespace dorvanel::reference {

// The command-line text, cut into characters first, then into tokens.
inline std::vector<std::string> split(std::string_view text, LeadByteTest is_lead_byte) {
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> characters;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t width = is_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
        characters.emplace_back(text.substr(i, width));
        i += width;
    }
    const auto is_blank = [](const std::string& c) {
        return c.size() == 1 && static_cast<unsigned char>(c[0]) <= 32;
    };

    std::vector<std::string> tokens;
    std::size_t at = 0;
    const std::size_t end = characters.size();
    while (true) {
        while (at < end) {
            if (is_blank(characters[at])) ++at;
            else if (characters[at] == "\"" && at + 1 < end && characters[at + 1] == "\"") at += 2;
            else break;
        }
        if (at == end) break;
        std::string token;
        bool quoted = false;
        for (; at < end; ++at) {
            if (characters[at] == "\"") quoted = !quoted;
            else if (!quoted && is_blank(characters[at])) break;
            else token += characters[at];
        }
        tokens.push_back(token);
    }
    if (!tokens.empty()) tokens.erase(tokens.begin());  // the program name
    std::erase(tokens, std::string());
    return tokens;
}

// The delay text: blanks, a sign, then a hexadecimal or decimal number and nothing after it.
inline std::optional<std::int32_t> integer(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    for (const std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (text.starts_with(prefix)) {
            base = 16;
            text.remove_prefix(prefix.size());
            break;
        }
    }
    if (text.empty()) return std::nullopt;
    for (const char c : text) {
        const bool decimal = c >= '0' && c <= '9';
        const bool hexadecimal = decimal || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!(base == 16 ? hexadecimal : decimal)) return std::nullopt;
    }
    // Leading zeros are not significant; what is left must fit.
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    if (text.size() > (base == 16 ? 8u : 10u)) return std::nullopt;
    std::uint64_t magnitude = 0;
    std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (base == 16) {
        const auto bits = static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude);
        return static_cast<std::int32_t>(bits);
    }
    const std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// The grammar read from left to right: the leftmost recognised argument of
// each kind wins, among those to the right of the last "?".
inline Invocation interpret(const std::vector<std::string>& arguments, LowercaseRule lowercase) {
    if (arguments.empty()) return {Mode::Open, {}, 0};
    std::vector<std::string> options;
    for (const std::string& argument : arguments) {
        std::string option;
        for (const char c : argument) {
            if (c != '/') option += c;
        }
        if (!option.empty()) lowercase(option.data(), option.size());
        options.push_back(option);
    }
    const auto is_drive = [](const std::string& option) {
        const std::size_t colon = option.find(':');
        return colon != std::string::npos && colon > 0;
    };
    std::size_t first = 0;
    bool usage = false;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (!is_drive(options[i]) && options[i] == "?") {
            first = i + 1;
            usage = true;
        }
    }

    Invocation result{Mode::Usage, {}, 0};
    bool has_mode = false, has_delay = false, has_letter = false;
    for (std::size_t i = first; i < options.size(); ++i) {
        const std::string& option = options[i];
        if (is_drive(option)) {
            if (!has_letter) result.drive_element = DriveElement::for_letter(option[0]);
            has_letter = true;
            continue;
        }
        const bool openclose = option.starts_with("openclose");
        if (!has_mode && (option == "open" || option == "close" || openclose)) {
            result.mode = option == "open" ? Mode::Open : option == "close" ? Mode::Close : Mode::OpenClose;
            has_mode = true;
        }
        if (openclose && !has_delay) {
            const std::size_t equals = option.find('=');
            result.delay = equals == std::string::npos ? 10 : integer(option.substr(equals + 1)).value_or(10);
            has_delay = true;
        }
    }
    if (usage) result.mode = Mode::Usage;
    return result;
}

}  // namespace dorvanel::reference
