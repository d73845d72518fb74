// libFuzzer target: arbitrary command lines through the option parser, and the program's arguments through the loader.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "bdos/memory_map.h"
#include "machine/options.h"
#include "tests/fuzz/sandbox.h"

extern "C" void __sanitizer_set_report_fd(void* descriptor);

namespace {

// A program that returns at once, beside the run directory.
constexpr const char* program_name = "../PROG.COM";

fuzz::Sandbox& sandbox() {
    static fuzz::Sandbox instance({"PROG.COM"});
    return instance;
}

// The parser's complaints go to standard error, which libFuzzer reports on:
// it is /dev/null while the parser runs, and sanitizer reports go to a copy
// of it. Both descriptors are opened once, before the first input.
struct ErrorDescriptors {
    int report;
    int null_device;
};

const ErrorDescriptors& error_descriptors() {
    static const ErrorDescriptors descriptors = [] {
        const int copy = dup(STDERR_FILENO);
        __sanitizer_set_report_fd(reinterpret_cast<void*>(std::intptr_t(copy)));
        return ErrorDescriptors{copy, open("/dev/null", O_WRONLY)};
    }();
    return descriptors;
}

class QuietErrors {
public:
    QuietErrors() { dup2(error_descriptors().null_device, STDERR_FILENO); }
    ~QuietErrors() { dup2(error_descriptors().report, STDERR_FILENO); }
};

// The page-zero image the loader built from the program's arguments: a command
// tail of at most 126 characters, upper case, ending in a zero byte.
void check_page_zero(const kavo::Machine& machine) {
    const unsigned length = machine.processor.memory[kavo::address::command_tail];
    if (length > 126)
        fuzz::fail("a command tail of " + std::to_string(length) + " characters");
    if (machine.processor.memory[kavo::address::command_tail + 1 + length] != 0)
        fuzz::fail("a command tail without its zero byte");
    for (unsigned index = 0; index < length; ++index) {
        const std::uint8_t character = machine.processor.memory[kavo::address::command_tail + 1 + index];
        if (character >= 'a' && character <= 'z')
            fuzz::fail("a lower-case letter in the command tail");
    }
    if (machine.processor.registers.pc != kavo::address::program || machine.processor.registers.sp != kavo::address::stack)
        fuzz::fail("the program does not start at 0x0100 with its stack");
}

}  // namespace

// Input: the arguments after kavo's own name, each ended by a zero byte.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Sandbox& box = sandbox();
    static const bool program_written = (fuzz::write_file(box.parent / "PROG.COM", "\xC9"), true);
    (void)program_written;
    error_descriptors();
    box.begin_input();
    std::vector<std::string> words{"kavo"};
    std::string word;
    for (std::size_t index = 0; index < size; ++index) {
        if (data[index] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += char(data[index]);
        }
    }
    if (!word.empty())
        words.push_back(word);
    std::vector<char*> arguments;
    for (std::string& each : words)
        arguments.push_back(each.data());
    arguments.push_back(nullptr);
    const int count = int(words.size());

    kavo::CommandLine command;
    {
        QuietErrors quiet;
        command = kavo::parse_command_line(count, arguments.data());
    }
    if (command.exit_status != -1 && command.exit_status != 0 && command.exit_status != 2)
        fuzz::fail("exit status " + std::to_string(command.exit_status));
    if (command.exit_status == -1) {
        // The program and its arguments are the end of the command line, unchanged.
        const int first = int(command.argument_vector - arguments.data());
        if (command.argument_count < 1 || first < 0 || first + command.argument_count != count)
            fuzz::fail("the program's arguments are not the end of the command line");
        for (const std::string& drive : command.options.drives)
            if (!drive.empty() && !fuzz::fs::is_directory(drive))
                fuzz::fail("a drive mapped to something other than a directory");
        if (command.argument_count >= 2) {
            // PROGRAM itself stays a name for the file system: the program
            // loaded is always the one beside the run directory.
            std::vector<char*> program_arguments(command.argument_vector,
                                                 command.argument_vector + command.argument_count + 1);
            program_arguments[1] = const_cast<char*>(program_name);
            // The printer, punch and reader files are opened as the run
            // starts, wherever the command line names them: never here.
            fuzz::FreshMachine fresh;
            fresh.machine.options = command.options;
            fresh.machine.options.printer.clear();
            fresh.machine.options.punch.clear();
            fresh.machine.options.reader.clear();
            if (!fresh.machine.load(command.argument_count, program_arguments.data()))
                fuzz::fail("the program file did not load");
            check_page_zero(fresh.machine);
        }
    }
    box.check_descriptors();
    return 0;
}
