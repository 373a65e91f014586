// Linux: the notification's body, as gdbus takes it.
#include <gtest/gtest.h>

#include <array>
#include <string_view>

#include "platform/linux_notify.h"

namespace dorvanel::linux_notify {
namespace {

struct BodyCase {
    std::string_view line;
    bool markup;
    std::string_view body;
};

// Kept whole: the catalogues' р、—’, whose second byte is the lowest its lead byte allows, an emoji, and for
// each lead byte's form, a character at its lowest and one at its highest bytes.
#define WHOLE "р、—’💿\xC2\xA0\xDF\xBF\xE0\xA0\x80\xE0\xBF\xBF\xE1\x80\x80\xEC\xBF\xBF\xED\x80\x80\xED\x9F\xBF" \
    "\xEE\x80\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF0\xBF\xBF\xBF\xF1\x80\x80\x80\xF3\xBF\xBF\xBF\xF4\x80\x80\x80\xF4\x8F\xBF\xBF"

const BodyCase body_cases[] = {
    {"/dev/sr0: the tray is locked", true, R"("/dev/sr0: the tray is locked")"},
    {"at /media/Tom & <Jerry>", true, R"("at /media/Tom &amp; &lt;Jerry&gt;")"},
    {"at /media/Tom & <Jerry>", false, R"("at /media/Tom & <Jerry>")"},
    {R"(at /media/"a\b")", false, R"("at /media/\"a\\b\"")"},
    {"at /media/Gr\xC3\xBC\xC3\x9F" "e \xE3\x83\x87", true, "\"at /media/Gr\xC3\xBC\xC3\x9F" "e \xE3\x83\x87\""},
    {"at " WHOLE, true, "\"at " WHOLE "\""},
    // Bytes that are no UTF-8: a lone byte, an overlong form, a surrogate, a sequence cut short.
    {"at \xFF.\xC0\xAF.\xED\xA0\x80.\xE3\x83", true, "\"at \xEF\xBF\xBD.\xEF\xBF\xBD\xEF\xBF\xBD.\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD.\xEF\xBF\xBD\xEF\xBF\xBD\""},
    // Control characters, C0, DEL and C1, dropped.
    {"at /a\nb\tc\x7F" "d\xC2\x85" "e", true, R"("at /abcde")"},
};

TEST(Notification, BodyIsValidUtf8AndMarkupOnlyWhereTheServerReadsIt) {
    for (const BodyCase& c : body_cases) {
        std::array<char, 128> room{};
        const std::string_view pieces[] = {c.line.substr(0, 3), c.line.substr(3)};
        EXPECT_EQ(body(pieces, c.markup, room), c.body) << c.line;
    }
    // Cut short at the first character that does not fit, and always closed: a later one that would fit
    // is not added.
    std::array<char, 14> small{};
    const std::string_view long_line[] = {"/dev/sr0: &&&&", "x"};
    EXPECT_EQ(body(long_line, true, small), R"("/dev/sr0: ")");
}

}  // namespace
}  // namespace dorvanel::linux_notify
