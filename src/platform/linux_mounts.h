// Linux: taking a disc's mounts off before its tray opens, as the kernel
// sees them. All are proven before any comes off, or none comes off; a
// refusal while they come off stops the rest, and those already off stay off.
//
// The disc's mounts are the lines of /proc/self/mountinfo with the drive's
// device numbers; a line cut short or garbled names no mount. The table is
// read once and judged in time linear in its size, give or take a logarithm:
// - Order: children before parents, as the parent ids stack them. Nothing
//   comes off when the table cannot give that order: a mount id listed twice
//   or parents that go round (a table read while mounts changed), or another
//   filesystem on one of the disc's mounts (the kernel would refuse that one).
// - First pass: each mount is proven. Its mount point's path, taken from the
//   root one name at a time with no symbolic link followed, must lead to the
//   root of a mount with the table's mount id and the drive's device numbers.
//   If one does not (something covers it or a directory on the way, or its id
//   now names another mount), nothing comes off.
// - Second pass: each is proven again and unmounted at once, in that order.
//   The first refused stops the rest: where something changed since the first
//   pass, or the unmount is refused (a mount in use; for a user, one umount(8)
//   does not let that user unmount).
#pragma once

#include <cstdint>
#include <span>

namespace dorvanel::linux_mounts {

struct DeviceNumbers {
    unsigned major, minor;
    friend bool operator==(const DeviceNumbers&, const DeviceNumbers&) = default;
};

// What the passes ask of the kernel: 0, or -errno where the mount is not
// proven (prove) or not taken off (unmount); unmount also gives
// umount_refused where umount(8) ran and did not take it off.
inline constexpr int umount_refused = 1;
struct MountCalls {
    int (*prove)(std::uint64_t mount_id, const char* mount_point, DeviceNumbers disc);
    int (*unmount)(std::uint64_t mount_id, const char* mount_point, DeviceNumbers disc);
};

// How taking the disc's mounts off ended, and the mount point (unescaped, in
// the table's text) and -errno (or umount_refused) of the step that stopped it.
struct Unmounted {
    enum class End : std::uint8_t {
        NotMounted,   // the table lists none of the disc's mounts
        AllOff,
        Unreadable,   // the table, or memory for its records, could not be had
        Torn,         // a mount id listed twice, or parents that go round
        MountedOver,  // another filesystem, mounted at mount_point, stands on one of the disc's
        NotProven,
        NotUnmounted,
    } end;
    int error = 0;
    const char* mount_point = nullptr;
};

// Takes off the disc's mounts in `mountinfo`, as above. Each mount point is
// handed over unescaped and zero-terminated in place, within its own line.
Unmounted unmount_mounts(std::span<char> mountinfo, DeviceNumbers disc, const MountCalls& calls);

// 0 where `mount_point`, reached as above, is now the root of mount
// `mount_id` on `disc`: -ESTALE where it is another mount or no mount root,
// -EINVAL for the root or a path that is not whole, else the -errno of the
// name that could not be reached.
int prove_mount(std::uint64_t mount_id, const char* mount_point, DeviceNumbers disc);

// Proves the mount as prove_mount does, then unmounts it by its last name in
// the directory the proof reached, still open: nothing else of the path is
// looked up again, nor a link there followed. A mount put in its place in the
// two system calls between would be the one unmounted. Where the kernel leaves
// it to umount(8) (any user but root: fstab's `user` mounts, and udisks', which
// umount(8) hands to its helper), umount(8) takes it off by its path, looked up
// again as the user, links and all, where fstab or its own records let that
// user. 0 once off, umount_refused where umount(8) did not take it off, else
// -errno (also where umount(8) could not be started).
int unmount_mount(std::uint64_t mount_id, const char* mount_point, DeviceNumbers disc);

}  // namespace dorvanel::linux_mounts
