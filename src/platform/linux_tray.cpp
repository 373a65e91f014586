#include "platform/linux_tray.h"

#include <linux/cdrom.h>
#include <linux/limits.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux_locale.h"

namespace dorvanel::linux_tray {
namespace {

using linux_locale::N_;
using linux_mounts::Unmounted;

// The driver's ways of saying "this drive cannot do that request".
constexpr bool is_unsupported(int result) {
    return result == -ENOSYS || result == -ENOTTY || result == -EINVAL;
}

// Another opener is waited for, a tenth of a second at a time, two seconds
// in all: one that has the drive to itself while the disc is not mounted,
// or one that keeps the door locked and this user from unlocking it.
constexpr int most_waits = 20;
constexpr std::uint32_t pause_ms = 100;

// Why a tray did not move, as the line says it: one sentence, marked for the
// catalogues, with a plain %s where it gives a name (say() fills in the first).
using Cause = const char*;
constexpr Cause no_such_device{N_("no such device")};
constexpr Cause not_permitted{N_("permission denied (on Debian, members of the group cdrom may use CD drives)")};
constexpr Cause not_opened{N_("cannot open the device")};
constexpr Cause not_a_cd_drive{N_("not a CD drive")};
constexpr Cause no_such_letter{N_("no CD drive has this letter (D: to Z: are /dev/sr0 to /dev/sr22)")};
// TRANSLATORS: %s is a loop device's name, such as loop0.
constexpr Cause loop_reads{N_("loop device %s reads this disc or a file on it")};
// TRANSLATORS: %s is a loop device's name, such as loop0.
constexpr Cause loop_unknown{N_("cannot tell whether loop device %s reads this disc")};
constexpr Cause sys_unreadable{N_("cannot read /sys/block to tell whether a loop device reads this disc")};
constexpr Cause table_unreadable{N_("cannot read the mount table")};
constexpr Cause table_torn{N_("the mount table changed while it was being read")};
// TRANSLATORS: %s is a directory, such as /media/cdrom/data, on which another filesystem is mounted.
constexpr Cause mounted_over{N_("another filesystem is mounted at %s, on a directory of this disc")};
// TRANSLATORS: %s is the directory the disc is mounted at, such as /media/cdrom.
constexpr Cause covered{N_("%s no longer leads to the disc: another filesystem or a link is in the way")};
// TRANSLATORS: %s is the directory the disc is mounted at, such as /media/cdrom.
constexpr Cause unreachable{N_("cannot reach %s, where the disc is mounted")};
// TRANSLATORS: %s is the directory the disc is mounted at, such as /media/cdrom.
constexpr Cause in_use{N_("the disc mounted at %s is in use")};
// TRANSLATORS: %s is the directory the disc is mounted at, such as /media/cdrom.
constexpr Cause refused_by_umount{N_("the disc mounted at %s is in use, or you are not allowed to unmount it")};
// TRANSLATORS: %s is the directory the disc is mounted at, such as /media/cdrom.
constexpr Cause not_unmounted{N_("cannot unmount the disc from %s")};
// TRANSLATORS: %s is a device's name, such as dm-0 (a device-mapper target) or md0.
constexpr Cause claimed_by{N_("device %s is using the drive")};
constexpr Cause claimed{N_("another program is using the drive")};
constexpr Cause still_claimed{
    N_("the drive is still in use after the disc was unmounted: by a mount in another mount namespace (a "
       "container, say), an overlay or another program")};
constexpr Cause request_failed{N_("the tray request failed")};
constexpr Cause no_answer{N_("the drive did not answer")};
constexpr Cause locked_by_other{
    N_("the tray is locked while another program is using the drive (on Debian, members of the group cdrom can "
       "open it all the same)")};

// SCSI commands that move no data: PREVENT ALLOW MEDIUM REMOVAL, allowing;
// START STOP UNIT with LoEj set, Start clear to eject and set to load.
constexpr std::array<std::uint8_t, 6> allow_removal{0x1E, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> eject_command{0x1B, 0, 0, 0, 0x02, 0};
constexpr std::array<std::uint8_t, 6> load_command{0x1B, 0, 0, 0, 0x03, 0};
constexpr std::uint8_t check_condition = 0x02, driver_sense = 0x08, unit_attention = 0x06, any = 0xFF;

constexpr bool carried_out(const ScsiAnswer& answer) {
    return answer.error == 0 && answer.status == 0 && answer.host_status == 0 && answer.driver_status == 0;
}

// The drive's reasons, by ASC and ASCQ, then by sense key alone; the first
// that matches is said, as `held` where there is one and this user may not
// unlock the door.
struct Reason {
    std::uint8_t key, asc, ascq;
    Cause cause, held = nullptr;
};
constexpr Reason reasons[] = {
    {any, 0x53, 0x02, N_("the tray is locked"), locked_by_other},  // medium removal prevented
    // Media load or eject failed, which some drives say of a locked door.
    {any, 0x53, 0x00, N_("the tray is blocked, or the drive could not move it"), locked_by_other},
    {0x02, any, any, N_("the drive is not ready")},
    {0x05, any, any, N_("the drive does not support this request")},  // a command or a field it does not take
};

// The reason the drive gave, if it gave one the program has words for.
const Reason* reason_of(const ScsiAnswer& answer) {
    const Sense& sense = answer.sense;
    const auto matches = [](std::uint8_t reason, std::uint8_t given) { return reason == any || reason == given; };
    for (const Reason& reason : reasons) {
        if (answer.status == check_condition && sense.valid && matches(reason.key, sense.key) &&
            matches(reason.asc, sense.asc) && matches(reason.ascq, sense.ascq)) {
            return &reason;
        }
    }
    return nullptr;
}

// Whether the drive says its door is locked.
bool door_locked(const ScsiAnswer& answer) {
    const Reason* const reason = reason_of(answer);
    return reason != nullptr && reason->held != nullptr;
}

// "dorvanel: DEVICE: SENTENCE", the name in place of the sentence's %s where
// given, then where the system gave an error, its text.
void say(std::string_view device, std::string_view sentence, const DeviceCalls& calls, const char* name = nullptr,
         int error = 0) {
    const std::size_t at = name != nullptr ? std::min(sentence.find("%s"), sentence.size()) : sentence.size();
    std::array<std::string_view, 8> pieces{"dorvanel: ", device, ": ", sentence.substr(0, at)};
    std::size_t count = 4;
    if (name != nullptr) {
        pieces[count++] = name;
        pieces[count++] = sentence.substr(std::min(at + 2, sentence.size()));
    }
    if (error < 0) {
        pieces[count++] = ": ";
        pieces[count++] = std::strerror(-error);
    }
    calls.write_line({pieces.data(), count});
}

// The line of a cause, in the user's language.
void refuse(std::string_view device, Cause cause, const DeviceCalls& calls, const char* name = nullptr, int error = 0) {
    say(device, linux_locale::translated(cause), calls, name, error);
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
        return holder ? refuse(device, claimed_by, calls, holder) : refuse(device, claimed, calls);
    }
    case Unmounted::End::AllOff: refuse(device, still_claimed, calls); break;
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

// Says why the drive did not carry out a tray request, by its answer.
// `door_held`: the driver would not let this user unlock the door.
void refuse_answer(const char* device, const ScsiAnswer& answer, bool door_held, const DeviceCalls& calls) {
    if (answer.error < 0) return refuse(device, request_failed, calls, nullptr, answer.error);
    if (answer.host_status != 0 || (answer.driver_status & ~driver_sense) != 0) return refuse(device, no_answer, calls);
    if (const Reason* reason = reason_of(answer)) {
        return refuse(device, door_held && reason->held != nullptr ? reason->held : reason->cause, calls);
    }
    const Sense& sense = answer.sense;
    char sentence[256];
    if (sense.valid) {
        (void)std::snprintf(sentence, sizeof sentence,
                            // TRANSLATORS: the drive's SCSI status, then its sense key, ASC and ASCQ, in hexadecimal.
                            linux_locale::translated("the drive refused the request (SCSI status 0x%02X, sense %X/%02X/%02X)"),
                            answer.status, sense.key, sense.asc, sense.ascq);
    } else {
        (void)std::snprintf(sentence, sizeof sentence,
                            // TRANSLATORS: the drive's SCSI status, in hexadecimal.
                            linux_locale::translated("the drive refused the request (SCSI status 0x%02X, no sense data)"),
                            answer.status);
    }
    say(device, sentence, calls);
}

// What the CD-ROM driver answered a tray request: 0, -errno, or the
// kernel's result word, the host's status in bits 16 to 23 and the drive's
// SCSI status in bits 0 to 7. The drive's sense stays with the kernel.
ScsiAnswer driver_answer(int result) {
    if (result <= 0) return {result};
    return {0, static_cast<std::uint8_t>(result & 0xFF), static_cast<std::uint16_t>((result >> 16) & 0xFF)};
}

// Moves the tray by START STOP UNIT. A unit attention or a deferred error
// tells of an earlier event (a disc changed, a reset), not of this command,
// which is sent once more. A device that takes no SCSI commands from this
// user gets the CD-ROM driver's request.
ScsiAnswer move(int fd, DoorAction action, const DeviceCalls& calls) {
    const bool open = action == DoorAction::Open;
    ScsiAnswer answer = calls.scsi_command(fd, open ? eject_command : load_command);
    if (is_unsupported(answer.error) || answer.error == -EPERM) {
        return driver_answer(calls.cdrom_ioctl(fd, open ? CDROMEJECT : CDROMCLOSETRAY, 0));
    }
    const Sense& sense = answer.sense;
    if (answer.status == check_condition && sense.valid && (sense.key == unit_attention || sense.deferred)) {
        answer = calls.scsi_command(fd, open ? eject_command : load_command);
    }
    return answer;
}

// Closes the drive, and says why where the tray did not move. A load may
// find no disc and the tray closed all the same.
constexpr Sense closed_empty{true, false, 0x02, 0x3A, 0x01};  // medium not present, tray closed
void close_and_say(int fd, const char* device, const ScsiAnswer& answer, bool door_held, DoorAction action,
                   const DeviceCalls& calls) {
    calls.close_device(fd);
    if (carried_out(answer) || (action == DoorAction::Close && answer.sense == closed_empty)) return;
    refuse_answer(device, answer, door_held, calls);
}

// The device at `path`, opened exclusively, if it is still `drive`.
int open_exclusive(const char* path, DeviceNumbers drive, const DeviceCalls& calls) {
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
    const LoopOnDrive loop = calls.loop_on_drive(*drive);
    if (loop.reads == LoopReads::Drive) return refuse(device, loop_reads, calls, loop.name);
    if (loop.reads == LoopReads::Unknown) {
        return loop.name ? refuse(device, loop_unknown, calls, loop.name) : refuse(device, sys_unreadable, calls);
    }

    // Opened exclusively, the drive is lent to no filesystem: none is mounted
    // from it, and none can be until the tray has moved.
    int waits = most_waits;
    int fd = open_exclusive(device, *drive, calls);
    if (fd == -EBUSY) {
        // Whatever stopped the unmounts, the drive may be free by now: the
        // exclusive open has the last word.
        const Unmounted unmounted = calls.unmount_disc(*drive);
        fd = open_exclusive(device, *drive, calls);
        // Held with no disc mounted: a prober of a disc just loaded, say. A
        // disc that was mounted is held by what still uses it, which lasts.
        for (; fd == -EBUSY && unmounted.end == Unmounted::End::NotMounted && waits > 0; --waits) {
            calls.wait(pause_ms);
            fd = open_exclusive(device, *drive, calls);
        }
        if (fd == -EBUSY) return refuse_held(device, *drive, unmounted, calls);
    }
    if (fd < 0) return refuse_open(device, fd, calls);

    // While anyone else has the drive open (a player, or udev's cdrom_id for
    // a moment after opening the drive reported a disc), the driver lets only
    // root unlock the door: a user who may write to the drive has the drive
    // allow removal, as eject(1) does. Where the drive says its door is still
    // locked (cdrom_id locks it), the unlock is tried until it is this
    // user's, and the tray asked once more.
    bool door_held = calls.cdrom_ioctl(fd, CDROM_LOCKDOOR, 0) == -EBUSY &&
                     !carried_out(calls.scsi_command(fd, allow_removal));
    ScsiAnswer answer = move(fd, DoorAction::Open, calls);
    for (; door_held && door_locked(answer) && waits > 0; --waits) {
        calls.wait(pause_ms);
        door_held = calls.cdrom_ioctl(fd, CDROM_LOCKDOOR, 0) == -EBUSY;
        if (!door_held) answer = move(fd, DoorAction::Open, calls);
    }
    close_and_say(fd, device, answer, door_held, DoorAction::Open, calls);
}

void close_tray(const char* device, const DeviceCalls& calls) {
    const int fd = calls.open_device(device, false);
    if (fd < 0) return refuse_open(device, fd, calls);
    if (!calls.cd_drive(fd)) {
        calls.close_device(fd);
        return refuse(device, not_a_cd_drive, calls);
    }
    close_and_say(fd, device, move(fd, DoorAction::Close, calls), false, DoorAction::Close, calls);
}

}  // namespace

Sense read_sense(std::span<const std::uint8_t> bytes) {
    // Fixed format (70h, 71h for a deferred error): the key in byte 2, ASC
    // and ASCQ in 12 and 13, as far as the additional length (byte 7) says
    // the drive gave them. Descriptor format (72h, 73h): bytes 1 to 3.
    if (bytes.size() < 2) return {};
    const std::uint8_t code = bytes[0] & 0x7F;
    if ((code == 0x70 || code == 0x71) && bytes.size() >= 3) {
        const std::size_t size = bytes.size() < 8 ? bytes.size() : std::min<std::size_t>(bytes.size(), 8U + bytes[7]);
        return {true, code == 0x71, static_cast<std::uint8_t>(bytes[2] & 0x0F), size > 12 ? bytes[12] : std::uint8_t{0},
                size > 13 ? bytes[13] : std::uint8_t{0}};
    }
    if (code == 0x72 || code == 0x73) {
        return {true, code == 0x73, static_cast<std::uint8_t>(bytes[1] & 0x0F), bytes.size() > 2 ? bytes[2] : std::uint8_t{0},
                bytes.size() > 3 ? bytes[3] : std::uint8_t{0}};
    }
    return {};
}

std::optional<DevicePath> device_for(const DriveElement& drive) {
    DevicePath device;
    const char letter = drive.bytes[1];
    if (drive.size == 0) {
        (void)std::snprintf(device.bytes.data(), device.bytes.size(), "/dev/cdrom");
    } else if (letter >= first_drive_letter && letter <= last_drive_letter) {
        (void)std::snprintf(device.bytes.data(), device.bytes.size(), "/dev/sr%d", letter - first_drive_letter);
    } else {
        return std::nullopt;
    }
    return device;
}

LoopReads judge_loop(const char* name, DeviceNumbers drive, const LoopCalls& calls) {
    const auto reads = [&](const BackingFile& file) {
        return file.on == drive || file.is == drive ? LoopReads::Drive : LoopReads::Other;
    };
    BackingFile file;
    const int status = calls.status(name, file);
    if (status == -ENXIO) return LoopReads::Other;  // unbound since it was listed
    if (status == 0) return reads(file);

    char path[PATH_MAX + sizeof " (deleted)"] = {};
    const int read = calls.backing_file(name, {path, sizeof path});
    if (read == -ENOENT) return LoopReads::Other;  // its loop folder goes when it is unbound
    if (read != 0) return LoopReads::Unknown;
    file = {};
    if (calls.stat(path, file) == 0) return reads(file);
    const std::string_view text = path;
    if (text.starts_with("/dev/") || text.ends_with(" (deleted)")) return LoopReads::Unknown;
    // A path this user cannot look up counts as another file: a file on the disc keeps the drive claimed by its
    // filesystem, which the exclusive open sees. A node of the drive outside /dev would not be seen.
    return LoopReads::Other;
}

void move_tray(const DriveElement& drive, DoorAction action, const DeviceCalls& calls) {
    const auto device = device_for(drive);
    if (!device) {
        // The letter as typed, where it is one; the line's colon follows it.
        const char letter = drive.bytes[1];
        const char typed = letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : '?';
        return refuse({&typed, 1}, no_such_letter, calls);
    }
    if (action == DoorAction::Open) {
        open_tray(device->bytes.data(), calls);
    } else {
        close_tray(device->bytes.data(), calls);
    }
}

}  // namespace dorvanel::linux_tray
