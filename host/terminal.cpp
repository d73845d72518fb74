// The console on the controlling terminal in raw mode, or on the standard streams when there is none.
#include "host/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "host/keys.h"

namespace host {

namespace {

// How long a lone Escape waits for the rest of a sequence: terminals send a
// key's sequence in one piece, far faster than anyone types.
constexpr int escape_wait_milliseconds = 30;

// The signal handlers put the terminal back wherever the run happens to be, so
// they need its descriptor and both settings outside any object. start() sets
// them before it installs the handlers; nothing changes them afterwards.
int handler_descriptor = -1;
termios saved_settings{};
termios raw_settings{};

constexpr int handled_signals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGCONT};

void install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

void unblock(int signal_number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// SIGQUIT, which Ctrl+\ raises through the terminal: the user ends the run.
// Files are written through unbuffered descriptors, so nothing is lost.
void end_run(int) {
    tcsetattr(handler_descriptor, TCSANOW, &saved_settings);
    _exit(0);
}

// SIGTERM, SIGHUP, SIGINT: the terminal is put back, then the process dies of
// the signal as it would have without a handler.
void die_of(int signal_number) {
    tcsetattr(handler_descriptor, TCSANOW, &saved_settings);
    install(signal_number, SIG_DFL);
    unblock(signal_number);
    raise(signal_number);
}

void resume(int) {
    const int saved_errno = errno;
    tcsetattr(handler_descriptor, TCSANOW, &raw_settings);
    errno = saved_errno;
}

// SIGTSTP: the terminal is put back for the shell, the process stops, and raw
// mode returns when it goes on. In an orphaned process group the kernel
// discards the stop, and raw mode returns at once.
void stop(int) {
    const int saved_errno = errno;
    tcsetattr(handler_descriptor, TCSANOW, &saved_settings);
    install(SIGTSTP, SIG_DFL);
    unblock(SIGTSTP);
    raise(SIGTSTP);
    install(SIGTSTP, stop);
    tcsetattr(handler_descriptor, TCSANOW, &raw_settings);
    errno = saved_errno;
}

// Raw mode as the console needs it: every key a byte, nothing echoed, output
// untouched. Signals stay on for Ctrl+\ alone, so a program that never reads
// a key can still be ended; Ctrl+C and Ctrl+Z are plain bytes.
termios raw_mode(termios settings) {
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | IEXTEN);
    settings.c_lflag |= ISIG;
    settings.c_cflag &= ~(CSIZE | PARENB);
    settings.c_cflag |= CS8;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VINTR] = _POSIX_VDISABLE;
    settings.c_cc[VSUSP] = _POSIX_VDISABLE;
    settings.c_cc[VQUIT] = 0x1C;
    return settings;
}

// Writes all of data; false when the descriptor refuses it.
bool write_all(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(descriptor, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= std::size_t(written);
    }
    return true;
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

// True when descriptor is the controlling terminal. (Comparing devices with
// fstat would not do: a descriptor opened as /dev/tty reports /dev/tty.)
bool is_controlling_terminal(int descriptor) { return isatty(descriptor) && tcgetsid(descriptor) == getsid(0); }

}  // namespace

void Terminal::start() {
    // Without a reader of the output, write(2) reports EPIPE and write_byte
    // ends the run quietly, instead of a death by SIGPIPE.
    install(SIGPIPE, SIG_IGN);
    const int opened = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (opened < 0)
        return;
    if (tcgetattr(opened, &saved_settings) != 0) {
        close(opened);
        return;
    }
    raw_settings = raw_mode(saved_settings);
    handler_descriptor = opened;
    install(SIGQUIT, end_run);
    install(SIGTERM, die_of);
    install(SIGHUP, die_of);
    install(SIGINT, die_of);
    install(SIGTSTP, stop);
    install(SIGCONT, resume);
    // TCSADRAIN and not TCSAFLUSH: keys typed before the start are kept.
    tcsetattr(opened, TCSADRAIN, &raw_settings);
    descriptor = opened;
    messages_need_return = is_controlling_terminal(STDOUT_FILENO);
}

