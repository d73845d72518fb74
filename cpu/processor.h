// The processor alone: 64 KiB of memory, the register files of the 8080 and the Z80, and the opcode hooks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "cpu/registers.h"
#include "cpu/z80_registers.h"

namespace kavo {

// From here to the top of memory nothing executes: control that arrives is a
// request to the system that composes the processor. A page boundary, so that
// a jump vector may start it.
constexpr std::uint16_t trap_area = 0xFF00;

// Why the processor handed control back: PC reached the trap area, or a HLT
// ran; none when a single step simply executed an instruction, or when the
// fuzzing build's instruction budget is spent.
enum class Stop { trap, halt, none };

class Processor {
public:
    Processor() { reset(); }
    virtual ~Processor() = default;
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    // The opcodes the 8080 leaves undefined. PC points past the opcode; a
    // hook that takes operand bytes reads them itself. By default they act
    // as NOP (the 0x08-0x38 group, y being bits 3-5; nop_group(0) is NOP
    // itself), JMP (CB), RET (D9) and CALL (DD, ED, FD), as on the silicon,
    // and the first of them in a run is reported to the observer.
    virtual void nop_group(unsigned y);
    virtual void opcode_cb();
    virtual void opcode_d9();
    virtual void opcode_dd();
    virtual void opcode_ed();
    virtual void opcode_fd();
    // Once a run, for the undefined opcode just before PC: calls
    // undefined_opcode_observer with the opcode and its address. Until then
    // the default hooks are called; afterwards the executor runs what they
    // do inline.
    void report_undefined_opcode();
    bool undefined_opcode_reported = false;
    std::function<void(std::uint8_t opcode, std::uint16_t address)> undefined_opcode_observer;

    std::array<std::uint8_t, 0x10000> memory{};
    RegisterFile registers{};
    Z80Registers z80{};  // the Z80's own registers, beside the main set it shares with the 8080

    // Word and register access on memory and registers; every address wraps.
    std::uint16_t read_word(std::uint16_t address) const {
        return memory[address] | memory[std::uint16_t(address + 1)] << 8;
    }
    void write_word(std::uint16_t address, std::uint16_t value) {
        memory[address] = std::uint8_t(value);
        memory[std::uint16_t(address + 1)] = std::uint8_t(value >> 8);
    }
    std::uint8_t get_reg(unsigned code) const { return get(registers, code); }
    void set_reg(unsigned code, std::uint8_t value) { set(registers, code, value); }
    void push_word(std::uint16_t value) { push_on(registers.sp, value); }
    std::uint16_t pop_word() { return pop_from(registers.sp); }
    std::uint16_t fetch_word(std::uint16_t& counter) const {
        std::uint16_t value = read_word(counter);
        counter += 2;
        return value;
    }
    bool condition_met(unsigned code) const { return registers.condition_met(code); }
    void set_pc(std::uint16_t value) { registers.pc = value; }
    void reset() {
        registers.pc = 0;
        registers.f = 0x02;
    }

    // Executes from PC until PC reaches the trap area (tested before every
    // instruction, so it may execute nothing) or right after a HLT, with PC
    // one past the HLT byte. The fuzzing build also returns Stop::none, with
    // PC at the next instruction, when instruction_budget is spent.
    Stop run_until_trap();
    // One instruction, unless PC is already in the trap area.
    Stop step();
    // The same two on the Z80, whose main registers are registers and the
    // rest z80 (the fuzzing build's budget included). A prefix that does
    // nothing but hand over to another prefix is an instruction of its own,
    // and so is each repetition of a block instruction.
    Stop run_until_trap_z80();
    Stop step_z80();

#ifdef KAVO_COUNTING
    // Kept only by the benchmark's counting build: instructions, and how
    // often each opcode ran right after each other (previous << 8 | next).
    std::uint64_t instructions_executed = 0;
    std::array<std::uint64_t, 0x10000> successions{};
    std::uint8_t last_opcode = 0;
#endif
#ifdef KAVO_FUZZING
    std::uint64_t instruction_budget = 0;  // instructions run_until_trap may still execute; fuzzing build only
#endif

private:
    void push_on(std::uint16_t& sp, std::uint16_t value) {
        memory[--sp] = std::uint8_t(value >> 8);
        memory[--sp] = std::uint8_t(value);
    }
    std::uint16_t pop_from(std::uint16_t& sp) const {
        std::uint16_t value = read_word(sp);
        sp += 2;
        return value;
    }
    // Register code access on a register file, code 6 being memory at HL.
    std::uint8_t get(const RegisterFile& r, unsigned code) const { return code == 6 ? memory[r.hl()] : r.byte(code); }
    void set(RegisterFile& r, unsigned code, std::uint8_t value) {
        if (code == 6)
            memory[r.hl()] = value;
        else
            r.byte(code) = value;
    }
};

}  // namespace kavo
