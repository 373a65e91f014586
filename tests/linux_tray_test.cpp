// Linux: drive letters to devices, the calls that move the tray and what
// the drive's answers mean, loop devices, and the mounts unmounted first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/cdrom.h>
#include <linux/limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <span>
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "platform/linux_mounts.h"
#include "platform/linux_process.h"
#include "platform/linux_tray.h"

namespace dorvanel::linux_tray {
namespace {

using linux_loop::BackingFile;
using linux_loop::LoopCalls;
using LoopReads = linux_loop::Reads;
using LoopOnDrive = linux_loop::Found;
using linux_scsi::Sense;
using ScsiAnswer = linux_scsi::Answer;

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
            EXPECT_EQ(device->bytes.data(), *c.device) << c.letter;
        }
    }
}

// Records each call that acts; each request's answer comes from the case.
// Descriptors below 50 are the CD drive 11:1, from 50 another CD drive, and
// from 60 a device that is no CD drive.
std::vector<std::string> calls;
std::vector<int> open_answers;    // one per open, in turn
std::vector<int> unlock_answers;  // one per unlock, in turn; then 0
std::vector<ScsiAnswer> scsi_answers;  // one per SCSI command, in turn; then carried out
LoopOnDrive loop;
linux_mounts::Unmounted unmounted;
const char* holder;
int eject_answer;
int close_tray_answer;

int record_open(const char* path, bool exclusive) {
    calls.push_back(std::string("open ") + path + (exclusive ? " alone" : ""));
    const int answer = open_answers.front();
    open_answers.erase(open_answers.begin());
    return answer;
}
std::optional<DeviceNumbers> answer_cd_drive(int fd) {
    if (fd >= 60) return std::nullopt;
    return DeviceNumbers{11, fd >= 50 ? 2U : 1U};
}
LoopOnDrive answer_loop(DeviceNumbers) { return loop; }
linux_mounts::Unmounted record_unmount_disc(DeviceNumbers drive) {
    calls.push_back("unmount " + std::to_string(drive.major) + ":" + std::to_string(drive.minor));
    return unmounted;
}
int record_ioctl(int fd, unsigned long request, unsigned long argument) {
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
// The commands a drive may be sent, byte for byte: a strict drive refuses a reserved bit set.
const std::pair<linux_scsi::Command, const char*> scsi_commands[] = {
    {{0x1E, 0, 0, 0, 0, 0}, "allow"}, {{0x1B, 0, 0, 0, 2, 0}, "eject"}, {{0x1B, 0, 0, 0, 3, 0}, "load"},
    {{0x1B, 0, 0, 0, 1, 0}, "start"}};
ScsiAnswer record_scsi(int fd, linux_scsi::Command command) {
    const auto* known = std::find_if(std::begin(scsi_commands), std::end(scsi_commands),
                                     [&](const auto& c) { return c.first == command; });
    calls.push_back(std::string("scsi ") + (known != std::end(scsi_commands) ? known->second : "?") + " fd" +
                    std::to_string(fd));
    if (scsi_answers.empty()) return {};
    const ScsiAnswer answer = scsi_answers.front();
    scsi_answers.erase(scsi_answers.begin());
    return answer;
}
void record_close(int fd) { calls.push_back("close fd" + std::to_string(fd)); }
void record_wait(std::uint32_t milliseconds) { calls.push_back("wait " + std::to_string(milliseconds)); }
void record_line(std::span<const std::string_view> pieces) {
    calls.emplace_back("say ");
    for (const std::string_view piece : pieces) calls.back() += piece;
}

constexpr DeviceCalls recording_calls{record_open,  answer_cd_drive, answer_loop,  record_unmount_disc,
                                      [](DeviceNumbers) { return holder; },
                                      record_ioctl, record_scsi,     record_close, record_wait, record_line};

// The calls of an eject, probed on fd 4 and opened alone on fd 5: `then`, and what is said, if anything.
std::vector<std::string> ejected(std::vector<std::string> then = {"lockdoor 0 fd5", "scsi eject fd5", "close fd5"},
                                 const std::string& said = "") {
    std::vector<std::string> expected{"open /dev/cdrom", "close fd4", "open /dev/cdrom alone"};
    expected.insert(expected.end(), then.begin(), then.end());
    if (!said.empty()) expected.push_back("say dorvanel: /dev/cdrom: " + said);
    return expected;
}

// The unlock refused, removal not allowed and the door locked, say the
// drive's first `locked` answers: a tenth of a second's wait and the unlock
// again for each, two seconds at most; then `then`.
std::vector<std::string> waited_for_lock(int locked, std::initializer_list<std::string> then, int fd = 5) {
    const std::string on = " fd" + std::to_string(fd);
    std::vector<std::string> expected{"lockdoor 0" + on, "scsi allow" + on, "scsi eject" + on};
    for (int i = 0; i < locked && i < 20; ++i) expected.insert(expected.end(), {"wait 100", "lockdoor 0" + on});
    return expected.insert(expected.end(), then), expected;
}

// A drive's CHECK CONDITION with this sense.
constexpr ScsiAnswer sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return {0, 2, 0, 8, {true, false, key, asc, ascq}};
}
constexpr ScsiAnswer locked_door = sense(5, 0x53, 2), unit_attention = sense(6, 0x28, 0);
const std::string door_locked_held = "the tray is locked while another program is using the drive (on Debian, members of "
                                     "the group cdrom can open it all the same)";

