// Linux: drive letters to devices, the driver calls that move the tray, and
// the mounts unmounted first.
#include <gtest/gtest.h>
#include <linux/cdrom.h>

#include <cerrno>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
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
std::vector<int> open_answers;    // one per open, in turn
std::vector<int> unlock_answers;  // one per unlock, in turn; then 0
int unmount_answer;
int eject_answer;
int close_tray_answer;

int record_open(const char* path, bool alone) {
    calls.push_back(std::string("open ") + path + (alone ? " alone" : ""));
    const int answer = open_answers.front();
    open_answers.erase(open_answers.begin());
    return answer;
}
void record_unmount_disc(const char* path) { calls.push_back(std::string("unmount ") + path); }
int record_control(int fd, unsigned long request, unsigned long argument) {
    const std::string on = " fd" + std::to_string(fd);
    switch (request) {
    case CDROM_LOCKDOOR: {
        calls.push_back("lockdoor " + std::to_string(argument) + on);
        if (unlock_answers.empty()) return 0;
        const int answer = unlock_answers.front();
        unlock_answers.erase(unlock_answers.begin());
        return answer;
    }
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
void record_wait(std::uint32_t milliseconds) { calls.push_back("wait " + std::to_string(milliseconds)); }

constexpr DeviceCalls recording_calls{record_open, record_unmount_disc, record_control,
                                      record_start_stop, record_close, record_wait};

// The calls of an eject on fd 5 whose unlock is refused `refusals` times.
std::vector<std::string> eject_unlocked_after(int refusals) {
    std::vector<std::string> expected{"open /dev/cdrom alone", "lockdoor 0 fd5"};
    for (int i = 0; i < refusals && i < 20; ++i) {
        expected.insert(expected.end(), {"wait 100", "lockdoor 0 fd5"});
    }
    expected.insert(expected.end(), {"eject fd5", "close fd5"});
    return expected;
}

struct DriveCase {
    const char* name;
    const char* device;
    DoorAction action;
    std::vector<int> open_answers;
    int eject_answer, close_tray_answer;
    std::vector<std::string> calls;
    std::vector<int> unlock_answers = {};
};

const DriveCase drive_cases[] = {
    {"eject: opened alone, unlocked, ejected", "/dev/cdrom", DoorAction::Open, {3}, 0, 0,
     {"open /dev/cdrom alone", "lockdoor 0 fd3", "eject fd3", "close fd3"}},
    {"close: nothing unmounted", "/dev/sr1", DoorAction::Close, {4}, 0, 0,
     {"open /dev/sr1", "closetray fd4", "close fd4"}},
    {"no device: nothing more", "/dev/sr0", DoorAction::Open, {-ENOENT}, 0, 0, {"open /dev/sr0 alone"}},
    {"held by a mount: the disc's mounts go, then it is opened alone", "/dev/sr1", DoorAction::Open, {-EBUSY, 7}, 0, 0,
     {"open /dev/sr1 alone", "unmount /dev/sr1", "open /dev/sr1 alone", "lockdoor 0 fd7", "eject fd7", "close fd7"}},
    // A disc in use, a mount covered or the user's to keep, a mount table
    // that could not be read: all the same here.
    {"still held after unmounting: the tray stays shut", "/dev/sr1", DoorAction::Open, {-EBUSY, -EBUSY}, 0, 0,
     {"open /dev/sr1 alone", "unmount /dev/sr1", "open /dev/sr1 alone"}},
    {"no tray motor: SCSI eject", "/dev/cdrom", DoorAction::Open, {5}, -ENOSYS, 0,
     {"open /dev/cdrom alone", "lockdoor 0 fd5", "eject fd5", "scsi eject fd5", "close fd5"}},
    {"not a CD driver: SCSI load", "/dev/cdrom", DoorAction::Close, {5}, 0, -ENOTTY,
     {"open /dev/cdrom", "closetray fd5", "scsi load fd5", "close fd5"}},
    {"busy: no retry", "/dev/cdrom", DoorAction::Open, {6}, -EBUSY, 0,
     {"open /dev/cdrom alone", "lockdoor 0 fd6", "eject fd6", "close fd6"}},
    {"i/o error on close: no retry", "/dev/cdrom", DoorAction::Close, {6}, 0, -EIO,
     {"open /dev/cdrom", "closetray fd6", "close fd6"}},
    {"unlock refused while udev has the drive open: asked again", "/dev/cdrom", DoorAction::Open, {5}, 0, 0,
     eject_unlocked_after(2), {-EBUSY, -EBUSY}},
    {"unlock refused for good: ejected after 2 s all the same", "/dev/cdrom", DoorAction::Open, {5}, 0, 0,
     eject_unlocked_after(40), std::vector<int>(40, -EBUSY)},
    {"another failure to unlock: no retry", "/dev/cdrom", DoorAction::Open, {5}, 0, 0, eject_unlocked_after(0), {-EIO}},
};

TEST(TrayDriver, MakesTheDriverCallsInOrder) {
    for (const DriveCase& c : drive_cases) {
        calls.clear();
        open_answers = c.open_answers;
        eject_answer = c.eject_answer;
        close_tray_answer = c.close_tray_answer;
        unlock_answers = c.unlock_answers;
        drive_tray(c.device, c.action, recording_calls);
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_TRUE(open_answers.empty()) << c.name;
    }
}

// /proc/self/mountinfo with two mounts from 11:1 (sr1), one of them on top
// of the other, and paths with a blank and a backslash in them.
const std::string mountinfo =
    "22 1 0:21 / /proc rw - proc proc rw\n"
    "30 22 11:1 / /media/my\\040disc ro - iso9660 /dev/sr1 ro\n"
    "31 22 11:10 / /media/other ro - iso9660 /dev/sr10 ro\n"
    "32 30 11:1 /DATA /media/my\\040disc/a\\134b ro - iso9660 /dev/sr1 ro\n";

// A mount table: the root (20), then a line for each "id parent major:minor
// mount-point". 11:1 is the disc; 0:5x are other filesystems.
std::string mounts(std::initializer_list<std::string_view> lines) {
    std::string table = "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
    for (const std::string_view line : lines) {
        const std::size_t point = line.rfind(' ');
        table.append(line.substr(0, point)).append(" /").append(line.substr(point)).append(" rw - fs x rw\n");
    }
    return table;
}

struct MountCase {
    const char* name;
    std::string mountinfo;
    int unmount_answer;
    std::vector<std::string> unmounted;
};

const MountCase mount_cases[] = {
    {"the drive's mounts, last first", mountinfo, 0, {"/media/my disc/a\\b", "/media/my disc"}},
    {"the first refusal stops the rest", mountinfo, -EBUSY, {"/media/my disc/a\\b"}},
    {"another drive's numbers only", mounts({"30 20 11:0 /mnt/disc"}), 0, {}},
    {"a line cut short after the mount point", "30 22 11:1 / /media/disc", 0, {}},
    {"covered by another filesystem: nothing", mounts({"30 20 11:1 /mnt/disc", "40 30 0:50 /mnt/disc"}), 0, {}},
    {"covered by the disc again: both", mounts({"30 20 11:1 /mnt/disc", "41 30 11:1 /mnt/disc"}), 0,
     {"/mnt/disc", "/mnt/disc"}},
    {"the disc over another filesystem over the disc: nothing",
     mounts({"30 20 11:1 /mnt/disc", "40 30 0:50 /mnt/disc", "41 40 11:1 /mnt/disc"}), 0, {}},
    {"covered, another filesystem beneath: nothing",
     mounts({"40 20 0:50 /mnt/disc", "30 40 11:1 /mnt/disc", "41 30 0:51 /mnt/disc"}), 0, {}},
    {"another filesystem beneath the disc: the disc only", mounts({"40 20 0:50 /mnt/disc", "30 40 11:1 /mnt/disc"}),
     0, {"/mnt/disc"}},
    {"another filesystem below the mount point: umount(8) decides",
     mounts({"30 20 11:1 /mnt/disc", "40 30 0:50 /mnt/disc/sub"}), 0, {"/mnt/disc"}},
    {"the path reaches another filesystem, mounted over a folder above: nothing",
     mounts({"30 20 11:1 /mnt/disc", "50 20 0:50 /mnt", "51 50 0:51 /mnt/disc"}), 0, {}},
    {"parents that go round (a table read in pieces): nothing, and an end",
     mounts({"30 31 11:1 /mnt/disc", "31 30 0:50 /mnt", "40 20 0:51 /mnt/disc"}), 0, {}},
};

TEST(Mounts, OnlyTheDiscsOwnMountsAreUnmounted) {
    for (const MountCase& c : mount_cases) {
        calls.clear();
        unmount_answer = c.unmount_answer;
        std::string text = c.mountinfo;
        unmount_mounts(text, 11, 1, [](const char* mount_point) {
            calls.push_back(mount_point);
            return unmount_answer;
        });
        EXPECT_EQ(calls, c.unmounted) << c.name;
    }
}

}  // namespace
}  // namespace dorvanel::linux_tray
