// Linux: what the drive answers a tray request, and what that answer means to
// the user, from the drive's bytes and the kernel's status alone.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace dorvanel::linux_scsi {

using Command = std::array<std::uint8_t, 6>;

// Commands that move no data: PREVENT ALLOW MEDIUM REMOVAL, allowing; START
// STOP UNIT with LoEj set, Start clear to eject and set to load, and with
// Start alone (START UNIT), which makes a drive ready that needs it.
inline constexpr Command allow_removal{0x1E, 0, 0, 0, 0, 0};
inline constexpr Command eject_command{0x1B, 0, 0, 0, 0x02, 0};
inline constexpr Command load_command{0x1B, 0, 0, 0, 0x03, 0};
inline constexpr Command start_unit{0x1B, 0, 0, 0, 0x01, 0};

// The sense data of a drive's refusal, as far as the drive gave it.
struct Sense {
    bool valid = false;     // fixed or descriptor format, with at least its key
    bool deferred = false;  // about an earlier command, not this one
    std::uint8_t key = 0, asc = 0, ascq = 0;
    friend bool operator==(const Sense&, const Sense&) = default;
};
Sense read_sense(std::span<const std::uint8_t> bytes);

// The answer to a tray request: -errno where the kernel did not send it;
// else the drive's status and sense, and the host's and the driver's status.
struct Answer {
    int error = 0;
    std::uint8_t status = 0;
    std::uint16_t host_status = 0, driver_status = 0;
    Sense sense = {};
};

// A CD-ROM driver request's result (0, -errno, or the kernel's result word)
// as an answer, without sense: that stays with the kernel.
Answer driver_answer(int result);

inline bool carried_out(const Answer& answer) {
    return answer.error == 0 && answer.status == 0 && answer.host_status == 0 && answer.driver_status == 0;
}
// The drive itself answered: the kernel sent the command, and neither the
// host nor the driver reports a time-out or a lost connection.
bool answered(const Answer& answer);

// What a refusal says is passing, and may not stand if the command is sent
// again: news of an earlier event (a unit attention or a deferred error: a
// disc changed, a reset), a drive in the middle of becoming ready, or one
// that needs a START UNIT first. Nothing for an answer that is not the
// drive's own CHECK CONDITION.
enum class Passing : std::uint8_t { Nothing, EarlierEvent, BecomingReady, NeedsStart };
Passing passing(const Answer& answer);
// The drive says its tray is locked, or could not move it (as some say of a locked one).
bool tray_locked(const Answer& answer);

// Why the tray did not move, as one sentence in the user's language (in
// `room` where it is made up); empty where it moved, or where a load found
// the tray closed with no disc. `unlock_refused`: the kernel would not let
// this user unlock the tray.
std::string_view why_not(const Answer& answer, bool load, bool unlock_refused, std::span<char> room);

}  // namespace dorvanel::linux_scsi