// sr1 probed on fd 3, held, its disc's mounts taken off, opened alone again
// and `tries` more times, a tenth of a second apart; then `then`.
std::vector<std::string> held_then(int tries, std::initializer_list<std::string> then) {
    std::vector<std::string> expected{"open /dev/sr1", "close fd3", "open /dev/sr1 alone", "unmount 11:1",
                                      "open /dev/sr1 alone"};
    for (int i = 0; i < tries; ++i) expected.insert(expected.end(), {"wait 100", "open /dev/sr1 alone"});
    return expected.insert(expected.end(), then), expected;
}

using End = linux_mounts::Unmounted::End;

struct DriveCase {
    std::string name;
    const char* device;
    DoorAction action;
    std::vector<int> open_answers;
    int eject_answer, close_tray_answer;
    std::vector<std::string> calls;
    std::vector<int> unlock_answers = {};
    LoopOnDrive loop = {};
    linux_mounts::Unmounted unmounted = {End::AllOff};
    const char* holder = nullptr;
    std::vector<ScsiAnswer> scsi_answers = {};
};

// Still held once the unmounts stopped as `unmounted` says: why is said.
DriveCase unmounts_stopped(linux_mounts::Unmounted end, const std::string& line) {
    return {line, "/dev/sr1", DoorAction::Open, {3, -EBUSY, -EBUSY}, 0, 0, held_then(0, {"say dorvanel: /dev/sr1: " + line}),
            {}, {}, end};
}

