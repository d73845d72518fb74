// The console on the standard streams: keys from standard input (raw when it is a terminal), bytes to standard output.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/keys.h"
#include "host/screen.h"

namespace host {

// Where the output written to a terminal left its cursor, as far as the
// start of a line goes: CR puts the cursor there, LF keeps its column (but on
// a terminal that returns on LF), text and escape sequences that may move
// the cursor take it away from there; other control bytes, and sequences that
// only set attributes or modes or erase, leave it as it was.
struct LineFollower {
    bool active = false;             // standard output is a terminal
    bool line_feed_returns = false;  // that terminal's ONLCR is on
    bool at_line_start = true;       // a run starts after the shell's Enter
    enum class Escape : std::uint8_t { none, begun, control_sequence } escape = Escape::none;

    void follow(std::span<const std::uint8_t> written);
};

// Console output not yet written. The signal handlers that end a run write
// it out, so the length is an atomic that a handler may read at any moment.
struct HeldOutput {
    std::array<std::uint8_t, 1 << 16> bytes{};
    std::atomic<std::size_t> length{0};
    std::atomic<int> error{0};  // errno of the write that failed; 0 while output works
    LineFollower line;          // followed as held output is written out
};

// Bytes read from the terminal and not yet decoded into keys. While the
// program runs, the SIGIO handler reads what is typed into it (so it finds
// Ctrl+\ at once); main code uses it with SIGIO blocked.
struct TypedBytes {
    std::array<std::uint8_t, 4096> bytes{};
    std::atomic<std::size_t> count{0};
};

// When kavo needs its handler on a signal, from the least to the most: for
// every run, while output is held, or only to put a changed terminal back.
enum class HandlerNeed { always, held_output, terminal };

// The console device's host side. Until start() it only writes messages.
//
// Keys come from standard input. When it is a terminal, it is in raw mode for
// the run; when it is not, its bytes are script text, as XSUB fed a CP/M
// program: read only by the calls that read a key. Console output and system
// messages go to standard output: held and written in large pieces when that
// is not a terminal, written at the end of every request of the program when
// it is.
//
// With a named terminal model the output is that terminal's screen,
// translated; on a host terminal it is drawn on the alternate screen, kept
// for the run and redrawn whole when the host terminal's size changes.
class Terminal {
public:
    Terminal() = default;
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    ~Terminal() { finish(); }

    // Starts the console for a run. A terminal on standard input goes into raw
    // mode when kavo's job has it in the foreground: at once, or when a key
    // is first asked for (a job in the background runs on until it reads a
    // key, and stops there until it is brought to the foreground, as any
    // reader of a terminal). Handlers put raw mode back on SIGTERM, SIGHUP,
    // SIGINT, SIGQUIT (ends the run with status 131) and SIGTSTP/SIGCONT. In raw
    // mode no key raises a signal: Ctrl+\ is read as a key whenever it is
    // typed, and ends the run with status 130.
    // When standard output is not a terminal, the ending handlers write out
    // held output. A signal ignored when kavo started stays ignored. Keys
    // that the named model's terminal had send its codes, unless the key
    // profile has codes of its own for them.
    //
    // With a named model console output is translated. When standard output
    // is a terminal, the run has the alternate screen: it is entered now and
    // left at every end (the ending handlers write the precomputed bytes
    // that also turn off every mode the program left on). On SIGWINCH the
    // model is redrawn whole at the next output or while a key is awaited;
    // while that terminal is smaller than 80 x 24, a warning naming
    // terminal_name holds its last line, painted again after every output.
    void start(TerminalModel model = TerminalModel::ansi, KeyProfile keys = KeyProfile::terminal,
               std::string_view terminal_name = {});

    // Ends the console: turns off the modes the translated screen left on,
    // writes out held output, leaves the alternate screen (then writes again
    // the system messages shown on it), puts the terminal back and removes
    // the handlers. Returns the exit status: 1 after reporting on
    // standard error that output could not be written, else 130 after Ctrl+\,
    // else 0 (also when the reader of the output went away). Later calls only return it again.
    int finish();

    // True when a key was typed and read_key() would return it at once, or the
    // second byte of a two-byte key waits. Never true for script text, nor
    // while kavo's job is in the background.
    bool key_typed() { return (descriptor >= 0 || terminal_untaken) && key_waiting(); }

