#include "platform/linux_scsi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/linux_locale.h"

namespace dorvanel::linux_scsi {
namespace {

using linux_locale::N_, linux_locale::translated;

constexpr std::uint8_t check_condition = 0x02, driver_sense = 0x08, not_ready = 0x02, unit_attention = 0x06, any = 0xFF;

constexpr const char* locked_by_other{
    N_("the tray is locked while another program is using the drive (on Debian, members of the group cdrom can "
       "open it all the same)")};

// The drive's reasons, by ASC and ASCQ, then by sense key alone; the first
// that matches is said, as `unlock_refused` where there is one and this
// user may not unlock the tray.
struct Reason {
    std::uint8_t key, asc, ascq;
    const char *sentence, *unlock_refused = nullptr;
};
constexpr Reason reasons[] = {
    {any, 0x53, 0x02, N_("the tray is locked"), locked_by_other},  // medium removal prevented
    // Media load or eject failed, which some drives say of a locked tray.
    {any, 0x53, 0x00, N_("the tray is blocked, or the drive could not move it"), locked_by_other},
    {not_ready, any, any, N_("the drive is not ready")},
    {0x05, any, any, N_("the drive does not support this request")},  // a command or a field it does not take
};

const Reason* reason_of(const Answer& answer) {
    const Sense& sense = answer.sense;
    if (answer.status != check_condition || !sense.valid) return nullptr;
    const auto matches = [](std::uint8_t reason, std::uint8_t given) { return reason == any || reason == given; };
    const Reason* const reason = std::find_if(std::begin(reasons), std::end(reasons), [&](const Reason& r) {
        return matches(r.key, sense.key) && matches(r.asc, sense.asc) && matches(r.ascq, sense.ascq);
    });
    return reason != std::end(reasons) ? reason : nullptr;
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

Answer driver_answer(int result) {
    if (result <= 0) return {result};
    return {0, static_cast<std::uint8_t>(result & 0xFF), static_cast<std::uint16_t>((result >> 16) & 0xFF)};
}

bool answered(const Answer& answer) {
    return answer.error == 0 && answer.host_status == 0 && (answer.driver_status & ~driver_sense) == 0;
}

Passing passing(const Answer& answer) {
    const Sense& sense = answer.sense;
    if (!answered(answer) || answer.status != check_condition || !sense.valid) return Passing::Nothing;
    if (sense.key == unit_attention || sense.deferred) return Passing::EarlierEvent;
    // LOGICAL UNIT NOT READY: in process of becoming ready; initializing command required.
    if (sense.key == not_ready && sense.asc == 0x04 && sense.ascq == 0x01) return Passing::BecomingReady;
    if (sense.key == not_ready && sense.asc == 0x04 && sense.ascq == 0x02) return Passing::NeedsStart;
    return Passing::Nothing;
}

bool tray_locked(const Answer& answer) {
    const Reason* const reason = reason_of(answer);
    return reason != nullptr && reason->unlock_refused != nullptr;
}

std::string_view why_not(const Answer& answer, bool load, bool unlock_refused, std::span<char> room) {
    constexpr Sense closed_empty{true, false, not_ready, 0x3A, 0x01};  // medium not present, tray closed
    if (carried_out(answer) || (load && answer.sense == closed_empty)) return {};
    if (answer.error < 0) {
        (void)std::snprintf(room.data(), room.size(), "%s: %s", translated(N_("the tray request failed")),
                            std::strerror(-answer.error));
    } else if (!answered(answer)) {
        return translated(N_("the drive did not answer"));
    } else if (const Reason* reason = reason_of(answer)) {
        return translated(unlock_refused && reason->unlock_refused != nullptr ? reason->unlock_refused : reason->sentence);
    } else if (answer.sense.valid) {
        const Sense& sense = answer.sense;
        // TRANSLATORS: the drive's SCSI status, then its sense key, ASC and ASCQ, in hexadecimal.
        (void)std::snprintf(room.data(), room.size(),
                            translated("the drive refused the request (SCSI status 0x%02X, sense %X/%02X/%02X)"),
                            answer.status, sense.key, sense.asc, sense.ascq);
    } else {
        // TRANSLATORS: the drive's SCSI status, in hexadecimal.
        (void)std::snprintf(room.data(), room.size(),
                            translated("the drive refused the request (SCSI status 0x%02X, no sense data)"), answer.status);
    }
    return room.data();  // snprintf ends it with a zero byte, cut short where the room is too small
}

}  // namespace dorvanel::linux_scsi
