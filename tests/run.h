// Running the real executable without a terminal: temporary directories, piped input and captured output.
#pragma once

#include <fcntl.h>
#include <signal.h>
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
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

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
    int status = -1;     // exit status, or 128 + signal
};

// What a test changes in the child before kavo starts (limits, user, mounts);
// it runs before the child enters the directory. False ends the child with
// status 125: the test could not set up the run.
using ChildSetup = std::function<bool()>;
constexpr int setup_failed = 125;

// Runs kavo with the arguments in directory, in a session of its own so that
// it has no controlling terminal: keys come from input, console output and
// messages from standard output. A run that outlives the timeout is killed.
inline Result run_kavo(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
                       const std::string& input = "", std::chrono::seconds timeout = std::chrono::seconds(60),
                       const ChildSetup& setup = {}) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        return {};
    pid_t child = fork();
    if (child == 0) {
        setsid();
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        if (setup && !setup())
            _exit(setup_failed);
        if (chdir(directory.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv{const_cast<char*>(KAVO_EXECUTABLE)};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(KAVO_EXECUTABLE, argv.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    if (input.empty())
        close(to_child[1]);
    Result result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool input_open = !input.empty();
    for (;;) {
        pollfd descriptors[2] = {{from_child[0], POLLIN, 0}, {input_open ? to_child[1] : -1, POLLOUT, 0}};
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) {
            kill(child, SIGKILL);
            break;
        }
        if (poll(descriptors, 2, left) <= 0)
            continue;
        if (descriptors[1].revents) {
            ssize_t count = write(to_child[1], input.data() + written, input.size() - written);
            if (count > 0)
                written += std::size_t(count);
            if (count <= 0 || written == input.size()) {
                close(to_child[1]);
                input_open = false;
            }
        }
        if (descriptors[0].revents) {
            char buffer[4096];
            ssize_t count = read(from_child[0], buffer, sizeof buffer);
            if (count <= 0)
                break;
            result.output.append(buffer, std::size_t(count));
        }
    }
    if (input_open)
        close(to_child[1]);
    close(from_child[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
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
