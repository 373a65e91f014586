// Arbitrary bytes as /proc/self/mountinfo, read for a disc's mounts. The first
// two bytes are the disc's major and minor numbers, the third says which call
// is refused (0: none; proofs and unmounts are counted together); the rest is
// the table, in a heap block of exactly its size. The mounts handed over must
// be those of a plain, slow reading of the same rules, each proven before any
// is taken off, children before parents, and nothing may be written outside
// their mount points.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "invariant.h"
#include "platform/linux_mounts.h"

namespace {

using namespace dorvanel;

struct Line {
    std::size_t point_at = 0;  // where the mount point starts in the table
    std::string point;         // as written there
    std::uint64_t id = 0, parent = 0;
    unsigned major = 0, minor = 0;
};

template <typename Number>
bool plain_number(const std::string& text, Number& number) {
    if (text.empty()) return false;
    unsigned long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || __builtin_mul_overflow(value, 10ULL, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
            return false;
        }
    }
    if (value > static_cast<unsigned long long>(static_cast<Number>(-1))) return false;
    number = static_cast<Number>(value);
    return true;
}

std::string plain_unescape(const std::string& point) {
    std::string path;
    for (std::size_t i = 0; i < point.size(); ++i) {
        if (point[i] == '\\' && i + 3 < point.size() && point[i + 1] >= '0' && point[i + 1] <= '3' &&
            point[i + 2] >= '0' && point[i + 2] <= '7' && point[i + 3] >= '0' && point[i + 3] <= '7') {
            path += static_cast<char>((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0'));
            i += 3;
        } else {
            path += point[i];
        }
    }
    return path;
}

// The table's mounts, one a line: five fields split at single blanks, the
// fifth followed by a blank, the numbers decimal and in range.
std::vector<Line> plain_lines(std::string_view table) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start <= table.size()) {
        std::size_t end = table.find('\n', start);
        if (end == std::string_view::npos) end = table.size();
        std::vector<std::string> fields;
        std::size_t at = start, point_at = 0;
        while (fields.size() < 5) {
            const std::size_t space = table.find(' ', at);
            if (space == std::string_view::npos || space >= end) break;
            point_at = at;
            fields.emplace_back(table.substr(at, space - at));
            at = space + 1;
        }
        Line line;
        const std::size_t colon = fields.size() == 5 ? fields[2].find(':') : std::string::npos;
        if (colon != std::string::npos && plain_number(fields[0], line.id) && plain_number(fields[1], line.parent) &&
            plain_number(fields[2].substr(0, colon), line.major) &&
            plain_number(fields[2].substr(colon + 1), line.minor)) {
            line.point_at = point_at;
            line.point = fields[4];
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

// The disc's lines, if every one of them may come off: no mount id listed
// twice, no other filesystem on top of one of the disc's, and no parents that
// go round among the disc's. Found by the slowest means: looking each parent
// up by a walk over the lines.
std::optional<std::vector<std::size_t>> plain_discs(const std::vector<Line>& lines, unsigned major, unsigned minor) {
    const auto is_disc = [&](const Line& line) { return line.major == major && line.minor == minor; };
    const auto parent = [&](const Line& line) -> const Line* {
        for (const Line& other : lines) {
            if (other.id == line.parent) return &other;
        }
        return nullptr;
    };
    std::vector<std::size_t> discs;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        for (std::size_t j = i + 1; j < lines.size(); ++j) {
            if (lines[i].id == lines[j].id) return std::nullopt;
        }
        const Line* below = parent(lines[i]);
        if (below && is_disc(*below) && !is_disc(lines[i])) return std::nullopt;
        if (!is_disc(lines[i])) continue;
        std::size_t steps = 0;
        for (const Line* at = below; at && is_disc(*at); at = parent(*at)) {
            if (++steps > lines.size()) return std::nullopt;
        }
        discs.push_back(i);
    }
    return discs;
}

struct Call {
    bool unmount;
    std::uint64_t id;
    const char* at;
    std::string path;
};
std::vector<Call> calls;
std::size_t refused_call;  // the first call is 1; 0: none is refused

int record(bool unmount, std::uint64_t id, const char* mount_point) {
    calls.push_back({unmount, id, mount_point, mount_point});
    return calls.size() == refused_call ? -1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned major = data[0], minor = data[1];
    refused_call = data[2];
    const std::string_view table(reinterpret_cast<const char*>(data + 3), size - 3);
    const auto text = std::make_unique<char[]>(table.size());
    std::memcpy(text.get(), table.data(), table.size());

    calls.clear();
    const auto result = linux_mounts::unmount_mounts(
        {text.get(), table.size()}, {major, minor},
        {[](std::uint64_t id, const char* point, linux_mounts::DeviceNumbers) { return record(false, id, point); },
         [](std::uint64_t id, const char* point, linux_mounts::DeviceNumbers) { return record(true, id, point); }});

    const std::vector<Line> lines = plain_lines(table);
    const auto discs = plain_discs(lines, major, minor);
    const std::size_t mounts = discs ? discs->size() : 0;
    // Every mount proven, then every one taken off, up to the first refusal.
    std::size_t expected = 2 * mounts;
    if (refused_call != 0 && refused_call < expected) expected = refused_call;
    check(calls.size() == expected, "as many calls as the disc's mounts, cut at the first refusal");
    std::vector<bool> may_change(table.size() + 1, false);
    std::vector<std::size_t> order;  // the line of each mount, in the order proven
    for (std::size_t i = 0; i < calls.size(); ++i) {
        check(calls[i].unmount == (i >= mounts), "no unmount before every mount is proven");
        if (calls[i].unmount) {
            check(calls[i].at == calls[i - mounts].at, "taken off in the order proven");
            continue;
        }
        const auto line = std::find_if(discs->begin(), discs->end(),
                                       [&](std::size_t l) { return text.get() + lines[l].point_at == calls[i].at; });
        check(line != discs->end(), "a mount point of the disc, unescaped where it stands");
        check(std::find(order.begin(), order.end(), *line) == order.end(), "each mount once");
        check(calls[i].id == lines[*line].id, "the mount id of the line handed over");
        // A zero byte (which the kernel never writes) ends the path handed over.
        check(calls[i].path == plain_unescape(lines[*line].point).c_str(), "unescaped as the plain reading does");
        // No mount of the disc that stands on this one is still to come.
        for (const std::size_t l : *discs) {
            check(lines[l].parent != lines[*line].id || std::find(order.begin(), order.end(), l) != order.end(),
                  "children before parents");
        }
        order.push_back(*line);
        // The mount point and the blank after it, which takes the end.
        std::fill_n(may_change.begin() + static_cast<std::ptrdiff_t>(lines[*line].point_at),
                    lines[*line].point.size() + 1, true);
    }
    // What the result says: why not, and at which mount point.
    using End = linux_mounts::Unmounted::End;
    if (!discs) {
        check(result.end == End::Torn || result.end == End::MountedOver, "a table that cannot tell the order");
        const auto over = std::find_if(lines.begin(), lines.end(),
                                       [&](const Line& l) { return text.get() + l.point_at == result.mount_point; });
        check((result.end == End::MountedOver) == (over != lines.end()), "the mount on the disc's named");
        if (over != lines.end()) {
            std::fill_n(may_change.begin() + static_cast<std::ptrdiff_t>(over->point_at), over->point.size() + 1, true);
        }
    } else if (refused_call != 0 && refused_call <= 2 * mounts) {
        check(result.end == (calls.back().unmount ? End::NotUnmounted : End::NotProven) &&
                  result.mount_point == calls.back().at && result.error == -1,
              "the refused mount named");
    } else {
        check(result.end == (mounts == 0 ? End::NotMounted : End::AllOff) && result.mount_point == nullptr,
              "all off, or none to take off");
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        check(may_change[i] || text[i] == table[i], "nothing written outside a mount point handed over");
    }
    return 0;
}
