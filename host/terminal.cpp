// The console on the standard streams: raw keys or script text in, output held unless it goes to a terminal.
#include "host/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "host/keys.h"

namespace host {

namespace {

// How long a lone Escape waits for the rest of a sequence: terminals send a
// key's sequence in one piece, far faster than anyone types.
constexpr int escape_wait_milliseconds = 30;

// Ctrl+\, which ends a run. Its status is the shell's for a run the user
// interrupted (128 + SIGINT); SIGQUIT from elsewhere ends it with the status
// the shell reports for a process SIGQUIT ended (128 + SIGQUIT), as every
// other program of the job that got it reports: the run did not finish, and
// kavo only spares the core dump and the raw terminal.
constexpr std::uint8_t quit_key = 0x1C;
constexpr int quit_key_status = 128 + SIGINT;
constexpr int quit_signal_status = 128 + SIGQUIT;

// The signal handlers write out held output and put the terminal back
// wherever the run happens to be, so they need these outside any object.
// start() sets them before it installs the handlers.
HeldOutput* handler_output = nullptr;
int handler_descriptor = -1;  // the terminal kavo put in raw mode; -1 when it changed none
TypedBytes* handler_typed = nullptr;
int handler_watch = -1;    // the terminal's descriptor for SIGIO; -1 without one
termios saved_settings{};  // as kavo found the terminal
termios raw_settings{};    // as kavo sets it
termios raw_in_force{};    // raw mode as the terminal reports it back, to recognise it

// What the ending handlers write after held output: the resets of the modes
// the translated screen turned on, and the leaving of the alternate screen.
// Main code changes it with the ending signals blocked.
struct EndingBytes {
    std::array<char, 64> bytes{};
    std::size_t length = 0;
};
EndingBytes handler_ending;

// Set by SIGWINCH, which also writes a byte into the pipe whose other end
// a wait for a key polls.
volatile sig_atomic_t resize_requested = 0;
int resize_writer = -1;

// The alternate screen, and the whole screen as scroll region again.
constexpr std::string_view enter_alternate_screen = "\033[?1049h";
constexpr std::string_view leave_alternate_screen = "\033[r\033[?1049l";

void end_run(int);
void die_of(int);
void take_typed(int);
void stop(int);
void resume(int);

// Every signal kavo may handle, with its handler, when it is needed (SIGQUIT,
// from Ctrl+\ on a terminal not in raw mode, ends every run cleanly,
// wherever the keys come from), and whether the handler may end the run,
// writing out held output.
using Need = HandlerNeed;
struct HandledSignal {
    int number;
    void (*handler)(int);
    Need need;
    bool ending;
};
constexpr HandledSignal handled_signals[] = {
    {SIGTERM, die_of, Need::held_output, true}, {SIGHUP, die_of, Need::held_output, true},
    {SIGINT, die_of, Need::held_output, true},  {SIGQUIT, end_run, Need::always, true},
    {SIGIO, take_typed, Need::terminal, true},  {SIGTSTP, stop, Need::terminal, false},
    {SIGCONT, resume, Need::terminal, false},
};

sigset_t set_of_handled(bool ending_only) {
    sigset_t set;
    sigemptyset(&set);
    for (const HandledSignal& handled : handled_signals)
        if (!ending_only || handled.ending)
            sigaddset(&set, handled.number);
    return set;
}

// The signal number's bit in Terminal::installed.
unsigned bit_of(int signal_number) {
    for (std::size_t index = 0; index < std::size(handled_signals); ++index)
        if (handled_signals[index].number == signal_number)
            return 1u << index;
    return 0;
}

// Blocks SIGIO while it lives, when there is a watch: main code is using
// the typed bytes.
class TypedBytesTaken {
public:
    explicit TypedBytesTaken(bool watching) : watching(watching) {
        if (watching) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGIO);
            sigprocmask(SIG_BLOCK, &set, &previous);
        }
    }
    ~TypedBytesTaken() {
        if (watching)
            sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    TypedBytesTaken(const TypedBytesTaken&) = delete;
    TypedBytesTaken& operator=(const TypedBytesTaken&) = delete;

private:
    bool watching;
    sigset_t previous;
};

// Handlers never interrupt each other: each runs with all of them blocked.
void install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = set_of_handled(false);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

bool ignored(int signal_number) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return current.sa_handler == SIG_IGN;
}

