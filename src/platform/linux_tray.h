// Linux: how a drive and a door action become tray movement through the
// CD-ROM driver. Kept apart from the system calls so the sequence can be
// tested without a drive.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/linux_mounts.h"
#include "platform/platform.h"

namespace dorvanel::linux_tray {

using linux_mounts::DeviceNumbers;

struct DevicePath {
    std::array<char, 16> bytes{};  // zero-terminated
    std::string_view text() const { return bytes.data(); }
};

// Drive letters name optical drives the way Windows usually letters them:
// the first letter Windows gives a CD drive is /dev/sr0, and each next
// letter the next drive; no letter is /dev/cdrom. Any other names no drive.
inline constexpr char first_drive_letter = 'd', last_drive_letter = 'z';
std::optional<DevicePath> device_for(const DriveElement& drive);

// What a bound loop device reads, as far as this user can tell.
enum class LoopReads : std::uint8_t { Other, Drive, Unknown };

// The first loop device that reads the drive, or of which that cannot be
// told; none (Other) when no loop device does. No name where /sys/block
// cannot be read to its end.
struct LoopOnDrive {
    LoopReads reads = LoopReads::Other;
    const char* name = nullptr;
};

// A loop device's backing file: the device it is on and, where it is a
// block device, the device it is.
struct BackingFile {
    DeviceNumbers on{};
    std::optional<DeviceNumbers> is = std::nullopt;
};

// What the loop judgement asks of the system, each 0 or -errno.
struct LoopCalls {
    // LOOP_GET_STATUS64 through /dev/NAME, where that node opens and is loop
    // device NAME: its lo_device and lo_rdevice.
    int (*status)(const char* name, BackingFile& file);
    // /sys/block/NAME/loop/backing_file (world-readable), its newline taken
    // off and zero-terminated in `path`.
    int (*backing_file)(const char* name, std::span<char> path);
    // stat(2), following links.
    int (*stat)(const char* path, BackingFile& file);
};

// Whether bound loop device NAME reads the drive or a file on its disc: by
// the numbers the loop device keeps, or where its node cannot be opened (a
// user outside group disk, a /dev that lacks it), by its backing file's path
// as the kernel gives it.
LoopReads judge_loop(const char* name, DeviceNumbers drive, const LoopCalls& calls);

// The sense data of a drive's refusal, as far as the drive gave it.
struct Sense {
    bool valid = false;     // fixed or descriptor format, with at least its key
    bool deferred = false;  // about an earlier command, not this one
    std::uint8_t key = 0, asc = 0, ascq = 0;
    friend bool operator==(const Sense&, const Sense&) = default;
};
Sense read_sense(std::span<const std::uint8_t> bytes);

// The drive's answer to a tray request, however it was sent: `error` is
// -errno where the kernel did not send it; else the drive's SCSI status and
// sense, and the host's and the driver's status, which tell where no answer
// came from the drive.
struct ScsiAnswer {
    int error = 0;
    std::uint8_t status = 0;
    std::uint16_t host_status = 0, driver_status = 0;
    Sense sense = {};
};

// The system calls the tray is driven with; those that return an int give
// 0 or a negative errno, and open_device a descriptor or a negative errno.
struct DeviceCalls {
    // Non-blocking. `exclusive` adds O_EXCL, which the kernel refuses with
    // EBUSY while a mounted filesystem holds the device, and asks for
    // read-write where the user may write to it; read-only otherwise.
    int (*open_device)(const char* path, bool exclusive);
    // The numbers of the CD drive open on `fd`; none for any other device.
    std::optional<DeviceNumbers> (*cd_drive)(int fd);
    // A loop device that reads the drive or a file on its disc, or of which
    // that cannot be told (judge_loop). Unlike a mount or a device-mapper
    // target, a loop device does not claim the drive, so the exclusive open
    // would not see it.
    LoopOnDrive (*loop_on_drive)(DeviceNumbers drive);
    // Unmounts the disc's own mounts, all or none proven (see linux_mounts.h).
    // A mount point it names stays readable until the process ends.
    linux_mounts::Unmounted (*unmount_disc)(DeviceNumbers drive);
    // The name of a device that holds the drive (/sys/block/NAME/holders), if any.
    const char* (*holder)(DeviceNumbers drive);
    // A CD-ROM driver request: 0, -errno, or where the driver (sr) had the
    // drive carry it out and it did not, the kernel's result word.
    int (*cdrom_ioctl)(int fd, unsigned long request, unsigned long argument);
    // Sends a 6-byte SCSI command that moves no data, through SG_IO, on the
    // program's own time limit.
    ScsiAnswer (*scsi_command)(int fd, std::array<std::uint8_t, 6> command);
    void (*close_device)(int fd);
    void (*wait)(std::uint32_t milliseconds);
    // Writes one line, made of these pieces, to standard error.
    void (*write_line)(std::span<const std::string_view> pieces);
};

// Opens the tray of the drive (an empty element is the default drive) or
// closes it; where the tray does not move, says why in one line, "dorvanel:
// DEVICE: CAUSE". Any device but a CD drive gets no request.
//
// Opening: the tray opens only once no filesystem, device-mapper target or
// other program claims the drive (the exclusive open) and no loop device
// reads it. The disc's own mounts are unmounted first; a drive still held
// after that (a disc in use, a mount the user may not unmount or that
// something covers) keeps the tray shut. Programs that keep the drive open
// without claiming it do not keep it shut. A drive claimed while the disc is
// not mounted, and a door locked by another opener that this user may not
// unlock, are waited for, two seconds in all.
// Closing never mounts or unmounts anything.
// The tray is moved by START STOP UNIT, sent once (once more after a unit
// attention), and the drive's answer decides; a device that takes no SCSI
// commands gets the CD-ROM driver's own request instead.
void move_tray(const DriveElement& drive, DoorAction action, const DeviceCalls& calls);

}  // namespace dorvanel::linux_tray
