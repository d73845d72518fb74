// The 8080 executor: each opcode decoded by its fields at compile time, one dispatch per instruction.
#include <bit>
#include <cstring>
#include <typeinfo>

#include "cpu/processor.h"
#include "cpu/successions.h"

namespace kavo {

static_assert(std::endian::native == std::endian::little, "words are read from memory with one host load");

namespace {

// The executor's working copy of the registers, shaped for the host. Pairs
// are 16-bit values. F is kept as the two values its flags are read from, so
// that an instruction that sets flags only keeps what it computed anyway:
// - result: bits 0-7 a byte whose sign, zero and parity are S, Z and P;
//   bit 8 is CY; bit 9 sets S and bit 10 inverts P besides, for the flags
//   POP PSW brings that no byte has (Z with S, or Z with odd parity); no
//   higher bit is ever set.
// - aux: bit 4 is AC; the other bits are whatever its computation left.
// F's bits 1, 3 and 5 do not change while the executor runs but on POP PSW,
// so they stay in the Processor's own F. Every field is below 0x10000, and A
// below 0x100, so no access masks an address. Fields beyond these push GCC
// to keep all of them in stack slots. Host-sized fields index memory without
// a zero extension. PC is kept as its distance below the trap area, negative
// while it is outside; each handler adds its instruction's length at its
// end, and GCC turns that addition into the trap test itself.
using Value = std::size_t;
struct Working {
    std::ptrdiff_t pc;
    Value sp, bc, de, hl, a, result, aux;
};
constexpr Value trap = trap_area;

Value pc_of(const Working& r) { return Value(r.pc) + trap; }
void jump(Working& r, Value target) { r.pc = std::ptrdiff_t(target - trap); }

namespace result_bit {
constexpr Value carry = 0x100, sign = 0x200, parity_inverted = 0x400, all = 0x7FF;
}  // namespace result_bit

// S, Z, P and CY by the 11 bits of a result.
constexpr auto result_flags = [] {
    std::array<std::uint8_t, result_bit::all + 1> table{};
    for (unsigned value = 0; value <= result_bit::all; ++value)
        table[value] = std::uint8_t(sign_zero_parity[value & 0xFF] | (value & result_bit::carry ? flag::carry : 0) |
                                    (value & result_bit::sign ? flag::sign : 0)) ^
                       (value & result_bit::parity_inverted ? flag::parity : 0);
    return table;
}();
// The result whose flags are F's S, Z, P and CY.
constexpr auto result_of_flags = [] {
    std::array<std::uint16_t, 256> table{};
    for (unsigned f = 0; f < 256; ++f) {
        const unsigned byte = f & flag::zero ? 0 : 1;
        table[f] = std::uint16_t(byte | (f & flag::carry ? result_bit::carry : 0) | (f & flag::sign ? result_bit::sign : 0) |
                                 ((f & flag::parity) != (sign_zero_parity[byte] & flag::parity) ? result_bit::parity_inverted
                                                                                                : 0));
    }
    return table;
}();

std::uint8_t flags_of(const Processor& m, const Working& r) {
    return std::uint8_t(result_flags[r.result] | (r.aux & flag::aux) | (m.registers.f & flag::fixed));
}
void set_flags(Working& r, std::uint8_t f) {
    r.result = result_of_flags[f];
    r.aux = f;
}
// Sets CY alone.
void set_carry(Working& r, Value carry) { r.result = (r.result & ~result_bit::carry) | carry << 8; }
Value carry_of(const Working& r) { return (r.result >> 8) & 1; }
Working working_copy(const RegisterFile& registers) {
    Working r{std::ptrdiff_t(registers.pc) - std::ptrdiff_t(trap), registers.sp, registers.bc(), registers.de(),
              registers.hl(), registers.a, 0, 0};
    set_flags(r, registers.f);
    return r;
}
void write_back(const Working& r, Processor& m) {
    RegisterFile& registers = m.registers;
    registers.f = flags_of(m, r);
    registers.pc = std::uint16_t(pc_of(r));
    registers.sp = std::uint16_t(r.sp);
    registers.set_bc(std::uint16_t(r.bc));
    registers.set_de(std::uint16_t(r.de));
    registers.set_hl(std::uint16_t(r.hl));
    registers.a = std::uint8_t(r.a);
}

// AC (bit 4) after INR and DCR, by the new value: the carry out of the low
// four bits, which for DCR is every case but a borrow.
constexpr auto increment_aux = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        table[value] = (value & 0x0F) == 0 ? flag::aux : 0;
    return table;
}();
constexpr auto decrement_aux = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        table[value] = (value & 0x0F) == 0x0F ? 0 : flag::aux;
    return table;
}();

