// Arbitrary bytes as a Windows command-line text, split by the rules of code
// page 932 and of a single-byte code page. The text and every output buffer
// sit in heap blocks of exactly their size, so AddressSanitizer stops any
// read past the end of the text or write past the end of the room.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "invocation/invocation.h"
#include "invariant.h"
#include "support/argument_lists.h"
#include "support/code_pages.h"
#include "reference.h"

namespace {

using namespace dorvanel;

// Splits into a room of exactly `room` bytes.
std::vector<std::string> split_into(std::string_view text, LeadByteTest rule, std::size_t room) {
    const auto out = std::make_unique<char[]>(room);
    const ArgumentList list = split_command_line(text, rule, {out.get(), room});
    check(list.packed.size() <= room, "the packed arguments fit the room");
    check(list.packed.empty() || list.packed.data() == out.get(), "the packed arguments are in the room");
    check(list.packed.empty() || list.packed.back() == '\0', "every argument ends in a zero byte");
    return argument_lists::unpack(list.packed);
}

std::size_t packed_length(const std::vector<std::string>& arguments, std::size_t count) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) size += arguments[i].size() + 1;
    return size;
}

void check_split(std::string_view text, LeadByteTest rule, std::uint8_t room_choice) {
    const std::vector<std::string> arguments = split_into(text, rule, text.size() + 1);
    for (const std::string& argument : arguments) {
        check(!argument.empty(), "every argument is non-empty");
        check(argument.size() <= text.size(), "no argument is longer than the text");
        check(argument.find('\0') == std::string::npos, "no argument holds a zero byte");
    }
    check(arguments == reference::split(text, rule), "the split agrees with the plain reading");

    // A shorter room keeps the arguments that fit whole, and no part of the next.
    const std::size_t full = packed_length(arguments, arguments.size());
    for (const std::size_t room : {std::size_t{0}, full == 0 ? 0 : full - 1, full * room_choice / 256}) {
        const std::vector<std::string> kept = split_into(text, rule, room);
        std::size_t fitting = 0;
        while (fitting < arguments.size() && packed_length(arguments, fitting + 1) <= room) ++fitting;
        check(kept == std::vector<std::string>(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(fitting)),
              "a short room keeps the arguments that fit whole");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The last byte of the text also picks how short the partial room is.
    const std::uint8_t room_choice = size == 0 ? 0 : data[size - 1];
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_split(text, code_pages::shift_jis_lead_byte, room_choice);
    check_split(text, code_pages::single_byte, room_choice);
    return 0;
}
