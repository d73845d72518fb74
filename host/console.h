// The console device: the program's only road to the terminal, with the screen translated for a named terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "host/devices.h"
#include "host/keys.h"
#include "host/screen.h"
#include "host/terminal.h"

namespace host {

class ConsoleDevice {
public:
    // 0xFF when a key was typed on a terminal or is kept, else 0x00; what was
    // written before is out by then.
    std::uint8_t console_status();
    // The kept key, or else waits for the next key.
    std::uint8_t console_in() {
        if (kept_key) [[unlikely]]
            return *std::exchange(kept_key, std::nullopt);
        return terminal.read_key();
    }
    // True when console_in would return at once: a kept key, a typed key or
    // script text.
    bool key_waiting() { return kept_key || terminal.key_waiting(); }
    // Puts a key read ahead back, for the next console_in.
    void keep_key(std::uint8_t key) { kept_key = key; }
    bool has_kept_key() const { return kept_key.has_value(); }
    // One byte to the screen, translated for the named terminal; BEL is
    // dropped.
    void console_out(std::uint8_t byte);

    // Opens the printer, punch and reader files the paths name (an empty
    // path: none); false, after a message on standard error, when one cannot
    // be opened.
    bool open_devices(const std::string& printer_path, const std::string& punch_path,
                      const std::string& reader_path);
    // The printer: its file, else the output is dropped.
    void list_out(std::uint8_t byte);
    // The punch: its file, else the screen.
    void punch_out(std::uint8_t byte);
    // The reader: the next byte of its file (0x1A, CP/M's end of file, once
    // that is read through), else a key as console_in reads it.
    std::uint8_t reader_in();

    // The terminal started for the terminal terminal_name names (its screen
    // translated, its keys sent) and the key profile key_profile_name names.
    void start(std::string_view terminal_name, std::string_view key_profile_name = "terminal");

    // A system message on standard output, in order with console output.
    void message(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A message on standard error (one line, "kavo: ..." or CP/M's own), in
    // order with console output.
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

    Terminal terminal;

private:
    // Writes a byte to a device file, with one message naming the device
    // when the host first refuses it.
    void write_device(DeviceFile& device, const char* name, std::uint8_t byte);

    std::optional<std::uint8_t> kept_key;
    std::optional<DeviceFile> printer, punch, reader;
};

}  // namespace host
