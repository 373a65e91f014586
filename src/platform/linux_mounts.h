// Linux: taking a disc's mounts off before its tray opens, as the kernel
// sees them: the lines of /proc/self/mountinfo with the drive's device
// numbers, each proven by its mount id and device numbers before any comes
// off. The table is read once and judged in time linear in its size, give or
// take a logarithm.
#pragma once

#include <cstdint>
#include <span>

namespace dorvanel::linux_mounts {

struct DeviceNumbers {
    unsigned major, minor;
    friend bool operator==(const DeviceNumbers&, const DeviceNumbers&) = default;
};

// What taking them off asks of the kernel: prove_mount and unmount_mount below.
inline constexpr int umount_refused = 1;
struct MountCalls {
    int (*prove)(std::uint64_t mount_id, const char* mount_point, DeviceNumbers drive);
    int (*unmount)(std::uint64_t mount_id, const char* mount_point, DeviceNumbers drive);
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

// Takes off the disc's mounts in `mountinfo`, children before parents, as
// the parent ids stack them. Nothing comes off where the table cannot give
// that order (a mount id listed twice, parents that go round), where another
// filesystem stands on one of the disc's mounts, or where any mount is not
// proven. Then each is proven again and unmounted at once; the first refusal
// stops the rest, and those already off stay off. Each mount point is handed
// over unescaped and zero-terminated in place, within its own line.
Unmounted unmount_mounts(std::span<char> mountinfo, DeviceNumbers drive, const MountCalls& calls);

// 0 where `mount_point`, taken from the root one name at a time with no
// symbolic link followed, is now the root of mount `mount_id` on `drive`:
// -ESTALE where it is another mount or no mount root, -EINVAL for the root or
// a path that is not whole, else the -errno of the name that could not be
// reached (-ENAMETOOLONG for one of more than 255 bytes).
int prove_mount(std::uint64_t mount_id, const char* mount_point, DeviceNumbers drive);

// Proves the mount as prove_mount does, then unmounts it by its last name in
// the directory the proof reached, still open: nothing of the path is looked
// up again (a mount put there between the two calls would be the one taken
// off). Where the kernel leaves it to umount(8) (EPERM: any user but
// root), umount(8) takes it off by its path, where fstab or its own records
// let this user; where this program took it off, umount(8) forgets its record
// of it (--fake). 0 once off, umount_refused where umount(8) did not take it
// off, else -errno.
int unmount_mount(std::uint64_t mount_id, const char* mount_point, DeviceNumbers drive);

}  // namespace dorvanel::linux_mounts