// Register codes B C D E H L M A on the working copy, code 6 being memory at HL.
template <unsigned code>
Value get(const Processor& m, const Working& r) {
    if constexpr (code == 0) return r.bc >> 8;
    if constexpr (code == 1) return r.bc & 0xFF;
    if constexpr (code == 2) return r.de >> 8;
    if constexpr (code == 3) return r.de & 0xFF;
    if constexpr (code == 4) return r.hl >> 8;
    if constexpr (code == 5) return r.hl & 0xFF;
    if constexpr (code == 6) return m.memory[r.hl];
    if constexpr (code == 7) return r.a;
}
template <unsigned code>
void set(Processor& m, Working& r, Value value) {
    if constexpr (code == 0) r.bc = (r.bc & 0x00FF) | value << 8;
    if constexpr (code == 1) r.bc = (r.bc & 0xFF00) | value;
    if constexpr (code == 2) r.de = (r.de & 0x00FF) | value << 8;
    if constexpr (code == 3) r.de = (r.de & 0xFF00) | value;
    if constexpr (code == 4) r.hl = (r.hl & 0x00FF) | value << 8;
    if constexpr (code == 5) r.hl = (r.hl & 0xFF00) | value;
    if constexpr (code == 6) m.memory[r.hl] = std::uint8_t(value);
    if constexpr (code == 7) r.a = value;
}

// INR and DCR on register code by delta, 1 or -1; returns the new value. A
// high byte steps within its pair by a step of 0x100, which leaves the low
// byte alone.
template <unsigned code>
Value add_to_register(Processor& m, Working& r, int delta) {
    if constexpr (code == 0 || code == 2 || code == 4) {
        Value& pair = code == 0 ? r.bc : code == 2 ? r.de : r.hl;
        pair = (pair + Value(delta * 0x100)) & 0xFFFF;
        return pair >> 8;
    } else {
        const Value value = (get<code>(m, r) + Value(delta)) & 0xFF;
        set<code>(m, r, value);
        return value;
    }
}

// The pair of LXI, INX, DCX, DAD, PUSH and POP by index: BC DE HL, then SP
// or PSW.
template <unsigned index>
Value& pair_or_sp(Working& r) {
    if constexpr (index == 0) return r.bc;
    if constexpr (index == 1) return r.de;
    if constexpr (index == 2) return r.hl;
    if constexpr (index == 3) return r.sp;
}

// Words in memory with one host access; only a word at 0xFFFF wraps.
Value read_word(const Processor& m, Value address) {
    if (address == 0xFFFF) [[unlikely]]
        return m.memory[0xFFFF] | m.memory[0] << 8;
    std::uint16_t value;
    std::memcpy(&value, &m.memory[address], sizeof value);
    return value;
}
void write_word(Processor& m, Value address, Value value) {
    if (address == 0xFFFF) [[unlikely]] {
        m.memory[0xFFFF] = std::uint8_t(value);
        m.memory[0] = std::uint8_t(value >> 8);
        return;
    }
    const std::uint16_t word = std::uint16_t(value);
    std::memcpy(&m.memory[address], &word, sizeof word);
}

// The operand byte or word after the opcode at PC. The instruction began
// below the trap area, so its operand bytes cannot wrap past 0xFFFF.
Value immediate(const Processor& m, const Working& r) { return m.memory[pc_of(r) + 1]; }
Value operand_word(const Processor& m, const Working& r) {
    std::uint16_t value;
    std::memcpy(&value, &m.memory[pc_of(r) + 1], sizeof value);
    return value;
}
void push(Processor& m, Working& r, Value value) {
    r.sp = (r.sp - 2) & 0xFFFF;
    write_word(m, r.sp, value);
}
Value pop(const Processor& m, Working& r) {
    const Value value = read_word(m, r.sp);
    r.sp = (r.sp + 2) & 0xFFFF;
    return value;
}

