// libFuzzer target: arbitrary bytes as a program image, run through the real loader, supervisor pass and BDOS with an instruction budget.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "cpu/machine.h"
#include "tests/fuzz/sandbox.h"

namespace {

// Instructions per input; a BDOS or BIOS request counts as one, a string
// printed by function 9 as one per byte.
constexpr long budget = 100000;

fuzz::Sandbox& sandbox() {
    static fuzz::Sandbox instance;
    return instance;
}

// The bytes function 9 would print from DE; none when no '$' is left
// anywhere in memory, for then it prints for ever.
__attribute__((no_sanitize("coverage"))) long print_string_length(const kavo::Machine& machine) {
    std::uint16_t address = machine.registers.de();
    for (long length = 0; length < 0x10000; ++length, ++address)
        if (machine.memory[address] == '$')
            return length;
    return -1;
}

// Steps the program until its run ends or the budget is spent. The loop's own
// comparisons are no coverage: only the machine's are.
__attribute__((no_sanitize("coverage"))) void run(kavo::Machine& machine) {
    long left = budget;
    while (left-- > 0) {
        const kavo::Stop stop = machine.step();
        if (stop == kavo::Stop::none)
            continue;
        if (stop == kavo::Stop::trap && machine.registers.pc == 0xFFC0 && machine.registers.c == 9) {
            const long length = print_string_length(machine);
            if (length < 0 || length > left)
                return;
            left -= length;
        }
        if (!machine.serve(stop))
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Sandbox& box = sandbox();
    fuzz::write_file(box.parent / "PROG.COM", std::string(reinterpret_cast<const char*>(data), size));
    box.enter();
    {
        // The program is named by a path into the parent, so the run
        // directory starts empty; the arguments fill both default FCBs.
        std::string program = (box.parent / "PROG.COM").string();
        std::string first = "A.TXT", second = "B:*.?";
        char* arguments[] = {const_cast<char*>("kavo"), program.data(), first.data(), second.data(), nullptr};
        auto machine = std::make_unique<kavo::Machine>();
        if (!machine->load(4, arguments))
            fuzz::fail("the program file did not load");
        run(*machine);
    }
    box.leave({"PROG.COM"});
    return 0;
}
