// Linux: what the drive answers a tray request, and what that answer means to
// the user. Pure functions over the drive's bytes and the kernel's status.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace dorvanel::linux_scsi {

using Command = std::array<std::uint8_t, 6>;

// Commands that move no data: PREVENT ALLOW MEDIUM REMOVAL, allowing; START
// STOP UNIT with LoEj set, Start clear to eject and set to load.
inline constexpr Command allow_removal{0x1E, 0, 0, 0, 0, 0};
inline constexpr Command eject_command{0x1B, 0, 0, 0, 0x02, 0};
inline constexpr Command load_command{0x1B, 0, 0, 0, 0x03, 0};

// The sense data of a drive's refusal, as far as the drive gave it.
struct Sense {
    bool valid = false;     // fixed or descriptor format, with at least its key
    bool deferred = false;  // about an earlier command, not this one
    std::uint8_t key = 0, asc = 0, ascq = 0;
    friend bool operator==(const Sense&, const Sense&) = default;
};
Sense read_sense(std::span<const std::uint8_t> bytes);

// The answer to a tray request, however it was sent: `error` is -errno
// where the kernel did not send it; else the drive's SCSI status and sense,
// and the host's and the driver's status, which tell where no answer came
// from the drive.
struct Answer {
    int error = 0;
    std::uint8_t status = 0;
    std::uint16_t host_status = 0, driver_status = 0;
    Sense sense = {};
};

// A CD-ROM driver request's result as an answer: 0, -errno, or the kernel's
// result word (the host's status in bits 16 to 23, the drive's SCSI status
// in bits 0 to 7; the sense stays with the kernel).
Answer driver_answer(int result);

bool carried_out(const Answer& answer);
// A unit attention or a deferred error: news of an earlier event (a disc
// changed, a reset), not this command's fate, which is worth asking again.
bool tells_of_earlier_event(const Answer& answer);
// The drive says its tray is locked (or could not move it, as some drives
// say of a locked one).
bool tray_locked(const Answer& answer);

// Why the drive did not carry the request out, as one sentence in the
// user's language, written into `room` where it needs to be: empty where it
// did, and where a load found no disc with the tray closed.
// `unlock_refused`: the kernel would not let this user unlock the tray.
std::string_view why_not(const Answer& answer, bool load, bool unlock_refused, std::span<char> room);

}  // namespace dorvanel::linux_scsi
