// Linux: which of a disc's mounts to take off before its tray opens, and how
// each is taken off.
//
// Which is decided from the text of /proc/self/mountinfo alone. A mount is
// the disc's when its device numbers are the drive's; a line cut short or
// garbled, or whose mount point would hold a zero byte, names no mount. The
// disc's mounts are handed over the last mounted first, so that one mounted
// on top of another from the same disc goes before it. None is handed over
// when a mount point of the disc also holds another filesystem that does not
// lie beneath the disc's mounts there (one mounted over the disc, or reaching
// the path through a mount over a folder above it): the tray stays shut
// rather than leave the disc half unmounted. The table is read once into
// records and every walk is bounded by their number, so that a table which
// does not agree with itself (read in several pieces, with parents that go
// round) is judged in time linear in its size, give or take a logarithm.
//
// How: a mount is taken off only where its path, followed with no symbolic
// link, reaches that very mount as the kernel numbers it (unmount_mount).
#pragma once

#include <cstdint>
#include <span>

namespace dorvanel::linux_mounts {

struct DeviceNumbers {
    unsigned major, minor;
};

// Hands `unmount` each mount of the disc in `mountinfo` with its mount id and
// its mount point, unescaped and zero-terminated in place (within that
// mount's own line), until one fails (returns non-zero). Nothing when memory
// for the records cannot be had.
void unmount_mounts(std::span<char> mountinfo, DeviceNumbers disc,
                    int (*unmount)(std::uint64_t mount_id, const char* mount_point));

// The folder holding `mount_point`'s last name, opened (O_PATH), where that
// name in it is now the root of mount `mount_id`: every folder on the way
// reached with no symbolic link followed, and the name itself not followed
// either. -ESTALE where the path reaches another mount, -errno where it
// reaches none. `name` points at the last name within `mount_point`.
int open_mount_point_folder(std::uint64_t mount_id, const char* mount_point, const char** name);

// Takes off mount `mount_id` where open_mount_point_folder finds it, by its
// last name within that folder, still held open: nothing of the path but
// that name is looked up again, and a link there is not followed. Where the
// kernel leaves unmounting to umount(8) (any user but root: fstab's `user`
// mounts, and those of udisks, which umount(8) hands to its helper), umount(8)
// takes it off by its path, and follows no link for a user itself.
// 0 once it is off, else -errno.
int unmount_mount(std::uint64_t mount_id, const char* mount_point);

}  // namespace dorvanel::linux_mounts
