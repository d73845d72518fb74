// libFuzzer target: arbitrary command lines through the option parser, and the program's arguments through the loader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "bdos/memory_map.h"
#include "machine/options.h"
#include "tests/fuzz/sandbox.h"

namespace {

// A program that returns at once, beside the run directory.
constexpr const char* program_name = "../PROG.COM";

fuzz::Sandbox& sandbox() {
    static fuzz::Sandbox instance({"PROG.COM"});
    return instance;
}

// The characters of the command tail that the program's arguments make: each
// argument after PROGRAM with a blank before it.
std::size_t tail_length(int argument_count, char** argument_vector) {
    std::size_t length = 0;
    for (int index = 2; index < argument_count; ++index)
        length += 1 + std::strlen(argument_vector[index]);
    return length;
}

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
    fuzz::error_descriptors();
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
        fuzz::QuietErrors quiet;
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
        // Trace options come only with the --trace they refine, and a trace
        // file only in an existing directory; nothing is opened yet.
        const kavo::TraceOptions& trace = command.options.trace;
        if (!trace.file.empty()) {
            if (!trace.any())
                fuzz::fail("a trace file without a trace");
            const fuzz::fs::path directory = fuzz::fs::path(trace.file).parent_path();
            if (!fuzz::fs::is_directory(directory.empty() ? "." : directory))
                fuzz::fail("a trace file in something other than a directory");
        }
        if ((trace.from || trace.count) && !trace.instructions)
            fuzz::fail("an instruction trace's start or count without the instruction trace");
        if (trace.count && *trace.count == 0)
            fuzz::fail("an instruction trace of no instructions");
        if (command.argument_count >= 2) {
            // PROGRAM itself stays a name for the file system: the program
            // loaded is always the one beside the run directory. A command
            // tail longer than 126 characters is refused with status 2.
            std::vector<char*> program_arguments(command.argument_vector,
                                                 command.argument_vector + command.argument_count + 1);
            program_arguments[1] = const_cast<char*>(program_name);
            const bool tail_fits = tail_length(command.argument_count, program_arguments.data()) <= 126;
            fuzz::FreshMachine fresh;
            fresh.machine.options = command.options;
            // The printer, punch and reader files are opened as the run
            // starts, wherever the command line names them: never here.
            fresh.machine.options.printer.clear();
            fresh.machine.options.punch.clear();
            fresh.machine.options.reader.clear();
            bool loaded;
            {
                fuzz::QuietErrors quiet;
                loaded = fresh.machine.load(command.argument_count, program_arguments.data());
            }
            if (loaded != tail_fits)
                fuzz::fail(tail_fits ? "the program file did not load" : "a command tail too long was loaded");
            if (loaded)
                check_page_zero(fresh.machine);
            else if (fresh.machine.bdos.exit_status != 2)
                fuzz::fail("a command tail too long refused with status " + std::to_string(fresh.machine.bdos.exit_status));
        }
    }
    box.check_descriptors();
    return 0;
}