void unblock(int signal_number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

bool same_settings(const termios& first, const termios& second) {
    return first.c_iflag == second.c_iflag && first.c_oflag == second.c_oflag && first.c_cflag == second.c_cflag &&
           first.c_lflag == second.c_lflag && std::equal(std::begin(first.c_cc), std::end(first.c_cc), second.c_cc);
}

// tcsetattr with SIGTTOU blocked. From a background process group (a job
// moved there, a kill from outside while there) the change would otherwise
// stop the process, inside a signal handler for ever.
void set_terminal(int descriptor, int when, const termios& settings) {
    sigset_t ttou, previous;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &previous);
    tcsetattr(descriptor, when, &settings);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Puts the terminal back as kavo found it, if it is in kavo's raw mode: after
// a stop, the shell's own settings stay.
void restore_terminal() {
    termios now;
    if (handler_descriptor >= 0 && tcgetattr(handler_descriptor, &now) == 0 && same_settings(now, raw_in_force))
        set_terminal(handler_descriptor, TCSANOW, saved_settings);
}

// True when kavo's process group is the terminal's foreground, or the
// terminal is not the controlling one and has no foreground for kavo.
bool in_foreground(int descriptor) {
    const pid_t foreground = tcgetpgrp(descriptor);
    return foreground < 0 || foreground == getpgrp();
}

// Writes all of data; the errno of the failure, or 0. A descriptor left
// non-blocking by someone else is waited for, not given up.
int write_all(int descriptor, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(descriptor, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd request{descriptor, POLLOUT, 0};
                poll(&request, 1, -1);
                continue;
            }
            return errno;
        }
        data += written;
        size -= std::size_t(written);
    }
    return 0;
}

// Writes out held output, unless an earlier write failed; the errno of a
// failure, or 0. Main code holds the ending signals blocked while it writes,
// so a handler never writes the same bytes again.
int write_held(HeldOutput& output) {
    const std::size_t length = output.length.load(std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_acquire);
    int error = output.error.load(std::memory_order_relaxed);
    if (length > 0 && error == 0) {
        if (output.line.active)
            output.line.follow({output.bytes.data(), length});
        error = write_all(STDOUT_FILENO, output.bytes.data(), length);
        output.error.store(error, std::memory_order_relaxed);
    }
    output.length.store(0, std::memory_order_relaxed);
    return error;
}

// The ending bytes, after held output (written even after an output error,
// whose terminal may still take them). Safe in a signal handler.
void write_ending() {
    write_all(STDOUT_FILENO, reinterpret_cast<const std::uint8_t*>(handler_ending.bytes.data()), handler_ending.length);
}

// The end of the output of a run: held output written out, then CR LF when
// the cursor of the terminal it goes to stands inside a line, so that the
// shell's prompt starts a line of its own. The errno of a failure, or 0.
// Safe in a signal handler.
int end_output(HeldOutput& output) {
    int error = write_held(output);
    write_ending();
    if (error == 0 && output.line.active && !output.line.at_line_start) {
        static constexpr std::uint8_t line_end[] = {'\r', '\n'};
        error = write_all(STDOUT_FILENO, line_end, sizeof line_end);
        output.error.store(error, std::memory_order_relaxed);
        output.line.at_line_start = true;
    }
    return error;
}

// The exit status after output that failed with error (0: it did not): 1,
// with one line on standard error; a reader that went away (EPIPE) ends the
// run quietly with 0. Safe in a signal handler.
int report_output_error(int error) {
    if (error == 0 || error == EPIPE)
        return 0;
    const char* parts[] = {"kavo: standard output: ", strerrordesc_np(error), "\n"};
    for (const char* part : parts)
        if (part)
            write_all(STDERR_FILENO, reinterpret_cast<const std::uint8_t*>(part), std::strlen(part));
    return 1;
}

// Ends the process with status, or with 1 after reporting that output could
// not be written, once the output is ended and the terminal put back. Files
// are written through unbuffered descriptors, so nothing is lost.
[[noreturn]] void end_process(int status) {
    const int output_status = report_output_error(end_output(*handler_output));
    restore_terminal();
    _exit(output_status != 0 ? output_status : status);
}