const DriveCase drive_cases[] = {
    {"eject: probed, opened alone, unlocked, ejected", "/dev/cdrom", DoorAction::Open, {4, 5}, 0, 0,
     ejected()},
    {"close: nothing unmounted", "/dev/sr1", DoorAction::Close, {4}, 0, 0,
     {"open /dev/sr1", "scsi load fd4", "close fd4"}},
    // Run with descriptors 0, 1 and 2 closed, the drive is opened as 0.
    {"eject on descriptor 0", "/dev/cdrom", DoorAction::Open, {0, 0}, 0, 0,
     {"open /dev/cdrom", "close fd0", "open /dev/cdrom alone", "lockdoor 0 fd0", "scsi eject fd0", "close fd0"}},
    {"close on descriptor 0", "/dev/cdrom", DoorAction::Close, {0}, 0, 0,
     {"open /dev/cdrom", "scsi load fd0", "close fd0"}},
    {"no device: nothing more", "/dev/sr0", DoorAction::Open, {-ENOENT}, 0, 0,
     {"open /dev/sr0", "say dorvanel: /dev/sr0: no such device"}},
    {"a letter that names no drive: nothing opened", "A", DoorAction::Open, {}, 0, 0,
     {"say dorvanel: A: no CD drive has this letter (D: to Z: are /dev/sr0 to /dev/sr22)"}},
    {"no permission", "/dev/sr0", DoorAction::Close, {-EACCES}, 0, 0,
     {"open /dev/sr0",
      "say dorvanel: /dev/sr0: permission denied (on Debian, members of the group cdrom may use CD drives)"}},
    {"held by a mount: the disc's mounts go, then it is opened alone", "/dev/sr1", DoorAction::Open, {3, -EBUSY, 7},
     0, 0,
     {"open /dev/sr1", "close fd3", "open /dev/sr1 alone", "unmount 11:1", "open /dev/sr1 alone", "lockdoor 0 fd7",
      "scsi eject fd7", "close fd7"}},
    {"still held after unmounting: the tray stays shut, at once", "/dev/sr1", DoorAction::Open, {3, -EBUSY, -EBUSY}, 0,
     0, held_then(0, {"say dorvanel: /dev/sr1: the drive is still in use after the disc was unmounted: by a mount "
                      "in another mount namespace (a container, say), an overlay or another program"})},
    unmounts_stopped({End::Unreadable}, "cannot read the mount table"),
    unmounts_stopped({End::Torn}, "the mount table changed while it was being read"),
    unmounts_stopped({End::MountedOver, 0, "/mnt/x"}, "another filesystem is mounted at /mnt/x, on a directory of this disc"),
    unmounts_stopped({End::NotProven, -ENOTDIR, "/mnt/d"}, "/mnt/d no longer leads to the disc: another filesystem or a link is in the way"),
    unmounts_stopped({End::NotProven, -EACCES, "/mnt/d"}, "cannot reach /mnt/d, where the disc is mounted: Permission denied"),
    unmounts_stopped({End::NotUnmounted, -EBUSY, "/mnt/d"}, "the disc mounted at /mnt/d is in use"),
    unmounts_stopped({End::NotUnmounted, linux_mounts::umount_refused, "/mnt/d"},
                     "the disc mounted at /mnt/d is in use, or you are not allowed to unmount it"),
    unmounts_stopped({End::NotUnmounted, -ENOENT, "/mnt/d"}, "cannot unmount the disc from /mnt/d: No such file or directory"),
    {"a mount point not proven, yet the drive free by then: the tray opens", "/dev/sr1", DoorAction::Open,
     {3, -EBUSY, 7}, 0, 0, held_then(0, {"lockdoor 0 fd7", "scsi eject fd7", "close fd7"}), {}, {}, {End::NotProven}},
    {"held briefly with no disc mounted: opened alone once it lets go", "/dev/sr1", DoorAction::Open,
     {3, -EBUSY, -EBUSY, -EBUSY, 7}, 0, 0, held_then(2, {"lockdoor 0 fd7", "scsi eject fd7", "close fd7"}), {}, {},
     {End::NotMounted}},
    {"held for good by a device: given up after 2 s", "/dev/sr1", DoorAction::Open,
     [] { std::vector<int> answers(23, -EBUSY); return answers[0] = 3, answers; }(), 0, 0,
     held_then(20, {"say dorvanel: /dev/sr1: device dm-0 is using the drive"}), {}, {}, {End::NotMounted}, "dm-0"},
    {"held briefly, then the door lock: two seconds of waits in all", "/dev/sr1", DoorAction::Open, {3, -EBUSY, -EBUSY, 7},
     0, 0, [] {
         auto expected = held_then(1, {});
         const auto lock = waited_for_lock(19, {"close fd7", "say dorvanel: /dev/sr1: " + door_locked_held}, 7);
         return expected.insert(expected.end(), lock.begin(), lock.end()), expected;
     }(), std::vector<int>(40, -EBUSY), {}, {End::NotMounted}, nullptr, {{-EPERM}, locked_door}},
    {"no CD drive: nothing unmounted, no request", "/dev/cdrom", DoorAction::Open, {60}, 0, 0,
     {"open /dev/cdrom", "close fd60", "say dorvanel: /dev/cdrom: not a CD drive"}},
    {"no CD drive: no request to close either", "/dev/cdrom", DoorAction::Close, {60}, 0, 0,
     {"open /dev/cdrom", "close fd60", "say dorvanel: /dev/cdrom: not a CD drive"}},
    {"a loop device on the drive: nothing unmounted, the tray stays shut", "/dev/sr1", DoorAction::Open, {3}, 0, 0,
     {"open /dev/sr1", "close fd3", "say dorvanel: /dev/sr1: loop device loop3 reads this disc or a file on it"}, {},
     {LoopReads::Drive, "loop3"}},
    {"what a loop device reads cannot be told", "/dev/sr1", DoorAction::Open, {3}, 0, 0,
     {"open /dev/sr1", "close fd3", "say dorvanel: /dev/sr1: cannot tell whether loop device loop3 reads this disc"}, {},
     {LoopReads::Unknown, "loop3"}},
    {"/sys/block unreadable", "/dev/sr1", DoorAction::Open, {3}, 0, 0,
     {"open /dev/sr1", "close fd3",
      "say dorvanel: /dev/sr1: cannot read /sys/block to tell whether a loop device reads this disc"}, {},
     {LoopReads::Unknown}},
    {"the path leads to another drive once opened alone: nothing", "/dev/cdrom", DoorAction::Open, {3, 50}, 0, 0,
     {"open /dev/cdrom", "close fd3", "open /dev/cdrom alone", "close fd50", "say dorvanel: /dev/cdrom: no such device"}},
    {"the same, opened alone as descriptor 0", "/dev/cdrom", DoorAction::Open, {50, 0}, 0, 0,
     {"open /dev/cdrom", "close fd50", "open /dev/cdrom alone", "close fd0", "say dorvanel: /dev/cdrom: no such device"}},
    {"a device that takes no SCSI commands: the driver's request", "/dev/cdrom", DoorAction::Open, {4, 5}, 0, 0,
     ejected({"lockdoor 0 fd5", "scsi eject fd5", "eject fd5", "close fd5"}), {}, {}, {}, nullptr, {{-ENOTTY}}},
    {"the driver's answer a result word whose host status tells no answer came", "/dev/cdrom", DoorAction::Close, {5}, 0,
     3 << 16, {"open /dev/cdrom", "scsi load fd5", "closetray fd5", "close fd5", "say dorvanel: /dev/cdrom: the drive did not answer"},
     {}, {}, {}, nullptr, {{-EINVAL}}},
    {"the door locked while udev's probe has the drive open: the unlock is asked again, then the tray", "/dev/cdrom",
     DoorAction::Open, {4, 5}, 0, 0, ejected(waited_for_lock(2, {"scsi eject fd5", "close fd5"})), {-EBUSY, -EBUSY}, {},
     {}, nullptr, {{-EPERM}, sense(2, 0x53, 0)}},
    {"unlock refused, the door not locked (a reader without a lock): ejected at once", "/dev/cdrom", DoorAction::Open, {4, 5},
     0, 0, ejected(waited_for_lock(0, {"close fd5"})), std::vector<int>(40, -EBUSY), {}, {}, nullptr, {{-EPERM}}},
    {"unlock refused, the user may write: the drive allows removal, no wait", "/dev/cdrom", DoorAction::Open, {4, 5}, 0,
     0, ejected(waited_for_lock(0, {"close fd5"})), {-EBUSY}},
    // The drive's own answer says why.
    {"a locked door the user may not unlock: the drive says so, after two seconds", "/dev/cdrom", DoorAction::Open, {4, 5},
     0, 0, ejected(waited_for_lock(20, {"close fd5"}), door_locked_held), std::vector<int>(40, -EBUSY), {}, {}, nullptr,
     {{-EPERM}, locked_door}},
    {"the same on an empty drive, under NOT READY", "/dev/cdrom", DoorAction::Open, {4, 5}, 0, 0,
     ejected(waited_for_lock(20, {"close fd5"}), door_locked_held), std::vector<int>(40, -EBUSY), {}, {}, nullptr,
     {{-EPERM}, sense(2, 0x53, 2)}},
    {"another failure to unlock: no retry", "/dev/cdrom", DoorAction::Open, {4, 5}, 0, 0, ejected(), {-EIO}},
};