Terminal::~Terminal() {
    if (descriptor < 0)
        return;
    // No handler may run between the restore and the removal of the
    // handlers, or a SIGCONT would bring raw mode back.
    sigset_t handled, previous;
    sigemptyset(&handled);
    for (int signal_number : handled_signals)
        sigaddset(&handled, signal_number);
    sigprocmask(SIG_BLOCK, &handled, &previous);
    for (int signal_number : handled_signals)
        install(signal_number, SIG_DFL);
    // The run is over: a late Ctrl+\ must not dump core.
    install(SIGQUIT, SIG_IGN);
    tcsetattr(descriptor, TCSADRAIN, &saved_settings);
    close(descriptor);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Waits up to timeout_milliseconds (-1: for ever) for bytes from the terminal
// and appends them to pending. False when none came; at the end of the
// terminal's input (it hung up) ended becomes true.
bool Terminal::receive(int timeout_milliseconds) {
    if (!readable(descriptor, timeout_milliseconds))
        return false;
    const ssize_t count = read(descriptor, pending.data() + pending_count, pending.size() - pending_count);
    if (count > 0) {
        pending_count += std::size_t(count);
        return true;
    }
    if (count == 0 || (errno != EINTR && errno != EAGAIN))
        ended = true;
    return false;
}

void Terminal::consume(std::size_t length) {
    std::copy(pending.begin() + length, pending.begin() + pending_count, pending.begin());
    pending_count -= length;
}

bool Terminal::key_waiting() {
    if (descriptor < 0) {
        while (!input_ahead && !input_closed && readable(STDIN_FILENO, 0))
            input_ahead = read_standard_input();
        return input_ahead.has_value();
    }
    // Bytes already read are a key for sure (a lone Escape at worst), so
    // more are read only when none are left: typed-ahead keys wait in the
    // terminal, not here.
    if (second_byte || pending_count > 0)
        return true;
    if (!ended && readable(descriptor, 0))
        receive(0);
    return pending_count > 0;
}

uint8_t Terminal::read_key() {
    if (descriptor < 0) {
        if (!input_ahead) {
            while (!input_closed && !input_ahead)
                input_ahead = read_standard_input();
            if (!input_ahead) {
                ended = true;
                return 0x0D;
            }
        }
        const uint8_t key = *input_ahead;
        input_ahead.reset();
        return key;
    }
    if (second_byte) {
        const uint8_t code = *second_byte;
        second_byte.reset();
        return code;
    }
    DecodedKey key;
    while ((key = decode_key({pending.data(), pending_count}, false)).length == 0) {
        if (ended)
            return 0x0D;
        const bool sequence_begun = pending_count > 0;
        if (!receive(sequence_begun ? escape_wait_milliseconds : -1) && sequence_begun && !ended) {
            key = decode_key({pending.data(), pending_count}, true);
            break;
        }
    }
    consume(key.length);
    if (key.count == 2)
        second_byte = key.bytes[1];
    return key.bytes[0];
}

// Reads one byte of standard input as a key: LF and CR LF read as one 0x0D,
// 0x08 as 0x7F. Nothing for the LF of a CR LF and at the end of input.
std::optional<uint8_t> Terminal::read_standard_input() {
    uint8_t byte;
    ssize_t count;
    do
        count = read(STDIN_FILENO, &byte, 1);
    while (count < 0 && errno == EINTR);
    if (count != 1) {
        input_closed = true;
        return std::nullopt;
    }
    const bool follows_return = after_return;
    after_return = byte == '\r';
    if (byte == '\n') {
        if (follows_return)
            return std::nullopt;
        byte = '\r';
    }
    return byte == 0x08 ? 0x7F : byte;
}

void Terminal::write_byte(uint8_t byte) {
    const int target = descriptor >= 0 ? descriptor : STDOUT_FILENO;
    if (!write_all(target, reinterpret_cast<const char*>(&byte), 1) && errno == EPIPE)
        _exit(0);
}

void Terminal::write_message(std::string_view text) {
    if (!messages_need_return) {
        write_all(STDOUT_FILENO, text.data(), text.size());
        return;
    }
    std::string lines;
    for (char character : text) {
        if (character == '\n')
            lines += '\r';
        lines += character;
    }
    write_all(STDOUT_FILENO, lines.data(), lines.size());
}

}  // namespace host
