// Linux: whether a loop device reads the disc. Unlike a mount or a device-mapper target, a loop device does not
// claim the drive, so an exclusive open of the drive does not see it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/linux_mounts.h"

namespace dorvanel::linux_loop {

using linux_mounts::DeviceNumbers;

// What a bound loop device reads, as far as this user can tell.
enum class Reads : std::uint8_t { Other, Drive, Unknown };

// A loop device's backing file: the device it is on and, where it is a
// block device, the device it is.
struct BackingFile {
    DeviceNumbers on{};
    std::optional<DeviceNumbers> is = std::nullopt;
};

// What judging a loop device asks of the system, each 0 or -errno: the
// numbers LOOP_GET_STATUS64 gives through /dev/NAME, where that node is loop
// device NAME; /sys/block/NAME/loop/backing_file (world-readable) without its
// newline, zero-terminated; stat(2), following links.
struct LoopCalls {
    int (*status)(const char* name, BackingFile& file);
    int (*backing_file)(const char* name, std::span<char> path);
    int (*stat)(const char* path, BackingFile& file);
};

// The path in the `size` bytes read from backing_file into `text`, zero-terminated in place: 0 where the
// kernel's newline ends them within `text`, else (read empty, or cut short) -ENAMETOOLONG.
int backing_path(std::span<char> text, std::size_t size);

// Whether bound loop device NAME reads the drive or a file on its disc: by
// the numbers the loop device keeps or, where its node cannot be opened (a
// user outside group disk, a /dev that lacks it), by its backing file's path
// as the kernel gives it.
Reads judge(const char* name, DeviceNumbers drive, const LoopCalls& calls);

// The first bound loop device that reads the drive, or of which that cannot
// be told (its name lives until the next call; none where /sys/block cannot
// be listed); Other where none does.
struct Found {
    Reads reads = Reads::Other;
    const char* name = nullptr;
};
Found find_on(DeviceNumbers drive);

}  // namespace dorvanel::linux_loop
