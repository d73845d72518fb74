// The command line of kavo: its options, then the program and the program's own arguments.
#pragma once

#include <array>
#include <string>

namespace kavo {

enum class InstructionSet { intel_8080, z80 };

// What the options choose for a run; the defaults are a run without options.
struct Options {
    InstructionSet instruction_set = InstructionSet::intel_8080;
    std::string terminal = "ansi";
    // The host directory of each drive A-P; empty: the drive is not mapped.
    std::array<std::string, 16> drives{};
    // The host files of the printer, the punch and the reader; empty: none.
    std::string printer, punch, reader;
};

// A parsed command line: the options, and the program with its arguments in
// the form Machine::load takes (element 1 is PROGRAM), or the exit status of
// a command line that runs nothing.
struct CommandLine {
    Options options;
    int argument_count = 0;
    char** argument_vector = nullptr;
    int exit_status = -1;  // -1: run the program
};

// Reads the options before PROGRAM: "--" ends them, and everything from
// PROGRAM on is the program's, unchanged. --help and --version print on
// standard output and end with status 0; an unknown option or a bad value
// prints one line on standard error and ends with status 2, running nothing.
// Without any argument the program is missing and the loader prints its usage
// line.
CommandLine parse_command_line(int argument_count, char** argument_vector);

}  // namespace kavo
