// Runs the real kavo executable on a pseudo-terminal, or on pipes with no terminal at all, for tests of what a user sees.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavo_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A fresh directory, removed with its contents at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kavo-test-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    void write(const std::string& name, const std::vector<unsigned char>& contents) const {
        std::ofstream(path / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(contents.data()), std::streamsize(contents.size()));
    }

    std::filesystem::path path;
};

// The argument vector of kavo with arguments; points into arguments.
inline std::vector<char*> kavo_argument_vector(const std::vector<std::string>& arguments) {
    std::vector<char*> vector{const_cast<char*>(KAVO_EXECUTABLE)};
    for (const std::string& argument : arguments)
        vector.push_back(const_cast<char*>(argument.c_str()));
    vector.push_back(nullptr);
    return vector;
}

// In a forked child: runs kavo in directory, never returns.
[[noreturn]] inline void execute_kavo(const std::filesystem::path& directory, char** argument_vector) {
    if (chdir(directory.c_str()) == 0)
        execv(KAVO_EXECUTABLE, argument_vector);
    _exit(127);
}

// Milliseconds left until deadline, for poll(2).
inline int milliseconds_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// kavo on a new pseudo-terminal that is its controlling terminal and its
// standard streams, as when a user starts it from a shell. Killed at the end
// if still running.
class PtyRun {
public:
    // Starts kavo with arguments in directory; the terminal starts in
    // settings, or in the system's defaults for a new pty.
    PtyRun(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
           const termios* settings = nullptr) {
        int slave = -1;
        if (openpty(&master, &slave, nullptr, settings, nullptr) != 0)
            return;
        tcgetattr(slave, &settings_before);
        std::vector<char*> argument_vector = kavo_argument_vector(arguments);
        pid = fork();
        if (pid == 0) {
            close(master);
            if (login_tty(slave) != 0)
                _exit(127);
            execute_kavo(directory, argument_vector.data());
        }
        close(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyRun() {
        if (pid > 0 && !status) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0)
            close(master);
    }
    PtyRun(const PtyRun&) = delete;
    PtyRun& operator=(const PtyRun&) = delete;

    // Types keys, all of them, reading output meanwhile so that neither side
    // blocks the other. False when they could not all be written in time.
    bool type(std::string_view keys, Clock::duration timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        while (!keys.empty()) {
            pollfd request{master, POLLIN | POLLOUT, 0};
            if (poll(&request, 1, milliseconds_until(deadline)) <= 0)
                return false;
            if (request.revents & POLLIN)
                read_available();
            if (request.revents & POLLOUT) {
                const ssize_t written = write(master, keys.data(), keys.size());
                if (written > 0)
                    keys.remove_prefix(std::size_t(written));
            }
        }
        return true;
    }

    // Reads output until it contains text; false at the timeout or when the
    // terminal closes first.
    bool wait_for(std::string_view text, Clock::duration timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        while (output.find(text) == std::string::npos) {
            pollfd request{master, POLLIN, 0};
            if (poll(&request, 1, milliseconds_until(deadline)) <= 0 || !read_available())
                return false;
        }
        return true;
    }

    // Waits for kavo to end, reading its output to the last byte; its wait
    // status, or nothing at the timeout.
    std::optional<int> wait_exit(Clock::duration timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        while (!status) {
            int wait_status;
            if (waitpid(pid, &wait_status, WNOHANG) == pid)
                status = wait_status;
            else if (Clock::now() >= deadline)
                return std::nullopt;
            pollfd request{master, POLLIN, 0};
            if (poll(&request, 1, 10) > 0)
                read_available();
        }
        while (read_available()) {
        }
        return status;
    }

    // The terminal's settings now, as kavo left or set them.
    termios settings() const {
        termios now{};
        tcgetattr(master, &now);
        return now;
    }

    int master = -1;
    pid_t pid = -1;
    termios settings_before{};
    std::string output;  // everything kavo wrote so far
    std::optional<int> status;

private:
    // Appends what can be read now; false when nothing could.
    bool read_available() {
        char buffer[4096];
        const ssize_t count = read(master, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        output.append(buffer, std::size_t(count));
        return true;
    }
};

inline bool same_settings(const termios& first, const termios& second) {
    return first.c_iflag == second.c_iflag && first.c_oflag == second.c_oflag && first.c_cflag == second.c_cflag &&
           first.c_lflag == second.c_lflag && std::equal(std::begin(first.c_cc), std::end(first.c_cc), second.c_cc) &&
           cfgetispeed(&first) == cfgetispeed(&second) && cfgetospeed(&first) == cfgetospeed(&second);
}

struct PipeRun {
    std::string output;
    std::optional<int> status;  // nothing when kavo had to be killed at the timeout
};

// Runs kavo in a new session with no controlling terminal, so /dev/tty cannot
// be opened: input on standard input, then its end; standard output read to
// its end.
inline PipeRun run_without_terminal(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
                                    std::string_view input, Clock::duration timeout = 10s) {
    PipeRun run;
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        return run;
    // SIGPIPE would kill the test if kavo ends before reading all input.
    signal(SIGPIPE, SIG_IGN);
    // Input that fits in the pipe is all there before kavo starts, so what
    // kavo sees does not depend on timing.
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    const ssize_t written_ahead = write(to_child[1], input.data(), input.size());
    if (written_ahead > 0)
        input.remove_prefix(std::size_t(written_ahead));
    std::vector<char*> argument_vector = kavo_argument_vector(arguments);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        execute_kavo(directory, argument_vector.data());
    }
    close(to_child[0]);
    close(from_child[1]);
    int input_descriptor = to_child[1];
    if (input.empty()) {
        close(input_descriptor);
        input_descriptor = -1;
    }
    const auto deadline = Clock::now() + timeout;
    bool timed_out = false;
    for (;;) {
        pollfd requests[2] = {{from_child[0], POLLIN, 0}, {input_descriptor, POLLOUT, 0}};
        if (poll(requests, input_descriptor >= 0 ? 2 : 1, milliseconds_until(deadline)) <= 0) {
            timed_out = true;
            break;
        }
        if (requests[0].revents) {
            char buffer[4096];
            const ssize_t count = read(from_child[0], buffer, sizeof buffer);
            if (count <= 0)
                break;
            run.output.append(buffer, std::size_t(count));
        }
        if (input_descriptor >= 0 && requests[1].revents) {
            const ssize_t written = write(input_descriptor, input.data(), input.size());
            if (written > 0)
                input.remove_prefix(std::size_t(written));
            if (written < 0 || input.empty()) {
                close(input_descriptor);
                input_descriptor = -1;
            }
        }
    }
    if (input_descriptor >= 0)
        close(input_descriptor);
    close(from_child[0]);
    if (timed_out)
        kill(pid, SIGKILL);
    int wait_status;
    waitpid(pid, &wait_status, 0);
    if (!timed_out)
        run.status = wait_status;
    return run;
}

}  // namespace kavo_test
