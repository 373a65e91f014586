// dorvanel.exe's own memcpy, memset, memcmp, strlen and memchr: at every
// size, each touches the bytes it is given and not one more.
#include <gtest/gtest.h>

#include <string>

#include "platform/byte_loops.h"

namespace dorvanel::byte_loops {
namespace {

TEST(ByteLoops, TouchNoByteBeyondTheSizeGiven) {
    const std::string text = "abcdefghijklmnop";  // no byte twice; text[16] is the terminator
    for (std::size_t size = 0; size <= text.size(); ++size) {
        // Each writes `size` bytes into the middle of a row of '#'.
        std::string copied(text.size() + 2, '#'), filled = copied;
        const std::string rest(text.size() + 1 - size, '#');
        EXPECT_EQ(copy(&copied[1], text.data(), size), &copied[1]);
        EXPECT_EQ(copied, '#' + text.substr(0, size) + rest) << size;
        EXPECT_EQ(fill(&filled[1], 'x', size), &filled[1]);
        EXPECT_EQ(filled, '#' + std::string(size, 'x') + rest) << size;
        // The byte just past the size is neither found nor compared.
        EXPECT_EQ(find(text.data(), text[size], size), nullptr) << size;
        if (size != 0) {
            EXPECT_EQ(find(text.data(), text[size - 1], size), &text[size - 1]) << size;
        }
        EXPECT_EQ(compare(text.data(), (text.substr(0, size) + '!').data(), size), 0) << size;
        EXPECT_EQ(length(text.data() + size), text.size() - size);
    }
    // The first byte that differs decides, read as unsigned.
    EXPECT_LT(compare("a\x01" "z", "a\xFF" "a", 3), 0);
    EXPECT_GT(compare("a\xFF" "a", "a\x01" "z", 3), 0);
}

}  // namespace
}  // namespace dorvanel::byte_loops
