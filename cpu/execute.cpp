// The 8080 executor: each opcode decoded by its fields at compile time, one dispatch per instruction.
#include <cassert>

#include "cpu/machine.h"
#include "machine/memory_map.h"

namespace kavo {

namespace {

// The register pair of LXI, INX, DCX and DAD by index; 3 is SP.
inline std::uint16_t pair_or_sp(const RegisterFile& r, unsigned index) {
    return index == 3 ? r.sp : r.pair(index);
}
inline void set_pair_or_sp(RegisterFile& r, unsigned index, std::uint16_t value) {
    if (index == 3)
        r.sp = value;
    else
        r.set_pair(index, value);
}

// S, Z, P and AC after INR and DCR, by the new value: AC is the carry out of
// the low four bits, which for DCR is every case but a borrow.
constexpr auto increment_flags = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        table[value] = sign_zero_parity[value] | ((value & 0x0F) == 0 ? flag::aux : 0);
    return table;
}();
constexpr auto decrement_flags = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        table[value] = sign_zero_parity[value] | ((value & 0x0F) == 0x0F ? 0 : flag::aux);
    return table;
}();

inline void set_carry(RegisterFile& r, unsigned bit) { r.f = std::uint8_t((r.f & ~flag::carry) | bit); }

}  // namespace

Machine::Machine() { reset(); }

void Machine::nop_group(unsigned) {}
void Machine::opcode_cb() { registers.pc = fetch_word(registers.pc); }
void Machine::opcode_d9() { registers.pc = pop_word(); }
void Machine::opcode_dd() {
    std::uint16_t target = fetch_word(registers.pc);
    push_word(registers.pc);
    registers.pc = target;
}
void Machine::opcode_ed() { opcode_dd(); }
void Machine::opcode_fd() { opcode_dd(); }

// Operand access for the executor, on its own copy r of the registers. These
// take r as a parameter rather than capturing it in lambdas, which keeps r
// eligible for host registers.
inline std::uint8_t Machine::immediate(RegisterFile& r) const { return memory[r.pc++]; }
// The 16-bit operand after the opcode. The instruction began below the trap
// area, so its operand bytes cannot wrap past 0xFFFF, and the two loads can
// become one.
inline std::uint16_t Machine::operand_word(RegisterFile& r) const {
    const unsigned address = r.pc;
    assert(address < address::trap_area + 2);
    r.pc += 2;
    return std::uint16_t(memory[address] | memory[address + 1] << 8);
}
inline void Machine::call(RegisterFile& r, std::uint16_t target) {
    push_on(r.sp, r.pc);
    r.pc = target;
}
// Hooks work on the Machine's own register file, so r is handed over around them.
template <typename Operation>
inline void Machine::hook(RegisterFile& r, Operation operation) {
    registers = r;
    operation();
    r = registers;
}

