// BDOS dispatch over the function number in C, and the console and system functions.
#include <array>
#include <utility>

#include "bdos/bdos.h"
#include "bdos/memory_map.h"

namespace kavo {

namespace {

using Function = void (Bdos::*)(FileSlot* slot);

// How a function returns its result: a byte in A, or a word in HL. CP/M 2.2
// returns both ways at once: L = A and H = B = 0 after a byte, A = L and B =
// H after a word, and programs read whichever their compiler chose.
enum class Result { byte, word };

struct BdosFunction {
    std::uint8_t number;
    const char* name;
    Function function;
    Result result = Result::byte;
};

// Every BDOS function the system performs; all other numbers get the default
// action.
constexpr BdosFunction bdos_functions[] = {
    {1, "console input", &Bdos::console_input},
    {2, "console output", &Bdos::console_output},
    {3, "reader input", &Bdos::reader_input},
    {4, "punch output", &Bdos::punch_output},
    {5, "list output", &Bdos::list_output},
    {6, "direct console I/O", &Bdos::direct_console_io},
    {7, "get I/O byte", &Bdos::get_io_byte},
    {8, "set I/O byte", &Bdos::set_io_byte},
    {9, "print string", &Bdos::print_string},
    {10, "read console buffer", &Bdos::read_console_buffer},
    {11, "get console status", &Bdos::get_console_status},
    {12, "return version number", &Bdos::return_version_number, Result::word},
    {13, "reset disk system", &Bdos::reset_disk_system},
    {14, "select disk", &Bdos::select_disk},
    {15, "open file", &Bdos::open_file},
    {16, "close file", &Bdos::close_file},
    {17, "search for first", &Bdos::search_for_first},
    {18, "search for next", &Bdos::search_for_next},
    {19, "delete file", &Bdos::delete_file},
    {20, "read sequential", &Bdos::read_sequential},
    {21, "write sequential", &Bdos::write_sequential},
    {22, "make file", &Bdos::make_file},
    {23, "rename file", &Bdos::rename_file},
    {24, "return login vector", &Bdos::return_login_vector, Result::word},
    {25, "return current disk", &Bdos::return_current_disk},
    {26, "set DMA address", &Bdos::set_dma_address},
    {27, "get allocation vector", &Bdos::get_allocation_vector, Result::word},
    {29, "get read-only vector", &Bdos::get_read_only_vector, Result::word},
    {30, "set file attributes", &Bdos::set_file_attributes},
    {31, "get disk parameters", &Bdos::get_disk_parameters, Result::word},
    {32, "get/set user code", &Bdos::get_set_user_code},
    {33, "read random", &Bdos::read_random},
    {34, "write random", &Bdos::write_random},
    {35, "compute file size", &Bdos::compute_file_size},
    {36, "set random record", &Bdos::set_random_record},
    {37, "reset drive", &Bdos::reset_drive},
    {40, "write random with zero fill", &Bdos::write_random_with_zero_fill},
    {108, "get/set program return code", &Bdos::get_set_return_code, Result::word},
};

constexpr auto dispatch_table = [] {
    std::array<const BdosFunction*, 256> table{};
    for (const BdosFunction& function : bdos_functions)
        table[function.number] = &function;
    return table;
}();

}  // namespace

// The console functions (1-12) take no file slot. The lookup changes nothing,
// so it is left out for them: output comes one call per character.
void Bdos::bdos_call() {
    const std::uint8_t number = registers.c;
    FileSlot* slot = number > 12 ? find_file_slot(registers.de()) : nullptr;
    const BdosFunction* function = dispatch_table[number];
    if (!function) {
        console.message("Func=%02X\n", number);
        registers.a = 0xFF;
    } else {
        (this->*function->function)(slot);
    }
    if (function && function->result == Result::word) {
        registers.a = registers.l;
        registers.b = registers.h;
    } else {
        registers.l = registers.a;
        registers.h = registers.b = 0x00;
    }
}

const char* bdos_function_name(std::uint8_t number) {
    const BdosFunction* function = dispatch_table[number];
    return function ? function->name : nullptr;
}

bool bdos_function_returns_word(std::uint8_t number) {
    const BdosFunction* function = dispatch_table[number];
    return function && function->result == Result::word;
}

// Console output as CP/M 2.2's functions write it: to the screen, to the
// printer too while Ctrl+P has the echo on, and counted into the column: a
// printable byte moves it on, TAB to the next multiple of 8, BS back, CR to
// the margin; other control bytes and DEL leave it.
void Bdos::write_console(std::uint8_t byte) {
    console.console_out(byte);
    if (printer_echo)
        console.list_out(byte);
    if (byte == 0x0D)
        column = 0;
    else if (byte == 0x09)
        column = std::uint8_t((column | 7) + 1);
    else if (byte == 0x08)
        column -= column > 0;
    else if (byte >= 0x20 && byte != 0x7F)
        ++column;
}

// CP/M 2.2's look at the keyboard before console output: a key typed
// meanwhile is read. ^S pauses until one more key comes, which is dropped,
// unless it is ^C, which ends the run as a warm boot; any other key is kept
// for the next read, so that typing ahead loses nothing. A key kept already
// stops the look, and script text is never taken here.
void Bdos::look_for_pause() {
    if (console.has_kept_key() || !console.terminal.key_typed())
        return;
    const std::uint8_t key = console.console_in();
    if (key != 0x13)
        console.keep_key(key);
    else if (console.console_in() == 0x03)
        end_run(0);
}

// The echo is CP/M 2.2's: printable characters, CR, LF, Backspace and TAB.
// Other control characters are returned unechoed, so that an Escape cannot
// start a terminal control string. The read that meets the end of the input
// ends the run and echoes nothing.
void Bdos::console_input(FileSlot*) {
    const std::uint8_t key = console.console_in();
    registers.a = key;
    const bool echoed = key >= 0x20 || key == 0x0D || key == 0x0A || key == 0x08 || key == 0x09;
    if (echoed && !console.terminal.input_ended())
        write_console(key);
}

void Bdos::console_output(FileSlot*) {
    look_for_pause();
    if (!run_ending)
        write_console(registers.e);
    registers.a = 0x00;
}

void Bdos::reader_input(FileSlot*) { registers.a = console.reader_in(); }

void Bdos::punch_output(FileSlot*) {
    console.punch_out(registers.e);
    registers.a = 0x00;
}

void Bdos::list_output(FileSlot*) {
    console.list_out(registers.e);
    registers.a = 0xFF;
}

// E = 0xFF reads a key without waiting: a kept or typed key, or the next
// byte of script text. Other bytes go to the screen alone, as CP/M 2.2 sends
// them: no pause, no printer echo, no column.
void Bdos::direct_console_io(FileSlot*) {
    if (registers.e == 0xFF) {
        console.terminal.flush();
        registers.a = console.key_waiting() ? console.console_in() : 0x00;
    } else {
        console.console_out(registers.e);
        registers.a = 0x00;
    }
}

// IOBYTE lives at 0x0003, where programs also read and write it directly.
void Bdos::get_io_byte(FileSlot*) { registers.a = memory[address::iobyte]; }

void Bdos::set_io_byte(FileSlot*) {
    memory[address::iobyte] = registers.e;
    registers.a = 0x00;
}

// Writes up to the '$', which stays unwritten with DE left on it; the string
// may run through 0xFFFF into page zero.
void Bdos::print_string(FileSlot*) {
    look_for_pause();
    std::uint16_t address = registers.de();
    for (std::uint8_t byte = memory[address]; byte != '$' && !run_ending; byte = memory[address]) {
        ++address;
        write_console(byte);
    }
    registers.set_de(address);
    registers.a = 0xFF;
}

namespace {

constexpr std::uint8_t control_c = 0x03, control_e = 0x05, control_p = 0x10, control_r = 0x12, control_u = 0x15,
                       control_x = 0x18;

}  // namespace

// The echo of a character of the line: TAB as 8 blanks, another control
// character as ^ and its letter.
void Bdos::echo_line_character(std::uint8_t character) {
    if (character == 0x09) {
        for (unsigned blank = 0; blank < 8; ++blank)
            write_console(' ');
    } else if (character < 0x20) {
        write_console('^');
        write_console(character + 0x40);
    } else {
        write_console(character);
    }
}

// Erases the last column on the screen, for the screen alone.
void Bdos::back_up() {
    console.console_out(0x08);
    console.console_out(0x20);
    console.console_out(0x08);
    column -= column > 0;
}

// Line input into the buffer at DE (the DMA address when DE is 0): byte 0
// holds the room, byte 1 receives the count, the characters follow with a
// zero after them. The keys edit as CP/M 2.2's do:
//   Enter (CR) or ^J ends the line, unstored;
//   DEL, or BS as CP/M 2.2 and the named terminals' Backspace have it,
//     erases the columns the last echo took;
//   ^X erases the line on the screen and starts it again;
//   ^U writes '#', starts a new screen line at the line's first column and
//     the line again;
//   ^R does the same and retypes the line;
//   ^E starts a new screen line, the line going on;
//   ^P turns the printer echo of console output on or off;
//   ^C on an empty line ends the run through a warm boot;
//   every other key is stored and echoed, a control character as ^X.
// A is the last byte echoed when the line fills (0x08 after TAB), 0x0D when
// it ends, 0xFF for a buffer of no room. The end of the line writes a CR, as
// CP/M 2.2 does, so that a program that follows it with LF alone starts the
// next line at the margin.
void Bdos::read_console_buffer(FileSlot*) {
    const std::uint16_t buffer = registers.de() != 0 ? registers.de() : dma_address;
    auto at = [&](unsigned offset) -> std::uint8_t& { return memory[std::uint16_t(buffer + offset)]; };
    const unsigned room = at(0);
    std::uint8_t start_column = column;
    unsigned count = 0;
    std::uint8_t result = 0xFF;
    const auto new_screen_line = [&] {
        write_console('#');
        write_console(0x0D);
        write_console(0x0A);
        while (column < start_column)
            write_console(' ');
    };
    while (count < room) {
        const std::uint8_t key = console.console_in();
        if (key == 0x0D || key == 0x0A) {
            result = 0x0D;
            break;
        }
        switch (key) {
        case 0x7F:
        case 0x08:
            if (count > 0) {
                const std::uint8_t erased = at(2 + --count);
                const unsigned columns = erased == 0x09 ? 8 : erased < 0x20 ? 2 : 1;
                for (unsigned erasure = 0; erasure < columns; ++erasure)
                    back_up();
            }
            continue;
        case control_x:
            while (column > start_column)
                back_up();
            count = 0;
            continue;
        case control_u:
            new_screen_line();
            count = 0;
            continue;
        case control_r:
            new_screen_line();
            for (unsigned index = 0; index < count; ++index)
                echo_line_character(at(2 + index));
            continue;
        case control_e:
            write_console(0x0D);
            write_console(0x0A);
            start_column = 0;
            continue;
        case control_p:
            printer_echo = !printer_echo;
            continue;
        default: break;
        }
        at(2 + count++) = key;
        echo_line_character(key);
        result = key == 0x09 ? 0x08 : key < 0x20 ? key + 0x40 : key;
        if (key == control_c && count == 1) {
            processor.push_word(0x0000);
            return;
        }
    }
    at(2 + count) = 0x00;
    at(1) = std::uint8_t(count);
    registers.a = result;
    if (!console.terminal.input_ended())
        write_console(0x0D);
}

void Bdos::get_console_status(FileSlot*) { registers.a = console.console_status(); }

void Bdos::return_version_number(FileSlot*) {
    registers.set_hl(0x0022);
}

// Drives A-P exist; selecting another answers 0xFF and leaves the current
// drive as it was. An unmapped drive is selected too, so that a program that
// then names the current drive names it, and cannot change files in A:'s
// directory by mistake (see may_change).
void Bdos::select_disk(FileSlot*) {
    const unsigned drive = registers.e;
    const bool exists = drive < drive_directories.size();
    if (exists)
        current_drive = std::uint8_t(drive);
    registers.a = exists ? 0x00 : 0xFF;
}

// Bit n for drive n: A: and every mapped drive.
void Bdos::return_login_vector(FileSlot*) {
    std::uint16_t vector = 0x0001;
    for (unsigned drive = 1; drive < drive_directories.size(); ++drive) {
        if (drive_directories[drive])
            vector |= std::uint16_t(1u << drive);
    }
    registers.set_hl(vector);
}

void Bdos::return_current_disk(FileSlot*) { registers.a = current_drive; }

void Bdos::set_dma_address(FileSlot*) {
    dma_address = registers.de();
    registers.a = 0xFF;
}

void Bdos::get_read_only_vector(FileSlot*) {
    std::uint16_t vector = 0x0000;
    for (unsigned drive = 1; drive < drive_directories.size(); ++drive) {
        if (!drive_exists(drive))
            vector |= std::uint16_t(1u << drive);
    }
    registers.set_hl(vector);
}

// User numbers are 0-31: CP/M 2.2 keeps the low five bits of E.
void Bdos::get_set_user_code(FileSlot*) {
    if (registers.e != 0xFF)
        user_code = registers.e & 0x1F;
    registers.a = user_code;
}

// CP/M 3's program return code, 0 until the program sets it: DE = 0xFFFF
// reads it into HL, any other DE sets it. 0x0000-0xFEFF is success, exit
// status 0; 0xFF00-0xFFFE is failure, exit status 1, or the low byte when
// that is not zero.
void Bdos::get_set_return_code(FileSlot*) {
    if (registers.de() == 0xFFFF) {
        registers.set_hl(return_code.value_or(0));
        return;
    }
    return_code = registers.de();
    const std::uint8_t low = std::uint8_t(*return_code);
    exit_status = *return_code < 0xFF00 ? 0 : low != 0 ? low : 1;
    registers.set_hl(0x0000);
}

// SUBMIT leaves its batch in $$$.SUB for the command processor, and a CP/M
// compiler deletes that file to stop the batch after an error: here the
// deletion says that the program failed.
void Bdos::note_batch_deletion() {
    if (!return_code && host::equal_ignoring_case(fcb_to_host_name(registers.de() + 1), "$$$.SUB"))
        exit_status = 1;
}

}  // namespace kavo
