#include "platform/linux_loop.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/limits.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

namespace dorvanel::linux_loop {
namespace {

int loop_status(const char* name, BackingFile& file) {
    char path[sizeof "/dev/" + NAME_MAX];
    (void)std::snprintf(path, sizeof path, "/dev/%s", name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    loop_info64 status{};
    const int result = ioctl(fd, LOOP_GET_STATUS64, &status);
    const int error = errno;
    close(fd);
    if (result != 0) return -error;
    // The node must lead to that very loop device.
    char own[sizeof "loop" + 10];
    (void)std::snprintf(own, sizeof own, "loop%u", status.lo_number);
    if (std::string_view(own) != name) return -ENODEV;
    file.on = {major(status.lo_device), minor(status.lo_device)};
    // Zero for a backing file that is no device.
    if (status.lo_rdevice != 0) file.is = DeviceNumbers{major(status.lo_rdevice), minor(status.lo_rdevice)};
    return 0;
}

int backing_file(const char* name, std::span<char> path) {
    char attribute[sizeof "/sys/block//loop/backing_file" + NAME_MAX];
    (void)std::snprintf(attribute, sizeof attribute, "/sys/block/%s/loop/backing_file", name);
    const int fd = open(attribute, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    // sysfs gives an attribute whole, in one read.
    ssize_t got;
    while ((got = read(fd, path.data(), path.size())) < 0 && errno == EINTR) {
    }
    const int error = errno;
    close(fd);
    return got < 0 ? -error : backing_path(path, static_cast<std::size_t>(got));
}

int file_numbers(const char* path, BackingFile& file) {
    struct stat seen {};
    if (stat(path, &seen) != 0) return -errno;
    file.on = {major(seen.st_dev), minor(seen.st_dev)};
    if (S_ISBLK(seen.st_mode)) file.is = DeviceNumbers{major(seen.st_rdev), minor(seen.st_rdev)};
    return 0;
}

constexpr LoopCalls system_calls{loop_status, backing_file, file_numbers};

}  // namespace

int backing_path(std::span<char> text, std::size_t size) {
    // The kernel ends the path with a newline; one that fills the room was cut short.
    if (size == 0 || size >= text.size() || text[size - 1] != '\n') return -ENAMETOOLONG;
    text[size - 1] = '\0';
    return 0;
}

Reads judge(const char* name, DeviceNumbers drive, const LoopCalls& calls) {
    const auto reads = [&](const BackingFile& file) {
        return file.on == drive || file.is == drive ? Reads::Drive : Reads::Other;
    };
    BackingFile file;
    const int status = calls.status(name, file);
    if (status == -ENXIO) return Reads::Other;  // unbound since it was listed
    if (status == 0) return reads(file);

    char path[PATH_MAX + sizeof " (deleted)"] = {};
    const int read = calls.backing_file(name, {path, sizeof path});
    if (read == -ENOENT) return Reads::Other;  // its loop folder goes when it is unbound
    if (read != 0) return Reads::Unknown;
    file = {};
    if (calls.stat(path, file) == 0) return reads(file);
    const std::string_view text = path;
    if (text.starts_with("/dev/") || text.ends_with(" (deleted)")) return Reads::Unknown;
    // A path this user cannot look up counts as another file: a file on the disc keeps the drive claimed by its
    // filesystem, which the exclusive open sees. A node of the drive outside /dev would not be seen.
    return Reads::Other;
}

Found find_on(DeviceNumbers drive) {
    // Only a bound loop device has a loop folder.
    glob_t bound{};
    const int listed = glob("/sys/block/*/loop", GLOB_ERR | GLOB_NOSORT, nullptr, &bound);
    static char name[NAME_MAX + 1];
    Found found{listed == 0 || listed == GLOB_NOMATCH ? Reads::Other : Reads::Unknown};
    for (std::size_t i = 0; listed == 0 && i < bound.gl_pathc && found.reads == Reads::Other; ++i) {
        (void)std::sscanf(bound.gl_pathv[i], "/sys/block/%255[^/]", name);  // NAME_MAX bytes
        found = {judge(name, drive, system_calls), name};
    }
    globfree(&bound);
    return found;
}

}  // namespace dorvanel::linux_loop
