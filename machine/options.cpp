// The option table and the parser of kavo's command line.
#include "machine/options.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>

#include "host/keys.h"
#include "host/screen.h"

namespace kavo {

namespace {

// What an option asks for besides changing Options.
enum class Request { run, help, version };

struct Parse {
    Options options;
    Request request = Request::run;
};

// One row of the option table. apply takes the value (empty for an option
// without one) and returns the complaint about a bad value, or nothing.
struct Option {
    const char* name;
    char short_name;         // 0: none
    const char* value_name;  // nullptr: the option takes no value
    const char* help;
    std::optional<std::string> (*apply)(Parse& parse, std::string_view value);
};

// The complaint "'value' rest" about an option's value.
std::string complaint_about(std::string_view value, std::string_view rest) {
    std::string complaint = "'";
    complaint.append(value).append("' ").append(rest);
    return complaint;
}

bool is_directory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// --drive X=DIR: X a letter from A to P not mapped before, DIR an existing
// directory.
std::optional<std::string> map_drive(Parse& parse, std::string_view value) {
    const char letter = value.empty() ? 0 : char(value[0] & ~0x20);
    if (value.size() < 3 || value[1] != '=' || letter < 'A' || letter > 'P')
        return "expected X=DIR with a drive letter X from A to P";
    if (!parse.options.drives[letter - 'A'].empty())
        return std::string("drive ") + letter + ": is mapped twice";
    const std::string directory(value.substr(2));
    if (!is_directory(directory))
        return complaint_about(directory, "is not a directory");
    parse.options.drives[letter - 'A'] = directory;
    return std::nullopt;
}

// --printer, --punch and --reader FILE: any file name; the file is opened as
// the run starts.
std::optional<std::string> name_device_file(std::string& path, std::string_view value) {
    if (value.empty())
        return "expected a file name";
    path = value;
    return std::nullopt;
}

// --terminal NAME: one of the terminal models.
std::optional<std::string> choose_terminal(Parse& parse, std::string_view value) {
    if (!host::terminal_model_named(value))
        return complaint_about(value, "is none of " + std::string(host::terminal_model_names));
    parse.options.terminal = value;
    return std::nullopt;
}

// --trace=LIST: "bdos", "cpu" or both, separated by a comma; repeated
// options add to each other.
std::optional<std::string> choose_trace(Parse& parse, std::string_view value) {
    for (;;) {
        const std::string_view item = value.substr(0, value.find(','));
        if (item == "bdos")
            parse.options.trace.requests = true;
        else if (item == "cpu")
            parse.options.trace.instructions = true;
        else
            return complaint_about(item, "is none of bdos, cpu");
        if (item.size() == value.size())
            return std::nullopt;
        value.remove_prefix(item.size() + 1);
    }
}

// --trace-file FILE: a file in an existing directory, created or emptied when
// the run starts.
std::optional<std::string> choose_trace_file(Parse& parse, std::string_view value) {
    if (value.empty())
        return "expected a file name";
    const std::string file(value);
    const std::size_t slash = file.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    if (!is_directory(directory))
        return complaint_about(directory, "is not a directory");
    parse.options.trace.file = file;
    return std::nullopt;
}

// --trace-from ADDR: an address in hexadecimal, bare, after 0x or before H.
std::optional<std::string> choose_trace_start(Parse& parse, std::string_view value) {
    std::string_view digits = value;
    if (digits.starts_with("0x") || digits.starts_with("0X"))
        digits.remove_prefix(2);
    else if (digits.ends_with('H') || digits.ends_with('h'))
        digits.remove_suffix(1);
    unsigned address = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, address, 16);
    if (digits.empty() || error != std::errc() || stop != end || address > 0xFFFF)
        return complaint_about(value, "is not an address from 0 to FFFF in hexadecimal");
    parse.options.trace.from = std::uint16_t(address);
    return std::nullopt;
}

// --trace-count N: a count of instructions from 1 up, in decimal.
std::optional<std::string> choose_trace_count(Parse& parse, std::string_view value) {
    std::uint64_t count = 0;
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, count);
    if (value.empty() || error != std::errc() || stop != end || count == 0)
        return complaint_about(value, "is not a count from 1 up");
    parse.options.trace.count = count;
    return std::nullopt;
}

