// The console device: the program's only road to the terminal, with the screen translated for a named terminal.
#pragma once

#include <cstdint>
#include <string_view>

#include "host/keys.h"
#include "host/screen.h"
#include "host/terminal.h"

namespace host {

class ConsoleDevice {
public:
    // 0xFF when a key was typed on a terminal, else 0x00; what was written
    // before is out by then.
    std::uint8_t console_status();
    // Waits for the next key.
    std::uint8_t console_in() { return terminal.read_key(); }
    // One byte to the screen, translated for the named terminal; BEL is
    // dropped.
    void console_out(std::uint8_t byte);
    // The printer: its output is dropped.
    void list_out(std::uint8_t byte);

    // The terminal started for the terminal terminal_name names (its screen
    // translated, its keys sent) and the key profile key_profile_name names.
    void start(std::string_view terminal_name, std::string_view key_profile_name = "terminal");

    // A system message on standard output, in order with console output.
    void message(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A message on standard error (one line, "kavo: ..." or CP/M's own), in
    // order with console output.
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

    Terminal terminal;
};

}  // namespace host
