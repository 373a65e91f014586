// The media control texts the Windows program sends, byte for byte.
#include <gtest/gtest.h>

#include "platform/mci_command.h"

namespace dorvanel::mci {
namespace {

struct TextCase {
    DriveElement drive;
    DoorAction action;
    std::string_view text;
};

const TextCase text_cases[] = {
    {{}, DoorAction::Open, "set cdaudio door open"},
    {{}, DoorAction::Close, "set cdaudio door closed"},
    {DriveElement::for_letter('d'), DoorAction::Open, "set cdaudio!d:\\ door open"},
    {DriveElement::for_letter('z'), DoorAction::Close, "set cdaudio!z:\\ door closed"},
    // Whatever byte the grammar took as the letter passes through.
    {DriveElement::for_letter('\x82'), DoorAction::Open, "set cdaudio!\x82:\\ door open"},
};

TEST(MciCommand, IsHeadDriveAndSuffixWithATerminator) {
    for (const TextCase& c : text_cases) {
        const DoorCommand command = door_command(c.drive, c.action);
        EXPECT_EQ(command.text(), c.text);
        EXPECT_EQ(command.bytes[command.size], '\0') << c.text;
    }
}

}  // namespace
}  // namespace dorvanel::mci