// The complaint about trace options that lack the --trace they refine.
std::optional<std::string> trace_conflict(const TraceOptions& trace) {
    if (!trace.file.empty() && !trace.any())
        return "--trace-file needs --trace";
    if ((trace.from || trace.count) && !trace.instructions)
        return "--trace-from and --trace-count need --trace=cpu";
    return std::nullopt;
}

// --keys NAME: one of the key profiles.
std::optional<std::string> choose_keys(Parse& parse, std::string_view value) {
    if (!host::key_profile_named(value))
        return complaint_about(value, "is none of " + std::string(host::key_profile_names));
    parse.options.keys = value;
    return std::nullopt;
}

constexpr Option option_table[] = {
    {"ccp", 0, nullptr,
     "start CP/M's command processor: run the COMMANDs, or those typed at its A> prompt",
     [](Parse& parse, std::string_view) -> std::optional<std::string> {
         parse.options.command_processor = true;
         return std::nullopt;
     }},
    {"drive", 0, "X=DIR", "map CP/M drive X (A to P) to the host directory DIR", map_drive},
    {"help", 'h', nullptr, "print this help and exit",
     [](Parse& parse, std::string_view) -> std::optional<std::string> {
         parse.request = Request::help;
         return std::nullopt;
     }},
    {"keys", 0, "NAME",
     "what the cursor and editing keys send: wordstar, WordStar's control keys (Up ^E, Home ^Q S, ...), "
     "or terminal, the default: the codes of the --terminal",
     choose_keys},
    {"printer", 0, "FILE", "append printer output (LST:) to FILE instead of discarding it",
     [](Parse& parse, std::string_view value) { return name_device_file(parse.options.printer, value); }},
    {"punch", 0, "FILE", "append punch output (PUN:) to FILE instead of writing it to the screen",
     [](Parse& parse, std::string_view value) { return name_device_file(parse.options.punch, value); }},
    {"reader", 0, "FILE", "read reader input (RDR:) from FILE, then ^Z at its end, instead of from the keyboard",
     [](Parse& parse, std::string_view value) { return name_device_file(parse.options.reader, value); }},
    {"terminal", 0, "NAME",
     "the terminal the program was installed for: adm3a (also kaypro), vt52, h19, tvi925 (also tvi912, tvi920) "
     "or ansi, the default",
     choose_terminal},
    {"trace", 0, "LIST",
     "trace the BDOS and BIOS calls (bdos), the instructions executed (cpu) or both (bdos,cpu) on standard error",
     choose_trace},
    {"trace-count", 0, "N", "trace at most N instructions", choose_trace_count},
    {"trace-file", 0, "FILE", "write the trace to FILE instead", choose_trace_file},
    {"trace-from", 0, "ADDR", "trace instructions from the first time PC reaches ADDR (hexadecimal)",
     choose_trace_start},
    {"version", 0, nullptr, "print the version and exit",
     [](Parse& parse, std::string_view) -> std::optional<std::string> {
         parse.request = Request::version;
         return std::nullopt;
     }},
    {"z80", 0, nullptr, "run the program on a Zilog Z80 instead of an Intel 8080",
     [](Parse& parse, std::string_view) -> std::optional<std::string> {
         parse.options.instruction_set = InstructionSet::z80;
         return std::nullopt;
     }},
};

constexpr const char* usage = "Usage: kavo [OPTION...] PROGRAM [ARGUMENT...]\n";

