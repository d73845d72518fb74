// libFuzzer target: arbitrary bytes as a program image, run on the 8080 and the Z80 through the real loader, executors and supervisor under an instruction budget.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "machine/machine.h"
#include "bdos/memory_map.h"
#include "tests/fuzz/sandbox.h"

namespace {

// Instructions per input and processor: enough for the longest straight run
// there is, NOPs from page zero through all of memory into the trap area
// (65,464), and some work before it. A program that runs longer is in a loop,
// whose repetitions add nothing new once libFuzzer's hit counts stop growing
// (at 128). A BDOS or BIOS request costs about as many instructions as the
// executor runs in the time the request takes: a console or system request a
// hundred, a file function, with its dozen system calls, two thousand (about
// ten microseconds); else a program calling the file functions in a loop
// takes twenty times as long as any other input. A string printed by
// function 9 costs one per byte besides.
constexpr std::uint64_t budget = 70000;
constexpr std::uint64_t request_cost = 100;
constexpr std::uint64_t file_request_cost = 2000;

// The first BDOS function that reaches a file: the functions below it are
// console and version, which leave the directory alone.
constexpr std::uint8_t first_disk_function = 13;

// The program file, beside the run directory; named relative to it, so that
// the name the loader copies to 0x0100 is the same in every process.
constexpr const char* program_name = "../PROG.COM";

fuzz::Sandbox& sandbox() {
    static fuzz::Sandbox instance({"PROG.COM"});
    return instance;
}

// The bytes function 9 would print from DE, on to 0xFFFF and from 0x0000 on;
// none when no '$' is left anywhere in memory, for then it prints for ever.
__attribute__((no_sanitize("coverage"))) long print_string_length(const kavo::Machine& machine) {
    const std::uint8_t* const memory = machine.processor.memory.data();
    const std::size_t start = machine.processor.registers.de();
    if (const void* found = std::memchr(memory + start, '$', machine.processor.memory.size() - start))
        return static_cast<const std::uint8_t*>(found) - (memory + start);
    if (const void* found = std::memchr(memory, '$', start))
        return long(machine.processor.memory.size() - start) + (static_cast<const std::uint8_t*>(found) - memory);
    return -1;
}

// Runs the loaded program until its run ends or the budget is spent; true
// when it called a disk function. The loop's own comparisons are no coverage:
// only the machine's are.
__attribute__((no_sanitize("coverage"))) bool run(kavo::Machine& machine) {
    bool reached_files = false;
    machine.processor.instruction_budget = budget;
    const auto run_until_trap = machine.options.instruction_set == kavo::InstructionSet::z80 ? &kavo::Processor::run_until_trap_z80
                                                                                  : &kavo::Processor::run_until_trap;
    for (;;) {
        const kavo::Stop stop = (machine.processor.*run_until_trap)();
        const bool file_request = stop == kavo::Stop::trap && machine.processor.registers.pc == kavo::address::bdos_trap &&
                                  machine.processor.registers.c >= first_disk_function;
        const std::uint64_t cost = file_request ? file_request_cost : request_cost;
        if (stop == kavo::Stop::none || machine.processor.instruction_budget < cost)
            return reached_files;
        machine.processor.instruction_budget -= cost;
        reached_files |= file_request;
        if (stop == kavo::Stop::trap && machine.processor.registers.pc == kavo::address::bdos_trap) {
            if (machine.processor.registers.c == 9) {
                const long length = print_string_length(machine);
                if (length < 0 || std::uint64_t(length) > machine.processor.instruction_budget)
                    return reached_files;
                machine.processor.instruction_budget -= std::uint64_t(length);
            }
        }
        if (!machine.serve(stop))
            return reached_files;
    }
}

// With KAVO_FUZZ_END_STATES naming a file, one line per input and processor
// is appended to it: the input's hash, the registers and the memory's hash at
// the end. Two replays of a corpus give the same lines.
std::uint64_t hash(const std::uint8_t* data, std::size_t size) {
    std::uint64_t value = 0xCBF29CE484222325;
    for (std::size_t index = 0; index < size; ++index)
        value = (value ^ data[index]) * 0x100000001B3;
    return value;
}

std::FILE* end_states() {
    static std::FILE* const states = [] {
        const char* path = std::getenv("KAVO_FUZZ_END_STATES");
        return path ? std::fopen(path, "a") : nullptr;
    }();
    return states;
}

void record_end_state(const std::uint8_t* data, std::size_t size, const kavo::Machine& machine) {
    std::FILE* const states = end_states();
    if (!states)
        return;
    const kavo::RegisterFile& r = machine.processor.registers;
    std::fprintf(states, "%016llx %s pc=%04X sp=%04X af=%04X bc=%04X de=%04X hl=%04X memory=%016llx\n",
                 (unsigned long long)hash(data, size),
                 machine.options.instruction_set == kavo::InstructionSet::z80 ? "z80" : "8080", r.pc, r.sp, r.psw(), r.bc(), r.de(), r.hl(),
                 (unsigned long long)hash(machine.processor.memory.data(), machine.processor.memory.size()));
    std::fflush(states);
}

}  // namespace

// The loader takes 64 KiB for every input; with AddressSanitizer's default
// quarantine of 256 MiB each of those is fresh memory, faulted in page by
// page, which cost a third of an input's time. 16 MiB still holds the blocks
// of the last hundreds of inputs.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Sandbox& box = sandbox();
    end_states();  // opened before the descriptor check begins
    fuzz::error_descriptors();
    box.begin_input();
    fuzz::write_file(box.parent / "PROG.COM", std::string(reinterpret_cast<const char*>(data), size));
    // Each image runs on both processors, from the same empty directory.
    for (kavo::InstructionSet instruction_set : {kavo::InstructionSet::intel_8080, kavo::InstructionSet::z80}) {
        bool reached_files = false;
        {
            fuzz::FreshMachine fresh;
            kavo::Machine& machine = fresh.machine;
            machine.options.instruction_set = instruction_set;
            // The arguments fill both default FCBs. An image larger than its
            // room, from 0x0100 up to the system area, is refused.
            char* arguments[] = {const_cast<char*>("kavo"), const_cast<char*>(program_name),
                                 const_cast<char*>("A.TXT"), const_cast<char*>("B:*.?"), nullptr};
            const bool fits = size <= std::size_t(kavo::address::system_area - kavo::address::program);
            bool loaded;
            {
                fuzz::QuietErrors quiet;
                loaded = machine.load(4, arguments);
                if (loaded)
                    reached_files = run(machine);
            }
            if (loaded != fits)
                fuzz::fail(fits ? "the program file did not load" : "an image larger than its room was loaded");
            if (!loaded && machine.bdos.exit_status != 1)
                fuzz::fail("an image too large refused with status " + std::to_string(machine.bdos.exit_status));
            if (loaded)
                record_end_state(data, size, machine);
        }
        if (reached_files)
            box.check_and_clear();
        else
            box.check_descriptors();
    }
    return 0;
}
