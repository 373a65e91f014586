#include "platform/linux_tray.h"

#include <linux/cdrom.h>
#include <linux/limits.h>

#include <cerrno>
#include <cstring>

namespace dorvanel::linux_tray {
namespace {

using linux_mounts::Unmounted;

// The driver's ways of saying "this drive cannot do that request".
constexpr bool is_unsupported(int result) {
    return result == -ENOSYS || result == -ENOTTY || result == -EINVAL;
}

// Another opener is waited for, a tenth of a second at a time, two seconds
// in all: one that holds the door lock, or one that has the drive to itself
// while the disc is not mounted.
constexpr int most_waits = 20;
constexpr std::uint32_t pause_ms = 100;

// Why a tray did not move, as the line says it: the words before and after
// the name it gives (a mount point, a loop device), then, where the system
// gave an error, its text.
struct Cause {
    std::string_view before, after = {};
};
constexpr Cause no_such_device{"no such device"};
constexpr Cause not_permitted{"permission denied (on Debian, members of the group cdrom may open CD drives)"};
constexpr Cause not_opened{"cannot open it"};
constexpr Cause not_a_cd_drive{"not a CD drive"};
constexpr Cause loop_reads{"", " reads the drive or a file on its disc"};
constexpr Cause loop_unknown{"cannot tell whether ", " reads the drive"};
constexpr Cause sys_unreadable{"cannot read /sys/block to tell whether a loop device reads the drive"};
constexpr Cause table_unreadable{"cannot read the mount table"};
constexpr Cause table_torn{"the mount table changed while it was read"};
constexpr Cause mounted_over{"another filesystem is mounted on the disc's, at "};
constexpr Cause covered{"another filesystem covers ", ", or a directory on the way there"};
constexpr Cause unreachable{"cannot reach the disc's mount at "};
constexpr Cause in_use{"the disc's mount at ", " is in use"};
constexpr Cause refused_by_umount{"the disc's mount at ", " is in use, or this user may not unmount it"};
constexpr Cause not_unmounted{"cannot unmount the disc's mount at "};
constexpr Cause held_by{"", " holds the drive"};
constexpr Cause held{"another program holds the drive"};
constexpr Cause still_held{
    "the drive is still held once the disc is unmounted: by a mount of another mount namespace, an overlay "
    "or another program"};
constexpr Cause drive_refused{"the drive refused the request"};

// "dorvanel: DEVICE: CAUSE", with the name and the error's text where given.
void refuse(std::string_view device, const Cause& cause, const DeviceCalls& calls, const char* name = nullptr,
            int error = 0) {
    std::array<std::string_view, 8> pieces{"dorvanel: ", device, ": ", cause.before};
    std::size_t count = 4;
    if (name != nullptr) {
        pieces[count++] = name;
        pieces[count++] = cause.after;
    }
    if (error < 0) {
        pieces[count++] = ": ";
        pieces[count++] = std::strerror(-error);
    }
    calls.say({pieces.data(), count});
}

void refuse_open(const char* device, int error, const DeviceCalls& calls) {
    if (error == -ENOENT || error == -ENXIO || error == -ENODEV) {
        refuse(device, no_such_device, calls);
    } else if (error == -EACCES || error == -EPERM) {
        refuse(device, not_permitted, calls);
    } else {
        refuse(device, not_opened, calls, nullptr, error);
    }
}

// Says why the drive is still held, by how taking the disc's mounts off ended.
void refuse_held(const char* device, DeviceNumbers drive, const Unmounted& unmounted, const DeviceCalls& calls) {
    const char* const at = unmounted.mount_point;
    const int error = unmounted.error;
    switch (unmounted.end) {
    case Unmounted::End::NotMounted: {
        const char* const holder = calls.holder(drive);
        return holder ? refuse(device, held_by, calls, holder) : refuse(device, held, calls);
    }
    case Unmounted::End::AllOff: refuse(device, still_held, calls); break;
    case Unmounted::End::Unreadable: refuse(device, table_unreadable, calls); break;
    case Unmounted::End::Torn: refuse(device, table_torn, calls); break;
    case Unmounted::End::MountedOver: refuse(device, mounted_over, calls, at); break;
    case Unmounted::End::NotProven:
        // What the path leads to is not the disc's mount: another mount, a link, or nothing.
        if (error == -ESTALE || error == -ENOENT || error == -ENOTDIR || error == -ELOOP) {
            refuse(device, covered, calls, at);
        } else {
            refuse(device, unreachable, calls, at, error);
        }
        break;
    case Unmounted::End::NotUnmounted:
        if (error == linux_mounts::umount_refused) {
            refuse(device, refused_by_umount, calls, at);
        } else if (error == -EBUSY) {
            refuse(device, in_use, calls, at);
        } else {
            refuse(device, not_unmounted, calls, at, error);
        }
        break;
    }
}

// The device at `path`, opened exclusively, if it is still `drive`.
int open_alone(const char* path, DeviceNumbers drive, const DeviceCalls& calls) {
    const int fd = calls.open_device(path, true);
    if (fd < 0 || calls.cd_drive(fd) == drive) return fd;
    calls.close_device(fd);
    return -ENODEV;
}

void open_tray(const char* device, const DeviceCalls& calls) {
    // What the path leads to is asked first, and let go again: only a CD
    // drive is ever unmounted or sent a request.
    const int probe = calls.open_device(device, false);
    if (probe < 0) return refuse_open(device, probe, calls);
    const auto drive = calls.cd_drive(probe);
    calls.close_device(probe);
    if (!drive) return refuse(device, not_a_cd_drive, calls);
    const Stacked stacked = calls.stacked_loop(*drive);
    if (stacked.verdict == LoopVerdict::Drive) return refuse(device, loop_reads, calls, stacked.name);
    if (stacked.verdict == LoopVerdict::Unknown) {
        return stacked.name ? refuse(device, loop_unknown, calls, stacked.name) : refuse(device, sys_unreadable, calls);
    }

    // Open alone, the drive is lent to no filesystem: none is mounted from
    // it, and none can be until the tray has moved.
    int waits = most_waits;
    int fd = open_alone(device, *drive, calls);
    if (fd == -EBUSY) {
        // Whatever stopped the unmounts, the drive may be free by now: the
        // exclusive open has the last word.
        const Unmounted unmounted = calls.unmount_disc(*drive);
        fd = open_alone(device, *drive, calls);
        // Held with no disc mounted: a prober of a disc just loaded, say. A
        // disc that was mounted is held by what still uses it, which lasts.
        for (; fd == -EBUSY && unmounted.end == Unmounted::End::NotMounted && waits > 0; --waits) {
            calls.wait(pause_ms);
            fd = open_alone(device, *drive, calls);
        }
        if (fd == -EBUSY) return refuse_held(device, *drive, unmounted, calls);
    }
    if (fd < 0) return refuse_open(device, fd, calls);

    // Opening the drive reports a disc just loaded, and udev's cdrom_id then
    // opens it too, to lock the door; while it does (a tenth of a second),
    // the driver lets only root unlock the door.
    for (; calls.control(fd, CDROM_LOCKDOOR, 0) == -EBUSY && waits > 0; --waits) calls.wait(pause_ms);
    int result = calls.control(fd, CDROMEJECT, 0);
    if (is_unsupported(result)) result = calls.start_stop_unit(fd, false);
    calls.close_device(fd);
    if (result != 0) refuse(device, drive_refused, calls, nullptr, result);
}

void close_tray(const char* device, const DeviceCalls& calls) {
    const int fd = calls.open_device(device, false);
    if (fd < 0) return refuse_open(device, fd, calls);
    const bool cd_drive = calls.cd_drive(fd).has_value();
    int result = 0;
    if (cd_drive) {
        result = calls.control(fd, CDROMCLOSETRAY, 0);
        if (is_unsupported(result)) result = calls.start_stop_unit(fd, true);
    }
    calls.close_device(fd);
    if (!cd_drive) return refuse(device, not_a_cd_drive, calls);
    if (result != 0) refuse(device, drive_refused, calls, nullptr, result);
}

}  // namespace

std::optional<DevicePath> device_for(const DriveElement& drive) {
    DevicePath device;
    if (drive.size == 0) {
        constexpr std::string_view default_device = "/dev/cdrom";
        std::memcpy(device.bytes.data(), default_device.data(), default_device.size());
        return device;
    }
    const char letter = drive.bytes[1];
    if (letter < 'd' || letter > 'z') return std::nullopt;

    constexpr std::string_view prefix = "/dev/sr";
    const int number = letter - 'd';
    std::memcpy(device.bytes.data(), prefix.data(), prefix.size());
    std::size_t size = prefix.size();
    if (number >= 10) device.bytes[size++] = static_cast<char>('0' + number / 10);
    device.bytes[size] = static_cast<char>('0' + number % 10);
    return device;
}

LoopVerdict judge_loop(const char* name, DeviceNumbers drive, const LoopCalls& calls) {
    const auto reads = [&](const BackingFile& file) {
        return file.on == drive || file.is == drive ? LoopVerdict::Drive : LoopVerdict::Elsewhere;
    };
    BackingFile file;
    const int status = calls.status(name, file);
    if (status == -ENXIO) return LoopVerdict::Elsewhere;  // unbound since it was listed
    if (status == 0) return reads(file);

    char path[PATH_MAX + sizeof " (deleted)"] = {};
    const int read = calls.backing_file(name, {path, sizeof path});
    if (read == -ENOENT) return LoopVerdict::Elsewhere;  // its loop folder goes when it is unbound
    if (read != 0) return LoopVerdict::Unknown;
    file = {};
    if (calls.stat(path, file) == 0) return reads(file);
    const std::string_view text = path;
    if (text.starts_with("/dev/") || text.ends_with(" (deleted)")) return LoopVerdict::Unknown;
    // Resolving for nobody, it counts as elsewhere: a file on the disc keeps the drive claimed, as the exclusive open sees.
    return LoopVerdict::Elsewhere;
}

void move_tray(const DriveElement& drive, DoorAction action, const DeviceCalls& calls) {
    const auto device = device_for(drive);
    if (!device) {
        // The letter as typed, where it is one; the line's colon follows it.
        const char letter = drive.bytes[1];
        const char typed = letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : '?';
        return refuse({&typed, 1}, {"names no CD drive (D: to Z: are /dev/sr0 to /dev/sr22)"}, calls);
    }
    if (action == DoorAction::Open) {
        open_tray(device->bytes.data(), calls);
    } else {
        close_tray(device->bytes.data(), calls);
    }
}

}  // namespace dorvanel::linux_tray