// SIGQUIT, which Ctrl+\ raises through a terminal not in raw mode (or
// someone sends): the user ends the run.
void end_run(int) { end_process(quit_signal_status); }

// SIGTERM, SIGHUP, SIGINT: the output is ended and the terminal put back,
// then the process dies of the signal as it would have without a handler.
void die_of(int signal_number) {
    end_output(*handler_output);
    restore_terminal();
    install(signal_number, SIG_DFL);
    unblock(signal_number);
    raise(signal_number);
}

// SIGIO: keys arrived at the raw terminal while main code is not reading
// them, as when the program computes. They are read at once, so that a
// Ctrl+\ among them ends the run even when the program never asks for a
// key; the others wait in the typed bytes, in order. In the background the
// keys are the shell's, and nothing is read.
void take_typed(int) {
    const int saved_errno = errno;
    if (handler_watch >= 0 && in_foreground(handler_watch)) {
        TypedBytes& typed = *handler_typed;
        std::size_t count = typed.count.load(std::memory_order_relaxed);
        ssize_t received;
        while (count < typed.bytes.size() &&
               (received = read(handler_watch, typed.bytes.data() + count, typed.bytes.size() - count)) > 0) {
            const auto begin = typed.bytes.begin() + count;
            if (std::find(begin, begin + received, quit_key) != begin + received)
                end_process(quit_key_status);
            count += std::size_t(received);
        }
        std::atomic_signal_fence(std::memory_order_release);
        typed.count.store(count, std::memory_order_relaxed);
    }
    errno = saved_errno;
}

// SIGWINCH: the host terminal's size changed. Main code redraws the screen.
void note_resize(int) {
    const int saved_errno = errno;
    resize_requested = 1;
    const char byte = 0;
    if (write(resize_writer, &byte, 1) < 0) {
        // The pipe is full: a wake-up is already waiting.
    }
    errno = saved_errno;
}

// The size of the terminal on standard output; 80 x 24 when it has none.
HostSize host_terminal_size() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
        return {};
    return {size.ws_row, size.ws_col};
}

// SIGCONT: raw mode returns when the job goes on in the foreground. In the
// background the terminal is the shell's; a read stops the job there.
void resume(int) {
    const int saved_errno = errno;
    if (in_foreground(handler_descriptor))
        set_terminal(handler_descriptor, TCSANOW, raw_settings);
    errno = saved_errno;
}

// SIGTSTP: the terminal is put back for the shell, the process stops, and raw
// mode returns when it goes on. In an orphaned process group the kernel
// discards the stop, and raw mode returns at once.
void stop(int) {
    const int saved_errno = errno;
    restore_terminal();
    install(SIGTSTP, SIG_DFL);
    unblock(SIGTSTP);
    raise(SIGTSTP);
    install(SIGTSTP, stop);
    resume(SIGCONT);
    errno = saved_errno;
}

// Raw mode as the console needs it: every key a byte, nothing echoed, output
// untouched, and no key raising a signal: Ctrl+C and Ctrl+Z are plain bytes,
// and Ctrl+\ is read as a key, so that it ends kavo alone and not the other
// programs of its pipeline, which see the end of their input.
termios raw_mode(termios settings) {
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | IEXTEN | ISIG);
    settings.c_cflag &= ~(CSIZE | PARENB);
    settings.c_cflag |= CS8;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return settings;
}

// The terminal on standard input opened anew, not blocking, with SIGIO for
// this process when keys arrive; -1 when that cannot be had. A description
// of its own, so that the flags never reach the shell's.
int open_watch() {
    const char* name = ttyname(STDIN_FILENO);
    int watch = name ? open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    if (watch >= 0 && (fcntl(watch, F_SETOWN, getpid()) != 0 || fcntl(watch, F_SETFL, O_NONBLOCK | O_ASYNC) != 0)) {
        close(watch);
        watch = -1;
    }
    return watch;
}

// True when the terminal on descriptor turns LF into CR LF on output.
bool returns_on_line_feed(int descriptor) {
    termios settings;
    return tcgetattr(descriptor, &settings) == 0 && (settings.c_oflag & OPOST) && (settings.c_oflag & ONLCR);
}