// What is sent to close, in order: so many loads, or each "load", "start" and "wait" (1 s) named, the
// last `times` names repeated that many times.
struct Sent {
    std::vector<std::string> calls;
    Sent(int loads) : calls(static_cast<std::size_t>(loads), "scsi load fd5") {}  // NOLINT(google-explicit-constructor)
    Sent(std::initializer_list<std::string> named, std::initializer_list<std::string> repeated = {}, int times = 0) {
        for (int i = 0; i <= times; ++i) {
            for (const std::string& call : i == 0 ? named : repeated) {
                calls.push_back(call == "wait" ? "wait 1000" : "scsi " + call + " fd5");
            }
        }
    }
};

// Closing, the drive's answers in turn: what is sent, and what is said.
struct AnswerCase {
    std::vector<ScsiAnswer> answers;
    Sent sent;
    std::string said;
};

constexpr ScsiAnswer becoming_ready = sense(2, 4, 1), needs_start = sense(2, 4, 2);

const AnswerCase answer_cases[] = {
    {{}, 1, ""},
    {{unit_attention}, 2, ""},
    {{unit_attention, unit_attention}, 3, ""},
    {std::vector(21, unit_attention), 21, "the drive refused the request (SCSI status 0x02, sense 6/28/00)"},
    {{becoming_ready, becoming_ready}, {"load", "wait", "load", "wait", "load"}, ""},
    {std::vector(21, becoming_ready), Sent({"load"}, {"wait", "load"}, 20), "the drive is not ready"},
    {{needs_start, {}, unit_attention}, {"load", "start", "load", "load"}, ""},
    {{needs_start, {}, needs_start}, {"load", "start", "load"}, "the drive is not ready"},  // one START UNIT
    {{needs_start, {0, 0, 3, 0, {}}}, {"load", "start"}, "the drive did not answer"},
    {{{0, 2, 3, 8, unit_attention.sense}}, 1, "the drive did not answer"},  // timed out: not sent again
    {{{-EBUSY}}, 1, "the tray request failed: Device or resource busy"},  // no retry
    {{{-EIO}}, 1, "the tray request failed: Input/output error"},
    {{{0, 2, 0, 8, {true, true, 3, 0x11, 0}}}, 2, ""},  // a deferred error
    {{sense(2, 0x3A, 1)}, 1, ""},                        // no disc, and the tray closed
    {{sense(2, 0x3A, 2)}, 1, "the drive is not ready"},  // no disc, the tray open
    {{locked_door}, 1, "the tray is locked"},
    {{sense(2, 0x53, 2)}, 1, "the tray is locked"},
    {{sense(4, 0x53, 0)}, 1, "the tray is blocked, or the drive could not move it"},
    {{sense(5, 0x24, 0)}, 1, "the drive does not support this request"},
    {{{0, 2, 0, 8, {}}}, 1, "the drive refused the request (SCSI status 0x02, no sense data)"},
    {{{0, 8, 0, 0, {}}}, 1, "the drive refused the request (SCSI status 0x08, no sense data)"},
    {{sense(0xB, 0x4E, 0)}, 1, "the drive refused the request (SCSI status 0x02, sense B/4E/00)"},
    {{{0, 0, 3, 0, {}}}, 1, "the drive did not answer"},  // timed out
    {{{0, 0, 0, 0x06, {}}}, 1, "the drive did not answer"},
};

