#include "platform/linux_tray.h"

#include <linux/cdrom.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace dorvanel::linux_tray {
namespace {

constexpr std::string_view command_head = "set cdaudio";
constexpr std::string_view default_device = "/dev/cdrom";

// The driver's ways of saying "this drive cannot do that request".
constexpr bool is_unsupported(int result) {
    return result == -ENOSYS || result == -ENOTTY || result == -EINVAL;
}

std::optional<TrayRequest> device_for(std::string_view drive_element, TrayAction action) {
    TrayRequest request;
    request.action = action;
    if (drive_element.empty()) {
        std::memcpy(request.device.data(), default_device.data(), default_device.size());
        return request;
    }
    if (drive_element.size() != 4 || drive_element[0] != '!' || drive_element[2] != ':' || drive_element[3] != '\\') {
        return std::nullopt;
    }
    const char letter = drive_element[1];
    if (letter < 'd' || letter > 'z') return std::nullopt;

    constexpr std::string_view prefix = "/dev/sr";
    const int number = letter - 'd';
    std::memcpy(request.device.data(), prefix.data(), prefix.size());
    std::size_t size = prefix.size();
    if (number >= 10) request.device[size++] = static_cast<char>('0' + number / 10);
    request.device[size] = static_cast<char>('0' + number % 10);
    return request;
}

}  // namespace

std::optional<TrayRequest> read_door_command(std::string_view command) {
    if (!command.starts_with(command_head)) return std::nullopt;
    command.remove_prefix(command_head.size());
    for (const auto& [suffix, action] : {std::pair{std::string_view(" door open"), TrayAction::Open},
                                         std::pair{std::string_view(" door closed"), TrayAction::Close}}) {
        if (command.ends_with(suffix)) {
            command.remove_suffix(suffix.size());
            return device_for(command, action);
        }
    }
    return std::nullopt;
}

void drive_tray(const TrayRequest& request, const DeviceCalls& calls) {
    const int fd = calls.open_device(request.device.data());
    if (fd < 0) return;
    int result;
    if (request.action == TrayAction::Open) {
        calls.control(fd, CDROM_LOCKDOOR, 0);
        result = calls.control(fd, CDROMEJECT, 0);
    } else {
        result = calls.control(fd, CDROMCLOSETRAY, 0);
    }
    if (is_unsupported(result)) calls.start_stop_unit(fd, request.action == TrayAction::Close);
    calls.close_device(fd);
}

}  // namespace dorvanel::linux_tray
