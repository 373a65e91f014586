// A platform that records every request, in order, instead of acting on it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "invocation/invocation.h"

namespace dorvanel {

// How test failures show an Invocation: {Mode, "drive element", delay}.
void PrintTo(const Invocation& invocation, std::ostream* out);

namespace recording {

// One request of the run, written as text: "send <command>", "wait <ms>",
// "notice <caption> <style>" (the notice's text is kept in last_notice_text).
std::vector<std::string>& requests();
std::string& last_notice_text();
void clear();

// The platform rules the tests read with: a byte-wise A to Z lowercasing, one
// that also folds the accented capitals of Windows-1252, a single-byte code
// page and the lead bytes of Shift-JIS (code page 932).
void ascii_lowercase(char* text, std::size_t size);
void windows_1252_lowercase(char* text, std::size_t size);
bool single_byte(unsigned char byte);
bool shift_jis_lead_byte(unsigned char byte);

// Packs arguments as the platform hands them over.
struct PackedArguments {
    std::string bytes;
    ArgumentList list() const { return {bytes}; }
};
PackedArguments pack(const std::vector<std::string>& arguments);

// Interprets arguments with the ASCII rule.
Invocation interpret_arguments(const std::vector<std::string>& arguments);

}  // namespace recording
}  // namespace dorvanel
