// What one run of the program is asked to do, and how it is read from the
// argument list. Everything here is a pure function over bytes; the two
// platform rules it needs (lowercasing, double-byte lead bytes) are passed in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace dorvanel {

enum class Mode : std::uint8_t { Usage, Open, Close, OpenClose };

// Empty (the default CD audio device) or "!", a letter, ":\".
struct DriveElement {
    std::array<char, 4> bytes{};
    std::uint8_t size = 0;

    static constexpr DriveElement for_letter(char letter) { return {{'!', letter, ':', '\\'}, 4}; }
    constexpr std::string_view text() const { return {bytes.data(), size}; }
    friend constexpr bool operator==(const DriveElement&, const DriveElement&) = default;
};

struct Invocation {
    Mode mode = Mode::Usage;
    DriveElement drive_element;
    std::int32_t delay = 0;  // seconds the door stays open; 0 or less: never closed again
    friend constexpr bool operator==(const Invocation&, const Invocation&) = default;
};

// Lowercases text in place by the platform's rules for its 8-bit code page.
using LowercaseRule = void (*)(char* text, std::size_t size);
// True when the byte starts a double-byte character in the active code page.
using LeadByteTest = bool (*)(unsigned char byte);

// An argument list held as one run of bytes: every argument is non-empty and
// followed by a zero byte. The arguments themselves never contain one.
struct ArgumentList {
    std::string_view packed;
};

// Splits a Windows command-line text into its arguments (the program name
// dropped), packed into `out`. `out` needs at most text.size() + 1 bytes; a
// shorter one stops the split at the last argument that fits whole.
ArgumentList split_command_line(std::string_view text, LeadByteTest is_lead_byte, std::span<char> out);

// Packs an argument vector (argv[0] is the program and is skipped, empty
// elements are left out) into `out`; packed_size() tells how many bytes it takes.
std::size_t packed_size(int argc, const char* const* argv);
ArgumentList pack_argument_vector(int argc, const char* const* argv, std::span<char> out);

// Reads a delay text: optional blanks and sign, then decimal digits or a
// "$", "x" or "0x" prefix and up to eight significant hexadecimal digits.
std::optional<std::int32_t> read_integer(std::string_view text);

// An argument as the options are read: every "/" removed, the rest
// lowercased, in `room` (as much of it as fits).
inline std::string_view normalise(std::string_view argument, LowercaseRule lowercase, std::span<char> room) {
    std::size_t size = 0;
    for (const char c : argument) {
        if (c != '/' && size < room.size()) room[size++] = c;
    }
    if (size != 0) lowercase(room.data(), size);
    return {room.data(), size};
}

// Turns the argument list into an Invocation; never fails. `room` must hold
// the longest argument (arguments.packed.size() bytes always do).
Invocation interpret(ArgumentList arguments, LowercaseRule lowercase, std::span<char> room);

}  // namespace dorvanel
