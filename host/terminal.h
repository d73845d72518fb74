// The user's terminal as the CP/M console: raw keys in, bytes out, restored on every way out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace host {

// The console device's host side. Until start() it touches nothing, so the
// usage and missing-file messages leave the terminal as it was.
//
// With a controlling terminal (/dev/tty) keys come from it in raw mode and
// bytes go to it one write(2) each. Without one, keys come from standard input
// (LF and CR LF read as one 0x0D) and bytes go to standard output.
class Terminal {
public:
    Terminal() = default;
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    ~Terminal();

    // Opens the terminal and enters raw mode, installs the handlers that put
    // it back on SIGTERM, SIGHUP, SIGINT, SIGQUIT (Ctrl+\ ends the run with
    // status 0) and SIGTSTP/SIGCONT. Falls back to the standard streams.
    void start();

    // True when read_key() would return at once with a key: a typed key, the
    // second byte of a two-byte key. A readable end of input is not a key.
    bool key_waiting();

    // Waits for the next key. Escape sequences of function and cursor keys
    // arrive as two bytes (prefix 0x00 or 0xE0, then the code); Backspace and
    // Ctrl+H read as 0x7F. At the end of standard input (no terminal) returns
    // 0x0D and input_ended() becomes true.
    uint8_t read_key();
    bool input_ended() const { return ended; }

    // False when keys come from standard input: there is no terminal.
    bool is_terminal() const { return descriptor >= 0; }

    // Writes one byte at once, unchanged. When nobody reads standard output
    // any more (no terminal), the run ends with status 0.
    void write_byte(uint8_t byte);

    // Writes a system message to standard output in order with console
    // output; while raw mode is on and standard output is the terminal, each
    // "\n" goes out as CR LF.
    void write_message(std::string_view text);

private:
    bool receive(int timeout_milliseconds);
    void consume(std::size_t length);
    std::optional<uint8_t> read_standard_input();

    bool ended = false;
    int descriptor = -1;  // /dev/tty in raw mode; -1 when there is no terminal
    bool messages_need_return = false;  // standard output is that terminal

    // Bytes read from the terminal and not yet decoded into keys.
    std::array<uint8_t, 64> pending{};
    std::size_t pending_count = 0;
    std::optional<uint8_t> second_byte;  // the code of a two-byte key whose prefix was read

    // Without a terminal: a key read ahead by key_waiting(), and the CR LF state.
    std::optional<uint8_t> input_ahead;
    bool input_closed = false;
    bool after_return = false;
};

}  // namespace host
