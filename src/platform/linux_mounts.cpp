#include "platform/linux_mounts.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <linux/openat2.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <cstring>
#include <string_view>
#include <utility>

namespace dorvanel::linux_mounts {
namespace {

// One line of mountinfo: "id parent major:minor root mount-point options ...",
// the mount point as written there (escaped).
struct Mount {
    std::uint64_t id, parent;
    DeviceNumbers device;
    std::string_view point;
};

// The bytes of `text` from `from` up to `to`, both within it. Unlike substr,
// nothing to throw, which would bring in the C++ runtime.
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
    // A zero byte, written or escaped, would cut the path short: it names no mount point.
    if (colon == std::string_view::npos || mount.point.find('\0') != std::string_view::npos ||
        mount.point.find("\\000") != std::string_view::npos || !read_number(fields[0], mount.id) ||
        !read_number(fields[1], mount.parent) || !read_number(slice(fields[2], 0, colon), mount.device.major) ||
        !read_number(slice(fields[2], colon + 1, fields[2].size()), mount.device.minor)) {
        return std::nullopt;
    }
    return mount;
}

bool is_disc(const Mount& mount, DeviceNumbers disc) {
    return mount.device.major == disc.major && mount.device.minor == disc.minor;
}

// mountinfo writes space, tab, newline and backslash in a path as \ooo.
constexpr bool is_octal_escape(std::string_view text) {
    return text.size() >= 4 && text[0] == '\\' && text[1] >= '0' && text[1] <= '3' && text[2] >= '0' &&
           text[2] <= '7' && text[3] >= '0' && text[3] <= '7';
}

// Unescapes a mount point where it stands; the blank after it takes the end.
const char* unescape_in_place(std::string_view point) {
    char* const path = const_cast<char*>(point.data());
    std::size_t size = 0;
    for (std::size_t i = 0; i < point.size();) {
        if (is_octal_escape(slice(point, i, point.size()))) {
            path[size++] = static_cast<char>((path[i + 1] - '0') * 64 + (path[i + 2] - '0') * 8 + (path[i + 3] - '0'));
            i += 4;
        } else {
            path[size++] = path[i++];
        }
    }
    path[size] = '\0';
    return path;
}

// The records, and what the walks need of them, in one block of memory.
class Table {
public:
    explicit Table(std::string_view text) {
        const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        if (lines > UINT32_MAX) return;  // as if there were no memory: nothing is unmounted
        block_ = std::malloc(lines * (sizeof(Mount) + 3 * sizeof(std::uint32_t) + sizeof(std::int64_t)));
        if (block_ == nullptr) return;
        mounts_ = static_cast<Mount*>(block_);
        below_ = reinterpret_cast<std::int64_t*>(mounts_ + lines);
        by_id_ = reinterpret_cast<std::uint32_t*>(below_ + lines);
        by_point_ = by_id_ + lines;
        walk_ = by_point_ + lines;
        for (std::size_t start = 0; start <= text.size();) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            if (const auto mount = read_mount(slice(text, start, end))) mounts_[count_++] = *mount;
            start = end + 1;
        }
        for (std::uint32_t i = 0; i < count_; ++i) by_id_[i] = by_point_[i] = i;
        // Ties go by line, so that a torn table's repeated id finds its first line.
        std::sort(by_id_, by_id_ + count_, [&](std::uint32_t a, std::uint32_t b) {
            return std::pair(mounts_[a].id, a) < std::pair(mounts_[b].id, b);
        });
        std::sort(by_point_, by_point_ + count_, [&](std::uint32_t a, std::uint32_t b) {
            return std::pair(mounts_[a].point, a) < std::pair(mounts_[b].point, b);
        });
    }
    ~Table() { std::free(block_); }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    bool read() const { return block_ != nullptr; }
    std::uint32_t size() const { return count_; }
    const Mount& operator[](std::uint32_t i) const { return mounts_[i]; }

    // Whether every mount point of the disc holds, besides the disc's own
    // mounts, only filesystems that lie beneath all of them there.
    bool disc_on_top(DeviceNumbers disc) {
        for (std::uint32_t first = 0; first < count_;) {
            const std::string_view point = mounts_[by_point_[first]].point;
            std::uint32_t last = first;
            std::int64_t others = 0;
            bool has_disc = false;
            for (; last < count_ && mounts_[by_point_[last]].point == point; ++last) {
                below_[by_point_[last]] = unknown;
                has_disc = has_disc || is_disc(mounts_[by_point_[last]], disc);
                others += is_disc(mounts_[by_point_[last]], disc) ? 0 : 1;
            }
            for (std::uint32_t i = first; has_disc && i < last; ++i) {
                const std::uint32_t mount = by_point_[i];
                if (is_disc(mounts_[mount], disc) && others_below(mount, disc) != others) return false;
            }
            first = last;
        }
        return true;
    }

private:
    static constexpr std::int64_t unknown = -2, goes_round = -1, on_walk = -3;

    // The mount whose id is `id` (the first, should a torn table repeat one).
    std::optional<std::uint32_t> find(std::uint64_t id) const {
        const auto* at = std::lower_bound(by_id_, by_id_ + count_, id,
                                          [&](std::uint32_t i, std::uint64_t wanted) { return mounts_[i].id < wanted; });
        if (at == by_id_ + count_ || mounts_[*at].id != id) return std::nullopt;
        return *at;
    }

