// How an argument list is obtained: by splitting a Windows command-line text,
// or by packing a Unix argument vector.
#include <cstring>

#include "invocation.h"

namespace dorvanel {
namespace {

constexpr bool is_separator(unsigned char byte) { return byte >= 1 && byte <= 32; }

// Writes into the packed output, never past its end, keeping whole arguments only.
struct PackedWriter {
    std::span<char> out;
    std::size_t kept = 0;  // bytes of whole arguments
    std::size_t size = 0;  // kept, plus the token being written
    bool full = false;

    void put(char byte) {
        if (size == out.size()) { full = true; return; }
        out[size++] = byte;
    }
    // A non-empty token that fits with its terminator is kept; anything else is undone.
    void end_token() {
        if (size != kept) put('\0');
        if (!full) kept = size;
        size = kept;
    }
};

}  // namespace

ArgumentList split_command_line(std::string_view text, LeadByteTest is_lead_byte, std::span<char> out) {
    if (const std::size_t terminator = text.find('\0'); terminator != std::string_view::npos) {
        text.remove_suffix(text.size() - terminator);  // the command line ends there
    }
    PackedWriter writer{out};
    std::size_t at = 0;
    const std::size_t end = text.size();
    bool program_name = true;

    while (at < end) {
        // Between tokens: blanks, control characters and pairs of double quotes.
        const auto byte = static_cast<unsigned char>(text[at]);
        if (is_separator(byte)) { ++at; continue; }
        if (byte == '"' && at + 1 < end && text[at + 1] == '"') { at += 2; continue; }

        bool quoted = false;
        while (at < end) {
            const auto c = static_cast<unsigned char>(text[at]);
            if (!quoted && c <= 32) { ++at; break; }
            if (c == '"') { quoted = !quoted; ++at; continue; }
            // A double-byte character is taken whole, unless its lead byte ends the text.
            const std::size_t width = (is_lead_byte(c) && at + 1 < end) ? 2 : 1;
            if (!program_name) {
                for (std::size_t i = 0; i < width; ++i) writer.put(text[at + i]);
            }
            at += width;
        }
        if (!program_name) writer.end_token();
        program_name = false;
        if (writer.full) break;
    }
    return {std::string_view(out.data(), writer.kept)};
}

std::size_t packed_size(int argc, const char* const* argv) {
    std::size_t size = 0;
    for (int i = 1; i < argc; ++i) {
        const std::size_t length = std::strlen(argv[i]);
        if (length != 0) size += length + 1;
    }
    return size;
}

ArgumentList pack_argument_vector(int argc, const char* const* argv, std::span<char> out) {
    std::size_t size = 0;
    for (int i = 1; i < argc; ++i) {
        const std::size_t length = std::strlen(argv[i]);
        if (length == 0) continue;
        if (out.size() - size < length + 1) break;
        std::memcpy(out.data() + size, argv[i], length + 1);
        size += length + 1;
    }
    return {std::string_view(out.data(), size)};
}

}  // namespace dorvanel