// NZ Z NC C PO PE P M.
template <unsigned code>
bool condition_met(const Working& r) {
    constexpr bool wanted = code & 1;
    if constexpr (code >> 1 == 0) return (std::uint8_t(r.result) == 0) == wanted;
    if constexpr (code >> 1 == 1) return bool(r.result & result_bit::carry) == wanted;
    if constexpr (code >> 1 == 2) return bool(result_flags[r.result] & flag::parity) == wanted;
    if constexpr (code >> 1 == 3) return bool(r.result & (0x80 | result_bit::sign)) == wanted;
}

// ADD ADC SUB SBB ANA XRA ORA CMP by selector on A and operand, as
// RegisterFile::alu_op: subtraction sets carry for a borrow and AC when the
// low four bits do not borrow.
template <unsigned selector>
void alu(Working& r, Value operand) {
    if constexpr (selector <= 1) {  // ADD, ADC
        const Value sum = r.a + operand + (selector == 1 ? carry_of(r) : 0);
        r.aux = r.a ^ operand ^ sum;
        r.result = sum;
        r.a = sum & 0xFF;
    } else if constexpr (selector <= 3 || selector == 7) {  // SUB, SBB, CMP
        const Value difference = r.a - operand - (selector == 3 ? carry_of(r) : 0);
        r.aux = ~(r.a ^ operand ^ difference);
        r.result = difference & (result_bit::carry | 0xFF);  // bit 8 set by a borrow
        if constexpr (selector != 7)
            r.a = difference & 0xFF;
    } else {  // ANA, XRA, ORA
        r.aux = selector == 4 ? (r.a | operand) << 1 : 0;
        r.a = selector == 4 ? r.a & operand : selector == 5 ? r.a ^ operand : r.a | operand;
        r.result = r.a;
    }
}

// A call from the instruction at PC, of length bytes.
void call(Processor& m, Working& r, Value length, Value target) {
    push(m, r, pc_of(r) + length);
    jump(r, target);
}

// Hooks work on the Processor's own register file, so r is handed over around
// them, with PC past the opcode. Inlined, so that r's address never escapes
// and r stays in host registers.
template <typename Operation>
[[gnu::always_inline]] inline void hook(Processor& m, Working& r, Operation operation) {
    r.pc += 1;
    write_back(r, m);
    operation();
    r = working_copy(m.registers);
}

// The length in bytes of the instruction with opcode: one, or two with an
// operand byte, or three with an operand word.
constexpr Value instruction_length(unsigned opcode) {
    const unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7, low = opcode & 0xF;
    if (x == 0)
        return low == 0x1 || ((low == 0x2 || low == 0xA) && y >= 4) ? 3 : z == 6 ? 2 : 1;
    if (x == 3)
        return low == 0x2 || low == 0xA || low == 0x4 || low == 0xC || opcode == 0xC3 || opcode == 0xCD ? 3
               : z == 6 || opcode == 0xD3 || opcode == 0xDB                                            ? 2
                                                                                                       : 1;
    return 1;
}