// True when a read of descriptor would not wait: data, end of input or an error.
bool readable(int descriptor, int timeout_milliseconds) {
    pollfd request{descriptor, POLLIN, 0};
    int ready;
    do
        ready = poll(&request, 1, timeout_milliseconds);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// Waits, stopped, while kavo's job is in the background of the terminal, as
// a read would stop it: tcdrain raises SIGTTOU there. False when the terminal
// is not kavo's to change: its process group is orphaned (EIO), or SIGTTOU is
// ignored or blocked and the job still in the background.
bool wait_for_foreground(int descriptor) {
    int result;
    do
        result = tcdrain(descriptor);
    while (result < 0 && errno == EINTR);
    return result == 0 && in_foreground(descriptor);
}

// True when output is the terminal that input is: the same device, or the
// controlling terminal reached through /dev/tty.
bool same_terminal(int input, int output) {
    if (!isatty(output))
        return false;
    struct stat input_status {};
    struct stat output_status {};
    if (fstat(input, &input_status) == 0 && fstat(output, &output_status) == 0 &&
        input_status.st_rdev == output_status.st_rdev)
        return true;
    const pid_t session = tcgetsid(input);
    return session >= 0 && tcgetsid(output) == session;
}

}  // namespace

void LineFollower::follow(std::span<const std::uint8_t> written) {
    for (const std::uint8_t byte : written) {
        if (escape == Escape::begun) {
            escape = byte == '[' ? Escape::control_sequence : Escape::none;
            if (byte != '[')
                at_line_start = false;
        } else if (escape == Escape::control_sequence) {
            if (byte >= 0x40 && byte <= 0x7E) {
                // The final byte: attributes, erasing and modes leave the cursor.
                escape = Escape::none;
                if (byte != 'm' && byte != 'K' && byte != 'J' && byte != 'h' && byte != 'l')
                    at_line_start = false;
            }
        } else if (byte == 0x1B) {
            escape = Escape::begun;
        } else if (byte == '\r' || (byte == '\n' && line_feed_returns)) {
            at_line_start = true;
        } else if (byte >= 0x20 || byte == '\t') {
            at_line_start = false;
        }
    }
}

