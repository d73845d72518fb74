// The loader and the supervisor loop: builds the CP/M memory image, loads the program and serves its traps.
#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "bdos/memory_map.h"
#include "machine/machine.h"
#include "machine/trace.h"

namespace kavo {

namespace {

// The image fills memory from 0x0100 up to the system area at most.
constexpr std::size_t image_limit = address::system_area - address::program;
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

// Writes the system's tables and entries, then the program image, then page
// zero's FCBs and command tail; 0. When there is nothing to run, the exit
// status instead, after the message that says why: 2 for a command tail
// longer than its room, 1 for a program that cannot be loaded.
int Machine::load_image(int argument_count, char** argument_vector) {
    std::size_t tail_length = 0;
    for (int index = 2; index < argument_count; ++index)
        tail_length += 1 + std::strlen(argument_vector[index]);
    if (tail_length > tail_limit) {
        console.error("kavo: the arguments make a command tail of %zu characters; a program receives at most %zu\n",
                      tail_length, tail_limit);
        return 2;
    }

    std::array<std::uint8_t, 0x10000>& memory = processor.memory;
    memory.fill(0);
    bdos.install();

    // The name is assembled where the image will go, and what the image does
    // not cover of it stays there, as it would on CP/M. The image is read
    // straight into memory.
    const std::string name = program_file_name(argument_vector[1]);
    if (name.size() < image_limit)
        std::memcpy(&memory[address::program], name.c_str(), name.size() + 1);
    const host::ProgramRead program =
        host::read_program(name, std::span(memory).subspan(address::program, image_limit));
    if (program.error == EFBIG) {
        console.error("kavo: %s: %zu bytes, more than the %zu that fit from %04X to %04X\n", name.c_str(),
                      program.size, image_limit, address::program, address::system_area - 1);
        return 1;
    }
    if (program.error != 0) {
        console.error("kavo: %s: %s\n", name.c_str(),
                      program.error == ENODEV ? "not a regular file" : std::strerror(program.error));
        return 1;
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
    for (int index = 2; index < argument_count; ++index)
        tail += std::string(" ") + argument_vector[index];
    memory[address::command_tail] = std::uint8_t(tail.size());
    for (std::size_t index = 0; index < tail.size(); ++index)
        memory[address::command_tail + 1 + index] = upper(tail[index]);
    memory[address::command_tail + 1 + tail.size()] = 0;
    return 0;
}

bool Machine::load(int argument_count, char** argument_vector) {
    bdos.exit_status = bdos.open_drives(options.drives) ? load_image(argument_count, argument_vector) : 1;
    if (bdos.exit_status != 0)
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
        console.start(options.terminal, options.keys);
        if (trace) {
            trace->run();
        } else {
            // The instruction set is chosen once for the run.
            const auto run = options.instruction_set == InstructionSet::z80 ? &Processor::run_until_trap_z80
                                                                            : &Processor::run_until_trap;
            while (serve((processor.*run)())) {
            }
        }
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
