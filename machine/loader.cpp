// The loader and the supervisor loop: builds the CP/M memory image, loads the program and serves its traps.
#include <cstring>
#include <span>
#include <string>

#include "cpu/machine.h"
#include "machine/memory_map.h"

namespace kavo {

namespace {

// The image may fill memory from 0x0100 through 0xFFFF, over the tables
// written before it.
constexpr std::size_t image_limit = 0x10000 - address::program;
constexpr std::size_t tail_limit = 126;  // characters between 0x0081 and the zero byte

// One drive of 200 blocks of 2 KiB with 128 directory entries and no reserved tracks.
constexpr std::uint8_t disk_parameter_block[15] = {0x28, 0x00, 0x04, 0x0F, 0x01, 0xC7, 0x00, 0x7F,
                                                   0x00, 0xC0, 0x00, 0x20, 0x00, 0x00, 0x00};

std::uint8_t upper(std::uint8_t byte) { return byte >= 'a' && byte <= 'z' ? byte - 0x20 : byte; }

// ".com" is added unless the name already ends in it, in any case.
std::string program_file_name(const char* argument) {
    std::string name = argument;
    bool has_extension = name.size() >= 4 && upper(name[name.size() - 4]) == '.' &&
                         upper(name[name.size() - 3]) == 'C' && upper(name[name.size() - 2]) == 'O' &&
                         upper(name[name.size() - 1]) == 'M';
    if (!has_extension)
        name += ".com";
    return name;
}

}  // namespace

void Machine::host_name_to_fcb(const char* name, std::uint16_t fcb) {
    const auto* current = reinterpret_cast<const std::uint8_t*>(name);
    std::uint8_t drive = 0;
    if (current[0] != 0 && current[1] == ':') {
        drive = std::uint8_t(current[0] - 64);
        current += 2;
    }
    memory[fcb] = drive;
    for (unsigned position = 0; position < 11; ++position) {
        std::uint8_t byte = ' ';
        if (*current != 0 && *current != '.')
            byte = *current++;
        memory[std::uint16_t(fcb + 1 + position)] = upper(byte);
        if (position == 7 && *current == '.')
            ++current;
    }
}

// Writes the tables and the jump vector, then the program image over them,
// then page zero's FCBs and command tail. False, after the missing-file
// message, when there is no program to run.
bool Machine::load_image(int argument_count, char** argument_vector) {
    memory.fill(0);
    memory[address::allocation_vector] = 0xC0;  // blocks 0 and 1 hold the directory
    const std::uint8_t page_zero[8] = {0xC3, 0xC6, 0xFF, 0x00, 0x00, 0xC3, 0xC0, 0xFF};
    std::memcpy(&memory[0], page_zero, sizeof page_zero);
    // The BDOS entry and the 17 BIOS entries each jump to themselves, so a
    // program that reads a target out of the vector and calls it lands on
    // the entry it meant.
    for (unsigned entry = address::bdos_entry; entry <= address::bios_last_entry; entry += 3) {
        memory[entry] = 0xC3;
        write_word(entry + 1, std::uint16_t(entry));
    }
    const std::uint16_t header = address::disk_parameter_header;
    write_word(header + 8, address::directory_buffer);
    write_word(header + 10, address::disk_parameter_block);
    write_word(header + 12, address::check_vector);
    write_word(header + 14, address::allocation_vector);
    std::memcpy(&memory[address::disk_parameter_block], disk_parameter_block, sizeof disk_parameter_block);

    // The name is assembled where the image will go, and what the image does
    // not cover of it stays there, as it would on CP/M. The image is read
    // straight into memory.
    std::string name = program_file_name(argument_vector[1]);
    bool loaded = false;
    if (name.size() < image_limit) {
        std::memcpy(&memory[address::program], name.c_str(), name.size() + 1);
        loaded = host::read_program(name, std::span(memory).subspan(address::program)).has_value();
    }
    if (!loaded) {
        message("File %s not found.\n", name.c_str());
        return false;
    }

    if (argument_count >= 3)
        host_name_to_fcb(argument_vector[2], address::fcb1);
    else
        std::memset(&memory[address::fcb1 + 1], ' ', 11);
    if (argument_count >= 4)
        host_name_to_fcb(argument_vector[3], address::fcb2);
    else
        std::memset(&memory[address::fcb2 + 1], ' ', 11);

    std::string tail;
    for (int index = 2; index < argument_count && tail.size() < tail_limit; ++index)
        tail += std::string(" ") + argument_vector[index];
    tail.resize(std::min(tail.size(), tail_limit));
    memory[address::command_tail] = std::uint8_t(tail.size());
    for (std::size_t index = 0; index < tail.size(); ++index)
        memory[address::command_tail + 1 + index] = upper(tail[index]);
    memory[address::command_tail + 1 + tail.size()] = 0;
    return true;
}

bool Machine::load(int argument_count, char** argument_vector) {
    if (argument_count < 2) {
        message("Usage: kavo.exe <command>\n");
        return false;
    }
    if (!open_drives() || !load_image(argument_count, argument_vector))
        return false;
    registers.pc = address::program;
    registers.sp = address::stack;
    return true;
}

int Machine::run_program(int argument_count, char** argument_vector) {
    if (load(argument_count, argument_vector)) {
        start_console();
        // The processor is chosen once for the run.
        const auto run =
            options.processor == Processor::z80 ? &Machine::run_until_trap_z80 : &Machine::run_until_trap;
        while (serve((this->*run)())) {
        }
        search_handle.reset();
    }
    const int console_status = terminal.finish();
    return console_status != 0 ? console_status : exit_status;
}

bool Machine::serve(Stop stop) {
    if (stop == Stop::halt) {
        message("\nHALT instruction\n");
        return false;
    }
    const std::uint16_t pc = registers.pc;
    if (pc == address::bios_warm_boot)
        return false;
    if (pc == address::bdos_entry) {
        if (registers.c == 0)
            return false;
        bdos_call();
    } else if (!bios_call(pc)) {
        message("PC=%04X trap=%02X\n", pc, unsigned(int(pc) - address::bios_warm_boot));
    }
    terminal.end_request();
    if (run_ending || terminal.input_ended() || terminal.output_failed())
        return false;
    set_pc(pop_word());
    return true;
}

}  // namespace kavo
