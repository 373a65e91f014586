#include "platform/linux_mounts.h"
#include "platform/linux_process.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace dorvanel::linux_mounts {
namespace {

// One line of mountinfo: "id parent major:minor root mount-point options ...",
// the mount point as written there (escaped).
struct Mount {
    std::uint64_t id, parent;
    DeviceNumbers device;
    std::string_view point;
};

// substr without its throw, which would bring in the C++ runtime.
constexpr std::string_view slice(std::string_view text, std::size_t from, std::size_t to) {
    return {text.data() + from, to - from};
}

template <typename Number>
bool read_number(std::string_view text, Number& number) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

// None for a line that is cut short or garbled: it can name no mount to take off.
std::optional<Mount> read_mount(std::string_view line) {
    std::string_view fields[5];
    std::size_t at = 0;
    for (std::string_view& field : fields) {
        // A line cut short has no blank after its mount point, and no room to end it.
        const std::size_t space = line.find(' ', at);
        if (space == std::string_view::npos) return std::nullopt;
        field = slice(line, at, space);
        at = space + 1;
    }
    Mount mount{0, 0, {0, 0}, fields[4]};
    const std::size_t colon = fields[2].find(':');
    if (colon == std::string_view::npos || !read_number(fields[0], mount.id) ||
        !read_number(fields[1], mount.parent) || !read_number(slice(fields[2], 0, colon), mount.device.major) ||
        !read_number(slice(fields[2], colon + 1, fields[2].size()), mount.device.minor)) {
        return std::nullopt;
    }
    return mount;
}

// Unescapes a mount point where it stands (mountinfo writes space, tab, newline
// and backslash in a path as \ooo); the blank after it takes the end.
const char* unescape_in_place(std::string_view point) {
    char* const path = const_cast<char*>(point.data());
    const auto digit = [&](std::size_t k, char top) { return k < point.size() && path[k] >= '0' && path[k] <= top; };
    std::size_t size = 0;
    for (std::size_t i = 0; i < point.size(); ++size) {
        if (path[i] == '\\' && digit(i + 1, '3') && digit(i + 2, '7') && digit(i + 3, '7')) {
            path[size] = static_cast<char>((path[i + 1] - '0') * 64 + (path[i + 2] - '0') * 8 + (path[i + 3] - '0'));
            i += 4;
        } else {
            path[size] = path[i++];
        }
    }
    path[size] = '\0';
    return path;
}

// The table's records, and the disc's mounts in the order they come off, in one block.
class Table {
public:
    explicit Table(std::string_view text) {
        const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        if (lines > UINT32_MAX) return;  // as if there were no memory: nothing is unmounted
        mounts_ = static_cast<Mount*>(std::malloc(lines * (sizeof(Mount) + 3 * sizeof(std::uint32_t))));
        if (mounts_ == nullptr) return;
        by_id_ = reinterpret_cast<std::uint32_t*>(mounts_ + lines);
        children_ = by_id_ + lines;
        order_ = children_ + lines;
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            if (const auto mount = read_mount(slice(text, start, end))) mounts_[count_++] = *mount;
            start = end + 1;
        }
        for (std::uint32_t i = 0; i < count_; ++i) by_id_[i] = i;
        std::ranges::sort(by_id_, by_id_ + count_, {}, [&](std::uint32_t i) { return mounts_[i].id; });
    }
    ~Table() { std::free(mounts_); }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // Orders the disc's mounts, leaves first (a mount goes in once every mount on top of it is in),
    // then takes them off in two passes, as linux_mounts.h tells.
    Unmounted unmount(DeviceNumbers drive, const MountCalls& calls) {
        using End = Unmounted::End;
        if (mounts_ == nullptr) return {End::Unreadable};
        const auto same = [&](std::uint32_t a, std::uint32_t b) { return mounts_[a].id == mounts_[b].id; };
        if (std::adjacent_find(by_id_, by_id_ + count_, same) != by_id_ + count_) return {End::Torn};
        std::uint32_t discs = 0, ordered = 0;
        std::fill_n(children_, count_, 0);
        for (std::uint32_t i = 0; i < count_; ++i) {
            const auto parent = disc_parent(i, drive);
            if (parent && mounts_[i].device != drive) return {End::MountedOver, 0, unescape_in_place(mounts_[i].point)};
            if (parent) ++children_[*parent];
            if (mounts_[i].device == drive) ++discs;
        }
        if (discs == 0) return {End::NotMounted};
        // The last listed first among mounts that do not stand on each other.
        for (std::uint32_t i = count_; i-- > 0;) {
            if (mounts_[i].device == drive && children_[i] == 0) order_[ordered++] = i;
        }
        for (std::uint32_t next = 0; next < ordered; ++next) {
            const auto parent = disc_parent(order_[next], drive);
            if (parent && --children_[*parent] == 0) order_[ordered++] = *parent;
        }
        if (ordered != discs) return {End::Torn};  // parents that go round never run out of children
        for (const bool off : {false, true}) {
            for (std::uint32_t k = 0; k < ordered; ++k) {
                const Mount& mount = mounts_[order_[k]];
                // Unescaped in the first pass, and ended by a zero byte.
                const char* const point = off ? mount.point.data() : unescape_in_place(mount.point);
                if (const int error = (off ? calls.unmount : calls.prove)(mount.id, point, drive)) {
                    return {off ? End::NotUnmounted : End::NotProven, error, point};
                }
            }
        }
        return {End::AllOff};
    }

private:
    // The disc's mount that `mount` stands on, if any.
    std::optional<std::uint32_t> disc_parent(std::uint32_t mount, DeviceNumbers drive) const {
        const std::uint64_t id = mounts_[mount].parent;
        const auto below = [&](std::uint32_t i, std::uint64_t wanted) { return mounts_[i].id < wanted; };
        const auto* at = std::lower_bound(by_id_, by_id_ + count_, id, below);
        if (at == by_id_ + count_ || mounts_[*at].id != id || mounts_[*at].device != drive) return std::nullopt;
        return *at;
    }