// Executes the instruction at PC, whose opcode is given; false for HLT, with
// PC past it. An instruction that transfers control sets PC and returns at
// once; the others leave PC to the end, which adds their length. Inlined
// into the dispatch loop for the same reason as hook. With default_hooks,
// the Processor is a plain Processor, whose hooks are known: once the first
// undefined opcode has gone through its hook for the Z80 hint, the undefined
// opcodes run as the NOP, JMP, RET or CALL that those hooks perform, without
// handing the registers over. NOP itself always runs so.
template <unsigned opcode>
[[gnu::always_inline]] inline bool execute(Processor& m, Working& r, bool default_hooks) {
    constexpr unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7, p = y >> 1, low = opcode & 0xF;
    constexpr Value length = instruction_length(opcode);
    const auto runs_inline = [&m, default_hooks] { return default_hooks && m.undefined_opcode_reported; };
    if constexpr (opcode == 0x76) {
        // HLT: PC moves past it below.
    } else if constexpr (x == 1) {  // MOV
        set<y>(m, r, get<z>(m, r));
    } else if constexpr (x == 2) {  // ADD ADC SUB SBB ANA XRA ORA CMP
        alu<y>(r, get<z>(m, r));
    } else if constexpr (x == 0) {
        if constexpr (low == 0x0 || low == 0x8) {
            if (!(y == 0 ? default_hooks : runs_inline())) {
                hook(m, r, [&m] { m.nop_group(y); });
                return true;
            }
        } else if constexpr (low == 0x1) {  // LXI
            pair_or_sp<p>(r) = operand_word(m, r);
        } else if constexpr (low == 0x2 || low == 0xA) {
            if constexpr (y == 0) m.memory[r.bc] = std::uint8_t(r.a);            // STAX B
            if constexpr (y == 1) r.a = m.memory[r.bc];                          // LDAX B
            if constexpr (y == 2) m.memory[r.de] = std::uint8_t(r.a);            // STAX D
            if constexpr (y == 3) r.a = m.memory[r.de];                          // LDAX D
            if constexpr (y == 4) write_word(m, operand_word(m, r), r.hl);       // SHLD
            if constexpr (y == 5) r.hl = read_word(m, operand_word(m, r));       // LHLD
            if constexpr (y == 6) m.memory[operand_word(m, r)] = std::uint8_t(r.a);  // STA
            if constexpr (y == 7) r.a = m.memory[operand_word(m, r)];           // LDA
        } else if constexpr (low == 0x3) {  // INX
            pair_or_sp<p>(r) = (pair_or_sp<p>(r) + 1) & 0xFFFF;
        } else if constexpr (low == 0xB) {  // DCX
            pair_or_sp<p>(r) = (pair_or_sp<p>(r) - 1) & 0xFFFF;
        } else if constexpr (z == 4) {  // INR
            const Value value = add_to_register<y>(m, r, 1);
            r.result = (r.result & result_bit::carry) | value;
            r.aux = increment_aux[value];
        } else if constexpr (z == 5) {  // DCR
            const Value value = add_to_register<y>(m, r, -1);
            r.result = (r.result & result_bit::carry) | value;
            r.aux = decrement_aux[value];
        } else if constexpr (z == 6) {  // MVI
            set<y>(m, r, immediate(m, r));
        } else if constexpr (z == 7) {
            const Value a = r.a;
            if constexpr (y == 0) { r.a = std::rotl(std::uint8_t(a), 1); set_carry(r, a >> 7); }        // RLC
            if constexpr (y == 1) { r.a = std::rotr(std::uint8_t(a), 1); set_carry(r, a & 1); }         // RRC
            if constexpr (y == 2) { r.a = (a << 1 | carry_of(r)) & 0xFF; set_carry(r, a >> 7); }     // RAL
            if constexpr (y == 3) { r.a = a >> 1 | carry_of(r) << 7; set_carry(r, a & 1); }          // RAR
            if constexpr (y == 4) {                                                         // DAA
                RegisterFile adjusted{};
                adjusted.a = std::uint8_t(a);
                adjusted.f = flags_of(m, r);
                adjusted.decimal_adjust();
                r.a = adjusted.a;
                set_flags(r, adjusted.f);
            }
            if constexpr (y == 5) r.a = ~a & 0xFF;  // CMA
            if constexpr (y == 6) r.result |= result_bit::carry;  // STC
            if constexpr (y == 7) r.result ^= result_bit::carry;  // CMC
        } else if constexpr (low == 0x9) {  // DAD
            const Value sum = r.hl + pair_or_sp<p>(r);
            r.result = (r.result & ~result_bit::carry) | ((sum >> 8) & result_bit::carry);  // bit 16 of the sum
            r.hl = sum & 0xFFFF;
        }
    } else {  // x == 3
        if constexpr (low == 0x0 || low == 0x8) {  // Rcc
            if (condition_met<y>(r))
                jump(r, pop(m, r));
            else
                r.pc += length;
            return true;
        } else if constexpr (low == 0x1) {  // POP
            const Value value = pop(m, r);
            if constexpr (p == 3) {
                r.a = value >> 8;
                set_flags(r, std::uint8_t(value));
                // bits 3 and 5 read 0, bit 1 reads 1, whatever was popped
                m.registers.f = 0x02;
            } else {
                pair_or_sp<p>(r) = value;
            }
        } else if constexpr (low == 0x2 || low == 0xA) {  // Jcc
            const Value target = operand_word(m, r);
            if (condition_met<y>(r))
                jump(r, target);
            else
                r.pc += length;
            return true;
        } else if constexpr (low == 0x3 || low == 0xB) {
            if constexpr (y == 0) { jump(r, operand_word(m, r)); return true; }  // JMP
            if constexpr (y == 1) {
                if (runs_inline())
                    return execute<0xC3>(m, r, true);
                hook(m, r, [&m] { m.opcode_cb(); });
                return true;
            }
            // y 2, OUT: the port byte is skipped, nothing is output
            if constexpr (y == 3) r.a = 0xFF;  // IN
            if constexpr (y == 4) {  // XTHL
                const Value old = r.hl;
                r.hl = read_word(m, r.sp);
                write_word(m, r.sp, old);
            }
            if constexpr (y == 5) std::swap(r.hl, r.de);  // XCHG
            // y 6 and 7, DI and EI: there are no interrupts.
        } else if constexpr (low == 0x4 || low == 0xC) {  // Ccc
            const Value target = operand_word(m, r);
            if (condition_met<y>(r))
                call(m, r, length, target);
            else
                r.pc += length;
            return true;
        } else if constexpr (low == 0x5) {  // PUSH
            if constexpr (p == 3)
                push(m, r, r.a << 8 | flags_of(m, r));
            else
                push(m, r, pair_or_sp<p>(r));
        } else if constexpr (z == 6) {  // ADI ACI SUI SBI ANI XRI ORI CPI
            alu<y>(r, immediate(m, r));
        } else if constexpr (z == 7) {  // RST
            call(m, r, length, 8 * y);
            return true;
        } else if constexpr (low == 0x9) {
            if constexpr (y == 1) { jump(r, pop(m, r)); return true; }  // RET
            if constexpr (y == 3) {
                if (runs_inline())
                    return execute<0xC9>(m, r, true);
                hook(m, r, [&m] { m.opcode_d9(); });
                return true;
            }
            if constexpr (y == 5) { jump(r, r.hl); return true; }  // PCHL
            if constexpr (y == 7) r.sp = r.hl;  // SPHL
        } else if constexpr (low == 0xD) {
            if constexpr (y == 1) {  // CALL
                call(m, r, length, operand_word(m, r));
            } else if (runs_inline()) {
                return execute<0xCD>(m, r, true);
            } else {
                if constexpr (y == 3) hook(m, r, [&m] { m.opcode_dd(); });
                if constexpr (y == 5) hook(m, r, [&m] { m.opcode_ed(); });
                if constexpr (y == 7) hook(m, r, [&m] { m.opcode_fd(); });
            }
            return true;
        }
    }
    r.pc += length;
    return opcode != 0x76;
}

}  // namespace