TEST(TrayDriver, SaysWhatTheDrivesAnswerMeans) {
    for (const AnswerCase& c : answer_cases) {
        calls.clear();
        open_answers = {5};
        scsi_answers = c.answers;
        move_tray({}, DoorAction::Close, recording_calls);
        std::vector<std::string> expected{"open /dev/cdrom"};
        expected.insert(expected.end(), c.sent.calls.begin(), c.sent.calls.end());
        expected.emplace_back("close fd5");
        if (!c.said.empty()) expected.push_back("say dorvanel: /dev/cdrom: " + c.said);
        EXPECT_EQ(calls, expected) << c.said;
    }
}

struct SenseCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    Sense sense;
};

const SenseCase sense_cases[] = {
    {"fixed", {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0x01, 0, 0, 0, 0}, {true, false, 5, 0x24, 1}},
    {"fixed, with its information valid", {0xF0, 0, 0x06, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x28, 0, 0, 0, 0, 0}, {true, false, 6, 0x28, 0}},
    {"fixed, deferred", {0x71, 0, 0x03, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x11, 0, 0, 0, 0, 0}, {true, true, 3, 0x11, 0}},
    {"fixed, its key alone", {0x70, 0, 0x02, 0, 0, 0, 0, 0x00, 0, 0, 0, 0, 0x3A, 0x01}, {true, false, 2, 0, 0}},
    {"fixed, cut short before ASCQ", {0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x3A}, {true, false, 2, 0x3A, 0}},
    {"descriptor", {0x72, 0x06, 0x28, 0x00, 0, 0, 0, 0}, {true, false, 6, 0x28, 0}},
    {"descriptor, deferred", {0x73, 0x05, 0x53, 0x02}, {true, true, 5, 0x53, 2}},
    {"none written", {}, {}},
    {"zeros", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}},
    {"fixed, too short for a key", {0x70, 0}, {}},
    {"vendor-specific", {0x7F, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0}, {}},
};

TEST(TrayDriver, ReadsTheDrivesSense) {
    for (const SenseCase& c : sense_cases) EXPECT_EQ(linux_scsi::read_sense(c.bytes), c.sense) << c.name;
}

// The drive element a case's device is named by, or its letter.
DriveElement drive_of(std::string_view device) {
    if (device == "/dev/cdrom") return {};
    return DriveElement::for_letter(device.starts_with("/dev/sr") ? static_cast<char>('d' + std::stoi(device.substr(7).data()))
                                                                  : static_cast<char>(device[0] - 'A' + 'a'));
}

