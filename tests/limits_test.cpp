// The largest inputs each system hands over: a Windows command line of
// 32,767 characters, and a Linux argument vector near the kernel's limit.
// Each is read whole into the Invocation it stands for, with the platform's
// rules asked at most once per byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "invocation/invocation.h"
#include "support/argument_lists.h"
#include "support/code_pages.h"
#include "support/large_vectors.h"

namespace dorvanel {

namespace {

constexpr std::size_t longest_command_line = 32767;

// The platform rules, counting how often and on how many bytes they are asked.
std::size_t lead_byte_questions = 0;
std::size_t lowercased_bytes = 0;

bool single_byte(unsigned char) {
    ++lead_byte_questions;
    return false;
}
bool shift_jis(unsigned char byte) {
    ++lead_byte_questions;
    return code_pages::shift_jis_lead_byte(byte);
}
void lowercase(char* text, std::size_t size) {
    lowercased_bytes += size;
    code_pages::ascii_lowercase(text, size);
}

std::string repeat(const std::string& unit, std::size_t times) {
    std::string text;
    text.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) text += unit;
    return text;
}

// Pieces joined in order ("literal" + std::string trips a false GCC 12 warning).
std::string join(std::initializer_list<std::string> pieces) {
    std::string text;
    for (const std::string& piece : pieces) text += piece;
    return text;
}

struct Read {
    std::vector<std::string> arguments;
    Invocation invocation;
    std::size_t packed_size = 0;
};

Read split_and_interpret(const std::string& text, LeadByteTest is_lead_byte) {
    lead_byte_questions = lowercased_bytes = 0;
    std::vector<char> out(text.size() + 1), room(text.size() + 1);
    const ArgumentList list = split_command_line(text, is_lead_byte, out);
    return {argument_lists::unpack(list.packed), interpret(list, lowercase, room), list.packed.size()};
}

// A command line made of `units` repetitions of its middle part; at `full`
// units it is exactly 32,767 characters long.
struct WindowsCase {
    const char* name;
    std::string (*make)(std::size_t units);
    std::size_t full;
    LeadByteTest is_lead_byte;
    std::size_t argument_count;
    std::size_t longest_argument;
    Invocation invocation;
};

const WindowsCase windows_cases[] = {
    {"16,383 one-byte arguments",
     [](std::size_t n) { return join({"p", repeat(" x", n)}); }, 16383, single_byte,
     16383, 1, {Mode::Usage, {}, 0}},
    {"8,187 drives after the leftmost",
     [](std::size_t n) { return join({"p /E: /OpenClose=9", repeat(" /D:", n), " "}); },
     8187, single_byte, 8189, 12, {Mode::OpenClose, DriveElement::for_letter('e'), 9}},
    {"one argument: slashes, then the word",
     [](std::size_t n) { return join({"p ", repeat("/", n), "OPEN"}); }, 32761,
     single_byte, 1, 32765, {Mode::Open, {}, 0}},
    {"one argument: a decimal delay",
     [](std::size_t n) { return join({"p /OpenClose=", repeat("0", n), "42"}); }, 32752,
     single_byte, 1, 32765, {Mode::OpenClose, {}, 42}},
    {"one argument: a hexadecimal delay",
     [](std::size_t n) { return join({"p /OpenClose=-$", repeat("0", n), "1E"}); },
     32750, single_byte, 1, 32765, {Mode::OpenClose, {}, -30}},
    {"a quoted stretch that never ends",
     [](std::size_t n) { return join({"p /OpenClose=3 \"", repeat(" /Open /Close /?", n), " /Open /Close x"}); }, 2046,
     single_byte, 2, 32751, {Mode::OpenClose, {}, 3}},
    {"a drive opening a quoted stretch that never ends",
     [](std::size_t n) { return join({"p \"/D:", repeat(" /Open", n), "x"}); }, 5460, single_byte, 1, 32764,
     {Mode::Usage, DriveElement::for_letter('d'), 0}},
    {"double-byte characters, a lead byte last",
     [](std::size_t n) { return join({"p /Open ", repeat("\x82\xA0", n), "\x82"}); }, 16379, shift_jis, 2, 32759,
     {Mode::Open, {}, 0}},
    {"double-byte characters with blank trail bytes",
     [](std::size_t n) { return join({"p ", repeat("\x81 ", n), "\x81"}); }, 16382, shift_jis, 1, 32765,
     {Mode::Usage, {}, 0}},
    {"the same bytes in a single-byte code page",
     [](std::size_t n) { return join({"p ", repeat("\x81 ", n), "\x81"}); },
     16382, single_byte, 16383, 1, {Mode::Usage, {}, 0}},
    {"quote trail bytes in an unterminated stretch, a lead byte last",
     [](std::size_t n) { return join({"p /Close \"", repeat("\x82\"", n), "\x82"}); }, 16378, shift_jis, 2, 32757,
     {Mode::Close, {}, 0}},
};

std::size_t longest(const std::vector<std::string>& arguments) {
    std::size_t size = 0;
    for (const std::string& argument : arguments) size = std::max(size, argument.size());
    return size;
}

TEST(WindowsLimits, ReadsTheLongestCommandLinesWhole) {
    for (const WindowsCase& c : windows_cases) {
        const std::string text = c.make(c.full);
        ASSERT_EQ(text.size(), longest_command_line) << c.name;
        const Read read = split_and_interpret(text, c.is_lead_byte);
        EXPECT_EQ(read.arguments.size(), c.argument_count) << c.name;
        EXPECT_EQ(longest(read.arguments), c.longest_argument) << c.name;
        EXPECT_EQ(read.invocation, c.invocation) << c.name;
    }
}

// Work grows with the text, not faster: at N and at 8N units the splitter
// asks the lead-byte rule at most once per byte of the text, and the
// interpretation lowercases at most the bytes of the packed arguments.
TEST(WindowsLimits, AsksThePlatformRulesAtMostOncePerByte) {
    for (const WindowsCase& c : windows_cases) {
        for (const std::size_t units : {c.full / 8, c.full}) {
            const std::string text = c.make(units);
            const Read read = split_and_interpret(text, c.is_lead_byte);
            EXPECT_LE(lead_byte_questions, text.size()) << c.name << " at " << units;
            EXPECT_LE(lowercased_bytes, read.packed_size) << c.name << " at " << units;
        }
    }
}

TEST(LinuxLimits, ReadsArgumentVectorsNearTheKernelLimitWhole) {
    for (const large::LargeVector& v : large::large_vectors(large::vector_limit)) {
        EXPECT_LE(large::cost(v.arguments), large::vector_limit) << v.name;
        EXPECT_GT(large::cost(v.arguments), large::vector_limit - large::longest_argument) << v.name;

        std::vector<const char*> argv{"dorvanel"};
        std::size_t bytes = 0;
        for (const std::string& argument : v.arguments) {
            argv.push_back(argument.c_str());
            bytes += argument.size() + 1;
        }
        const std::size_t size = packed_size(static_cast<int>(argv.size()), argv.data());
        ASSERT_EQ(size, bytes) << v.name;
        std::vector<char> packed(size), room(size);
        const ArgumentList list = pack_argument_vector(static_cast<int>(argv.size()), argv.data(), packed);
        EXPECT_EQ(list.packed.size(), size) << v.name;

        lowercased_bytes = 0;
        EXPECT_EQ(interpret(list, lowercase, room), v.invocation) << v.name;
        EXPECT_LE(lowercased_bytes, size) << v.name;
    }
}

}  // namespace
}  // namespace dorvanel