void Processor::report_undefined_opcode() {
    if (undefined_opcode_reported)
        return;
    undefined_opcode_reported = true;
    const std::uint16_t address = registers.pc - 1;
    if (undefined_opcode_observer)
        undefined_opcode_observer(memory[address], address);
}

void Processor::nop_group(unsigned y) {
    if (y != 0)
        report_undefined_opcode();
}
void Processor::opcode_cb() {
    report_undefined_opcode();
    registers.pc = fetch_word(registers.pc);
}
void Processor::opcode_d9() {
    report_undefined_opcode();
    registers.pc = pop_word();
}
void Processor::opcode_dd() {
    report_undefined_opcode();
    std::uint16_t target = fetch_word(registers.pc);
    push_word(registers.pc);
    registers.pc = target;
}
void Processor::opcode_ed() { opcode_dd(); }
void Processor::opcode_fd() { opcode_dd(); }

// Threaded dispatch: every opcode's handler ends in its own fetch and jump, so
// each has its own indirect branch to predict (after the compares with its
// likely successors), and the trap test is the sign of the distance of PC
// below the trap area. The handlers are the 256 instantiations of execute,
// named by the opcode's two hex digits; the executor's decoding by fields
// happens at compile time inside execute. One set of handlers serves every
// SP: a second set for an even SP, whose stack words need no wrap test, ran
// the exerciser a tenth faster, but a BASIC program whose SP changes parity
// a quarter slower.
#define KAVO_EACH_LOW(M, high) \
    M(high, 0) M(high, 1) M(high, 2) M(high, 3) M(high, 4) M(high, 5) M(high, 6) M(high, 7) \
    M(high, 8) M(high, 9) M(high, A) M(high, B) M(high, C) M(high, D) M(high, E) M(high, F)
