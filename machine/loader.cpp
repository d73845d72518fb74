// The loader and the supervisor loop: builds the CP/M memory image, loads the program and serves its traps.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <string>

#include "bdos/memory_map.h"
#include "machine/machine.h"

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

// The program named on kavo's command line, with its arguments as the command
// tail and their first two as the FCBs; 0. When there is nothing to run, the
// exit status instead, after the message that says why: 2 for a command tail
// longer than its room, 1 for a program that cannot be loaded.
int Machine::load_image(int argument_count, char** argument_vector) {
    PageZero page_zero;
    if (argument_count >= 3)
        page_zero.fcb1 = fcb_name_of_host(argument_vector[2]);
    if (argument_count >= 4)
        page_zero.fcb2 = fcb_name_of_host(argument_vector[3]);
    for (int index = 2; index < argument_count; ++index)
        page_zero.tail += std::string(" ") + argument_vector[index];
    if (page_zero.tail.size() > tail_limit) {
        console.error("kavo: the arguments make a command tail of %zu characters; a program receives at most %zu\n",
                      page_zero.tail.size(), tail_limit);
        return 2;
    }

    // The name is assembled where the image will go, and what the image does
    // not cover of it stays there, as it would on CP/M. The image is read
    // straight into memory.
    const std::string name = program_file_name(argument_vector[1]);
    host::ProgramRead program;
    load_transient(
        [&](std::span<std::uint8_t> image) {
            if (name.size() < image.size())
                std::memcpy(image.data(), name.c_str(), name.size() + 1);
            program = host::read_program(name, image);
            return program.error == 0;
        },
        page_zero);
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
    return 0;
}

bool Machine::load_transient(const ImageReader& read_image, const PageZero& page_zero) {
    std::array<std::uint8_t, 0x10000>& memory = processor.memory;
    memory.fill(0);
    bdos.install();
    if (!read_image(std::span(memory).subspan(address::program, image_limit)))
        return false;
    std::memcpy(&memory[address::fcb1], page_zero.fcb1.data(), page_zero.fcb1.size());
    std::memcpy(&memory[address::fcb2], page_zero.fcb2.data(), page_zero.fcb2.size());
    const std::size_t length = std::min(page_zero.tail.size(), tail_limit);
    memory[address::command_tail] = std::uint8_t(length);
    for (std::size_t index = 0; index < length; ++index)
        memory[address::command_tail + 1 + index] = upper(page_zero.tail[index]);
    memory[address::command_tail + 1 + length] = 0;
    memory[address::drive_and_user] = std::uint8_t((bdos.user_code & 0x0F) << 4 | (bdos.current_drive & 0x0F));
    processor.registers.pc = address::program;
    processor.registers.sp = address::stack;
    return true;
}

bool Machine::open_devices() {
    return bdos.open_drives(options.drives) && console.open_devices(options.printer, options.punch, options.reader);
}

bool Machine::load(int argument_count, char** argument_vector) {
    bdos.exit_status = open_devices() ? load_image(argument_count, argument_vector) : 1;
    return bdos.exit_status == 0;
}

bool Machine::open_trace() {
    if (options.trace.any())
        trace = Trace::open(*this);
    return !options.trace.any() || trace;
}

int Machine::run_program(int argument_count, char** argument_vector) {
    if (load(argument_count, argument_vector)) {
        // A trace file that cannot be written ends the run before the program starts.
        if (!open_trace())
            return 1;
        console.start(options.terminal, options.keys);
        run_loaded();
        bdos.search_handle.reset();
    }
    const int console_status = console.terminal.finish();
    return console_status != 0 ? console_status : bdos.exit_status;
}

void Machine::run_loaded() {
    if (trace)
        return trace->run();
    // The instruction set is chosen once for the run.
    const auto run = options.instruction_set == InstructionSet::z80 ? &Processor::run_until_trap_z80
                                                                    : &Processor::run_until_trap;
    // Stop::none comes only from the fuzzing build's spent instruction budget.
    for (Stop stop = (processor.*run)(); stop != Stop::none && serve(stop); stop = (processor.*run)()) {
    }
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