// Executes one instruction whose opcode byte has been fetched; false for HLT.
template <unsigned opcode>
inline bool Machine::execute(RegisterFile& r) {
    constexpr unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7, p = y >> 1, low = opcode & 0xF;
    if constexpr (opcode == 0x76) {
        return false;
    } else if constexpr (x == 1) {  // MOV
        set(r, y, get(r, z));
    } else if constexpr (x == 2) {  // ADD ADC SUB SBB ANA XRA ORA CMP
        r.alu_op(y, get(r, z));
    } else if constexpr (x == 0) {
        if constexpr (low == 0x0 || low == 0x8) {
            hook(r, [this] { nop_group(y); });
        } else if constexpr (low == 0x1) {  // LXI
            set_pair_or_sp(r, p, operand_word(r));
        } else if constexpr (low == 0x2 || low == 0xA) {
            if constexpr (y == 0) memory[r.bc()] = r.a;  // STAX B
            if constexpr (y == 1) r.a = memory[r.bc()];  // LDAX B
            if constexpr (y == 2) memory[r.de()] = r.a;  // STAX D
            if constexpr (y == 3) r.a = memory[r.de()];  // LDAX D
            if constexpr (y == 4) write_word(operand_word(r), r.hl());  // SHLD
            if constexpr (y == 5) r.set_hl(read_word(operand_word(r)));  // LHLD
            if constexpr (y == 6) memory[operand_word(r)] = r.a;  // STA
            if constexpr (y == 7) r.a = memory[operand_word(r)];  // LDA
        } else if constexpr (low == 0x3) {  // INX
            set_pair_or_sp(r, p, pair_or_sp(r, p) + 1);
        } else if constexpr (low == 0xB) {  // DCX
            set_pair_or_sp(r, p, pair_or_sp(r, p) - 1);
        } else if constexpr (z == 4) {  // INR
            std::uint8_t value = get(r, y) + 1;
            set(r, y, value);
            r.f = std::uint8_t((r.f & (flag::carry | flag::fixed)) | increment_flags[value]);
        } else if constexpr (z == 5) {  // DCR
            std::uint8_t value = get(r, y) - 1;
            set(r, y, value);
            r.f = std::uint8_t((r.f & (flag::carry | flag::fixed)) | decrement_flags[value]);
        } else if constexpr (z == 6) {  // MVI
            set(r, y, immediate(r));
        } else if constexpr (z == 7) {
            const std::uint8_t a = r.a, carry = r.f & flag::carry;
            if constexpr (y == 0) { r.a = std::uint8_t(a << 1 | a >> 7); set_carry(r, a >> 7); }     // RLC
            if constexpr (y == 1) { r.a = std::uint8_t(a >> 1 | a << 7); set_carry(r, a & 1); }      // RRC
            if constexpr (y == 2) { r.a = std::uint8_t(a << 1 | carry); set_carry(r, a >> 7); }      // RAL
            if constexpr (y == 3) { r.a = std::uint8_t(a >> 1 | carry << 7); set_carry(r, a & 1); }  // RAR
            if constexpr (y == 4) r.decimal_adjust();                                                // DAA
            if constexpr (y == 5) r.a = std::uint8_t(~a);                                            // CMA
            if constexpr (y == 6) set_carry(r, 1);                                                   // STC
            if constexpr (y == 7) set_carry(r, carry ^ 1);                                           // CMC
        } else if constexpr (low == 0x9) {  // DAD
            unsigned sum = r.hl() + pair_or_sp(r, p);
            r.set_hl(std::uint16_t(sum));
            r.f = std::uint8_t((r.f & ~flag::carry) | (sum >> 16));
        }
    } else {  // x == 3
        if constexpr (low == 0x0 || low == 0x8) {  // Rcc
            if (r.condition_met(y))
                r.pc = pop_from(r.sp);
        } else if constexpr (low == 0x1) {  // POP
            std::uint16_t value = pop_from(r.sp);
            r.set_pair(p, value);
            if constexpr (p == 3)  // bits 3 and 5 read 0, bit 1 reads 1, whatever was popped
                r.f = std::uint8_t((r.f & ~0x28) | 0x02);
        } else if constexpr (low == 0x2 || low == 0xA) {  // Jcc
            std::uint16_t target = operand_word(r);
            if (r.condition_met(y))
                r.pc = target;
        } else if constexpr (low == 0x3 || low == 0xB) {
            if constexpr (y == 0) r.pc = operand_word(r);  // JMP
            if constexpr (y == 1) hook(r, [this] { opcode_cb(); });
            if constexpr (y == 2) r.pc++;  // OUT: the port byte is skipped, nothing is output
            if constexpr (y == 3) { r.a = 0xFF; r.pc++; }  // IN
            if constexpr (y == 4) {  // XTHL
                std::uint16_t old = r.hl();
                r.set_hl(read_word(r.sp));
                write_word(r.sp, old);
            }
            if constexpr (y == 5) {  // XCHG
                std::uint16_t old = r.hl();
                r.set_hl(r.de());
                r.set_de(old);
            }
            // y 6 and 7, DI and EI: there are no interrupts.
        } else if constexpr (low == 0x4 || low == 0xC) {  // Ccc
            std::uint16_t target = operand_word(r);
            if (r.condition_met(y))
                call(r, target);
        } else if constexpr (low == 0x5) {  // PUSH
            push_on(r.sp, r.pair(p));
        } else if constexpr (z == 6) {  // ADI ACI SUI SBI ANI XRI ORI CPI
            r.alu_op(y, immediate(r));
        } else if constexpr (z == 7) {  // RST
            call(r, 8 * y);
        } else if constexpr (low == 0x9) {
            if constexpr (y == 1) r.pc = pop_from(r.sp);  // RET
            if constexpr (y == 3) hook(r, [this] { opcode_d9(); });
            if constexpr (y == 5) r.pc = r.hl();  // PCHL
            if constexpr (y == 7) r.sp = r.hl();  // SPHL
        } else if constexpr (low == 0xD) {
            if constexpr (y == 1) call(r, operand_word(r));  // CALL
            if constexpr (y == 3) hook(r, [this] { opcode_dd(); });
            if constexpr (y == 5) hook(r, [this] { opcode_ed(); });
            if constexpr (y == 7) hook(r, [this] { opcode_fd(); });
        }
    }
    return true;
}

