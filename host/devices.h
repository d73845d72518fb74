// The character devices a run may put on host files: the printer and the punch appending to one, the reader reading one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace host {

// One host file standing for a CP/M character device, byte by byte: output
// goes out with each byte (so it is in the file whatever ends the run), input
// is read ahead in blocks.
class DeviceFile {
public:
    DeviceFile() = default;
    DeviceFile(DeviceFile&& other) noexcept;
    DeviceFile& operator=(DeviceFile&& other) noexcept;
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;
    ~DeviceFile();

    // The file at path, created if missing (mode 0666 less the umask) and
    // written at its end; nothing, with errno set, when it cannot be opened.
    static std::optional<DeviceFile> open_for_appending(const std::string& path);
    // The file at path, read from its start; nothing, with errno set, when it
    // cannot be opened or is a directory.
    static std::optional<DeviceFile> open_for_reading(const std::string& path);

    // Writes one byte; false when the host refused it. After that the file
    // takes nothing more, and every later byte is dropped (true).
    bool write_byte(std::uint8_t byte);
    // The next byte, or nothing at the end of the file (or at an error).
    std::optional<std::uint8_t> read_byte();

private:
    explicit DeviceFile(int descriptor) : descriptor(descriptor) {}
    int descriptor = -1;
    bool refused = false;
    std::array<std::uint8_t, 512> ahead{};
    std::size_t ahead_start = 0, ahead_end = 0;
};

}  // namespace host
