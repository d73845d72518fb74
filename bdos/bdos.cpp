// BDOS dispatch over the function number in C, and the console and system functions.
#include <array>
#include <utility>

#include "cpu/machine.h"
#include "machine/memory_map.h"

namespace kavo {

namespace {

using Function = void (Machine::*)(FileSlot* slot);

// Every BDOS function the system performs; all other numbers get the default
// action.
constexpr std::pair<std::uint8_t, Function> bdos_functions[] = {
    {1, &Machine::console_input},
    {2, &Machine::console_output},
    {3, &Machine::reader_input},
    {4, &Machine::punch_output},
    {5, &Machine::list_output},
    {6, &Machine::direct_console_io},
    {9, &Machine::print_string},
    {10, &Machine::read_console_buffer},
    {11, &Machine::get_console_status},
    {12, &Machine::return_version_number},
    {13, &Machine::reset_disk_system},
    {14, &Machine::select_disk},
    {15, &Machine::open_file},
    {16, &Machine::close_file},
    {17, &Machine::search_for_first},
    {18, &Machine::search_for_next},
    {19, &Machine::delete_file},
    {20, &Machine::read_sequential},
    {21, &Machine::write_sequential},
    {22, &Machine::make_file},
    {23, &Machine::rename_file},
    {24, &Machine::return_login_vector},
    {25, &Machine::return_current_disk},
    {26, &Machine::set_dma_address},
    {27, &Machine::get_allocation_vector},
    {29, &Machine::get_read_only_vector},
    {30, &Machine::set_file_attributes},
    {31, &Machine::get_disk_parameters},
    {32, &Machine::get_set_user_code},
    {33, &Machine::read_random},
    {34, &Machine::write_random},
    {35, &Machine::compute_file_size},
    {36, &Machine::set_random_record},
    {37, &Machine::reset_drive},
    {40, &Machine::write_random_with_zero_fill},
    {108, &Machine::get_set_return_code},
};

constexpr auto dispatch_table = [] {
    std::array<Function, 256> table{};
    for (auto [number, function] : bdos_functions)
        table[number] = function;
    return table;
}();

}  // namespace

// The console functions (1-12) take no file slot. The lookup changes nothing,
// so it is left out for them: output comes one call per character.
void Machine::bdos_call() {
    const std::uint8_t number = registers.c;
    FileSlot* slot = number > 12 ? find_file_slot(registers.de()) : nullptr;
    if (Function function = dispatch_table[number]) {
        (this->*function)(slot);
    } else {
        message("Func=%02X\n", number);
        registers.a = 0xFF;
    }
}

// The echo is CP/M 2.2's: printable characters, CR, LF, Backspace and TAB.
// Other control characters are returned unechoed, so that an Escape cannot
// start a terminal control string. The read that meets the end of the input
// ends the run and echoes nothing.
void Machine::console_input(FileSlot*) {
    const std::uint8_t key = console_in();
    registers.a = registers.l = key;
    const bool echoed = key >= 0x20 || key == 0x0D || key == 0x0A || key == 0x08 || key == 0x09;
    if (echoed && !terminal.input_ended())
        console_out(key);
}

// Output pauses while ^S is the waiting key, until one more key comes; any
// waiting typed key is consumed. Script text is never taken here.
void Machine::console_output(FileSlot*) {
    if (terminal.key_typed()) {
        if (console_in() == 0x13)
            console_in();
    }
    console_out(registers.e);
    registers.a = 0x00;
}

void Machine::reader_input(FileSlot*) { registers.a = registers.l = console_in(); }

void Machine::punch_output(FileSlot*) {
    console_out(registers.e);
    registers.a = 0x00;
}

void Machine::list_output(FileSlot*) {
    list_out(registers.e);
    registers.a = 0xFF;
}

// E = 0xFF reads a key without waiting: a typed key, or the next byte of
// script text.
void Machine::direct_console_io(FileSlot*) {
    if (registers.e == 0xFF) {
        terminal.flush();
        registers.a = terminal.key_waiting() ? console_in() : 0x00;
    } else {
        console_out(registers.e);
        registers.a = 0x00;
    }
}

// Writes up to the '$', which stays unwritten with DE left on it; the string
// may run through 0xFFFF into page zero.
void Machine::print_string(FileSlot*) {
    std::uint16_t address = registers.de();
    for (std::uint8_t byte = memory[address]; byte != '$'; byte = memory[address]) {
        ++address;
        console_out(byte);
    }
    registers.set_de(address);
    registers.a = 0xFF;
}

// Line input into the buffer at DE (the DMA address when DE is 0): byte 0
// holds the room, byte 1 receives the count, the characters follow with a
// zero after them. Enter ends the line unstored; DEL, or BS as CP/M 2.2 and
// the named terminals' Backspace have it, erases the columns the last echo took; control characters echo as ^X; ^C on an empty line ends
// the run through a warm boot. A is the last byte echoed, 0x08 after TAB,
// 0x0D after Enter, 0xFF for a buffer of no room. The end of the line writes
// a CR, as CP/M 2.2 does, so that a program that follows it with LF alone
// starts the next line at the margin.
void Machine::read_console_buffer(FileSlot*) {
    const std::uint16_t buffer = registers.de() != 0 ? registers.de() : dma_address;
    auto at = [&](unsigned offset) -> std::uint8_t& { return memory[std::uint16_t(buffer + offset)]; };
    const unsigned room = at(0);
    unsigned count = 0;
    std::uint8_t result = 0xFF;
    while (count < room) {
        const std::uint8_t key = console_in();
        if (key == 0x0D) {
            result = 0x0D;
            break;
        }
        if (key == 0x7F || key == 0x08) {
            if (count == 0)
                continue;
            const std::uint8_t erased = at(2 + --count);
            const unsigned columns = erased == 0x09 ? 8 : erased < 0x20 ? 2 : 1;
            for (unsigned column = 0; column < columns; ++column) {
                console_out(0x08);
                console_out(0x20);
                console_out(0x08);
            }
            result = 0x00;
            continue;
        }
        at(2 + count++) = key;
        if (key == 0x09) {
            for (unsigned column = 0; column < 8; ++column)
                console_out(0x20);
            result = 0x08;
        } else if (key < 0x20) {
            console_out('^');
            console_out(key + 0x40);
            result = key + 0x40;
            if (key == 0x03 && count == 1) {
                push_word(0x0000);
                return;
            }
        } else {
            console_out(key);
            result = key;
        }
    }
    at(2 + count) = 0x00;
    at(1) = std::uint8_t(count);
    registers.a = result;
    if (!terminal.input_ended())
        console_out(0x0D);
}

void Machine::get_console_status(FileSlot*) { registers.a = console_status(); }

void Machine::return_version_number(FileSlot*) {
    registers.set_hl(0x0022);
    registers.a = 0x22;
    registers.b = 0x00;
}

// A: and every mapped drive exist; selecting another answers 0xFF and
// leaves the current drive as it was.
void Machine::select_disk(FileSlot*) {
    const unsigned drive = registers.e;
    const bool exists = drive == 0 || (drive < drive_directories.size() && drive_directories[drive]);
    if (exists)
        current_drive = std::uint8_t(drive);
    registers.a = registers.l = exists ? 0x00 : 0xFF;
}

// Bit n for drive n: A: and every mapped drive.
void Machine::return_login_vector(FileSlot*) {
    std::uint16_t vector = 0x0001;
    for (unsigned drive = 1; drive < drive_directories.size(); ++drive) {
        if (drive_directories[drive])
            vector |= std::uint16_t(1u << drive);
    }
    registers.set_hl(vector);
    registers.a = 0x00;
}

void Machine::return_current_disk(FileSlot*) { registers.a = current_drive; }

void Machine::set_dma_address(FileSlot*) {
    dma_address = registers.de();
    registers.a = 0xFF;
}

void Machine::get_allocation_vector(FileSlot*) {
    registers.set_hl(address::allocation_vector);
    registers.a = 0xFF;
}

void Machine::get_read_only_vector(FileSlot*) {
    registers.set_hl(0x0000);
    registers.a = 0xFF;
}

void Machine::get_disk_parameters(FileSlot*) {
    registers.set_hl(address::disk_parameter_block);
    registers.a = 0xFF;
}

void Machine::get_set_user_code(FileSlot*) {
    if (registers.e != 0xFF)
        user_code = registers.e;
    registers.a = user_code;
}

// CP/M 3's program return code, 0 until the program sets it: DE = 0xFFFF
// reads it into HL (A = L, B = H), any other DE sets it. 0x0000-0xFEFF is
// success, exit status 0; 0xFF00-0xFFFE is failure, exit status 1, or the
// low byte when that is not zero.
void Machine::get_set_return_code(FileSlot*) {
    if (registers.de() == 0xFFFF) {
        registers.set_hl(return_code.value_or(0));
        registers.a = registers.l;
        registers.b = registers.h;
        return;
    }
    return_code = registers.de();
    const std::uint8_t low = std::uint8_t(*return_code);
    exit_status = *return_code < 0xFF00 ? 0 : low != 0 ? low : 1;
}

// SUBMIT leaves its batch in $$$.SUB for the command processor, and a CP/M
// compiler deletes that file to stop the batch after an error: here the
// deletion says that the program failed.
void Machine::note_batch_deletion() {
    if (!return_code && host::equal_ignoring_case(fcb_to_host_name(registers.de() + 1), "$$$.SUB"))
        exit_status = 1;
}

}  // namespace kavo