// Threaded dispatch: every opcode's handler ends in its own fetch and jump, so
// each has its own indirect branch to predict, and there is one unsigned
// compare per instruction for the trap test. The handlers are the 256
// instantiations of execute, named by the opcode's two hex digits; the
// executor's decoding by fields happens at compile time inside execute.
#define KAVO_EACH_LOW(M, high) \
    M(high, 0) M(high, 1) M(high, 2) M(high, 3) M(high, 4) M(high, 5) M(high, 6) M(high, 7) \
    M(high, 8) M(high, 9) M(high, A) M(high, B) M(high, C) M(high, D) M(high, E) M(high, F)
#define KAVO_EACH_OPCODE(M)                                                         \
    KAVO_EACH_LOW(M, 0) KAVO_EACH_LOW(M, 1) KAVO_EACH_LOW(M, 2) KAVO_EACH_LOW(M, 3) \
    KAVO_EACH_LOW(M, 4) KAVO_EACH_LOW(M, 5) KAVO_EACH_LOW(M, 6) KAVO_EACH_LOW(M, 7) \
    KAVO_EACH_LOW(M, 8) KAVO_EACH_LOW(M, 9) KAVO_EACH_LOW(M, A) KAVO_EACH_LOW(M, B) \
    KAVO_EACH_LOW(M, C) KAVO_EACH_LOW(M, D) KAVO_EACH_LOW(M, E) KAVO_EACH_LOW(M, F)

#ifdef KAVO_COUNTING
#define KAVO_COUNT() ++instructions_executed
#else
#define KAVO_COUNT()
#endif
#ifdef KAVO_FUZZING
#define KAVO_SPEND()             \
    if (instruction_budget == 0) \
        goto spent;              \
    --instruction_budget
#else
#define KAVO_SPEND()
#endif
#define KAVO_NEXT()                     \
    do {                                \
        if (r.pc >= address::trap_area) \
            goto trapped;               \
        KAVO_COUNT();                   \
        KAVO_SPEND();                   \
        goto* handlers[memory[r.pc++]]; \
    } while (0)
#define KAVO_HANDLER_ADDRESS(high, low) &&opcode_##high##low,
#define KAVO_HANDLER(high, low)     \
    opcode_##high##low:             \
    if (!execute<0x##high##low>(r)) \
        goto halted;                \
    KAVO_NEXT();

Stop Machine::run_until_trap() {
    static constexpr void* handlers[256] = {KAVO_EACH_OPCODE(KAVO_HANDLER_ADDRESS)};
    RegisterFile r = registers;
    KAVO_NEXT();
    KAVO_EACH_OPCODE(KAVO_HANDLER)
halted:
    registers = r;
    return Stop::halt;
trapped:
    registers = r;
    return Stop::trap;
#ifdef KAVO_FUZZING
spent:
    registers = r;
    return Stop::none;
#endif
}

#define KAVO_INSTRUCTION(high, low) &Machine::execute<0x##high##low>,

// The same instructions one at a time, for callers that keep their own count.
Stop Machine::step() {
    static constexpr bool (Machine::*instructions[256])(RegisterFile&) = {KAVO_EACH_OPCODE(KAVO_INSTRUCTION)};
    if (registers.pc >= address::trap_area)
        return Stop::trap;
    RegisterFile r = registers;
    const bool running = (this->*instructions[memory[r.pc++]])(r);
    registers = r;
    return running ? Stop::none : Stop::halt;
}

#undef KAVO_INSTRUCTION
#undef KAVO_HANDLER
#undef KAVO_HANDLER_ADDRESS
#undef KAVO_NEXT
#undef KAVO_SPEND
#undef KAVO_COUNT
#undef KAVO_EACH_OPCODE
#undef KAVO_EACH_LOW

}  // namespace kavo
