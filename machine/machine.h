// The one object of a run: the processor, the console and the CP/M system, composed by the loader and the supervisor.
#pragma once

#include "bdos/bdos.h"
#include "cpu/processor.h"
#include "host/console.h"
#include "machine/options.h"

namespace kavo {

class Machine {
public:
    // The first undefined 8080 opcode of a run gets the Z80 hint on standard
    // error.
    Machine() {
        processor.undefined_opcode_observer = [this](std::uint8_t opcode, std::uint16_t address) {
            console.error("kavo: opcode %02X at %04X is not an 8080 instruction; for Z80 programs use --z80\n", opcode,
                          address);
        };
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The run's choices from the command line.
    Options options;

    Processor processor;
    host::ConsoleDevice console;
    Bdos bdos{processor, console};

    // Builds the memory image from the command line (element 1 the program,
    // so argument_count is at least 2) and loads the program, with PC and SP
    // at their start. Returns false instead, after one line on standard
    // error, when there is nothing to run: the exit status is then 2 for a
    // command tail longer than the 126 characters a program receives, 1 for
    // a program that cannot be loaded.
    bool load(int argument_count, char** argument_vector);
    // Loads the program and runs it to its end on the console, traced as
    // options.trace asks; the exit status: 1 when output could not be
    // written or the trace file not opened, 130 after Ctrl+\, else the
    // status of a load that failed or the one the program's requests chose.
    int run_program(int argument_count, char** argument_vector);

    // One pass of the supervisor over a stop of the processor: ends the run
    // (false) on HLT, warm boot, BDOS function 0, a request that ends it, a
    // read past the end of the input or output that cannot be written;
    // otherwise serves the BDOS or BIOS request at PC, or reports an address
    // without service, and returns to the caller.
    bool serve(Stop stop);

private:
    int load_image(int argument_count, char** argument_vector);
};

}  // namespace kavo