void Terminal::start(TerminalModel model, KeyProfile keys, std::string_view name) {
    key_model = model;
    key_profile = keys;
    screen = ScreenTranslator(model);
    output_is_terminal = isatty(STDOUT_FILENO);
    held.line.active = output_is_terminal;
    held.line.line_feed_returns = output_is_terminal && returns_on_line_feed(STDOUT_FILENO);
    errors_share_screen = output_is_terminal && same_terminal(STDOUT_FILENO, STDERR_FILENO);
    handler_output = &held;
    int resize_pipe[2];
    screen_owned = output_is_terminal && translates() && pipe2(resize_pipe, O_NONBLOCK | O_CLOEXEC) == 0;
    update_ending();
    const sigset_t handled = set_of_handled(false);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    // A translated screen has modes to turn off at every end.
    install_handlers(output_is_terminal && !translates() ? Need::always : Need::held_output);
    if (screen_owned) {
        resize_reader = resize_pipe[0];
        resize_writer = resize_pipe[1];
        resize_requested = 0;
        if (!ignored(SIGWINCH))
            install(SIGWINCH, note_resize);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (screen_owned) {
        terminal_name = name;
        host_size = host_terminal_size();
        warning = small_screen_warning(host_size, terminal_name);
        hold(enter_alternate_screen);
        hold(redraw_screen(screen.screen(), host_size, warning));
        write_out();
    }
    terminal_untaken = isatty(STDIN_FILENO);
    if (terminal_untaken && in_foreground(STDIN_FILENO))
        take_terminal();
}

// Installs the handlers needed up to need (in the order always, held output,
// terminal) not yet installed, but none on a signal ignored at the start.
void Terminal::install_handlers(Need need) {
    for (std::size_t index = 0; index < std::size(handled_signals); ++index) {
        const HandledSignal& handled = handled_signals[index];
        if (!(installed & 1u << index) && handled.need <= need && !ignored(handled.number)) {
            install(handled.number, handled.handler);
            installed |= 1u << index;
        }
    }
}

// Puts the terminal on standard input in raw mode, with the handlers that put
// it back. False, and keys are read from the stream as it is, when it cannot
// be had: it has no settings, or the job is still in the background (its
// process group orphaned, or SIGTTOU ignored).
bool Terminal::take_terminal() {
    terminal_untaken = false;
    termios found;
    if (!in_foreground(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &found) != 0)
        return false;
    // No handler may run before everything it uses is set.
    const sigset_t handled = set_of_handled(false);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    saved_settings = found;
    raw_settings = raw_mode(found);
    // TCSADRAIN and not TCSAFLUSH: keys typed before the start are kept.
    set_terminal(STDIN_FILENO, TCSADRAIN, raw_settings);
    tcgetattr(STDIN_FILENO, &raw_in_force);
    handler_descriptor = descriptor = STDIN_FILENO;
    messages_need_return = same_terminal(STDIN_FILENO, STDOUT_FILENO);
    if (messages_need_return)
        held.line.line_feed_returns = false;
    install_handlers(Need::terminal);
    if (installed & bit_of(SIGIO)) {
        handler_typed = &typed;
        handler_watch = watch = open_watch();
        // Keys typed before the watch began raised no SIGIO: the handler
        // takes them as the signals are unblocked.
        if (watch >= 0)
            raise(SIGIO);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

int Terminal::finish() {
    if (exit_status)
        return *exit_status;
    // A resize still to be redrawn replaces what is held, so the mode
    // resets go out after it.
    flush();
    if (translates()) {
        hold(screen.finish());
        write_out();
    }
    // No handler may run between the restore and the removal of the
    // handlers, or a SIGCONT would bring raw mode back.
    const sigset_t handled = set_of_handled(false);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    // The mode resets went out with the translation's finish above; only
    // the leaving of an alternate screen comes before the line end.
    if (!screen_owned)
        handler_ending.length = 0;
    end_output(held);
    if (watch >= 0) {
        close(watch);
        handler_watch = watch = -1;
        handler_typed = nullptr;
        // Ignoring a signal drops it when it is pending: no SIGIO that came
        // meanwhile may reach its default action, which ends the process.
        install(SIGIO, SIG_IGN);
    }
    for (std::size_t index = 0; index < std::size(handled_signals); ++index)
        if (installed & 1u << index)
            install(handled_signals[index].number, SIG_DFL);
    installed = 0;
    if (screen_owned) {
        if (!ignored(SIGWINCH))
            install(SIGWINCH, SIG_DFL);
        write_all(STDOUT_FILENO, reinterpret_cast<const std::uint8_t*>(leave_alternate_screen.data()),
                  leave_alternate_screen.size());
        write_all(STDOUT_FILENO, reinterpret_cast<const std::uint8_t*>(messages_shown.data()), messages_shown.size());
        close(resize_reader);
        close(resize_writer);
        resize_reader = resize_writer = -1;
        screen_owned = false;
    }
    handler_ending.length = 0;
    if (descriptor >= 0) {
        // The run is over: a late Ctrl+\ must not dump core.
        if (!ignored(SIGQUIT))
            install(SIGQUIT, SIG_IGN);
        termios now;
        if (tcgetattr(descriptor, &now) == 0 && same_settings(now, raw_in_force))
            set_terminal(descriptor, TCSADRAIN, saved_settings);
        handler_descriptor = descriptor = -1;
        messages_need_return = false;
    }
    handler_output = nullptr;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    exit_status = report_output_error(held.error.load(std::memory_order_relaxed));
    if (*exit_status == 0 && quit_typed)
        exit_status = quit_key_status;
    return *exit_status;
}

void Terminal::flush() {
    if (screen_owned)
        settle_screen();
    write_out();
}

// Writes out held output, with the ending handlers held off meanwhile.
void Terminal::write_out() {
    if (held.length.load(std::memory_order_relaxed) == 0)
        return;
    const sigset_t ending = set_of_handled(true);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &ending, &previous);
    write_held(held);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Appends bytes to held output, whole when they fit in it: what is held is
// written out first when they do not fit beside it.
void Terminal::hold(std::string_view bytes) {
    while (!bytes.empty()) {
        if (held.length.load(std::memory_order_relaxed) + bytes.size() > held.bytes.size())
            write_out();
        const std::string_view piece = bytes.substr(0, held.bytes.size());
        for (char byte : piece)
            write_byte(std::uint8_t(byte));
        bytes.remove_prefix(piece.size());
    }
}

void Terminal::write_translated(std::uint8_t byte) {
    hold(screen.put(byte));
    if (screen.modes_left_on() != ending_modes)
        update_ending();
}

// After SIGWINCH, held output gives way to a redraw of the whole screen on
// the host's new size (the model holds all it drew). Else, while the host is
// too small, the warning is painted again after new output, which may have
// cleared or scrolled it.
void Terminal::settle_screen() {
    if (resize_requested) {
        char drained[64];
        while (read(resize_reader, drained, sizeof drained) > 0) {
        }
        resize_requested = 0;
        host_size = host_terminal_size();
        warning = small_screen_warning(host_size, terminal_name);
        const sigset_t ending = set_of_handled(true);
        sigset_t previous;
        sigprocmask(SIG_BLOCK, &ending, &previous);
        held.length.store(0, std::memory_order_relaxed);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        hold(redraw_screen(screen.screen(), host_size, warning));
    } else if (!warning.empty() && held.length.load(std::memory_order_relaxed) > 0) {
        hold(show_warning(screen.screen(), host_size, warning));
    }
}

// Sets the bytes the ending handlers write to the resets of the modes the
// screen has turned on so far, and the leaving of the alternate screen.
void Terminal::update_ending() {
    ending_modes = screen.modes_left_on();
    std::string ending = screen.mode_resets();
    if (screen_owned)
        ending += leave_alternate_screen;
    const sigset_t handled = set_of_handled(false);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    handler_ending.length = std::min(ending.size(), handler_ending.bytes.size());
    std::copy_n(ending.begin(), handler_ending.length, handler_ending.bytes.begin());
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void Terminal::write_message(std::string_view text) {
    std::string line;
    for (char character : text) {
        if (character == '\n' && (messages_need_return || screen_owned))
            line += '\r';
        line += character;
    }
    if (translates()) {
        hold(screen.put_text(line));
        if (screen_owned) {
            // The last 4 KiB, from a line's start, for the shell's screen.
            constexpr std::size_t kept = 4096;
            messages_shown += line;
            if (messages_shown.size() > kept) {
                const std::size_t line_end = messages_shown.find('\n', messages_shown.size() - kept);
                messages_shown.erase(0, line_end == std::string::npos ? messages_shown.size() - kept : line_end + 1);
            }
        }
    } else {
        hold(line);
    }
    flush();
}

void Terminal::write_error(std::string_view text) {
    flush();
    const bool needs_return = descriptor >= 0 && same_terminal(descriptor, STDERR_FILENO);
    std::string line = errors_share_screen && !held.line.at_line_start ? "\r\n" : "";
    for (char character : text) {
        if (character == '\n' && needs_return)
            line += '\r';
        line += character;
    }
    write_all(STDERR_FILENO, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    if (errors_share_screen)
        held.line.at_line_start = line.ends_with('\n');
}

// Waits up to timeout_milliseconds (-1: for ever) for bytes from the terminal
// and appends them to the typed bytes. False when none came; at the end of
// the terminal's input (it hung up) ended becomes true, and when Ctrl+\ came
// the run ends.
bool Terminal::receive(int timeout_milliseconds) {
    const TypedBytesTaken taken(watch >= 0);
    if (!terminal_readable(timeout_milliseconds))
        return false;
    const std::size_t count = typed.count.load(std::memory_order_relaxed);
    const ssize_t received = read(descriptor, typed.bytes.data() + count, typed.bytes.size() - count);
    if (received > 0) {
        const auto begin = typed.bytes.begin() + count;
        if (std::find(begin, begin + received, quit_key) != begin + received) {
            quit();
            return false;
        }
        typed.count.store(count + std::size_t(received), std::memory_order_relaxed);
        return true;
    }
    if (received == 0 || (errno != EINTR && errno != EAGAIN))
        ended = true;
    return false;
}

// readable() for the terminal, but a resize while it waits is redrawn at
// once, and the wait goes on.
bool Terminal::terminal_readable(int timeout_milliseconds) {
    if (resize_reader < 0)
        return readable(descriptor, timeout_milliseconds);
    while (true) {
        pollfd requests[2] = {{descriptor, POLLIN, 0}, {resize_reader, POLLIN, 0}};
        const int ready = poll(requests, 2, timeout_milliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if (requests[0].revents != 0)
            return true;
        // The byte in the pipe is the resize, whatever became of the flag.
        resize_requested = 1;
        flush();
    }
}

// Takes length bytes off the front of the typed bytes; SIGIO is blocked.
void Terminal::consume(std::size_t length) {
    const std::size_t count = typed.count.load(std::memory_order_relaxed);
    std::copy(typed.bytes.begin() + length, typed.bytes.begin() + count, typed.bytes.begin());
    typed.count.store(count - length, std::memory_order_relaxed);
}

// Ctrl+\: the keys typed are dropped and the run ends with its status.
void Terminal::quit() {
    typed.count.store(0, std::memory_order_relaxed);
    second_byte.reset();
    quit_typed = true;
    ended = true;
}

bool Terminal::key_waiting() {
    // A job in the background has no keys; one brought to the foreground
    // takes the terminal now.
    if (terminal_untaken && !(in_foreground(STDIN_FILENO) && take_terminal()))
        return false;
    if (descriptor < 0) {
        if (!script_ahead)
            script_ahead = read_script(false);
        return script_ahead.has_value();
    }
    // Bytes already read are a key for sure (a lone Escape at worst), so
    // more are read only when none are left: typed-ahead keys wait in the
    // terminal, not here (unless the SIGIO handler took them).
    if (second_byte || typed.count.load(std::memory_order_relaxed) > 0)
        return true;
    if (!ended && readable(descriptor, 0))
        receive(0);
    return typed.count.load(std::memory_order_relaxed) > 0;
}

std::uint8_t Terminal::read_key() {
    flush();
    if (terminal_untaken && wait_for_foreground(STDIN_FILENO))
        take_terminal();
    terminal_untaken = false;
    if (descriptor < 0) {
        const std::optional<std::uint8_t> key = script_ahead ? script_ahead : read_script(true);
        script_ahead.reset();
        if (!key)
            ended = true;
        return key.value_or(0x0D);
    }
    if (second_byte) {
        const std::uint8_t code = *second_byte;
        second_byte.reset();
        return code;
    }
    const TypedBytesTaken taken(watch >= 0);
    const auto typed_so_far = [this] {
        return std::span<const std::uint8_t>(typed.bytes.data(), typed.count.load(std::memory_order_relaxed));
    };
    DecodedKey key;
    while ((key = decode_key(typed_so_far(), false, key_model, key_profile)).length == 0) {
        if (ended)
            return 0x0D;
        const bool sequence_begun = !typed_so_far().empty();
        if (!receive(sequence_begun ? escape_wait_milliseconds : -1) && sequence_begun && !ended) {
            key = decode_key(typed_so_far(), true, key_model, key_profile);
            break;
        }
    }
    consume(key.length);
    if (key.count == 2)
        second_byte = key.bytes[1];
    return key.bytes[0];
}

// The next key of the script text on standard input; nothing at its end, or
// when wait is false and no byte is there yet. Reads one byte at a time, so
// that what the run leaves unread stays for the next reader of the stream.
std::optional<std::uint8_t> Terminal::read_script(bool wait) {
    while (!script_closed) {
        if (!wait && !readable(STDIN_FILENO, 0))
            return std::nullopt;
        std::uint8_t byte;
        const ssize_t count = read(STDIN_FILENO, &byte, 1);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (errno == EAGAIN && !wait)
                return std::nullopt;
            readable(STDIN_FILENO, -1);
            continue;
        }
        if (count != 1) {
            script_closed = true;
            break;
        }
        const bool follows_return = after_return;
        after_return = byte == '\r';
        if (byte == '\n') {
            if (follows_return)
                continue;
            byte = '\r';
        }
        if (byte == 0x08)
            byte = 0x7F;
        line_open = byte != '\r';
        return byte;
    }
    if (!line_open)
        return std::nullopt;
    line_open = false;
    return 0x0D;
}

}  // namespace host