TEST(TrayDriver, MakesTheDriverCallsInOrderAndSaysWhyTheTrayStays) {
    for (const DriveCase& c : drive_cases) {
        calls.clear();
        open_answers = c.open_answers;
        eject_answer = c.eject_answer;
        close_tray_answer = c.close_tray_answer;
        unlock_answers = c.unlock_answers;
        scsi_answers = c.scsi_answers;
        loop = c.loop;
        unmounted = c.unmounted;
        holder = c.holder;
        move_tray(drive_of(c.device), c.action, recording_calls);
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_TRUE(open_answers.empty()) << c.name;
    }
}

// A bound loop device as the system shows it: what its node answers (0, or
// the -errno of opening it or asking it), its backing file's path in sysfs
// (or the -errno of reading it), and what stat gives for that path.
struct LoopCase {
    const char* name;
    int status;
    BackingFile asked;
    int read;
    const char* path;
    int stat;
    BackingFile seen;
    LoopReads reads;
};

constexpr DeviceNumbers drive{11, 1}, root_fs{8, 1};
const LoopCase* loop_case;

const LoopCase loop_cases[] = {
    {"its node opens: a file elsewhere", 0, {root_fs}, 0, "", 0, {}, LoopReads::Other},
    {"its node opens: the drive itself", 0, {{0, 6}, drive}, 0, "", 0, {}, LoopReads::Drive},
    {"its node opens: a file on the disc", 0, {drive}, 0, "", 0, {}, LoopReads::Drive},
    {"unbound since it was listed", -ENXIO, {}, 0, "", 0, {}, LoopReads::Other},
    {"node refused, a file of the root filesystem", -EACCES, {}, 0, "/var/lib/snapd/snaps/core.snap", 0, {root_fs},
     LoopReads::Other},
    {"node refused, the drive's node", -EPERM, {}, 0, "/dev/sr1", 0, {{0, 6}, drive}, LoopReads::Drive},
    {"no node in /dev, a file on the disc", -ENOENT, {}, 0, "/media/disc/image.iso", 0, {drive}, LoopReads::Drive},
    {"node refused, a removed node", -EACCES, {}, 0, "/tmp/node (deleted)", -ENOENT, {}, LoopReads::Unknown},
    {"node refused, a device node /dev lacks", -ENOENT, {}, 0, "/dev/sr1", -ENOENT, {}, LoopReads::Unknown},
    {"node refused, a path that resolves for nobody", -EACCES, {}, 0, "/home/alice/disk.img", -EACCES, {},
     LoopReads::Other},
    {"node refused, sysfs unreadable", -EACCES, {}, -EACCES, "", 0, {}, LoopReads::Unknown},
    {"node refused, unbound since", -EACCES, {}, -ENOENT, "", 0, {}, LoopReads::Other},
};

constexpr LoopCalls answering_loop_calls{
    [](const char*, BackingFile& file) { return file = loop_case->asked, loop_case->status; },
    [](const char*, std::span<char> path) {
        std::strcpy(path.data(), loop_case->path);
        return loop_case->read;
    },
    [](const char* path, BackingFile& file) {
        EXPECT_STREQ(path, loop_case->path);
        return file = loop_case->seen, loop_case->stat;
    },
};

TEST(LoopDevices, AreJudgedByWhatTheUserCanRead) {
    for (const LoopCase& c : loop_cases) {
        loop_case = &c;
        EXPECT_EQ(linux_loop::judge("loop3", drive, answering_loop_calls), c.reads) << c.name;
    }
}

