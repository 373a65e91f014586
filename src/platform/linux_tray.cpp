#include "platform/linux_tray.h"

#include <linux/cdrom.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux_locale.h"

namespace dorvanel::linux_tray {
namespace {

using linux_locale::N_;
using linux_loop::Reads;
using linux_mounts::Unmounted;
using linux_scsi::Answer;

constexpr char first_drive_letter = 'd', last_drive_letter = 'z';

// Another opener is waited for, a tenth of a second at a time, two seconds
// in all: one that claims the drive while the disc is not mounted, or one
// that keeps the tray locked and this user from unlocking it.
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

// "dorvanel: DEVICE: SENTENCE", the name in place of the sentence's first
// %s where given, then where the system gave an error, its text.
void say(std::string_view device, std::string_view sentence, const DeviceCalls& calls, const char* name = nullptr,
         int error = 0) {
    const std::size_t at = name != nullptr ? std::min(sentence.find("%s"), sentence.size()) : sentence.size();
    const std::string_view pieces[] = {"dorvanel: ", device, ": ", sentence.substr(0, at), name != nullptr ? name : "",
                                       sentence.substr(std::min(at + 2, sentence.size())), error < 0 ? ": " : "",
                                       error < 0 ? std::strerror(-error) : ""};
    calls.write_line(std::span(pieces));
}

void refuse(std::string_view device, Cause cause, const DeviceCalls& calls, const char* name = nullptr, int error = 0) {
    say(device, linux_locale::translated(cause), calls, name, error);
}

void refuse_open(const char* device, int error, const DeviceCalls& calls) {
    if (error == -ENOENT || error == -ENXIO || error == -ENODEV) return refuse(device, no_such_device, calls);
    if (error == -EACCES || error == -EPERM) return refuse(device, not_permitted, calls);
    refuse(device, not_opened, calls, nullptr, error);
}

// Says why the drive is still claimed, by how taking the disc's mounts off ended.
void refuse_claimed(const char* device, DeviceNumbers drive, const Unmounted& unmounted, const DeviceCalls& calls) {
    const char* const at = unmounted.mount_point;
    const int error = unmounted.error;
    switch (unmounted.end) {
    case Unmounted::End::NotMounted: {
        const char* const holder = calls.holder(drive);
        return holder ? refuse(device, claimed_by, calls, holder) : refuse(device, claimed, calls);
    }
    case Unmounted::End::AllOff: return refuse(device, still_claimed, calls);
    case Unmounted::End::Unreadable: return refuse(device, table_unreadable, calls);
    case Unmounted::End::Torn: return refuse(device, table_torn, calls);
    case Unmounted::End::MountedOver: return refuse(device, mounted_over, calls, at);
    case Unmounted::End::NotProven:
        // What the path leads to is not the disc's mount: another mount, a link, or nothing.
        if (error == -ESTALE || error == -ENOENT || error == -ENOTDIR || error == -ELOOP) {
            return refuse(device, covered, calls, at);
        }
        return refuse(device, unreachable, calls, at, error);
    case Unmounted::End::NotUnmounted:
        if (error == linux_mounts::umount_refused) return refuse(device, refused_by_umount, calls, at);
        if (error == -EBUSY) return refuse(device, in_use, calls, at);
        return refuse(device, not_unmounted, calls, at, error);
    }
}

// A drive that says something is passing is sent the command again, at most
// this many times in all: at once after news of an earlier event, a second
// later while it is becoming ready (so 20 s at most, as long as the kernel
// waits for its own requests), and after one START UNIT where it needs one.
constexpr int most_asks_again = 20;
constexpr std::uint32_t becoming_ready_pause_ms = 1000;

// Sends `command`, and again while the drive's answer says that what stopped
// it is passing; gives the last answer.
Answer ask(int fd, linux_scsi::Command command, const DeviceCalls& calls) {
    using linux_scsi::Passing;
    Answer answer = calls.scsi_command(fd, command);
    bool started = false;
    for (int again = most_asks_again; again > 0; --again) {
        switch (linux_scsi::passing(answer)) {
        case Passing::Nothing: return answer;
        case Passing::EarlierEvent: break;
        case Passing::BecomingReady: calls.wait(becoming_ready_pause_ms); break;
        case Passing::NeedsStart: {
            if (started) return answer;
            started = true;
            // A drive that did not answer it is not asked anything more.
            const Answer start = calls.scsi_command(fd, linux_scsi::start_unit);
            if (!linux_scsi::answered(start)) return start;
            break;
        }
        }
        answer = calls.scsi_command(fd, command);
    }
    return answer;
}

// Moves the tray by START STOP UNIT. A device that takes no SCSI commands
// from this user gets the CD-ROM driver's request.
Answer move(int fd, DoorAction action, const DeviceCalls& calls) {
    const bool open = action == DoorAction::Open;
    const Answer answer = ask(fd, open ? linux_scsi::eject_command : linux_scsi::load_command, calls);
    const int error = answer.error;
    if (error == -ENOSYS || error == -ENOTTY || error == -EINVAL || error == -EPERM) {
        return linux_scsi::driver_answer(calls.cdrom_ioctl(fd, open ? CDROMEJECT : CDROMCLOSETRAY, 0));
    }
    return answer;
}

// Lets the drive go, then says why the tray did not move, if it did not.
void release_and_say(int fd, const char* device, const Answer& answer, DoorAction action, bool unlock_refused,
                     const DeviceCalls& calls) {
    calls.close_device(fd);
    char room[256];
    const std::string_view why = linux_scsi::why_not(answer, action == DoorAction::Close, unlock_refused, room);
    if (!why.empty()) say(device, why, calls);
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
    // drive is ever unmounted or sent a tray request.
    const int probe = calls.open_device(device, false);
    if (probe < 0) return refuse_open(device, probe, calls);
    const auto drive = calls.cd_drive(probe);
    calls.close_device(probe);
    if (!drive) return refuse(device, not_a_cd_drive, calls);
    const linux_loop::Found loop = calls.loop_on_drive(*drive);
    if (loop.reads == Reads::Drive) return refuse(device, loop_reads, calls, loop.name);
    if (loop.reads == Reads::Unknown && !loop.name) return refuse(device, sys_unreadable, calls);
    if (loop.reads == Reads::Unknown) return refuse(device, loop_unknown, calls, loop.name);

    // Opened exclusively, the drive is lent to no filesystem: none is mounted
    // from it, and none can be until the tray has moved.
    int waits = most_waits;
    int fd = open_exclusive(device, *drive, calls);
    if (fd == -EBUSY) {
        // Whatever stopped the unmounts, the drive may be free by now: the
        // exclusive open has the last word.
        const Unmounted unmounted = calls.unmount_disc(*drive);
        fd = open_exclusive(device, *drive, calls);
        // Claimed with no disc mounted: a prober of a disc just loaded, say.
        // A disc that was mounted is claimed by what still uses it, which lasts.
        for (; fd == -EBUSY && unmounted.end == Unmounted::End::NotMounted && waits > 0; --waits) {
            calls.wait(pause_ms);
            fd = open_exclusive(device, *drive, calls);
        }
        if (fd == -EBUSY) return refuse_claimed(device, *drive, unmounted, calls);
    }
    if (fd < 0) return refuse_open(device, fd, calls);

    // While anyone else has the drive open (a player, or udev's cdrom_id
    // probing a disc just reported), the kernel lets only root unlock the
    // tray: a user who may write to the drive has the drive allow removal, as
    // eject(1) does. Where the drive says its tray is still locked (cdrom_id
    // locks it), the unlock is tried until it is this user's, and the tray
    // asked once more.
    bool unlock_refused = calls.cdrom_ioctl(fd, CDROM_LOCKDOOR, 0) == -EBUSY &&
                          !linux_scsi::carried_out(ask(fd, linux_scsi::allow_removal, calls));
    Answer answer = move(fd, DoorAction::Open, calls);
    for (; unlock_refused && linux_scsi::tray_locked(answer) && waits > 0; --waits) {
        calls.wait(pause_ms);
        unlock_refused = calls.cdrom_ioctl(fd, CDROM_LOCKDOOR, 0) == -EBUSY;
        if (!unlock_refused) answer = move(fd, DoorAction::Open, calls);
    }
    release_and_say(fd, device, answer, DoorAction::Open, unlock_refused, calls);
}

void close_tray(const char* device, const DeviceCalls& calls) {
    const int fd = calls.open_device(device, false);
    if (fd < 0) return refuse_open(device, fd, calls);
    if (!calls.cd_drive(fd)) {
        calls.close_device(fd);
        return refuse(device, not_a_cd_drive, calls);
    }
    release_and_say(fd, device, move(fd, DoorAction::Close, calls), DoorAction::Close, false, calls);
}

}  // namespace

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