#define KAVO_EACH_OPCODE(M)                                                         \
    KAVO_EACH_LOW(M, 0) KAVO_EACH_LOW(M, 1) KAVO_EACH_LOW(M, 2) KAVO_EACH_LOW(M, 3) \
    KAVO_EACH_LOW(M, 4) KAVO_EACH_LOW(M, 5) KAVO_EACH_LOW(M, 6) KAVO_EACH_LOW(M, 7) \
    KAVO_EACH_LOW(M, 8) KAVO_EACH_LOW(M, 9) KAVO_EACH_LOW(M, A) KAVO_EACH_LOW(M, B) \
    KAVO_EACH_LOW(M, C) KAVO_EACH_LOW(M, D) KAVO_EACH_LOW(M, E) KAVO_EACH_LOW(M, F)

#ifdef KAVO_COUNTING
#define KAVO_COUNT()                                                          \
    ++instructions_executed;                                                  \
    ++successions[last_opcode << 8 | memory[pc_of(r)]];                       \
    last_opcode = memory[pc_of(r)]
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
// Hides how a value was computed, so that the fetch indexes memory with PC as
// it stands after the trap test rather than keeping a copy of PC before the
// handler's addition.
#define KAVO_OPAQUE(value) asm("" : "+r"(value))
#define KAVO_SUCCESSOR(opcode, index)                                   \
    if constexpr (likely_successors[opcode][index] != no_successor)     \
        if (next == likely_successors[opcode][index])                   \
            goto* handlers[likely_successors[opcode][index] & 0xFF];
// The trap test, then the next opcode: straight to its handler when it is
// one of opcode's likely successors, else through the table.
#define KAVO_NEXT(opcode)                          \
    do {                                           \
        if (r.pc >= 0)                             \
            goto trapped;                          \
        KAVO_COUNT();                              \
        KAVO_SPEND();                              \
        KAVO_OPAQUE(r.pc);                         \
        const Value next = memory[pc_of(r)];       \
        KAVO_SUCCESSOR(opcode, 0)                  \
        KAVO_SUCCESSOR(opcode, 1)                  \
        KAVO_SUCCESSOR(opcode, 2)                  \
        goto* handlers[next];                      \
    } while (0)
#define KAVO_HANDLER(high, low)                                \
    opcode_##high##low:                                        \
    if (!execute<0x##high##low>(*this, r, default_hooks))      \
        goto halted;                                           \
    KAVO_NEXT(0x##high##low);
#define KAVO_HANDLER_ADDRESS(high, low) &&opcode_##high##low,

Stop Processor::run_until_trap() {
    static constexpr void* handlers[256] = {KAVO_EACH_OPCODE(KAVO_HANDLER_ADDRESS)};
    const bool default_hooks = typeid(*this) == typeid(Processor);
    Working r = working_copy(registers);
    KAVO_NEXT(0x76);  // as after a HLT, which has no likely successors
    KAVO_EACH_OPCODE(KAVO_HANDLER)
halted:
    write_back(r, *this);
    return Stop::halt;
trapped:
    KAVO_OPAQUE(r.pc);
    write_back(r, *this);
    return Stop::trap;
#ifdef KAVO_FUZZING
spent:
    write_back(r, *this);
    return Stop::none;
#endif
}

#define KAVO_INSTRUCTION(high, low) &execute<0x##high##low>,

// The same instructions one at a time, for callers that keep their own count.
Stop Processor::step() {
    static constexpr bool (*instructions[256])(Processor&, Working&, bool) = {KAVO_EACH_OPCODE(KAVO_INSTRUCTION)};
    if (registers.pc >= trap_area)
        return Stop::trap;
    Working r = working_copy(registers);
    const bool running = instructions[memory[registers.pc]](*this, r, typeid(*this) == typeid(Processor));
    write_back(r, *this);
    return running ? Stop::none : Stop::halt;
}

#undef KAVO_INSTRUCTION
#undef KAVO_HANDLER
#undef KAVO_SUCCESSOR
#undef KAVO_HANDLER_ADDRESS
#undef KAVO_NEXT
#undef KAVO_SPEND
#undef KAVO_COUNT
#undef KAVO_OPAQUE
#undef KAVO_EACH_OPCODE
#undef KAVO_EACH_LOW

}  // namespace kavo
