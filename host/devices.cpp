// Host files standing for the printer, the punch and the reader.
#include "host/devices.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

DeviceFile::DeviceFile(DeviceFile&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)), refused(other.refused), ahead(other.ahead),
      ahead_start(other.ahead_start), ahead_end(other.ahead_end) {}

DeviceFile& DeviceFile::operator=(DeviceFile&& other) noexcept {
    if (this != &other) {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = std::exchange(other.descriptor, -1);
        refused = other.refused;
        ahead = other.ahead;
        ahead_start = other.ahead_start;
        ahead_end = other.ahead_end;
    }
    return *this;
}

DeviceFile::~DeviceFile() {
    if (descriptor >= 0)
        ::close(descriptor);
}

std::optional<DeviceFile> DeviceFile::open_for_appending(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (descriptor < 0)
        return std::nullopt;
    return DeviceFile(descriptor);
}

std::optional<DeviceFile> DeviceFile::open_for_reading(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0)
        return std::nullopt;
    // A directory opens for reading, but holds no bytes to read.
    struct stat status {};
    if (fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(descriptor);
        errno = EISDIR;
        return std::nullopt;
    }
    return DeviceFile(descriptor);
}

bool DeviceFile::write_byte(std::uint8_t byte) {
    if (refused)
        return true;
    for (;;) {
        const ssize_t count = ::write(descriptor, &byte, 1);
        if (count < 0 && errno == EINTR)
            continue;
        refused = count != 1;
        return !refused;
    }
}

std::optional<std::uint8_t> DeviceFile::read_byte() {
    while (ahead_start == ahead_end) {
        const ssize_t count = ::read(descriptor, ahead.data(), ahead.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return std::nullopt;
        ahead_start = 0;
        ahead_end = std::size_t(count);
    }
    return ahead[ahead_start++];
}

}  // namespace host
