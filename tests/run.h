// Running the real executable without a terminal: temporary directories, piped input and captured output.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <poll.h>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace test {

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kavo-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    void write(const std::string& name, const std::vector<unsigned char>& contents) const {
        std::ofstream(path_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(contents.data()), std::streamsize(contents.size()));
    }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), {}};
}
inline void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

struct Result {
    std::string output;  // standard output: console output and the system's messages
    int status = -1;     // exit status, or 128 + signal; -1 when killed at the timeout
};

// What a test changes in the child before kavo starts (limits, user, mounts);
// it runs before the child enters the directory. False ends the child with
// status 125: the test could not set up the run.
using ChildSetup = std::function<bool()>;
constexpr int setup_failed = 125;

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
inline int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Runs kavo with the arguments in directory, in a session of its own so that
// it has no controlling terminal: keys come from input, then its end; console
// output and messages from standard output, read to its end. Input that fits
// in the pipe is there before kavo starts, so what kavo sees does not depend
// on timing. A run that outlives the timeout is killed.
inline Result run_kavo(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
                       std::string_view input = "", std::chrono::seconds timeout = std::chrono::seconds(60),
                       const ChildSetup& setup = {}) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        return {};
    // SIGPIPE would end the test if kavo ends before reading all input.
    signal(SIGPIPE, SIG_IGN);
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    const ssize_t written_ahead = write(to_child[1], input.data(), input.size());
    if (written_ahead > 0)
        input.remove_prefix(std::size_t(written_ahead));
    std::vector<char*> argument_vector = kavo_argument_vector(arguments);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        if (setup && !setup())
            _exit(setup_failed);
        execute_kavo(directory, argument_vector.data());
    }
    close(to_child[0]);
    close(from_child[1]);
    int input_descriptor = to_child[1];
    if (input.empty()) {
        close(input_descriptor);
        input_descriptor = -1;
    }
    Result result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
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
            result.output.append(buffer, std::size_t(count));
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
        kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (!timed_out)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// What run_kavo_keeping_errors gives: the run, and what kavo wrote on
// standard error.
struct ResultWithErrors : Result {
    std::string errors;
};

// run_kavo, with kavo's standard error kept in a file outside directory and
// returned with the rest.
inline ResultWithErrors run_kavo_keeping_errors(const std::filesystem::path& directory,
                                                const std::vector<std::string>& arguments,
                                                std::string_view input = "") {
    TemporaryDirectory errors_directory;
    const std::filesystem::path errors_path = errors_directory / "errors";
    ResultWithErrors result;
    static_cast<Result&>(result) = run_kavo(directory, arguments, input, std::chrono::seconds(60), [&] {
        const int descriptor = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        return descriptor >= 0 && dup2(descriptor, STDERR_FILENO) >= 0;
    });
    result.errors = read_file(errors_path);
    return result;
}

// In the child (or the test itself): a mount namespace of its own (a user
// namespace too when not root) with a tmpfs of size ("64k") over directory,
// so nothing else sees it. False when the host allows none.
inline bool mount_small_file_system(const std::filesystem::path& directory, const std::string& size = "64k") {
    const uid_t user = geteuid();
    const gid_t group = getegid();
    if (unshare(CLONE_NEWNS) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        auto write_map = [](const char* file, const std::string& text) {
            std::ofstream stream(file);
            stream << text;
            return bool(stream.flush());
        };
        if (!write_map("/proc/self/setgroups", "deny") ||
            !write_map("/proc/self/uid_map", std::to_string(user) + " " + std::to_string(user) + " 1") ||
            !write_map("/proc/self/gid_map", std::to_string(group) + " " + std::to_string(group) + " 1"))
            return false;
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", directory.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

// A file of the CP/M test material beside the repository. Without it the
// test is skipped, except in CI, where the material must be there.
#define KAVO_REQUIRE_SHARED(relative_path, path_variable)                                          \
    const std::filesystem::path path_variable = std::filesystem::path(KAVO_SHARED_DIR) / (relative_path); \
    if (!std::filesystem::exists(path_variable)) {                                                  \
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")                          \
            FAIL() << "test material missing in CI: " << path_variable;                             \
        GTEST_SKIP() << "test material not found: " << path_variable;                              \
    }

}  // namespace test
