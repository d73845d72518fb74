// Runs the real kavo executable on a pseudo-terminal, as a user starts it from a shell.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
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

#include "tests/run.h"

namespace test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A script for /bin/sh -c, which finds kavo by that name.
struct Shell {
    std::string script;
};

// kavo on a new pseudo-terminal that is its controlling terminal and its
// standard streams, as when a user starts it from a shell. Killed at the end
// if still running.
class PtyRun {
public:
    // Starts kavo with arguments in directory; the terminal starts in
    // settings, or in the system's defaults for a new pty, and has size
    // (none by default).
    PtyRun(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
           const termios* settings = nullptr, const winsize* size = nullptr) {
        std::vector<char*> argument_vector = kavo_argument_vector(arguments);
        start(settings, [&] { execute_kavo(directory, argument_vector.data()); }, size);
    }
    // Runs a shell script on the terminal instead, in directory, with kavo's
    // directory first on PATH: the redirections, pipes and jobs are the shell's.
    PtyRun(const Shell& shell, const std::filesystem::path& directory, const termios* settings = nullptr) {
        const std::string path = std::filesystem::path(KAVO_EXECUTABLE).parent_path().string() + ":" +
                                 (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
        start(settings, [&] {
            setenv("PATH", path.c_str(), 1);
            if (chdir(directory.c_str()) == 0)
                execl("/bin/sh", "sh", "-c", shell.script.c_str(), nullptr);
            _exit(127);
        });
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

    // Reads output until it contains text (from the byte at from on); false
    // at the timeout or when the terminal closes first.
    bool wait_for(std::string_view text, Clock::duration timeout = 10s, std::size_t from = 0) {
        const auto deadline = Clock::now() + timeout;
        while (output.find(text, from) == std::string::npos) {
            pollfd request{master, POLLIN, 0};
            if (poll(&request, 1, milliseconds_until(deadline)) <= 0 || !read_available())
                return false;
        }
        return true;
    }

    // Reads output until done(output) holds; false at the timeout or when the
    // terminal closes first.
    template <typename Done>
    bool wait_until(Done done, Clock::duration timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        while (!done(output)) {
            pollfd request{master, POLLIN, 0};
            if (poll(&request, 1, milliseconds_until(deadline)) <= 0 || !read_available())
                return false;
        }
        return true;
    }

    // Gives the terminal a new size, which sends SIGWINCH to kavo's job.
    void resize(const winsize& size) { ioctl(master, TIOCSWINSZ, &size); }

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
    template <typename Execute>
    void start(const termios* settings, Execute execute, const winsize* size = nullptr) {
        int slave = -1;
        if (openpty(&master, &slave, nullptr, settings, size) != 0)
            return;
        tcgetattr(slave, &settings_before);
        pid = fork();
        if (pid == 0) {
            close(master);
            if (login_tty(slave) != 0)
                _exit(127);
            execute();
        }
        close(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }

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

// True for the wait status of a process that exited with status 0.
inline bool exited_with_zero(std::optional<int> wait_status) {
    return wait_status && WIFEXITED(*wait_status) && WEXITSTATUS(*wait_status) == 0;
}

// True for the wait status of a process that exited with status.
inline bool exited_with(std::optional<int> wait_status, int status) {
    return wait_status && WIFEXITED(*wait_status) && WEXITSTATUS(*wait_status) == status;
}

}  // namespace test
