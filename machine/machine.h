// The one object of a run: the processor, the console and the CP/M system, composed by the loader and the supervisor.
#pragma once

#include "bdos/bdos.h"
#include "cpu/processor.h"
#include "host/console.h"
#include "machine/options.h"

namespace kavo {

class Machine {
public:
    Machine() = default;
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The run's choices from the command line.
    Options options;

    Processor processor;
    host::ConsoleDevice console;
    Bdos bdos{processor, console};

    // Builds the memory image from the command line, loads the program and
    // opens the printer, punch and reader files, with PC and SP at their
    // start. Prints the usage or missing-file message instead and returns
    // false when there is nothing to run; a program too large for its memory
    // and a device file that cannot be opened also set exit status 1.
    bool load(int argument_count, char** argument_vector);
    // Loads the program and runs it to its end on the console; the exit
    // status: 1 when output could not be written, else the status the
    // program's requests chose.
    int run_program(int argument_count, char** argument_vector);

    // One pass of the supervisor over a stop of the processor: ends the run
    // (false) on HLT, warm boot, BDOS function 0, a request that ends it, a
    // read past the end of the input or output that cannot be written;
    // otherwise serves the BDOS or BIOS request at PC, or reports an address
    // without service, and returns to the caller.
    bool serve(Stop stop);

private:
    bool load_image(int argument_count, char** argument_vector);
};

}  // namespace kavo