// Prints the help of every option: its names, then its text, wrapped at
// spaces onto lines indented to the text's column, so that every line fits in
// 80 columns.
void print_help() {
    constexpr std::size_t help_column = 25, line_width = 80;
    std::printf("%s  or:  kavo [OPTION...] --ccp [COMMAND...]\n"
                "Run the CP/M-80 2.2 program PROGRAM.COM with the ARGUMENTs as its command line,\n"
                "or a CP/M command processor session.\n\n",
                usage);
    for (const Option& option : option_table) {
        std::string names = option.short_name ? "-?, --" : "    --";
        if (option.short_name)
            names[1] = option.short_name;
        names += option.name;
        if (option.value_name) {
            names += ' ';
            names += option.value_name;
        }
        std::string line = "  " + names;
        line.resize(std::max(line.size(), help_column - 1), ' ');
        std::string_view help = option.help;
        while (!help.empty()) {
            const std::string_view word = help.substr(0, help.find(' '));
            help.remove_prefix(std::min(help.size(), word.size() + 1));
            if (line.size() >= help_column && line.size() + 1 + word.size() > line_width) {
                std::printf("%s\n", line.c_str());
                line.assign(help_column - 1, ' ');
            }
            line.append(" ").append(word);
        }
        std::printf("%s\n", line.c_str());
    }
    std::printf("\nEvery drive letter reaches the current directory unless mapped.\n"
                "At the command processor's prompt: DIR, ERA, REN, TYPE, SAVE, USER, d: and any\n"
                "program's name, as on CP/M; EXIT ends the session.\n"
                "Ctrl+\\ ends a run. The manual: man kavo\n");
}

// Prints the one line of an option error; the status of a usage error.
int refuse(const std::string& complaint) {
    std::fprintf(stderr, "kavo: %s (try 'kavo --help')\n", complaint.c_str());
    return 2;
}

const Option* find_long(std::string_view name) {
    for (const Option& option : option_table)
        if (name == option.name)
            return &option;
    return nullptr;
}

const Option* find_short(char name) {
    for (const Option& option : option_table)
        if (option.short_name && name == option.short_name)
            return &option;
    return nullptr;
}

}  // namespace

CommandLine parse_command_line(int argument_count, char** argument_vector) {
    CommandLine command;
    Parse parse;
    int index = 1;
    while (index < argument_count) {
        const std::string_view argument = argument_vector[index];
        if (argument == "--") {
            ++index;
            break;
        }
        if (argument.size() < 2 || argument[0] != '-')
            break;
        const Option* option = nullptr;
        std::optional<std::string_view> value;
        if (argument[1] == '-') {
            const std::string_view body = argument.substr(2);
            const auto equals = body.find('=');
            option = find_long(body.substr(0, equals));
            if (equals != std::string_view::npos)
                value = body.substr(equals + 1);
        } else if (argument.size() == 2) {
            option = find_short(argument[1]);
        }
        if (!option) {
            command.exit_status = refuse("unknown option '" + std::string(argument) + "'");
            return command;
        }
        ++index;
        const std::string shown = std::string("--") + option->name;
        if (option->value_name && !value) {
            if (index == argument_count) {
                command.exit_status = refuse(shown + " needs a value " + option->value_name);
                return command;
            }
            value = argument_vector[index++];
        } else if (!option->value_name && value) {
            command.exit_status = refuse(shown + " takes no value");
            return command;
        }
        if (const auto complaint = option->apply(parse, value.value_or(""))) {
            command.exit_status = refuse(shown + ": " + *complaint);
            return command;
        }
    }
    if (parse.request == Request::help) {
        print_help();
        command.exit_status = 0;
    } else if (parse.request == Request::version) {
        std::printf("kavo %s\n", KAVO_VERSION);
        command.exit_status = 0;
    } else if (argument_count < 2) {
        std::fputs(usage, stderr);
        command.exit_status = 2;
    } else if (index == argument_count && !parse.options.command_processor) {
        command.exit_status = refuse("no PROGRAM named");
    } else if (const auto complaint = trace_conflict(parse.options.trace)) {
        command.exit_status = refuse(*complaint);
    }
    command.options = parse.options;
    // The program's arguments start one element before PROGRAM, the slot that
    // holds kavo's own name in a command line without options.
    command.argument_count = argument_count - index + 1;
    command.argument_vector = argument_vector + index - 1;
    return command;
}

}  // namespace kavo
