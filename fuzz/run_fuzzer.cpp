// Arbitrary argument lists through the interpretation and the run, against
// the recording platform. The first byte picks how the rest arrives: as an
// argument vector (zero bytes between the elements, empty ones included) or
// as a command-line text split by the code page 932 rule; and which lowercase
// rule reads it: A to Z only, or a Windows-1252-like one that also folds
// accented capitals.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "invocation/invocation.h"
#include "main/run.h"
#include "platform/mci_command.h"
#include "support/code_pages.h"
#include "support/recording_platform.h"
#include "invariant.h"
#include "reference.h"

namespace {

using namespace dorvanel;

struct Read {
    Invocation invocation;
    std::vector<std::string> arguments;  // as the plain reading sees them
};

// The payload as an argument vector, packed as the Linux program does it:
// into heap blocks of exactly the announced size.
Read read_vector(std::string_view payload, LowercaseRule lowercase) {
    std::vector<std::string> elements{"dorvanel"};
    for (std::size_t start = 0;;) {
        const std::size_t end = payload.find('\0', start);
        elements.emplace_back(payload.substr(start, end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& element : elements) argv.push_back(element.c_str());
    const int argc = static_cast<int>(argv.size());

    const std::size_t size = packed_size(argc, argv.data());
    const auto packed = std::make_unique<char[]>(size);
    const auto room = std::make_unique<char[]>(size);
    const ArgumentList list = pack_argument_vector(argc, argv.data(), {packed.get(), size});
    check(list.packed.size() == size, "the packed vector takes the announced size");

    Read read{interpret(list, lowercase, {room.get(), size}), {}};
    for (std::size_t i = 1; i < elements.size(); ++i) {
        if (!elements[i].empty()) read.arguments.push_back(elements[i]);
    }
    return read;
}

// The payload as a command-line text, split and read as the Windows program does it.
Read read_command_line(std::string_view payload, LowercaseRule lowercase) {
    const std::size_t half = payload.size() + 1;
    const auto packed = std::make_unique<char[]>(half);
    const auto room = std::make_unique<char[]>(half);
    const ArgumentList list = split_command_line(payload, code_pages::shift_jis_lead_byte, {packed.get(), half});
    return {interpret(list, lowercase, {room.get(), half}), reference::split(payload, code_pages::shift_jis_lead_byte)};
}

// The media control text the Windows program sends for this move.
void check_door_command(const DriveElement& drive, DoorAction action) {
    const mci::DoorCommand command = mci::door_command(drive, action);
    const std::string_view text = command.text(), head = "set cdaudio";
    const std::string_view suffix = action == DoorAction::Open ? " door open" : " door closed";
    check(text.size() < command.bytes.size() && command.bytes[text.size()] == '\0', "the command is zero-terminated");
    check(text.starts_with(head) && text.ends_with(suffix), "the command is head, drive and suffix");
    check(text.size() == head.size() + drive.size + suffix.size(), "nothing else is in the command");
    check(text.substr(head.size(), drive.size) == drive.text(), "the drive element stands as it is");
}

void check_run(const Invocation& invocation) {
    recording::clear();
    carry_out(invocation);
    const std::vector<std::string>& requests = recording::requests();

    const std::string_view drive = invocation.drive_element.text();
    check(drive.empty() || (drive.size() == 4 && drive[0] == '!' && drive.substr(2) == ":\\"),
          "the drive element is empty or \"!\", one byte, \":\\\"");

    std::size_t moves = 0, notices = 0, waits_before_close = 0;
    std::uint64_t waited_ms = 0;
    bool opened = false, closed = false;
    for (const std::string& request : requests) {
        const std::string on_drive = drive.empty() ? "" : " " + std::string(drive);
        const bool open = request == "open" + on_drive;
        const bool close = request == "close" + on_drive;
        if (request.starts_with("open") || request.starts_with("close")) {
            ++moves;
            check(open || close, "every move is on the invocation's drive");
            check_door_command(invocation.drive_element, open ? DoorAction::Open : DoorAction::Close);
            check(!closed, "nothing is sent after the close command");
            if (open) {
                check(!opened, "the open command is sent once");
                opened = true;
            } else {
                closed = true;
            }
        } else if (request.starts_with("wait ")) {
            check(!closed, "no wait after the close command");
            check(invocation.mode == Mode::OpenClose && opened, "waits come only after an OpenClose open command");
            ++waits_before_close;
            waited_ms += std::stoull(request.substr(5));
        } else if (request == "notice Dorvanel 64") {
            ++notices;
        } else {
            fail("an unknown request");
        }
    }
    check(moves <= 2, "at most two tray moves");

    switch (invocation.mode) {
    case Mode::Usage:
        check(moves == 0 && notices == 1 && requests.size() == 1, "Usage shows the notice once and sends nothing");
        break;
    case Mode::Open:
        check(requests.size() == 1 && opened, "Open sends the open command alone");
        break;
    case Mode::Close:
        check(requests.size() == 1 && closed, "Close sends the close command alone");
        break;
    case Mode::OpenClose:
        check(notices == 0 && opened, "OpenClose sends the open command first");
        if (invocation.delay > 0) {
            check(closed && waits_before_close >= 1, "a positive delay closes the door after a wait");
            check(waited_ms == static_cast<std::uint64_t>(invocation.delay) * 1000, "the wait is delay x 1000 ms");
        } else {
            check(requests.size() == 1, "a delay of 0 or less leaves the door open at once");
        }
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t choice = data[0];
    const std::string_view payload(reinterpret_cast<const char*>(data) + 1, size - 1);
    const LowercaseRule lowercase = (choice & 1) ? code_pages::windows_1252_lowercase : code_pages::ascii_lowercase;

    const Read read = (choice & 2) ? read_command_line(payload, lowercase) : read_vector(payload, lowercase);
    check(read.invocation == reference::interpret(read.arguments, lowercase),
          "the invocation agrees with the plain reading");
    check_run(read.invocation);

    // The integer rules alone, on the payload as one delay text.
    check(read_integer(payload) == reference::integer(payload), "the delay text reads as the plain reading does");
    return 0;
}
