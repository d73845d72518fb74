// The command processor: CP/M 2.2's CCP as the supervisor of a session of built-in commands and programs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"

namespace kavo {

// A file name as the command processor scans it from a command line.
struct CommandName {
    std::uint8_t drive = 0;              // 0: none given; else the letter's code, A = 1 (anything before a colon)
    std::array<std::uint8_t, 11> name;   // name and type, blank-padded; '*' filled out with '?'
    bool valid = true;                   // false when a control character stopped the scan

    bool blank() const { return name[0] == ' '; }
    bool drive_valid() const { return drive <= 16; }
    unsigned wildcards() const;
};

class CommandProcessor {
public:
    // A session on machine. With commands, they are its command lines, one
    // after another; without, the lines typed at the console's prompt are.
    CommandProcessor(Machine& machine, std::vector<std::string> commands);

    // Runs the session to its end: EXIT, the last of the commands given, the
    // end of the console's input at the prompt, or output that cannot be
    // written. Returns the exit status: that of the first program or command
    // that failed, else 0; 1 when output could not be written.
    int run();

private:
    enum class ConsoleLine { typed, too_long, interrupted, ended };

    std::optional<std::string> next_line();
    std::optional<std::string> next_batch_command();
    void end_batch();
    ConsoleLine read_console_line(std::string& text);
    void prompt();

    void execute(const std::string& text);
    CommandName scan_name();
    std::optional<unsigned> scan_number();
    void skip_blanks();
    bool at_delimiter(bool& valid) const;
    bool line_ends();
    void error();
    void failed();

    void directory();
    void erase();
    void type();
    void save();
    void rename();
    void user();
    void exit_session();
    void change_drive(const CommandName& command);
    void run_transient(const CommandName& command);

    std::uint8_t call(std::uint8_t function, std::uint16_t parameter);
    void write_fcb(std::uint16_t address, const CommandName& name);
    bool break_key();
    void put(std::string_view text);

    // The built-in commands, by name.
    struct BuiltIn {
        const char* name;
        void (CommandProcessor::*run)();
    };
    static const BuiltIn built_ins[];

    Machine& machine;
    Bdos& bdos;
    host::ConsoleDevice& console;
    std::array<std::uint8_t, 0x10000>& memory;
    RegisterFile& registers;

    std::vector<std::string> commands;
    std::size_t next_command = 0;
    bool session_over = false;
    bool batch_refused = false;  // $$$.SUB could not be shortened: it is left alone

    // The command line being scanned (upper case), where scanning stands, and
    // where the name scanned last began, which an error message shows.
    std::string line;
    std::size_t position = 0;
    std::size_t token_start = 0;
};

}  // namespace kavo
