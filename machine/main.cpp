// Entry point: one Machine runs the program named on the command line.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "cpu/machine.h"

namespace {

// A standard stream that the caller closed is opened on /dev/null. Otherwise
// the first file the program opens would take its number, and console output,
// messages or keys would go to and come from that file.
void open_closed_standard_streams() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor)
        if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);  // the lowest free number: this one
}

}  // namespace

int main(int argument_count, char** argument_vector) {
    open_closed_standard_streams();
    // Past the file size limit a write then fails and the program gets 0xFF,
    // instead of SIGXFSZ ending the run with the terminal in raw mode.
    std::signal(SIGXFSZ, SIG_IGN);
    auto machine = std::make_unique<kavo::Machine>();
    machine->run_program(argument_count, argument_vector);
    return 0;
}
