// The loader and the supervisor loop: builds the CP/M memory image, loads the program and serves its traps.
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "bdos/memory_map.h"
#include "machine/machine.h"

namespace kavo {

namespace {

// The image may fill the program's memory, from 0x0100 up to the BDOS page.
constexpr std::size_t image_limit = address::bdos_page - address::program;
constexpr std::size_t tail_limit = 126;  // characters between 0x0081 and the zero byte

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

// Reads the program image into the program's memory, then writes the
// system's part (page zero, the BDOS page, the jump vector), then page
// zero's FCBs and command tail. False, after a message, when there is no
// program to run, or one too large for its memory (exit status 1).
bool Machine::load_image(int argument_count, char** argument_vector) {
    std::array<std::uint8_t, 0x10000>& memory = processor.memory;
    memory.fill(0);

    // The name is assembled where the image will go, and what the image does
    // not cover of it stays there, as it would on CP/M. The image is read
    // straight into memory; one byte more than its room tells a program too
    // large, and the system's part is written after it.
    std::string name = program_file_name(argument_vector[1]);
    std::optional<std::size_t> loaded;
    if (name.size() < image_limit) {
        std::memcpy(&memory[address::program], name.c_str(), name.size() + 1);
        loaded = host::read_program(name, std::span(memory).subspan(address::program, image_limit + 1));
    }
    if (!loaded) {
        console.message("File %s not found.\n", name.c_str());
        return false;
    }
    if (*loaded > image_limit) {
        console.error("kavo: %s does not fit below the system: programs have %zu bytes from 0100h to %04Xh\n",
                      name.c_str(), image_limit, address::bdos_page - 1u);
        bdos.exit_status = 1;
        return false;
    }
    bdos.install();

    if (argument_count >= 3)
        bdos.host_name_to_fcb(argument_vector[2], address::fcb1);
    else
        std::memset(&memory[address::fcb1 + 1], ' ', 11);
    if (argument_count >= 4)
        bdos.host_name_to_fcb(argument_vector[3], address::fcb2);
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
        console.message("Usage: kavo.exe <command>\n");
        return false;
    }
    if (!bdos.open_drives(options.drives) || !load_image(argument_count, argument_vector))
        return false;
    if (!console.open_devices(options.printer, options.punch, options.reader)) {
        bdos.exit_status = 1;
        return false;
    }
    processor.registers.pc = address::program;
    processor.registers.sp = address::stack;
    return true;
}

int Machine::run_program(int argument_count, char** argument_vector) {
    if (load(argument_count, argument_vector)) {
        console.start(options.terminal);
        // The instruction set is chosen once for the run.
        const auto run = options.instruction_set == InstructionSet::z80 ? &Processor::run_until_trap_z80
                                                                        : &Processor::run_until_trap;
        while (serve((processor.*run)())) {
        }
        console.finish_screen();
        bdos.search_handle.reset();
    }
    const int console_status = console.terminal.finish();
    return console_status != 0 ? console_status : bdos.exit_status;
}

bool Machine::serve(Stop stop) {
    if (stop == Stop::halt) {
        console.message("\nHALT instruction\n");
        return false;
    }
    const std::uint16_t pc = processor.registers.pc;
    if (pc == address::bios_warm_boot)
        return false;
    if (pc == address::bdos_trap) {
        if (processor.registers.c == 0)
            return false;
        bdos.bdos_call();
    } else if (!bdos.bios_call(pc)) {
        console.message("PC=%04X trap=%02X\n", pc, unsigned(int(pc) - address::bios_warm_boot));
    }
    console.terminal.end_request();
    if (bdos.run_ending || console.terminal.input_ended() || console.terminal.output_failed())
        return false;
    processor.set_pc(processor.pop_word());
    return true;
}

}  // namespace kavo
