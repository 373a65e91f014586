#include "support/code_pages.h"

namespace dorvanel::code_pages {

void ascii_lowercase(char* text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] + ('a' - 'A'));
    }
}

void windows_1252_lowercase(char* text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7)) {
            text[i] = static_cast<char>(byte + 0x20);
        }
    }
}

bool single_byte(unsigned char) { return false; }

bool shift_jis_lead_byte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

}  // namespace dorvanel::code_pages