    // The mount below `mount` at the same mount point, if any.
    std::optional<std::uint32_t> beneath(std::uint32_t mount) const {
        const auto parent = find(mounts_[mount].parent);
        if (!parent || mounts_[*parent].point != mounts_[mount].point) return std::nullopt;
        return parent;
    }

    // How many other filesystems lie beneath `mount` at its mount point;
    // goes_round when its parents lead round in a circle. Each mount is
    // walked once, and remembered.
    std::int64_t others_below(std::uint32_t mount, DeviceNumbers disc) {
        const auto counted = [&](std::int64_t below, std::uint32_t at) {
            return below == goes_round ? goes_round : below + (is_disc(mounts_[at], disc) ? 0 : 1);
        };
        std::uint32_t depth = 0;
        std::int64_t below = 0;  // beneath the last mount walked
        for (std::optional<std::uint32_t> at = mount; at; at = beneath(*at)) {
            if (below_[*at] == on_walk) {
                below = goes_round;
                break;
            }
            if (below_[*at] != unknown) {
                below = counted(below_[*at], *at);
                break;
            }
            below_[*at] = on_walk;
            walk_[depth++] = *at;
        }
        while (depth > 0) {
            const std::uint32_t at = walk_[--depth];
            below_[at] = below;
            below = counted(below, at);
        }
        return below_[mount];
    }

    void* block_ = nullptr;
    Mount* mounts_ = nullptr;
    std::int64_t* below_ = nullptr;
    std::uint32_t* by_id_ = nullptr;
    std::uint32_t* by_point_ = nullptr;
    std::uint32_t* walk_ = nullptr;
    std::uint32_t count_ = 0;
};

}  // namespace

void unmount_mounts(std::span<char> mountinfo, DeviceNumbers disc,
                    int (*unmount)(std::uint64_t mount_id, const char* mount_point)) {
    Table table({mountinfo.data(), mountinfo.size()});
    if (!table.read() || !table.disc_on_top(disc)) return;
    for (std::uint32_t i = table.size(); i-- > 0;) {
        const Mount& mount = table[i];
        if (is_disc(mount, disc) && unmount(mount.id, unescape_in_place(mount.point)) != 0) return;
    }
}

}  // namespace dorvanel::linux_mounts

namespace dorvanel::linux_mounts {
namespace {

// umount(8) knows more than the kernel: fstab's `user` mounts, and the
// helpers of automounters. What it says goes nowhere.
int run_umount(const char* mount_point) {
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
    char* argv[] = {const_cast<char*>("umount"), const_cast<char*>(mount_point), nullptr};
    pid_t umount;
    const int failure = posix_spawn(&umount, "/bin/umount", &quiet, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (failure != 0) return -failure;
    int status;
    while (waitpid(umount, &status, 0) < 0) {
        if (errno != EINTR) return -errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -EBUSY;
}

}  // namespace

int open_mount_point_folder(std::uint64_t mount_id, const char* mount_point, const char** name) {
    const std::string_view path(mount_point);
    const std::size_t length = path.rfind('/');
    // The root, or a path that is not whole, has no folder to be taken off from.
    if (!path.starts_with('/') || length + 1 == path.size()) return -EINVAL;
    char folder[PATH_MAX];
    if (length >= sizeof folder) return -ENAMETOOLONG;
    const std::size_t kept = length == 0 ? 1 : length;  // "/" for a mount point in the root
    std::memcpy(folder, mount_point, kept);
    folder[kept] = '\0';
    *name = mount_point + length + 1;

    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const int fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, folder, &how, sizeof how));
    if (fd < 0) return -errno;
    struct statx seen {};
    if (statx(fd, *name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &seen) != 0) {
        const int error = -errno;
        close(fd);
        return error;
    }
    const bool reached = (seen.stx_mask & STATX_MNT_ID) != 0 && seen.stx_mnt_id == mount_id &&
                         (seen.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                         (seen.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    if (reached) return fd;
    close(fd);
    return -ESTALE;
}

int unmount_mount(std::uint64_t mount_id, const char* mount_point) {
    const char* name;
    const int folder = open_mount_point_folder(mount_id, mount_point, &name);
    if (folder < 0) return folder;
    // umount2 has no form that starts from a folder; the folder's own entry
    // in /proc/self/fd leads into it without looking its path up again.
    constexpr std::string_view fds = "/proc/self/fd/";
    const std::size_t name_size = std::strlen(name);
    int result = -ENAMETOOLONG;
    if (name_size <= NAME_MAX) {
        char path[fds.size() + 12 + NAME_MAX + 1];
        std::memcpy(path, fds.data(), fds.size());
        char* end = std::to_chars(path + fds.size(), path + fds.size() + 11, folder).ptr;
        *end++ = '/';
        std::memcpy(end, name, name_size + 1);
        result = umount2(path, UMOUNT_NOFOLLOW) == 0 ? 0 : -errno;
    }
    close(folder);
    return result == -EPERM ? run_umount(mount_point) : result;
}

}  // namespace dorvanel::linux_mounts
