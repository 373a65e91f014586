#include "platform/mci_command.h"

#include <cstring>

namespace dorvanel::mci {

DoorCommand door_command(const DriveElement& drive, DoorAction action) {
    constexpr std::string_view head = "set cdaudio";
    const std::string_view suffix = action == DoorAction::Open ? " door open" : " door closed";
    DoorCommand command;
    for (const std::string_view piece : {head, drive.text(), suffix}) {
        std::memcpy(command.bytes.data() + command.size, piece.data(), piece.size());
        command.size += piece.size();
    }
    command.bytes[command.size] = '\0';
    return command;
}

}  // namespace dorvanel::mci
