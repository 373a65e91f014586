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

// A byte-wise A to Z lowercasing, as the tests' platform rule.
void ascii_lowercase(char* text, std::size_t size);

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
