// Lines of text on an unbuffered descriptor: standard error or a file created for them.
#include "host/line_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace host {

LineOutput::LineOutput() : LineOutput(STDERR_FILENO, false) {}

LineOutput::LineOutput(int descriptor, bool owned) : descriptor(descriptor), owned(owned) {
    terminal = isatty(descriptor);
    struct stat lines {};
    struct stat output {};
    shares_output = fstat(descriptor, &lines) == 0 && fstat(STDOUT_FILENO, &output) == 0 &&
                    lines.st_dev == output.st_dev && lines.st_ino == output.st_ino;
}

std::optional<LineOutput> LineOutput::create(const std::string& path, std::string& reason) {
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    return LineOutput(descriptor, true);
}

LineOutput::LineOutput(LineOutput&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)), owned(std::exchange(other.owned, false)),
      terminal(other.terminal), shares_output(other.shares_output), error(other.error) {}

LineOutput& LineOutput::operator=(LineOutput&& other) noexcept {
    if (this != &other) {
        if (owned)
            close(descriptor);
        descriptor = std::exchange(other.descriptor, -1);
        owned = std::exchange(other.owned, false);
        terminal = other.terminal;
        shares_output = other.shares_output;
        error = other.error;
    }
    return *this;
}

LineOutput::~LineOutput() {
    if (owned)
        close(descriptor);
}

void LineOutput::write_line(std::string_view text) {
    if (error != 0 || descriptor < 0)
        return;
    buffer.assign(text);
    buffer += terminal ? "\r\n" : "\n";
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t written = write(descriptor, buffer.data() + done, buffer.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {  // a descriptor someone left non-blocking is waited for
            pollfd request{descriptor, POLLOUT, 0};
            poll(&request, 1, -1);
            continue;
        }
        if (written <= 0) {
            error = written < 0 ? errno : EIO;
            return;
        }
        done += std::size_t(written);
    }
}

std::string LineOutput::failure() const {
    return error == 0 || error == EPIPE ? std::string() : std::string(std::strerror(error));
}

}  // namespace host
