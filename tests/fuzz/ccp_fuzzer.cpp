// libFuzzer target: command lines through the command processor, given as its commands, typed on standard input and as records of a $$$.SUB batch.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "machine/ccp.h"
#include "machine/machine.h"
#include "tests/fuzz/sandbox.h"

namespace {

// Input: byte 0's low two bits are how many of the text's first lines are the
// command processor's commands (the rest is script text on standard input);
// with bit 2 set $$$.SUB is written even when empty. Bytes 1-2 (low byte
// first) are the length of $$$.SUB's contents, which follow; the text is the
// rest. An input with "$$$" anywhere is left out: a batch could rename
// itself into a program, whose function 9 without a '$' in memory prints for
// ever, or save memory into a batch that saves itself again, as on CP/M.
constexpr std::size_t header_size = 3;

// Instructions for all programs of a session together: each fixture program
// runs to its end in a few hundred, and a program made from the fixture's
// text files runs into the trap area within about 65,000.
constexpr std::uint64_t budget = 100000;

// The largest script a pipe takes without a reader.
constexpr std::size_t script_limit = 60000;

fuzz::Sandbox& sandbox() {
    static fuzz::Sandbox instance({});
    return instance;
}

// Prints "hi" through function 9, reads a line through function 10, and
// ends with a jump to 0.
constexpr std::uint8_t greeter[] = {
    0x11, 0x14, 0x01, 0x0E, 0x09, 0xCD, 0x05, 0x00,  // LXI D,text; MVI C,9; CALL 5
    0x11, 0x18, 0x01, 0x0E, 0x0A, 0xCD, 0x05, 0x00,  // LXI D,buffer; MVI C,10; CALL 5
    0xC3, 0x00, 0x00, 0x00, 'h',  'i',  '$',  0x00,  // JMP 0; text
    0x10,                                            // buffer: room for 16
};

// Files and names a session meets: text files (each with a '$', so that one
// renamed to a program finds one for function 9), programs, a read-only file,
// user area 3 with a file in it, and names it must never reach or create
// through: a directory, a FIFO, a link out of the directory to nothing and a
// link to the parent as user area 5.
void make_fixture(const fuzz::fs::path& directory) {
    fuzz::write_file(directory / "ALPHA.TXT", "alpha $\r\n\x1A" "after");
    fuzz::write_file(directory / "B", "$");
    fuzz::write_file(directory / "RET.COM", "\xC9$");
    fuzz::write_file(directory / "GREET.COM", std::string(std::begin(greeter), std::end(greeter)));
    fuzz::write_file(directory / "RO.TXT", "read-only $");
    chmod((directory / "RO.TXT").c_str(), 0444);
    fuzz::fs::create_directory(directory / "3");
    fuzz::write_file(directory / "3" / "THREE.TXT", "three $");
    fuzz::fs::create_directory(directory / "DIR.SUB");
    fuzz::write_file(directory / "DIR.SUB" / "INNER.TXT", "inner");
    mkfifo((directory / "PIPE.TXT").c_str(), 0666);
    fuzz::fs::create_symlink("../OUTSIDE", directory / "DANGLE.TXT");
    fuzz::fs::create_symlink("..", directory / "5");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (size < header_size || input.find("$$$") != std::string_view::npos)
        return 0;
    fuzz::Sandbox& box = sandbox();
    box.begin_input();
    make_fixture(box.run_directory());
    const std::size_t batch_size = std::min<std::size_t>(data[1] | data[2] << 8, size - header_size);
    const std::string_view batch = input.substr(header_size, batch_size);
    if (!batch.empty() || (data[0] & 4))
        fuzz::write_file(box.run_directory() / "$$$.SUB", std::string(batch));
    std::string_view text = input.substr(header_size + batch_size);
    std::vector<std::string> commands;
    for (unsigned count = data[0] & 3; count > 0; --count) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        commands.emplace_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    fuzz::script_on_standard_input(text.substr(0, script_limit));
    int status;
    {
        fuzz::FreshMachine fresh;
        fresh.machine.processor.instruction_budget = budget;
        status = kavo::CommandProcessor(fresh.machine, commands).run();
    }
    fuzz::null_on_standard_input();
    if (status != 0 && status != 1)
        fuzz::fail("exit status " + std::to_string(status));
    if (fuzz::read_file(box.run_directory() / "DIR.SUB" / "INNER.TXT") != "inner")
        fuzz::fail("a file inside a subdirectory changed");
    if (fuzz::read_file(box.run_directory() / "RO.TXT") != "read-only $")
        fuzz::fail("the read-only file changed");
    box.check_and_clear();
    return 0;
}
