// The option grammar: argument lists in, Invocations out.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "invocation/invocation.h"
#include "support/argument_lists.h"
#include "support/code_pages.h"

namespace dorvanel {

namespace {

using argument_lists::interpret_ascii;

const DriveElement none{};
const DriveElement drive_d = DriveElement::for_letter('d');
const DriveElement drive_e = DriveElement::for_letter('e');

struct GrammarCase {
    const char* group;
    std::vector<std::string> arguments;
    Invocation expected;
};

const GrammarCase grammar_cases[] = {
    // Defaults
    {"defaults", {}, {Mode::Open, none, 0}},
    {"defaults", {"/Open"}, {Mode::Open, none, 0}},
    {"defaults", {"/Close"}, {Mode::Close, none, 0}},
    {"defaults", {"/OpenClose"}, {Mode::OpenClose, none, 10}},
    {"defaults", {"/OpenClose="}, {Mode::OpenClose, none, 10}},
    {"defaults", {"unknown"}, {Mode::Usage, none, 0}},
    {"defaults", {"/"}, {Mode::Usage, none, 0}},
    // Normalisation: every "/" removed, the rest lowercased
    {"normalise", {"/OPEN"}, {Mode::Open, none, 0}},
    {"normalise", {"O/p/e/n"}, {Mode::Open, none, 0}},
    {"normalise", {"open"}, {Mode::Open, none, 0}},
    {"normalise", {"//Close//"}, {Mode::Close, none, 0}},
    {"normalise", {"open=1"}, {Mode::Usage, none, 0}},
    {"normalise", {"/Opening"}, {Mode::Usage, none, 0}},
    {"normalise", {"/OPENCLOSE=007"}, {Mode::OpenClose, none, 7}},
    {"normalise", {"/OpenCloseNow=7"}, {Mode::OpenClose, none, 7}},
    {"normalise", {"/OpenClose=2/0"}, {Mode::OpenClose, none, 20}},
    // Precedence: the leftmost action and drive win, "?" wins over all
    {"precedence", {"/Open", "/Close"}, {Mode::Open, none, 0}},
    {"precedence", {"/Close", "/Open"}, {Mode::Close, none, 0}},
    {"precedence", {"/Open", "/OpenClose=5"}, {Mode::Open, none, 5}},
    {"precedence", {"/OpenClose=5", "/Open"}, {Mode::OpenClose, none, 5}},
    {"precedence", {"/OpenClose=5", "/OpenClose=9"}, {Mode::OpenClose, none, 5}},
    {"precedence", {"/OpenClose", "/OpenClose=9"}, {Mode::OpenClose, none, 10}},
    {"precedence", {"/?"}, {Mode::Usage, none, 0}},
    {"precedence", {"/Open", "/?"}, {Mode::Usage, none, 0}},
    {"precedence", {"/?", "/Open"}, {Mode::Usage, none, 0}},
    {"precedence", {"/OpenClose=5", "/?"}, {Mode::Usage, none, 0}},
    // "?" stops the reading; drives to its right still count, those to its left do not
    {"precedence", {"/?", "/D:"}, {Mode::Usage, drive_d, 0}},
    {"precedence", {"/E:", "/?", "/D:"}, {Mode::Usage, drive_d, 0}},
    // Drive arguments
    {"drive", {"/D:", "/Close"}, {Mode::Close, drive_d, 0}},
    {"drive", {"/D:", "/OpenClose=20"}, {Mode::OpenClose, drive_d, 20}},
    {"drive", {"/Open", "/d:"}, {Mode::Open, drive_d, 0}},
    {"drive", {"/E:", "/D:", "/Open"}, {Mode::Open, drive_e, 0}},
    {"drive", {"/D:"}, {Mode::Usage, drive_d, 0}},
    {"drive", {"/D:/Open"}, {Mode::Usage, drive_d, 0}},
    {"drive", {"/OpenClose=5:"}, {Mode::Usage, DriveElement::for_letter('o'), 0}},
    {"drive", {"/Dvd:"}, {Mode::Usage, drive_d, 0}},
    {"drive", {"/1:", "/Open"}, {Mode::Open, DriveElement::for_letter('1'), 0}},
    {"drive", {":"}, {Mode::Usage, none, 0}},
    {"drive", {"/:"}, {Mode::Usage, none, 0}},
    {"drive", {"/:D", "/Open"}, {Mode::Open, none, 0}},
    {"drive", {"/?:"}, {Mode::Usage, DriveElement::for_letter('?'), 0}},
    // Delays
    {"delay", {"/OpenClose=0"}, {Mode::OpenClose, none, 0}},
    {"delay", {"/OpenClose=-5"}, {Mode::OpenClose, none, -5}},
    {"delay", {"/OpenClose=abc"}, {Mode::OpenClose, none, 10}},
    {"delay", {"/OpenClose=5x"}, {Mode::OpenClose, none, 10}},
    {"delay", {"/OpenClose=$1E"}, {Mode::OpenClose, none, 30}},
    {"delay", {"/OpenClose=0x1e"}, {Mode::OpenClose, none, 30}},
    {"delay", {"/OpenClose=X1E"}, {Mode::OpenClose, none, 30}},
    {"delay", {"/OpenClose=0x1A"}, {Mode::OpenClose, none, 26}},
    {"delay", {"/OpenClose=2147483647"}, {Mode::OpenClose, none, 2147483647}},
    {"delay", {"/OpenClose=2147483648"}, {Mode::OpenClose, none, 10}},
    {"delay", {"/OpenClose=-2147483648"}, {Mode::OpenClose, none, -2147483647 - 1}},
    {"delay", {"/OpenClose==5"}, {Mode::OpenClose, none, 10}},
    {"delay", {"/OpenClose=5=6"}, {Mode::OpenClose, none, 10}},
    {"delay", {"/OpenClose= 5"}, {Mode::OpenClose, none, 5}},
};

TEST(Grammar, ReadsEveryArgumentListIntoAnInvocation) {
    for (const GrammarCase& c : grammar_cases) {
        std::string shown;
        for (const std::string& argument : c.arguments) shown += " [" + argument + "]";
        EXPECT_EQ(interpret_ascii(c.arguments), c.expected) << c.group << ":" << shown;
    }
}

// The system's lowercase rule decides, not a table of the program's own.
TEST(Grammar, LowercasesByThePlatformRule) {
    const auto read = [&](std::string packed) {
        std::string room(packed.size(), '\0');
        return interpret({packed}, code_pages::windows_1252_lowercase, room);
    };
    EXPECT_EQ(read(std::string("/\xC4:\0/OPEN\0", 11)), (Invocation{Mode::Open, DriveElement::for_letter('\xE4'), 0}));
    // A rule that leaves A to Z alone makes upper-case options unknown.
    std::string packed("/OPEN", 6);
    std::string room(packed.size(), '\0');
    EXPECT_EQ(interpret({packed}, [](char*, std::size_t) {}, room).mode, Mode::Usage);
}

TEST(Grammar, LeadByteOfADoubleByteDriveIsTheLetter) {
    // Shift-JIS "\x82\xA0" followed by a colon: the lead byte alone is the letter.
    EXPECT_EQ(interpret_ascii({"/\x82\xA0:", "/Close"}),
              (Invocation{Mode::Close, DriveElement::for_letter('\x82'), 0}));
}

struct IntegerCase {
    const char* text;
    std::optional<std::int32_t> value;
};

const IntegerCase integer_cases[] = {
    // Decimal and its limits
    {"0", 0}, {"7", 7}, {"007", 7}, {"+20", 20}, {"-5", -5},
    {"2147483647", 2147483647}, {"2147483648", std::nullopt},
    {"-2147483648", -2147483647 - 1}, {"-2147483649", std::nullopt},
    {"21474836470", std::nullopt}, {"99999999999999999999", std::nullopt},
    {"0000000000000000000000042", 42},
    // Leading blanks only, no tabs, nothing after the digits
    {"   12", 12}, {"\t12", std::nullopt}, {"12 ", std::nullopt}, {"- 5", std::nullopt},
    {"5x", std::nullopt}, {"1.5", std::nullopt}, {"1e3", std::nullopt},
    // Empty texts, signs and prefixes alone
    {"", std::nullopt}, {" ", std::nullopt}, {"+", std::nullopt}, {"-", std::nullopt},
    {"$", std::nullopt}, {"x", std::nullopt}, {"0x", std::nullopt}, {"+-1", std::nullopt},
    // Hexadecimal prefixes
    {"$1E", 30}, {"x1e", 30}, {"X1E", 30}, {"0x1e", 30}, {"0X1E", 30},
    {"-$1E", -30}, {"+x10", 16}, {"0x0", 0}, {"$g", std::nullopt}, {"0x1g", std::nullopt},
    {"$$1", std::nullopt}, {"0xx1", std::nullopt}, {"$abcdef", 0xabcdef}, {"$ABCDEF", 0xabcdef},
    // Eight significant digits, read as two's complement
    {"$7FFFFFFF", 2147483647}, {"$80000000", -2147483647 - 1}, {"$FFFFFFFF", -1},
    {"-$FFFFFFFF", 1}, {"-$80000000", -2147483647 - 1}, {"$000000001", 1},
    {"$100000000", std::nullopt}, {"$FFFFFFFFF", std::nullopt},
};

TEST(Grammar, ReadsDelayTextsByTheIntegerRules) {
    for (const IntegerCase& c : integer_cases) {
        EXPECT_EQ(read_integer(c.text), c.value) << "[" << c.text << "]";
    }
}

}  // namespace
}  // namespace dorvanel
