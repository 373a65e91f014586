// The code-page rules the tests read arguments with, in place of the system's.
#pragma once

#include <cstddef>

namespace dorvanel::code_pages {

// Lowercasing: A to Z only; or also the accented capitals of Windows-1252.
void ascii_lowercase(char* text, std::size_t size);
void windows_1252_lowercase(char* text, std::size_t size);

// Lead bytes: none (a single-byte code page), or those of Shift-JIS (932).
bool single_byte(unsigned char byte);
bool shift_jis_lead_byte(unsigned char byte);

}  // namespace dorvanel::code_pages
