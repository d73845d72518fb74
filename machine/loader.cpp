// The loader and the supervisor loop: builds the CP/M memory image, loads the program and serves its traps.
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "bdos/memory_map.h"
#include "machine/machine.h"
#include "machine/trace.h"

namespace kavo {

namespace {

// The image may fill memory from 0x0100 through 0xFFFF, over the tables
// written before it.
constexpr std::size_t image_limit = 0x10000 - address::program;
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

// Writes the system's tables and entries, then the program image over them,
// then page zero's FCBs and command tail. False, after the missing-file
// message, when there is no program to run.
bool Machine::load_image(int argument_count, char** argument_vector) {
    std::array<std::uint8_t, 0x10000>& memory = processor.memory;
    memory.fill(0);
    bdos.install();

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
        console.message("File %s not found.\n", name.c_str());
        return false;
    }

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
    processor.registers.pc = address::program;
    processor.registers.sp = address::stack;
    return true;
}

int Machine::run_program(int argument_count, char** argument_vector) {
    if (load(argument_count, argument_vector)) {
        // A trace file that cannot be written ends the run before the program starts.
        const std::unique_ptr<Trace> trace = options.trace.any() ? Trace::open(*this) : nullptr;
        if (options.trace.any() && !trace)
            return 1;
        console.start(options.terminal);
        if (trace) {
            trace->run();
        } else {
            // The instruction set is chosen once for the run.
            const auto run = options.instruction_set == InstructionSet::z80 ? &Processor::run_until_trap_z80
                                                                            : &Processor::run_until_trap;
            while (serve((processor.*run)())) {
            }
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
    if (pc == address::bdos_entry) {
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