    // True when read_key() would return at once with a key: a typed key, or
    // the next byte of script text (read ahead). The end of the script is not
    // a key, but the Enter that closes a last line without line end is.
    bool key_waiting();

    // Writes out held output, then waits for the next key. On a terminal,
    // escape sequences of function and cursor keys arrive as two bytes
    // (prefix 0x00 or 0xE0, then the code); Backspace and Ctrl+H read as
    // 0x7F. Script text reads LF and CR LF as one 0x0D and 0x08 as 0x7F; a
    // last line without line end gets its 0x0D. A read at the end of the
    // input (or after the terminal hung up, or Ctrl+\ was typed) returns
    // 0x0D and makes input_ended() true: the run ends.
    std::uint8_t read_key();
    bool input_ended() const { return ended; }

    // One byte of console output, unchanged; held until the next flush.
    void write_byte(std::uint8_t byte) {
        std::size_t length = held.length.load(std::memory_order_relaxed);
        if (length == held.bytes.size()) {
            flush();
            length = held.length.load(std::memory_order_relaxed);
        }
        held.bytes[length] = byte;
        // A handler that sees the new length must see the byte too.
        std::atomic_signal_fence(std::memory_order_release);
        held.length.store(length + 1, std::memory_order_relaxed);
    }

    // True when console output goes through write_translated().
    bool translates() const { return !screen.passes_through(); }
    // One byte of console output through the named model's translation;
    // held until the next flush, each host sequence whole.
    void write_translated(std::uint8_t byte);

    // The end of one request of the program: when standard output is a
    // terminal, what the request wrote appears now, in one write.
    void end_request() {
        if (output_is_terminal)
            flush();
    }

    // Writes out held output. When it cannot be written, output_failed()
    // becomes true and all further output is dropped.
    void flush();
    bool output_failed() const { return held.error.load(std::memory_order_relaxed) != 0; }

    // Writes a system message after the output before it, at once; while raw
    // mode is on and standard output is that terminal, each "\n" goes out as
    // CR LF. On a translated screen its text is part of the screen.
    void write_message(std::string_view text);
    // Writes a message on standard error after the output before it, at once;
    // "\n" goes out as CR LF while raw mode is on and standard error is that
    // terminal. On the terminal of the output it starts a line of its own.
    void write_error(std::string_view text);

private:
    void install_handlers(HandlerNeed need);
    bool take_terminal();
    bool receive(int timeout_milliseconds);
    void consume(std::size_t length);
    void quit();
    std::optional<std::uint8_t> read_script(bool wait);
    bool terminal_readable(int timeout_milliseconds);
    void hold(std::string_view bytes);
    void write_out();
    void settle_screen();
    void update_ending();

    HeldOutput held;
    bool output_is_terminal = false;
    unsigned installed = 0;          // bit i: kavo's handler is on the i-th handled signal
    std::optional<int> exit_status;  // set by finish()

    bool ended = false;
    int descriptor = -1;            // standard input in raw mode; -1 when it is not (yet)
    TerminalModel key_model = TerminalModel::ansi;
    KeyProfile key_profile = KeyProfile::terminal;
    bool terminal_untaken = false;  // standard input is a terminal that kavo's job has not had in the foreground yet
    bool messages_need_return = false;  // standard output is that terminal
    bool errors_share_screen = false;   // standard error is the terminal of standard output
    int watch = -1;                     // the terminal opened anew for SIGIO on typed keys; -1 without one
    bool quit_typed = false;            // Ctrl+\ ended the run

    TypedBytes typed;
    std::optional<std::uint8_t> second_byte;  // the code of a two-byte key whose prefix was read

    // Script text: a key read ahead by key_waiting(), and where the text stands.
    std::optional<std::uint8_t> script_ahead;
    bool script_closed = false;  // its end was read
    bool after_return = false;   // the last byte read was CR, so an LF is its line end
    bool line_open = false;      // the last key delivered was not a line end

    // The named model's screen, and the host terminal's alternate screen.
    ScreenTranslator screen;
    bool screen_owned = false;  // the alternate screen is the run's
    int resize_reader = -1;     // readable after SIGWINCH; -1 without the alternate screen
    HostSize host_size;
    std::string terminal_name;      // the model's name as given, for the warning
    std::string warning;            // on the host's last line while it is smaller than the screen
    std::string messages_shown;     // system messages on the alternate screen, written again after it
    std::uint8_t ending_modes = 0;  // the modes the ending handlers' bytes turn off
};

}  // namespace host
