// Splitting a Windows command-line text, and packing an argument vector.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "invocation/invocation.h"
#include "support/argument_lists.h"
#include "support/code_pages.h"

namespace dorvanel {
namespace {

using code_pages::single_byte;
constexpr LeadByteTest shift_jis = code_pages::shift_jis_lead_byte;

std::vector<std::string> split(const std::string& text, LeadByteTest is_lead_byte) {
    std::string out(text.size() + 1, '#');
    const ArgumentList list = split_command_line(text, is_lead_byte, out);
    EXPECT_TRUE(list.packed.empty() || list.packed.back() == '\0') << "every argument ends in a zero byte";
    return argument_lists::unpack(list.packed);
}

struct SplitCase {
    const char* group;
    std::string text;
    LeadByteTest is_lead_byte;
    std::vector<std::string> arguments;
};

const SplitCase split_cases[] = {
    // The program name is never an argument
    {"name", "", single_byte, {}},
    {"name", "dorvanel.exe", single_byte, {}},
    {"name", "dorvanel.exe   ", single_byte, {}},
    {"name", "\"C:\\Program Files\\dorvanel.exe\" /Open", single_byte, {"/Open"}},
    {"name", "  dorvanel.exe /Open", single_byte, {"/Open"}},
    {"name", "\x01" "dorvanel.exe /Open", single_byte, {"/Open"}},
    {"name", "C:\\tools\\dorvanel.exe /D: /OpenClose=20", single_byte, {"/D:", "/OpenClose=20"}},
    // Separators: every code from 1 to 32, and not 33 ("!")
    {"separators", "p\t/Open\n/Close", single_byte, {"/Open", "/Close"}},
    {"separators", std::string("p\x01/a\x1F/b\x20/c"), single_byte, {"/a", "/b", "/c"}},
    {"separators", "p !a b!c", single_byte, {"!a", "b!c"}},
    {"separators", "p /Open    \t  ", single_byte, {"/Open"}},
    // Quotes
    {"quotes", "p \"a b\"", single_byte, {"a b"}},
    {"quotes", "p /D\":\" \"/Open\"", single_byte, {"/D:", "/Open"}},
    {"quotes", "p a\"b c\"d e", single_byte, {"ab cd", "e"}},
    {"quotes", "p \"unterminated stretch", single_byte, {"unterminated stretch"}},
    {"quotes", "p \"", single_byte, {}},
    {"quotes", "p a\"", single_byte, {"a"}},
    {"quotes", "p \"\t\"", single_byte, {"\t"}},
    {"quotes", "p \\\"a b\\\"", single_byte, {"\\a b\\"}},
    // Pairs of double quotes before a token make no argument
    {"pairs", "p \"\"", single_byte, {}},
    {"pairs", "p \"\" \"\"\"\" /Open", single_byte, {"/Open"}},
    {"pairs", "p \"\"/Open", single_byte, {"/Open"}},
    {"pairs", "p \"\"\"a b\"", single_byte, {"a b"}},
    {"pairs", "p a\"\"b", single_byte, {"ab"}},
    {"pairs", "p \"a\"\"b c\"", single_byte, {"ab c"}},
    // Double-byte characters are taken whole
    {"double-byte", "p \x82\x20\x82\x22 /Open", shift_jis, {"\x82\x20\x82\x22", "/Open"}},
    {"double-byte", "p \x82\x20\x82\x22 /Open", single_byte, {"\x82", "\x82 /Open"}},
    {"double-byte", "p \"\x95\x22\" x", shift_jis, {"\x95\x22", "x"}},
    {"double-byte", "p \"\x95\x22\" x", single_byte, {"\x95 x"}},
    {"double-byte", "p /\x82", shift_jis, {"/\x82"}},
    {"double-byte", "p \x82", shift_jis, {"\x82"}},
    {"double-byte", "\x82 /Open", shift_jis, {}},
    // The text ends at a zero byte, as the system's command line does
    {"terminator", std::string("p /Open\0/Close", 14), single_byte, {"/Open"}},
    {"terminator", std::string("p \"a\0b\"", 7), single_byte, {"a"}},
};

TEST(Splitter, SplitsCommandLineTexts) {
    for (const SplitCase& c : split_cases) {
        EXPECT_EQ(split(c.text, c.is_lead_byte), c.arguments) << c.group << ": [" << c.text << "]";
    }
}

TEST(Splitter, NeverWritesPastAShortOutput) {
    const std::string text = "p /Open /Close /OpenClose=5";
    for (std::size_t room = 0; room <= text.size() + 1; ++room) {
        std::string out(room + 8, '#');
        const ArgumentList list = split_command_line(text, single_byte, {out.data(), room});
        EXPECT_LE(list.packed.size(), room);
        EXPECT_EQ(out.substr(room), std::string(8, '#')) << "room " << room;
        // Whatever fits is whole arguments only.
        EXPECT_TRUE(list.packed.empty() || list.packed.back() == '\0') << "room " << room;
    }
}

TEST(Packer, LeavesOutTheProgramAndEmptyElements) {
    const char* const argv[] = {"dorvanel", "", "/D:", "", "/Open", ""};
    std::string out(packed_size(6, argv), '#');
    EXPECT_EQ(out.size(), 10u);
    EXPECT_EQ(pack_argument_vector(6, argv, out).packed, std::string_view("/D:\0/Open\0", 10));

    const char* const only_empty[] = {"dorvanel", "", ""};
    EXPECT_EQ(packed_size(3, only_empty), 0u);
    EXPECT_TRUE(pack_argument_vector(3, only_empty, {}).packed.empty());
}

}  // namespace
}  // namespace dorvanel
