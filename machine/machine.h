// The one object of a run: the processor, the console and the CP/M system, composed by the loader and the supervisor.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "bdos/bdos.h"
#include "cpu/processor.h"
#include "host/console.h"
#include "machine/options.h"
#include "machine/trace.h"

namespace kavo {

// What a command line gives a program in page zero: the drive code and the 11
// name and type bytes of each default FCB, and the command tail.
struct PageZero {
    std::array<std::uint8_t, 12> fcb1 = blank_name(), fcb2 = blank_name();
    std::string tail;

    static constexpr std::array<std::uint8_t, 12> blank_name() {
        return {0, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    }
};

// Reads a program image into memory from 0x0100 on (the span reaches 0xFFFF);
// false when there is no program to read.
using ImageReader = std::function<bool(std::span<std::uint8_t> image)>;

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
    // The drives and the printer, punch and reader files the options name;
    // false, after a message on standard error, when one cannot be opened.
    bool open_devices();
    // Loads the program and runs it to its end on the console, traced as
    // options.trace asks; the exit status: 1 when output could not be
    // written or the trace file not opened, 130 after Ctrl+\, else the
    // status of a load that failed or the one the program's requests chose.
    int run_program(int argument_count, char** argument_vector);

    // The trace of the run, when options.trace asks for one: opened before
    // the console starts; false, after a message, when it cannot be.
    bool open_trace();

    // The one way a program is loaded, from kavo's command line or the
    // command processor's: memory cleared, the system's part written, the
    // image read over it, then page zero's FCBs, command tail (upper case, at
    // most 126 characters) and current drive and user, and PC and SP at the
    // program's start. False, with nothing to run, when read_image is.
    bool load_transient(const ImageReader& read_image, const PageZero& page_zero);
    // Runs the loaded program until the supervisor ends it (see serve),
    // through the trace when there is one.
    void run_loaded();

    // One pass of the supervisor over a stop of the processor: ends the run
    // (false) on HLT, warm boot, BDOS function 0, a request that ends it, a
    // read past the end of the input or output that cannot be written;
    // otherwise serves the BDOS or BIOS request at PC, or reports an address
    // without service, and returns to the caller.
    bool serve(Stop stop);

private:
    int load_image(int argument_count, char** argument_vector);
    std::unique_ptr<Trace> trace;
};

}  // namespace kavo
