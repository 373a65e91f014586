// Arbitrary bytes as /proc/self/mountinfo, read for a disc's mounts. The first
// two bytes are the disc's major and minor numbers, the third says which
// unmount fails (0: none); the rest is the table, in a heap block of exactly
// its size. The mount points handed over must be those of a plain, slow
// reading of the same rules, and nothing may be written outside them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
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
// fifth followed by a blank, the numbers decimal and in range, the mount
// point free of zero bytes once unescaped.
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
        if (colon != std::string::npos && plain_unescape(fields[4]).find('\0') == std::string::npos &&
            plain_number(fields[0], line.id) && plain_number(fields[1], line.parent) &&
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

// Indices of the lines handed over, in order, if every unmount succeeded.
std::vector<std::size_t> plain_reading(const std::vector<Line>& lines, unsigned major, unsigned minor) {
    const auto is_disc = [&](const Line& line) { return line.major == major && line.minor == minor; };
    for (const Line& disc : lines) {
        if (!is_disc(disc)) continue;
        std::size_t others = 0;
        for (const Line& line : lines) others += line.point == disc.point && !is_disc(line) ? 1 : 0;
        // Down through the mounts beneath, at the same mount point.
        std::set<const Line*> seen{&disc};
        std::size_t others_beneath = 0;
        for (const Line* at = &disc;;) {
            const auto parent = std::find_if(lines.begin(), lines.end(), [&](const Line& l) { return l.id == at->parent; });
            if (parent == lines.end() || parent->point != disc.point) break;
            if (!seen.insert(&*parent).second) return {};  // round in a circle
            others_beneath += is_disc(*parent) ? 0 : 1;
            at = &*parent;
        }
        if (others_beneath != others) return {};
    }
    std::vector<std::size_t> handed;
    for (std::size_t i = lines.size(); i-- > 0;) {
        if (is_disc(lines[i])) handed.push_back(i);
    }
    return handed;
}

struct Handed {
    std::uint64_t id;
    const char* at;
    std::string path;
};
std::vector<Handed> handed;
std::size_t fail_at;

int record(std::uint64_t id, const char* mount_point) {
    handed.push_back({id, mount_point, mount_point});
    return handed.size() == fail_at ? -1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned major = data[0], minor = data[1];
    fail_at = data[2];
    const std::string_view table(reinterpret_cast<const char*>(data + 3), size - 3);
    const auto text = std::make_unique<char[]>(table.size());
    std::memcpy(text.get(), table.data(), table.size());

    handed.clear();
    linux_mounts::unmount_mounts({text.get(), table.size()}, {major, minor}, record);

    const std::vector<Line> lines = plain_lines(table);
    std::vector<std::size_t> expected = plain_reading(lines, major, minor);
    if (fail_at != 0 && expected.size() > fail_at) expected.resize(fail_at);
    check(handed.size() == expected.size(), "as many mounts handed over as the plain reading finds");
    std::vector<bool> may_change(table.size() + 1, false);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Line& line = lines[expected[i]];
        check(handed[i].id == line.id, "the mount id of the line handed over");
        check(handed[i].at == text.get() + line.point_at, "the mount point unescaped where it stands");
        check(handed[i].path == plain_unescape(line.point), "the mount point unescaped as the plain reading does");
        // The mount point and the blank after it, which takes the end.
        std::fill_n(may_change.begin() + static_cast<std::ptrdiff_t>(line.point_at), line.point.size() + 1, true);
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        check(may_change[i] || text[i] == table[i], "nothing written outside a mount point handed over");
    }
    return 0;
}
