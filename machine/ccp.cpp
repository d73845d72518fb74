// The command processor: prompts, command lines scanned as CP/M 2.2's CCP scans them, built-in commands, programs and SUBMIT batches.
#include "machine/ccp.h"

#include <algorithm>
#include <utility>

#include "bdos/memory_map.h"

namespace kavo {

namespace {

// The longest command line, as CP/M's command processor's buffer holds it.
constexpr unsigned line_room = 127;
constexpr unsigned record_size = 128;
constexpr std::uint8_t end_of_file = 0x1A;
// The batch file that SUBMIT writes, on A: in user 0.
constexpr const char* batch_file = "$$$.SUB";

// The BDOS functions the command processor calls, as a program would.
enum Function : std::uint8_t {
    select_disk = 14,
    open_file = 15,
    close_file = 16,
    search_for_first = 17,
    search_for_next = 18,
    delete_file = 19,
    read_sequential = 20,
    write_sequential = 21,
    make_file = 22,
    rename_file = 23,
    set_dma_address = 26,
    get_set_user_code = 32,
};
constexpr std::uint8_t read_console_buffer = 10;

char upper(char character) { return character >= 'a' && character <= 'z' ? char(character - 0x20) : character; }

}  // namespace

unsigned CommandName::wildcards() const { return unsigned(std::count(name.begin(), name.end(), '?')); }

const CommandProcessor::BuiltIn CommandProcessor::built_ins[] = {
    {"DIR", &CommandProcessor::directory}, {"ERA", &CommandProcessor::erase}, {"TYPE", &CommandProcessor::type},
    {"SAVE", &CommandProcessor::save},     {"REN", &CommandProcessor::rename}, {"USER", &CommandProcessor::user},
    {"EXIT", &CommandProcessor::exit_session},
};

CommandProcessor::CommandProcessor(Machine& machine, std::vector<std::string> commands)
    : machine(machine), bdos(machine.bdos), console(machine.console), memory(machine.processor.memory),
      registers(machine.processor.registers), commands(std::move(commands)) {}

int CommandProcessor::run() {
    if (!machine.open_devices() || !machine.open_trace())
        return 1;
    console.start(machine.options.terminal, machine.options.keys);
    while (!session_over && !console.terminal.output_failed()) {
        bdos.warm_boot();
        const std::optional<std::string> text = next_line();
        if (!text)
            break;
        execute(*text);
        console.terminal.end_request();
    }
    const int console_status = console.terminal.finish();
    return console_status != 0 ? console_status : bdos.exit_status;
}

// --- Where commands come from ---

// The prompt, then the next command line: the next command of a SUBMIT
// batch, else the next of the commands given, else a line typed at the
// console; each but the typed one echoed after the prompt, as CP/M echoes a
// batch's. An empty line when there is nothing to run (a line too long, ^C).
// Nothing when the session is over.
std::optional<std::string> CommandProcessor::next_line() {
    if (std::optional<std::string> text = next_batch_command()) {
        prompt();
        put(*text);
        // A key typed at the terminal stops the batch.
        if (break_key()) {
            end_batch();
            return std::string();
        }
        return text;
    }
    const auto too_long = [&] {
        put("\r\nLINE TOO LONG (MORE THAN 127 CHARACTERS)\r\n");
        failed();
        return std::string();
    };
    std::string text;
    if (!commands.empty()) {
        if (next_command == commands.size())
            return std::nullopt;
        text = commands[next_command++];
        prompt();
        put(text);
    } else {
        prompt();
        switch (read_console_line(text)) {
        case ConsoleLine::typed: break;
        case ConsoleLine::ended: return std::nullopt;
        case ConsoleLine::interrupted: return std::string();
        case ConsoleLine::too_long: return too_long();
        }
    }
    return text.size() > line_room ? too_long() : text;
}

// CP/M's prompt on a new line: the current drive, the user number unless it
// is 0, and '>'.
void CommandProcessor::prompt() {
    put("\r\n");
    put(std::string(1, char('A' + bdos.current_drive)));
    if (bdos.user_code != 0)
        put(std::to_string(bdos.user_code));
    put(">");
}

// A line typed at the console, edited as BDOS function 10 edits it, in the
// command processor's buffer. ^C on an empty line is function 10's warm boot:
// it pushes the address 0 for the program's return. A full buffer returns
// before Enter: the line is too long unless Enter is the next key, and the
// keys up to the Enter are dropped.
CommandProcessor::ConsoleLine CommandProcessor::read_console_line(std::string& text) {
    memory[address::command_line] = line_room;
    registers.sp = address::stack;
    call(read_console_buffer, address::command_line);
    if (registers.sp != address::stack)
        return ConsoleLine::interrupted;
    if (console.terminal.input_ended())
        return ConsoleLine::ended;
    const unsigned count = std::min<unsigned>(memory[address::command_line + 1], line_room);
    text.assign(&memory[address::command_line + 2], &memory[address::command_line + 2 + count]);
    if (count < line_room)
        return ConsoleLine::typed;
    bool more = false;
    while (console.console_in() != 0x0D && !console.terminal.input_ended())
        more = true;
    if (console.terminal.input_ended())
        return ConsoleLine::ended;
    return more ? ConsoleLine::too_long : ConsoleLine::typed;
}

// The last record of $$$.SUB holds the batch's next command: its length, then
// its characters (at most 127, up to a zero byte). The record is cut off the
// file as CP/M's command processor cuts it (a part record at the end counts as
// a record padded with ^Z), and the file deleted once it is empty. A file
// that cannot be shortened is left alone for the rest of the session, since
// its last command would run for ever.
std::optional<std::string> CommandProcessor::next_batch_command() {
    if (batch_refused)
        return std::nullopt;
    std::optional<host::File> file = bdos.user_area(0, 0).open_existing(batch_file).file;
    if (!file)
        return std::nullopt;
    const std::uint64_t size = file->size();
    if (size == 0) {
        file->close();
        end_batch();
        return std::nullopt;
    }
    const std::uint64_t last = (size - 1) / record_size * record_size;
    std::array<std::uint8_t, record_size> record;
    record.fill(end_of_file);
    file->read_at(last, record);
    if (!file->truncate(last)) {
        console.message("\n$$$.SUB on A: cannot be shortened: its commands are not run.\n");
        batch_refused = true;
        failed();
        return std::nullopt;
    }
    file->close();
    if (last == 0)
        end_batch();
    const unsigned length = std::min<unsigned>(record[0], line_room);
    std::string text(record.begin() + 1, record.begin() + 1 + length);
    return text.substr(0, text.find('\0'));
}

// Deletes $$$.SUB, which ends a batch.
void CommandProcessor::end_batch() {
    host::Directory& directory = bdos.user_area(0, 0);
    for (const host::DirectoryEntry& entry : directory.find_files(batch_file))
        directory.delete_file(entry.name);
}

// --- Scanning a command line ---

// A command line, as CP/M's command processor takes it: upper case, up to a
// zero byte. Its first name is the command: a built-in command's when it is
// one of theirs without a drive, a change of drive when it is a drive alone,
// else a program's. An ambiguous name is an error.
void CommandProcessor::execute(const std::string& text) {
    line = text.substr(0, text.find('\0'));
    std::transform(line.begin(), line.end(), line.begin(), upper);
    position = 0;
    const CommandName command = scan_name();
    if (!command.valid || command.wildcards() > 0)
        return error();
    if (command.blank()) {
        if (command.drive != 0)
            change_drive(command);
        else
            line_ends();
        return;
    }
    if (command.drive == 0) {
        for (const BuiltIn& built_in : built_ins) {
            std::array<std::uint8_t, 8> padded;
            padded.fill(' ');
            std::copy_n(built_in.name, std::char_traits<char>::length(built_in.name), padded.begin());
            if (std::equal(padded.begin(), padded.end(), command.name.begin()))
                return (this->*built_in.run)();
        }
    }
    run_transient(command);
}

void CommandProcessor::skip_blanks() {
    while (position < line.size() && line[position] == ' ')
        ++position;
}

// Whether scanning stands at a delimiter: the end of the line, a blank or one
// of = _ . : ; < >. A control character ends the name too, and makes it
// invalid.
bool CommandProcessor::at_delimiter(bool& valid) const {
    if (position >= line.size())
        return true;
    const auto character = std::uint8_t(line[position]);
    if (character < 0x20) {
        valid = false;
        return true;
    }
    return std::string_view(" =_.:;<>").find(char(character)) != std::string_view::npos;
}

// The next name of the line, as CP/M's command processor scans it: blanks
// skipped, a drive (any character before a colon), up to 8 name characters
// (more are skipped), and after a dot up to 3 type characters; '*' fills the
// rest of its part with '?'. Scanning stops at the delimiter after it.
CommandName CommandProcessor::scan_name() {
    skip_blanks();
    token_start = position;
    CommandName result;
    result.name.fill(' ');
    if (position + 1 < line.size() && line[position + 1] == ':') {
        result.drive = std::uint8_t(line[position] - '@');
        position += 2;
    }
    const auto scan_part = [&](std::size_t first, std::size_t length) {
        for (std::size_t index = first; index < first + length && !at_delimiter(result.valid); ++index) {
            if (line[position] == '*') {
                result.name[index] = '?';
            } else {
                result.name[index] = std::uint8_t(line[position]);
                ++position;
            }
        }
        while (!at_delimiter(result.valid))
            ++position;
    };
    scan_part(0, 8);
    if (position < line.size() && line[position] == '.') {
        ++position;
        scan_part(8, 3);
    }
    return result;
}

// A decimal number from 0 to 255 as the next name; an empty one is 0.
std::optional<unsigned> CommandProcessor::scan_number() {
    const CommandName field = scan_name();
    if (!field.valid || field.drive != 0)
        return std::nullopt;
    unsigned value = 0;
    std::size_t index = 0;
    for (; index < field.name.size() && field.name[index] != ' '; ++index) {
        const unsigned digit = field.name[index] - '0';
        if (digit > 9 || (value = value * 10 + digit) > 255)
            return std::nullopt;
    }
    for (; index < field.name.size(); ++index)
        if (field.name[index] != ' ')
            return std::nullopt;
    return value;
}

// The end of a command: anything more on the line is an error. True when the
// line has ended.
bool CommandProcessor::line_ends() {
    const CommandName rest = scan_name();
    if (rest.valid && rest.blank() && rest.drive == 0)
        return true;
    error();
    return false;
}

// CP/M's answer to a command it cannot take: the name scanned last, up to a
// blank, and '?'. It ends a SUBMIT batch.
void CommandProcessor::error() {
    const std::size_t end = std::min(line.find(' ', token_start), line.size());
    put("\r\n" + line.substr(token_start, end - token_start) + "?\r\n");
    end_batch();
    failed();
}

// The session's exit status becomes 1 unless an earlier failure chose one.
void CommandProcessor::failed() {
    if (bdos.exit_status == 0)
        bdos.exit_status = 1;
}

// --- Built-in commands ---

// DIR [d:][afn]: the names that match, four a line ("A: NAME     TYP"), files
// with the system attribute left out; all files without a name. A typed key
// stops the listing.
void CommandProcessor::directory() {
    CommandName pattern = scan_name();
    if (!pattern.valid || !pattern.drive_valid())
        return error();
    if (pattern.blank())
        pattern.name.fill('?');
    write_fcb(address::fcb1, pattern);
    call(set_dma_address, address::default_dma);
    const char letter = char('A' + (pattern.drive != 0 ? pattern.drive - 1 : bdos.current_drive));
    std::uint8_t found = call(search_for_first, address::fcb1);
    if (found == 0xFF && !bdos.run_ending)
        put("\r\nNO FILE");
    for (unsigned shown = 0; found != 0xFF && !bdos.run_ending; found = call(search_for_next, address::fcb1)) {
        const std::uint16_t entry = address::default_dma + (found & 3) * 32;
        const auto byte = [&](unsigned offset) { return char(memory[entry + offset] & 0x7F); };
        if (memory[entry + 10] & 0x80)
            continue;
        const unsigned column = shown++ % 4;
        put(column == 0 ? std::string("\r\n") + letter + ": " : std::string(" : "));
        // The last name of a line ends at its blanks when it has no type.
        const bool trimmed = column == 3 && byte(9) == ' ';
        std::string shown_name;
        for (unsigned offset = 1; offset <= 11; ++offset) {
            if (trimmed && byte(offset) == ' ')
                break;
            if (offset == 9)
                shown_name += ' ';
            shown_name += byte(offset);
        }
        put(shown_name);
        if (break_key())
            break;
    }
    if (!bdos.run_ending)
        line_ends();
}

// ERA [d:]afn: deletes the files that match, after asking ALL (Y/N)? for
// *.*; NO FILE when none does.
void CommandProcessor::erase() {
    const CommandName pattern = scan_name();
    if (!pattern.valid || !pattern.drive_valid())
        return error();
    const bool everything = pattern.wildcards() == pattern.name.size();
    if (everything) {
        put("\r\nALL (Y/N)?");
        std::string answer;
        if (read_console_line(answer) != ConsoleLine::typed || answer.size() != 1 || upper(answer[0]) != 'Y')
            return;
    }
    write_fcb(address::fcb1, pattern);
    const std::uint8_t result = call(delete_file, address::fcb1);
    if (bdos.run_ending)
        return;
    if (result == 0xFF) {
        put("\r\nNO FILE");
        failed();
    }
    // The answer took the place of the command line.
    if (!everything)
        line_ends();
}

// TYPE [d:]ufn: the file's text up to the first ^Z. A typed key stops it; ^S
// pauses it until the next key.
void CommandProcessor::type() {
    const CommandName file = scan_name();
    if (!file.valid || !file.drive_valid() || file.wildcards() > 0)
        return error();
    write_fcb(address::fcb1, file);
    call(set_dma_address, address::default_dma);
    if (call(open_file, address::fcb1) == 0xFF) {
        if (!bdos.run_ending)
            error();
        return;
    }
    put("\r\n");
    bool done = false;
    while (!done) {
        const std::uint8_t result = call(read_sequential, address::fcb1);
        if (bdos.run_ending)
            return;
        if (result != 0) {
            if (result == 1)
                break;
            put("\r\nREAD ERROR");
            return error();
        }
        for (unsigned offset = 0; offset < record_size && !done; ++offset) {
            const std::uint8_t byte = memory[address::default_dma + offset];
            done = byte == end_of_file;
            if (!done)
                console.console_out(byte);
            done = done || break_key();
        }
    }
    call(close_file, address::fcb1);
    line_ends();
}

// SAVE n [d:]ufn: the n pages (of 256 bytes) of memory from 0x0100 into a new
// file of that name; NO SPACE when it cannot be written.
void CommandProcessor::save() {
    const std::optional<unsigned> pages = scan_number();
    if (!pages)
        return error();
    const CommandName file = scan_name();
    if (!file.valid || !file.drive_valid() || file.wildcards() > 0)
        return error();
    write_fcb(address::fcb1, file);
    call(delete_file, address::fcb1);
    bool saved = !bdos.run_ending && call(make_file, address::fcb1) != 0xFF;
    for (unsigned record = 0; saved && !bdos.run_ending && record < 2 * *pages; ++record) {
        call(set_dma_address, std::uint16_t(address::program + record * record_size));
        saved = call(write_sequential, address::fcb1) == 0;
    }
    saved = saved && !bdos.run_ending && call(close_file, address::fcb1) != 0xFF;
    call(set_dma_address, address::default_dma);
    if (bdos.run_ending)
        return;
    if (!saved) {
        put("\r\nNO SPACE");
        failed();
    }
    line_ends();
}

// REN [d:]new=[d:]old (or new_old): FILE EXISTS when the new name is taken,
// NO FILE when the old one is missing. Both names unambiguous, on one drive.
void CommandProcessor::rename() {
    const CommandName new_name = scan_name();
    if (!new_name.valid || !new_name.drive_valid() || new_name.wildcards() > 0)
        return error();
    write_fcb(address::fcb1, new_name);
    call(set_dma_address, address::default_dma);
    if (call(search_for_first, address::fcb1) != 0xFF) {
        if (!bdos.run_ending) {
            put("\r\nFILE EXISTS");
            failed();
            line_ends();
        }
        return;
    }
    skip_blanks();
    if (position >= line.size() || (line[position] != '=' && line[position] != '_'))
        return error();
    ++position;
    const CommandName old_name = scan_name();
    if (!old_name.valid || old_name.wildcards() > 0 || (old_name.drive != 0 && old_name.drive != new_name.drive))
        return error();
    write_fcb(address::fcb1, CommandName{new_name.drive, old_name.name});
    std::copy(new_name.name.begin(), new_name.name.end(), &memory[address::fcb1 + 17]);
    if (call(search_for_first, address::fcb1) == 0xFF) {
        if (!bdos.run_ending) {
            put("\r\nNO FILE");
            failed();
            line_ends();
        }
        return;
    }
    const std::uint8_t result = call(rename_file, address::fcb1);
    if (bdos.run_ending)
        return;
    if (result == 0xFF)
        failed();
    line_ends();
}

// USER n: the user area 0-15 of every drive.
void CommandProcessor::user() {
    const std::optional<unsigned> number = scan_number();
    if (!number || *number > 15)
        return error();
    call(get_set_user_code, std::uint16_t(*number));
    line_ends();
}

// EXIT, kavo's own: the session ends.
void CommandProcessor::exit_session() {
    if (line_ends()) {
        session_over = true;
        put("\r\n");
    }
}

// d: makes the drive current, as select disk does.
void CommandProcessor::change_drive(const CommandName& command) {
    if (!command.drive_valid())
        return error();
    if (call(select_disk, std::uint16_t(command.drive - 1)) == 0xFF) {
        put(std::string("\r\nBdos Err On ") + char('@' + command.drive) + ": Select");
        failed();
        return;
    }
    line_ends();
}

// [d:]NAME args: NAME.COM from the drive's current user area, loaded as kavo
// loads a program, with the next two names as its FCBs and the line from its
// first blank on as its command tail. After it the drive and user that
// address 4 holds become current again, as after CP/M's warm boot.
void CommandProcessor::run_transient(const CommandName& command) {
    if (!command.drive_valid() || command.name[8] != ' ')
        return error();
    const std::size_t command_start = token_start;
    const unsigned drive = command.drive != 0 ? command.drive - 1u : bdos.current_drive;
    std::string file_name(command.name.begin(), command.name.begin() + 8);
    file_name.resize(std::min(file_name.find(' '), file_name.size()));
    std::optional<host::File> file = bdos.drive_directory(drive).open_existing(file_name + ".COM").file;
    if (!file)
        return error();

    PageZero page_zero;
    for (std::array<std::uint8_t, 12>* fcb : {&page_zero.fcb1, &page_zero.fcb2}) {
        const CommandName argument = scan_name();
        if (!argument.valid)
            return error();
        (*fcb)[0] = argument.drive;
        std::copy(argument.name.begin(), argument.name.end(), fcb->begin() + 1);
    }
    const std::size_t blank = line.find(' ', command_start);
    if (blank != std::string::npos)
        page_zero.tail = line.substr(blank);
    machine.load_transient(
        [&](std::span<std::uint8_t> image) {
            file->read_at(0, image);
            return true;
        },
        page_zero);
    file->close();
    put("\r\n");
    machine.run_loaded();

    const std::uint8_t drive_and_user = memory[address::drive_and_user];
    bdos.warm_boot();
    call(get_set_user_code, drive_and_user >> 4);
    if (call(select_disk, drive_and_user & 0x0F) == 0xFF)
        call(select_disk, 0);
}

// --- The system and the console ---

// A BDOS request of the command processor's own, as a program's CALL 5 makes
// it; the result in A.
std::uint8_t CommandProcessor::call(std::uint8_t function, std::uint16_t parameter) {
    registers.c = function;
    registers.set_de(parameter);
    bdos.bdos_call();
    return registers.a;
}

// The FCB of a name at address: its drive, name and type, the rest zero.
void CommandProcessor::write_fcb(std::uint16_t address, const CommandName& name) {
    std::fill_n(&memory[address], 36, 0);
    memory[address] = name.drive;
    std::copy(name.name.begin(), name.name.end(), &memory[address + 1]);
}

// Whether a key typed at the terminal, or typed ahead while a program printed
// and kept, stops what is being listed; ^S pauses until the next key instead.
// Script input is never taken. What was listed so far appears first.
bool CommandProcessor::break_key() {
    console.terminal.end_request();
    if (!console.has_kept_key() && !console.terminal.key_typed())
        return false;
    if (console.console_in() != 0x13)
        return true;
    console.console_in();
    return false;
}

void CommandProcessor::put(std::string_view text) {
    for (char character : text)
        console.console_out(std::uint8_t(character));
}

}  // namespace kavo