// What sysfs gave for a backing file, in a room of 8 bytes after a newline, which a look before the room would find.
TEST(LoopDevices, BackingFilePathIsTakenOnlyWhole) {
    const std::pair<std::string_view, const char*> cases[] = {
        {"/a b\n", "/a b"}, {"", nullptr}, {"/a.iso", nullptr}, {"/abc.is\n", nullptr} /* fills the room */};
    for (const auto& [read, path] : cases) {
        char bytes[9] = "\n";
        std::memcpy(bytes + 1, read.data(), read.size());
        EXPECT_EQ(linux_loop::backing_path({bytes + 1, 8}, read.size()), path ? 0 : -ENAMETOOLONG) << read;
        if (path) {
            EXPECT_STREQ(bytes + 1, path);
        }
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

std::size_t refused_call;  // the first call is 1; 0: none is refused

int record_mount_call(const char* what, std::uint64_t id, const char* mount_point) {
    calls.push_back(std::string(what) + " " + std::to_string(id) + " " + mount_point);
    return calls.size() == refused_call ? -EBUSY : 0;
}

constexpr linux_mounts::MountCalls recording_mount_calls{
    [](std::uint64_t id, const char* mount_point, DeviceNumbers) { return record_mount_call("prove", id, mount_point); },
    [](std::uint64_t id, const char* mount_point, DeviceNumbers) { return record_mount_call("unmount", id, mount_point); },
};

// Each mount of the disc at /mnt/disc (30) and /mnt/disc/sub (31, on 30): proven, then taken off.
const std::vector<std::string> both_taken_off{"prove 31 /mnt/disc/sub", "prove 30 /mnt/disc", "unmount 31 /mnt/disc/sub",
                                              "unmount 30 /mnt/disc"};

struct MountCase {
    const char* name;
    std::string mountinfo;
    std::size_t refused_call;
    std::vector<std::string> calls;
    std::optional<End> end = std::nullopt;  // how it ended, where the calls do not tell
};

const MountCase mount_cases[] = {
    {"the drive's mounts, children first, all proven before any goes", mountinfo, 0,
     {"prove 32 /media/my disc/a\\b", "prove 30 /media/my disc", "unmount 32 /media/my disc/a\\b",
      "unmount 30 /media/my disc"}},
    {"one not proven: nothing comes off", mountinfo, 2, {"prove 32 /media/my disc/a\\b", "prove 30 /media/my disc"},
     End::NotProven},
    {"a refused unmount stops the rest", mountinfo, 3,
     {"prove 32 /media/my disc/a\\b", "prove 30 /media/my disc", "unmount 32 /media/my disc/a\\b"}},
    {"a mount on top listed before the one beneath it (a moved mount)",
     mounts({"31 30 11:1 /mnt/disc/sub", "30 20 11:1 /mnt/disc"}), 0, both_taken_off},
    {"mounts side by side: the last listed first", mounts({"30 20 11:1 /mnt/a", "31 20 11:1 /mnt/b"}), 0,
     {"prove 31 /mnt/b", "prove 30 /mnt/a", "unmount 31 /mnt/b", "unmount 30 /mnt/a"}},
    {"mount points that end in an escaped blank, tab and backslash",
     mounts({"30 20 11:1 /mnt/a\\040", "31 20 11:1 /mnt/b\\011", "32 20 11:1 /mnt/c\\134"}), 4,
     {"prove 32 /mnt/c\\", "prove 31 /mnt/b\t", "prove 30 /mnt/a ", "unmount 32 /mnt/c\\"}},
    {"digits in a mount point are no escape", mounts({"30 20 11:1 /media/cd/CD_2023"}), 0,
     {"prove 30 /media/cd/CD_2023", "unmount 30 /media/cd/CD_2023"}},
    {"another drive's numbers only", mounts({"30 20 11:0 /mnt/disc"}), 0, {}},
    {"a line cut short after the mount point", "30 22 11:1 / /media/disc", 0, {}},
    {"a whole last line without its newline", "30 22 11:1 / /media/disc ro", 0,
     {"prove 30 /media/disc", "unmount 30 /media/disc"}},
    {"a line whose numbers are not numbers", mounts({"3x 20 11:1 /mnt/disc", "31 20 11:1x /mnt/disc2"}), 0, {}},
    {"another filesystem on top of the disc's: nothing",
     mounts({"30 20 11:1 /mnt/disc", "31 30 11:1 /mnt/disc/sub", "40 30 0:50 /mnt/disc/other"}), 0, {}},
    {"another filesystem beneath the disc's: the disc's", mounts({"40 20 0:50 /mnt/disc", "30 40 11:1 /mnt/disc"}), 0,
     {"prove 30 /mnt/disc", "unmount 30 /mnt/disc"}},
    {"a parent missing from a torn table: the mount stands alone",
     mounts({"31 30 11:1 /mnt/disc/sub", "30 29 11:1 /mnt/disc"}), 0, both_taken_off},
    {"a mount id listed twice (a torn table): nothing",
     mounts({"30 20 11:1 /mnt/disc", "31 30 11:1 /mnt/disc/sub", "31 30 11:1 /mnt/disc/sub"}), 0, {}, End::Torn},
    {"parents that go round (a torn table): nothing, and an end",
     mounts({"30 31 11:1 /mnt/disc", "31 30 11:1 /mnt/disc/sub", "32 30 11:1 /mnt/disc/b"}), 0, {}, End::Torn},
    {"the disc as the root of the tree, its own parent: nothing", "20 20 11:1 / / ro - iso9660 /dev/sr1 ro\n", 0, {}},
};

TEST(Mounts, NoneComeOffUntilAllAreProvenAndARefusalStopsTheRest) {
    for (const MountCase& c : mount_cases) {
        calls.clear();
        refused_call = c.refused_call;
        std::string text = c.mountinfo;
        const auto ended = linux_mounts::unmount_mounts(text, {11, 1}, recording_mount_calls).end;
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_EQ(c.end.value_or(ended), ended) << c.name;
    }
}

// The mount id and device numbers of the mount whose root is `path`.
std::optional<std::pair<std::uint64_t, DeviceNumbers>> mount_root(const char* path) {
    struct statx seen {};
    if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &seen) != 0 ||
        (seen.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0) {
        return std::nullopt;
    }
    return std::pair(seen.stx_mnt_id, DeviceNumbers{seen.stx_dev_major, seen.stx_dev_minor});
}

// Proven on this machine's own mounts: nothing is unmounted, no device opened.
TEST(MountPoints, AreProvenByMountIdAndDeviceWithNoLinkFollowed) {
    const auto proc = mount_root("/proc");
    const auto sys = mount_root("/sys");
    if (!proc || !sys) GTEST_SKIP() << "/proc and /sys are not mounts here";
    char folder[] = "/tmp/dorvanel-mounts-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string links = folder;
    ASSERT_EQ(symlink("/proc", (links + "/proc").c_str()), 0);
    ASSERT_EQ(symlink("/", (links + "/root").c_str()), 0);
    struct statx inside {};  // of a mount, not its root
    ASSERT_EQ(statx(AT_FDCWD, folder, AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &inside), 0);
    std::string long_path;  // longer than PATH_MAX, each "." a name like any other
    while (long_path.size() <= PATH_MAX) long_path += "/.";
    const std::string longest(NAME_MAX, 'x');  // /proc has no such name, whatever its length

    const struct {
        std::string mount_point;
        std::uint64_t mount_id;
        DeviceNumbers device;
        int result;
    } cases[] = {
        {"/proc", proc->first, proc->second, 0},
        {long_path + "/proc", proc->first, proc->second, 0},  // reached a name at a time
        {"/proc", sys->first, proc->second, -ESTALE},         // another mount id
        {"/proc", proc->first, sys->second, -ESTALE},         // another device
        {links + "/proc", proc->first, proc->second, -ESTALE},  // a link to the mount point is not followed
        {links + "/root/proc", proc->first, proc->second, -ENOTDIR},  // nor a link on the way
        {links, inside.stx_mnt_id, {inside.stx_dev_major, inside.stx_dev_minor}, -ESTALE},  // not the mount's root
        {"/", proc->first, proc->second, -EINVAL},                    // the root has no directory above it
        {"proc", proc->first, proc->second, -EINVAL},                 // a path that is not whole
        {"/proc/" + longest + "/proc", proc->first, proc->second, -ENOENT},  // a name of 255 bytes is looked up
        {"/proc/" + longest, proc->first, proc->second, -ESTALE},
        {"/proc/" + longest + "x/proc", proc->first, proc->second, -ENAMETOOLONG},  // 256 are not cut short
        {"/proc/" + longest + "x", proc->first, proc->second, -ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(linux_mounts::prove_mount(c.mount_id, c.mount_point.c_str(), c.device), c.result)
            << c.mount_point.substr(c.mount_point.size() - std::min<std::size_t>(c.mount_point.size(), 40))
            << " as mount " << c.mount_id;
    }
    unlink((links + "/proc").c_str());
    unlink((links + "/root").c_str());
    rmdir(folder);
}

// umount(8)'s exit status, read also where a launcher started the program with SIGCHLD ignored.
TEST(MountPoints, Umount8sExitStatusIsReadWithSigchldIgnored) {
    const std::pair<const char*, int> cases[] = {{"/bin/true", 0}, {"/bin/false", 1}};
    for (const auto& [path, status] : cases) {
        (void)signal(SIGCHLD, SIG_IGN);
        const char* const argv[] = {path, nullptr};
        EXPECT_EQ(linux_process::run_quietly(path, argv), status) << path;
    }
}

}  // namespace
}  // namespace dorvanel::linux_tray
