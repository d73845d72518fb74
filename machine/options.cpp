// The option table and the parser of kavo's command line.
#include "machine/options.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string_view>

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

// --drive X=DIR: X a letter from A to P, DIR an existing directory.
std::optional<std::string> map_drive(Parse& parse, std::string_view value) {
    const char letter = value.empty() ? 0 : char(value[0] & ~0x20);
    if (value.size() < 3 || value[1] != '=' || letter < 'A' || letter > 'P')
        return "expected X=DIR with a drive letter X from A to P";
    const std::string directory(value.substr(2));
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
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

constexpr Option option_table[] = {
    {"drive", 0, "X=DIR", "map CP/M drive X (A to P) to the host directory DIR", map_drive},
    {"help", 'h', nullptr, "print this help and exit",
     [](Parse& parse, std::string_view) -> std::optional<std::string> {
         parse.request = Request::help;
         return std::nullopt;
     }},
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

void print_help() {
    std::printf("Usage: kavo [OPTION...] PROGRAM [ARGUMENT...]\n"
                "Run the CP/M-80 2.2 program PROGRAM.COM with the ARGUMENTs as its command line.\n\n");
    for (const Option& option : option_table) {
        std::string left = option.short_name ? "-?, --" : "    --";
        if (option.short_name)
            left[1] = option.short_name;
        left += option.name;
        if (option.value_name) {
            left += ' ';
            left += option.value_name;
        }
        std::printf("  %-20s %s\n", left.c_str(), option.help);
    }
    std::printf("\nEvery drive letter reaches the current directory unless mapped.\n"
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
    } else if (index == argument_count && index > 1) {
        command.exit_status = refuse("no PROGRAM named");
    }
    command.options = parse.options;
    // The program's arguments start one element before PROGRAM, the slot that
    // holds kavo's own name in a command line without options.
    command.argument_count = argument_count - index + 1;
    command.argument_vector = argument_vector + index - 1;
    return command;
}

}  // namespace kavo
