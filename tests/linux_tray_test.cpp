// Linux: door command texts to devices, and the driver calls that move the tray.
#include <gtest/gtest.h>
#include <linux/cdrom.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux_tray.h"

namespace dorvanel::linux_tray {
namespace {

struct ReadCase {
    std::string command;
    std::optional<std::string> device;
    TrayAction action;
};

const ReadCase read_cases[] = {
    {"set cdaudio door open", "/dev/cdrom", TrayAction::Open},
    {"set cdaudio door closed", "/dev/cdrom", TrayAction::Close},
    {"set cdaudio!d:\\ door open", "/dev/sr0", TrayAction::Open},
    {"set cdaudio!e:\\ door closed", "/dev/sr1", TrayAction::Close},
    {"set cdaudio!m:\\ door open", "/dev/sr9", TrayAction::Open},
    {"set cdaudio!n:\\ door open", "/dev/sr10", TrayAction::Open},
    {"set cdaudio!z:\\ door closed", "/dev/sr22", TrayAction::Close},
    // Letters before d, upper case, other bytes and malformed elements name no drive
    {"set cdaudio!c:\\ door open", std::nullopt, TrayAction::Open},
    {"set cdaudio!D:\\ door open", std::nullopt, TrayAction::Open},
    {"set cdaudio!1:\\ door open", std::nullopt, TrayAction::Open},
    {"set cdaudio!\x82:\\ door open", std::nullopt, TrayAction::Open},
    {"set cdaudio!d: door open", std::nullopt, TrayAction::Open},
    {"set cdaudio!d:\\\\ door open", std::nullopt, TrayAction::Open},
    // Anything but the four texts asks for nothing
    {"", std::nullopt, TrayAction::Open},
    {"set cdaudio", std::nullopt, TrayAction::Open},
    {"set cdaudio door", std::nullopt, TrayAction::Open},
    {"set cdaudio door opened", std::nullopt, TrayAction::Open},
    {"set cdaudio door open ", std::nullopt, TrayAction::Open},
    {"SET CDAUDIO DOOR OPEN", std::nullopt, TrayAction::Open},
    {"set cdaudio  door open", std::nullopt, TrayAction::Open},
    {"open cdaudio", std::nullopt, TrayAction::Open},
};

TEST(DoorText, NamesTheDeviceAndTheAction) {
    for (const ReadCase& c : read_cases) {
        const auto request = read_door_command(c.command);
        ASSERT_EQ(request.has_value(), c.device.has_value()) << "[" << c.command << "]";
        if (!request) continue;
        EXPECT_EQ(request->device_path(), *c.device) << c.command;
        EXPECT_EQ(request->action, c.action) << c.command;
    }
}

// Records each call; each request's answer comes from the case.
std::vector<std::string> calls;
int open_answer;
int eject_answer;
int close_tray_answer;

int record_open(const char* path) {
    calls.push_back(std::string("open ") + path);
    return open_answer;
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

constexpr DeviceCalls recording_calls{record_open, record_control, record_start_stop, record_close};

struct DriveCase {
    const char* name;
    const char* command;
    int open_answer, eject_answer, close_tray_answer;
    std::vector<std::string> calls;
};

const DriveCase drive_cases[] = {
    {"eject", "set cdaudio door open", 3, 0, 0,
     {"open /dev/cdrom", "lockdoor 0 fd3", "eject fd3", "close fd3"}},
    {"close", "set cdaudio!e:\\ door closed", 4, 0, 0, {"open /dev/sr1", "closetray fd4", "close fd4"}},
    {"no device: nothing more", "set cdaudio!d:\\ door open", -ENOENT, 0, 0, {"open /dev/sr0"}},
    {"no tray motor: SCSI eject", "set cdaudio door open", 5, -ENOSYS, 0,
     {"open /dev/cdrom", "lockdoor 0 fd5", "eject fd5", "scsi eject fd5", "close fd5"}},
    {"not a CD driver: SCSI load", "set cdaudio door closed", 5, 0, -ENOTTY,
     {"open /dev/cdrom", "closetray fd5", "scsi load fd5", "close fd5"}},
    {"busy: no retry", "set cdaudio door open", 6, -EBUSY, 0,
     {"open /dev/cdrom", "lockdoor 0 fd6", "eject fd6", "close fd6"}},
    {"i/o error on close: no retry", "set cdaudio door closed", 6, 0, -EIO,
     {"open /dev/cdrom", "closetray fd6", "close fd6"}},
};

TEST(TrayDriver, MakesTheDriverCallsInOrder) {
    for (const DriveCase& c : drive_cases) {
        calls.clear();
        open_answer = c.open_answer;
        eject_answer = c.eject_answer;
        close_tray_answer = c.close_tray_answer;
        const auto request = read_door_command(c.command);
        ASSERT_TRUE(request) << c.name;
        drive_tray(*request, recording_calls);
        EXPECT_EQ(calls, c.calls) << c.name;
    }
}

}  // namespace
}  // namespace dorvanel::linux_tray