    Mount* mounts_ = nullptr;
    std::uint32_t *by_id_ = nullptr, *children_ = nullptr, *order_ = nullptr;
    std::uint32_t count_ = 0;
};

// The directory that holds the mount point's last name, reached from the root one name at a time with
// no symbolic link followed and held open (O_PATH), however long the path; or -errno. `name` is then
// that last name.
int open_parent(const char* mount_point, const char*& name) {
    // The root, or a path that is not whole, has no directory to be taken off from.
    if (mount_point[0] != '/' || std::strrchr(mount_point, '/')[1] == '\0') return -EINVAL;
    // Nor can a last name longer than unmount_at takes (FUSE allows 1,024 bytes): refused at the proof,
    // before any mount comes off.
    if (std::strlen(std::strrchr(mount_point, '/') + 1) > NAME_MAX) return -ENAMETOOLONG;
    name = mount_point + 1;
    int directory = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return -errno;
    for (const char* slash; (slash = std::strchr(name, '/')) != nullptr; name = slash + 1) {
        const auto size = static_cast<std::size_t>(slash - name);
        int next = size == 0 ? -EINVAL : -ENAMETOOLONG;
        if (size > 0 && size <= NAME_MAX) {
            char piece[NAME_MAX + 1];
            std::memcpy(piece, name, size);
            piece[size] = '\0';
            next = openat(directory, piece, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0) next = -errno;
        }
        close(directory);
        if (next < 0) return next;
        directory = next;
    }
    return directory;
}

// Reaches the mount point as open_parent does; where its last name there is now the root of mount
// `mount_id` on `drive`, `then` (if any) on that directory and name, else -ESTALE.
int where_proven(std::uint64_t mount_id, const char* mount_point, DeviceNumbers drive, int (*then)(int, const char*)) {
    const char* name = mount_point;
    const int directory = open_parent(mount_point, name);
    if (directory < 0) return directory;
    struct statx seen {};
    const bool proven = statx(directory, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &seen) == 0 &&
                        (seen.stx_mask & STATX_MNT_ID) != 0 && seen.stx_mnt_id == mount_id &&
                        (seen.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                        (seen.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 &&
                        DeviceNumbers{seen.stx_dev_major, seen.stx_dev_minor} == drive;
    const int result = !proven ? -ESTALE : then != nullptr ? then(directory, name) : 0;
    close(directory);
    return result;
}

// umount2 has no form that starts from a directory; the directory's own entry in /proc/self/fd leads
// into it without looking its path up again.
int unmount_at(int directory, const char* name) {
    char path[sizeof "/proc/self/fd//" + 10 + NAME_MAX];
    const int size = std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", directory, name);
    if (size < 0 || static_cast<std::size_t>(size) >= sizeof path) return -ENAMETOOLONG;
    return umount2(path, UMOUNT_NOFOLLOW) == 0 ? 0 : -errno;
}

}  // namespace

Unmounted unmount_mounts(std::span<char> mountinfo, DeviceNumbers drive, const MountCalls& calls) {
    return Table({mountinfo.data(), mountinfo.size()}).unmount(drive, calls);
}

int prove_mount(std::uint64_t mount_id, const char* mount_point, DeviceNumbers drive) {
    return where_proven(mount_id, mount_point, drive, nullptr);
}

int unmount_mount(std::uint64_t mount_id, const char* mount_point, DeviceNumbers drive) {
    const int result = where_proven(mount_id, mount_point, drive, unmount_at);
    // umount(8)'s own record of a mount it has not taken off (/run/mount/utab: a helper's, a user's) goes
    // too, by that very path: a stale one would be read as the record of a later mount given the same id.
    const char* const forget[] = {"umount", "--fake", "--no-canonicalize", mount_point, nullptr};
    if (result == 0) (void)linux_process::run_quietly("/bin/umount", forget);
    if (result != -EPERM) return result;
    const char* const argv[] = {"umount", mount_point, nullptr};
    const int umount = linux_process::run_quietly("/bin/umount", argv);
    return umount == 1 ? umount_refused : umount;
}

}  // namespace dorvanel::linux_mounts
