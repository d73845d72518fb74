// The command line of kavo: its options, then the program and the program's own arguments.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kavo {

enum class InstructionSet { intel_8080, z80 };

// What --trace and the options that go with it ask for; by default nothing
// is traced.
struct TraceOptions {
    bool requests = false;      // --trace=bdos: every BDOS request and BIOS entry
    bool instructions = false;  // --trace=cpu: every instruction executed
    std::string file;           // --trace-file; empty: standard error
    // --trace-from: instructions are traced from the first time PC is here.
    std::optional<std::uint16_t> from;
    // --trace-count: at most this many instructions are traced.
    std::optional<std::uint64_t> count;

    bool any() const { return requests || instructions; }
};

// What the options choose for a run; the defaults are a run without options.
struct Options {
    InstructionSet instruction_set = InstructionSet::intel_8080;
    // The command processor runs instead of one program, and what follows
    // the options are its commands.
    bool command_processor = false;
    std::string terminal = "ansi";
    std::string keys = "terminal";
    // The host directory of each drive A-P; empty: the drive is not mapped.
    std::array<std::string, 16> drives{};
    TraceOptions trace;
    // The host files of the printer, the punch and the reader; empty: none.
    std::string printer, punch, reader;
};

// A parsed command line: the options, and the program with its arguments in
// the form Machine::load takes (element 1 is PROGRAM; with --ccp the
// commands, from element 1 on), or the exit status of a command line that
// runs nothing.
struct CommandLine {
    Options options;
    int argument_count = 0;
    char** argument_vector = nullptr;
    int exit_status = -1;  // -1: run the program
};

// Reads the options before PROGRAM (or the commands after --ccp): "--" ends
// them, and everything from PROGRAM on is the program's, unchanged. --help and --version print on
// standard output and end with status 0; an unknown option or a bad value
// prints one line on standard error and ends with status 2, running nothing,
// as does a command line without any argument, with the usage line.
CommandLine parse_command_line(int argument_count, char** argument_vector);

}  // namespace kavo
