// Linux: drive letters to devices, the driver calls that move the tray, and
// the mounts unmounted first.
#include <gtest/gtest.h>
#include <linux/cdrom.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux_tray.h"

namespace dorvanel::linux_tray {
namespace {

struct DeviceCase {
    char letter;  // 0: no drive element
    std::optional<std::string> device;
};

const DeviceCase device_cases[] = {
    {0, "/dev/cdrom"}, {'d', "/dev/sr0"}, {'e', "/dev/sr1"}, {'m', "/dev/sr9"}, {'n', "/dev/sr10"}, {'z', "/dev/sr22"},
    // Letters before d, upper case and other bytes name no drive
    {'c', std::nullopt}, {'a', std::nullopt}, {'D', std::nullopt}, {'1', std::nullopt}, {'\x82', std::nullopt},
    {'{', std::nullopt},
};

TEST(DriveLetters, NameTheDevice) {
    for (const DeviceCase& c : device_cases) {
        const DriveElement drive = c.letter ? DriveElement::for_letter(c.letter) : DriveElement{};
        const auto device = device_for(drive);
        ASSERT_EQ(device.has_value(), c.device.has_value()) << "[" << c.letter << "]";
        if (device) {
            EXPECT_EQ(device->text(), *c.device) << c.letter;
        }
    }
}

// Records each call; each request's answer comes from the case.
std::vector<std::string> calls;
int open_answer;
int unmount_answer;
int eject_answer;
int close_tray_answer;

int record_open(const char* path) {
    calls.push_back(std::string("open ") + path);
    return open_answer;
}
int record_unmount_all(int fd) {
    calls.push_back("unmount fd" + std::to_string(fd));
    return unmount_answer;
}
int record_control(int fd, unsigned long request, unsigned long argument) {
    const std::string on = " fd" + std::to_string(fd);
    switch (request) {
    case CDROM_LOCKDOOR: calls.push_back("lockdoor " + std::to_string(argument) + on); return 0;
    case CDROMEJECT: calls.push_back("eject" + on); return eject_answer;
    case CDROMCLOSETRAY: calls.push_back("closetray" + on); return close_tray_answer;
    default: calls.push_back("unexpected request"); return -EINVAL;
    }
}
int record_start_stop(int fd, bool start) {
    calls.push_back(std::string(start ? "scsi load" : "scsi eject") + " fd" + std::to_string(fd));
    return 0;
}
void record_close(int fd) { calls.push_back("close fd" + std::to_string(fd)); }

constexpr DeviceCalls recording_calls{record_open, record_unmount_all, record_control, record_start_stop, record_close};

struct DriveCase {
    const char* name;
    const char* device;
    DoorAction action;
    int open_answer, unmount_answer, eject_answer, close_tray_answer;
    std::vector<std::string> calls;
};

const DriveCase drive_cases[] = {
    {"eject: unmounted, unlocked, ejected", "/dev/cdrom", DoorAction::Open, 3, 0, 0, 0,
     {"open /dev/cdrom", "unmount fd3", "lockdoor 0 fd3", "eject fd3", "close fd3"}},
    {"close: nothing unmounted", "/dev/sr1", DoorAction::Close, 4, 0, 0, 0,
     {"open /dev/sr1", "closetray fd4", "close fd4"}},
    {"no device: nothing more", "/dev/sr0", DoorAction::Open, -ENOENT, 0, 0, 0, {"open /dev/sr0"}},
    {"disc in use: the tray stays shut", "/dev/sr1", DoorAction::Open, 7, -EBUSY, 0, 0,
     {"open /dev/sr1", "unmount fd7", "close fd7"}},
    {"no tray motor: SCSI eject", "/dev/cdrom", DoorAction::Open, 5, 0, -ENOSYS, 0,
     {"open /dev/cdrom", "unmount fd5", "lockdoor 0 fd5", "eject fd5", "scsi eject fd5", "close fd5"}},
    {"not a CD driver: SCSI load", "/dev/cdrom", DoorAction::Close, 5, 0, 0, -ENOTTY,
     {"open /dev/cdrom", "closetray fd5", "scsi load fd5", "close fd5"}},
    {"busy: no retry", "/dev/cdrom", DoorAction::Open, 6, 0, -EBUSY, 0,
     {"open /dev/cdrom", "unmount fd6", "lockdoor 0 fd6", "eject fd6", "close fd6"}},
    {"i/o error on close: no retry", "/dev/cdrom", DoorAction::Close, 6, 0, 0, -EIO,
     {"open /dev/cdrom", "closetray fd6", "close fd6"}},
};

TEST(TrayDriver, MakesTheDriverCallsInOrder) {
    for (const DriveCase& c : drive_cases) {
        calls.clear();
        open_answer = c.open_answer;
        unmount_answer = c.unmount_answer;
        eject_answer = c.eject_answer;
        close_tray_answer = c.close_tray_answer;
        drive_tray(c.device, c.action, recording_calls);
        EXPECT_EQ(calls, c.calls) << c.name;
    }
}

// /proc/self/mountinfo with two mounts from 11:1 (sr1), one of them on top
// of the other, and paths with a blank and a backslash in them.
const std::string mountinfo =
    "22 1 0:21 / /proc rw - proc proc rw\n"
    "30 22 11:1 / /media/my\\040disc ro - iso9660 /dev/sr1 ro\n"
    "31 22 11:10 / /media/other ro - iso9660 /dev/sr10 ro\n"
    "32 30 11:1 /DATA /media/my\\040disc/a\\134b ro - iso9660 /dev/sr1 ro\n";

struct MountCase {
    const char* name;
    std::string mountinfo;
    unsigned major, minor;
    int unmount_answer;
    std::vector<std::string> unmounted;
};

const MountCase mount_cases[] = {
    {"the drive's mounts, last first", mountinfo, 11, 1, 0, {"/media/my disc/a\\b", "/media/my disc"}},
    {"the first refusal stops the rest", mountinfo, 11, 1, -EBUSY, {"/media/my disc/a\\b"}},
    {"another drive's numbers", mountinfo, 11, 0, 0, {}},
    {"a line cut short after the mount point", "30 22 11:1 / /media/disc", 11, 1, 0, {}},
};

TEST(Mounts, EveryMountOfTheDriveIsUnmountedInTurn) {
    for (const MountCase& c : mount_cases) {
        calls.clear();
        unmount_answer = c.unmount_answer;
        std::string text = c.mountinfo;
        const int result = unmount_each(text, c.major, c.minor, [](const char* mount_point) {
            calls.push_back(mount_point);
            return unmount_answer;
        });
        EXPECT_EQ(calls, c.unmounted) << c.name;
        EXPECT_EQ(result, c.unmounted.empty() ? 0 : c.unmount_answer) << c.name;
    }
}

}  // namespace
}  // namespace dorvanel::linux_tray
