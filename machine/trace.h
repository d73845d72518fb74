// The trace of a run: a line for each BDOS request and BIOS entry, and for each instruction executed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cpu/disassembler.h"
#include "cpu/processor.h"
#include "host/line_output.h"
#include "machine/options.h"

namespace kavo {

class Machine;

// Runs a Machine's program with the trace its options ask for, on standard
// error or in the trace file. Tracing changes nothing the program sees: the
// requests are served by Machine::serve as in any run, and the instructions
// run through the processor's single step, which executes as its loop does.
class Trace {
public:
    // The trace machine's options ask for. Nothing, after a message on
    // standard error, when the trace file cannot be opened for writing.
    static std::unique_ptr<Trace> open(Machine& machine);
    Trace(Machine& machine, host::LineOutput output);

    // Runs the loaded program to its end on the started console, as
    // Machine::run_program's loop does. An instruction runs through the
    // single step while instructions are traced or their first address is
    // awaited, and through the processor's loop once no more are to be
    // traced. A trace that could not be written is reported at the end.
    void run();

private:
    // Machine::serve, with the request's line when requests are traced.
    bool serve(Stop stop);
    // One instruction by the single step, with its line once the trace of
    // instructions has started.
    Stop execute();
    void write(const std::string& line);

    Machine& machine;
    host::LineOutput output;
    const TraceOptions& options;
    const bool z80;
    const MemoryReader read;
    bool started;                     // the first address of the instruction trace has been reached
    std::uint64_t instructions_left;  // to be traced; 0 without an instruction trace
};

}  // namespace kavo
