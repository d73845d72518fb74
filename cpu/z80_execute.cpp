// The Z80 executor: every opcode of every prefix group decoded at compile time, one dispatch per instruction.
#include <utility>

#include "cpu/processor.h"
#include "cpu/z80_flags.h"

namespace kavo {

namespace {

// The register a DD or FD prefix puts in the place of HL.
enum class Index { hl, ix, iy };

// The executor's working copy of the main registers, kept in host registers.
// PC is the low half of counter, whose high half counts the opcode fetches
// that R shows, so that one addition steps both. IX, IY and MEMPTR stay in
// the Processor: they are used less, and host registers are too few for all.
// (RegisterFile's own pc is unused here.)
struct Core : RegisterFile {
    std::uint32_t counter;
    Z80Registers& z80;
};

#define KAVO_Z80_INLINE [[gnu::always_inline]] inline

constexpr std::uint32_t opcode_fetch = 0x10001;  // PC + 1, and one more fetch for R

KAVO_Z80_INLINE std::uint16_t program_counter(const Core& c) { return std::uint16_t(c.counter); }
// Sets PC, keeping the count of fetches; returns target.
KAVO_Z80_INLINE std::uint16_t jump(Core& c, std::uint16_t target) {
    c.counter = (c.counter & 0xFFFF0000u) | target;
    return target;
}

// The byte register of an instruction's register code; 6, memory, is the
// caller's business.
template <unsigned code>
KAVO_Z80_INLINE std::uint8_t& field(Core& c) {
    static_assert(code != 6);
    if constexpr (code == 0)
        return c.b;
    if constexpr (code == 1)
        return c.c;
    if constexpr (code == 2)
        return c.d;
    if constexpr (code == 3)
        return c.e;
    if constexpr (code == 4)
        return c.h;
    if constexpr (code == 5)
        return c.l;
    if constexpr (code == 7)
        return c.a;
}

// HL, IX or IY.
template <Index index>
KAVO_Z80_INLINE std::uint16_t get_index(const Core& c) {
    if constexpr (index == Index::hl)
        return c.hl();
    if constexpr (index == Index::ix)
        return c.z80.ix;
    if constexpr (index == Index::iy)
        return c.z80.iy;
}
template <Index index>
KAVO_Z80_INLINE void set_index(Core& c, std::uint16_t value) {
    if constexpr (index == Index::hl)
        c.set_hl(value);
    if constexpr (index == Index::ix)
        c.z80.ix = value;
    if constexpr (index == Index::iy)
        c.z80.iy = value;
}

// A byte register by code, H and L being the halves of the index register.
template <unsigned code, Index index>
KAVO_Z80_INLINE std::uint8_t get_register(Core& c) {
    if constexpr (index != Index::hl && code == 4)
        return std::uint8_t(get_index<index>(c) >> 8);
    else if constexpr (index != Index::hl && code == 5)
        return std::uint8_t(get_index<index>(c));
    else
        return field<code>(c);
}
template <unsigned code, Index index>
KAVO_Z80_INLINE void set_register(Core& c, std::uint8_t value) {
    if constexpr (index != Index::hl && code == 4)
        set_index<index>(c, std::uint16_t((get_index<index>(c) & 0x00FF) | value << 8));
    else if constexpr (index != Index::hl && code == 5)
        set_index<index>(c, std::uint16_t((get_index<index>(c) & 0xFF00) | value));
    else
        field<code>(c) = value;
}

// The register pair by index: BC, DE, HL (or IX, IY), SP.
template <unsigned pair, Index index>
KAVO_Z80_INLINE std::uint16_t get_pair(const Core& c) {
    if constexpr (pair == 0)
        return c.bc();
    if constexpr (pair == 1)
        return c.de();
    if constexpr (pair == 2)
        return get_index<index>(c);
    if constexpr (pair == 3)
        return c.sp;
}
template <unsigned pair, Index index>
KAVO_Z80_INLINE void set_pair(Core& c, std::uint16_t value) {
    if constexpr (pair == 0)
        c.set_bc(value);
    if constexpr (pair == 1)
        c.set_de(value);
    if constexpr (pair == 2)
        set_index<index>(c, value);
    if constexpr (pair == 3)
        c.sp = value;
}

KAVO_Z80_INLINE std::uint8_t fetch_byte(Processor& m, Core& c) {
    const std::uint8_t byte = m.memory[program_counter(c)];
    ++c.counter;
    return byte;
}
// The byte at PC as an opcode: the fetch counts in R.
KAVO_Z80_INLINE std::uint8_t fetch_opcode(Processor& m, Core& c) {
    const std::uint8_t opcode = m.memory[program_counter(c)];
    c.counter += opcode_fetch;
    return opcode;
}
// An operand word. Every instruction begins below the trap area and is at
// most four bytes long, so its bytes cannot wrap past 0xFFFF.
KAVO_Z80_INLINE std::uint16_t fetch_word(Processor& m, Core& c) {
    const unsigned address = program_counter(c);
    c.counter += 2;
    return std::uint16_t(m.memory[address] | m.memory[address + 1] << 8);
}
KAVO_Z80_INLINE void push(Processor& m, Core& c, std::uint16_t value) {
    m.memory[--c.sp] = std::uint8_t(value >> 8);
    m.memory[--c.sp] = std::uint8_t(value);
}
KAVO_Z80_INLINE std::uint16_t pop(Processor& m, Core& c) {
    const std::uint8_t low = m.memory[c.sp++];
    return std::uint16_t(low | m.memory[c.sp++] << 8);
}

// The address of the memory operand: HL, or IX or IY plus the displacement
// byte that follows the opcode, which MEMPTR then holds.
template <Index index>
KAVO_Z80_INLINE std::uint16_t memory_address(Processor& m, Core& c) {
    if constexpr (index == Index::hl) {
        return c.hl();
    } else {
        const std::uint16_t address = std::uint16_t(get_index<index>(c) + std::int8_t(fetch_byte(m, c)));
        c.z80.wz = address;
        return address;
    }
}

// The source operand of register code z: a register, or memory.
template <unsigned code, Index index>
KAVO_Z80_INLINE std::uint8_t operand(Processor& m, Core& c) {
    if constexpr (code == 6)
        return m.memory[memory_address<index>(m, c)];
    else
        return get_register<code, index>(c);
}

// Whether a DD or FD prefix changes what the unprefixed opcode does (uses
// HL, H, L or (HL)); otherwise the prefix only costs its fetch.
constexpr bool uses_hl(unsigned opcode) {
    const unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7;
    const bool h_l_or_memory = y == 4 || y == 5 || y == 6;
    if (x == 1)
        return opcode != 0x76 && (h_l_or_memory || z == 4 || z == 5 || z == 6);
    if (x == 2)
        return z == 4 || z == 5 || z == 6;
    if (x == 0)
        return (z == 1 && (y == 4 || (y & 1))) || (z == 2 && (y == 4 || y == 5)) || (z == 3 && (y == 4 || y == 5)) ||
               ((z == 4 || z == 5 || z == 6) && h_l_or_memory);
    return opcode == 0xE1 || opcode == 0xE3 || opcode == 0xE5 || opcode == 0xE9 || opcode == 0xF9;
}

// One unprefixed opcode, or with index one prefixed by DD or FD; PC points
// past the opcode. False for HALT.
template <unsigned opcode, Index index>
KAVO_Z80_INLINE bool execute(Processor& m, Core& c) {
    constexpr unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7, p = y >> 1, q = y & 1;
    if constexpr (opcode == 0x76) {
        return false;
    } else if constexpr (x == 1) {  // LD r,r'
        if constexpr (y == 6) {
            const std::uint16_t address = memory_address<index>(m, c);
            m.memory[address] = get_register<z, Index::hl>(c);
        } else if constexpr (z == 6) {
            set_register<y, Index::hl>(c, m.memory[memory_address<index>(m, c)]);
        } else {
            set_register<y, index>(c, get_register<z, index>(c));
        }
    } else if constexpr (x == 2) {  // ADD ADC SUB SBC AND XOR OR CP
        z80::alu<y>(c.a, c.f, operand<z, index>(m, c));
    } else if constexpr (x == 0) {
        if constexpr (z == 0) {
            if constexpr (y == 1) {  // EX AF,AF'
                std::swap(c.a, m.z80.alternate.a);
                std::swap(c.f, m.z80.alternate.f);
            } else if constexpr (y == 2) {  // DJNZ
                const std::int8_t displacement = std::int8_t(fetch_byte(m, c));
                if (--c.b != 0)
                    c.z80.wz = jump(c, std::uint16_t(program_counter(c) + displacement));
            } else if constexpr (y >= 3) {  // JR, JR NZ Z NC C
                const std::int8_t displacement = std::int8_t(fetch_byte(m, c));
                if (y == 3 || c.condition_met(y - 4))
                    c.z80.wz = jump(c, std::uint16_t(program_counter(c) + displacement));
            }
        } else if constexpr (z == 1) {
            if constexpr (q == 0) {  // LD rr,nn
                set_pair<p, index>(c, fetch_word(m, c));
            } else {  // ADD HL,rr
                const std::uint16_t left = get_index<index>(c);
                c.z80.wz = std::uint16_t(left + 1);
                set_index<index>(c, z80::add_word(c.f, left, get_pair<p, index>(c)));
            }
        } else if constexpr (z == 2) {
            if constexpr (y == 0 || y == 2) {  // LD (BC),A  LD (DE),A
                const std::uint16_t address = y == 0 ? c.bc() : c.de();
                m.memory[address] = c.a;
                c.z80.wz = std::uint16_t(c.a << 8 | ((address + 1) & 0xFF));
            } else if constexpr (y == 1 || y == 3) {  // LD A,(BC)  LD A,(DE)
                const std::uint16_t address = y == 1 ? c.bc() : c.de();
                c.a = m.memory[address];
                c.z80.wz = std::uint16_t(address + 1);
            } else {
                const std::uint16_t address = fetch_word(m, c);
                if constexpr (y == 4)
                    m.write_word(address, get_index<index>(c));  // LD (nn),HL
                if constexpr (y == 5)
                    set_index<index>(c, m.read_word(address));  // LD HL,(nn)
                if constexpr (y == 7)
                    c.a = m.memory[address];  // LD A,(nn)
                if constexpr (y == 6) {       // LD (nn),A
                    m.memory[address] = c.a;
                    c.z80.wz = std::uint16_t(c.a << 8 | ((address + 1) & 0xFF));
                } else {
                    c.z80.wz = std::uint16_t(address + 1);
                }
            }
        } else if constexpr (z == 3) {  // INC rr, DEC rr
            set_pair<p, index>(c, std::uint16_t(get_pair<p, index>(c) + (q ? -1 : 1)));
        } else if constexpr (z == 4 || z == 5) {  // INC r, DEC r
            constexpr auto change = z == 4 ? z80::increment : z80::decrement;
            if constexpr (y == 6) {
                const std::uint16_t address = memory_address<index>(m, c);
                m.memory[address] = change(c.f, m.memory[address]);
            } else {
                set_register<y, index>(c, change(c.f, get_register<y, index>(c)));
            }
        } else if constexpr (z == 6) {  // LD r,n
            if constexpr (y == 6) {
                const std::uint16_t address = memory_address<index>(m, c);
                m.memory[address] = fetch_byte(m, c);
            } else {
                set_register<y, index>(c, fetch_byte(m, c));
            }
        } else {
            if constexpr (y <= 3)
                z80::rotate_accumulator<y>(c.a, c.f);  // RLCA RRCA RLA RRA
            if constexpr (y == 4)
                z80::decimal_adjust(c.a, c.f);  // DAA
            if constexpr (y == 5)
                z80::complement(c.a, c.f);  // CPL
            if constexpr (y == 6)
                z80::set_carry(c.a, c.f);  // SCF
            if constexpr (y == 7)
                z80::complement_carry(c.a, c.f);  // CCF
        }
    } else {                     // x == 3
        if constexpr (z == 0) {  // RET cc
            if (c.condition_met(y))
                c.z80.wz = jump(c, pop(m, c));
        } else if constexpr (z == 1) {
            if constexpr (q == 0) {  // POP
                const std::uint16_t value = pop(m, c);
                if constexpr (p == 3) {
                    c.a = std::uint8_t(value >> 8);
                    c.f = std::uint8_t(value);
                } else {
                    set_pair<p, index>(c, value);
                }
            } else if constexpr (p == 0) {  // RET
                c.z80.wz = jump(c, pop(m, c));
            } else if constexpr (p == 1) {  // EXX
                RegisterFile& other = m.z80.alternate;
                std::swap(c.b, other.b), std::swap(c.c, other.c);
                std::swap(c.d, other.d), std::swap(c.e, other.e);
                std::swap(c.h, other.h), std::swap(c.l, other.l);
            } else if constexpr (p == 2) {  // JP (HL)
                jump(c, get_index<index>(c));
            } else {  // LD SP,HL
                c.sp = get_index<index>(c);
            }
        } else if constexpr (z == 2) {  // JP cc,nn
            c.z80.wz = fetch_word(m, c);
            if (c.condition_met(y))
                jump(c, c.z80.wz);
        } else if constexpr (z == 3) {
            if constexpr (y == 0) {  // JP nn
                c.z80.wz = jump(c, fetch_word(m, c));
            } else if constexpr (y == 2) {  // OUT (n),A: nothing is output
                const std::uint8_t port = fetch_byte(m, c);
                c.z80.wz = std::uint16_t(c.a << 8 | ((port + 1) & 0xFF));
            } else if constexpr (y == 3) {  // IN A,(n): nothing answers
                const std::uint8_t port = fetch_byte(m, c);
                c.z80.wz = std::uint16_t((c.a << 8 | port) + 1);
                c.a = 0xFF;
            } else if constexpr (y == 4) {  // EX (SP),HL
                const std::uint16_t value = m.read_word(c.sp);
                m.write_word(c.sp, get_index<index>(c));
                set_index<index>(c, value);
                c.z80.wz = value;
            } else if constexpr (y == 5) {  // EX DE,HL, never IX or IY
                std::swap(c.d, c.h);
                std::swap(c.e, c.l);
            } else if constexpr (y == 6 || y == 7) {  // DI, EI
                m.z80.iff1 = m.z80.iff2 = y == 7;
            }
        } else if constexpr (z == 4) {  // CALL cc,nn
            c.z80.wz = fetch_word(m, c);
            if (c.condition_met(y)) {
                push(m, c, program_counter(c));
                jump(c, c.z80.wz);
            }
        } else if constexpr (z == 5) {
            if constexpr (q == 0) {  // PUSH
                push(m, c, p == 3 ? std::uint16_t(c.a << 8 | c.f) : get_pair<p, index>(c));
            } else if constexpr (p == 0) {  // CALL nn
                c.z80.wz = fetch_word(m, c);
                push(m, c, program_counter(c));
                jump(c, c.z80.wz);
            }
        } else if constexpr (z == 6) {  // ADD ADC SUB SBC AND XOR OR CP n
            z80::alu<y>(c.a, c.f, fetch_byte(m, c));
        } else {  // RST
            push(m, c, program_counter(c));
            c.z80.wz = jump(c, y * 8);
        }
    }
    return true;
}

// One opcode after CB: rotations and shifts, BIT, RES, SET.
template <unsigned opcode>
KAVO_Z80_INLINE void execute_cb(Processor& m, Core& c) {
    constexpr unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7;
    if constexpr (z == 6) {
        const std::uint16_t address = c.hl();
        const std::uint8_t value = m.memory[address];
        if constexpr (x == 0)
            m.memory[address] = z80::rotate_shift<y>(c.f, value);
        if constexpr (x == 1)
            z80::bit(c.f, y, value, std::uint8_t(c.z80.wz >> 8));
        if constexpr (x == 2)
            m.memory[address] = std::uint8_t(value & ~(1u << y));
        if constexpr (x == 3)
            m.memory[address] = std::uint8_t(value | 1u << y);
    } else {
        std::uint8_t& value = field<z>(c);
        if constexpr (x == 0)
            value = z80::rotate_shift<y>(c.f, value);
        if constexpr (x == 1)
            z80::bit(c.f, y, value, value);
        if constexpr (x == 2)
            value = std::uint8_t(value & ~(1u << y));
        if constexpr (x == 3)
            value = std::uint8_t(value | 1u << y);
    }
}

// One opcode after DD CB d or FD CB d, on the byte at address: with a register
// code other than 6 the result is also copied into that register, except for
// BIT, whose bits 5 and 3 come from the address's high byte.
template <unsigned opcode>
KAVO_Z80_INLINE void execute_indexed_cb(Processor& m, Core& c, std::uint16_t address) {
    constexpr unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7;
    const std::uint8_t value = m.memory[address];
    if constexpr (x == 1) {
        z80::bit(c.f, y, value, std::uint8_t(address >> 8));
    } else {
        std::uint8_t result;
        if constexpr (x == 0)
            result = z80::rotate_shift<y>(c.f, value);
        if constexpr (x == 2)
            result = std::uint8_t(value & ~(1u << y));
        if constexpr (x == 3)
            result = std::uint8_t(value | 1u << y);
        m.memory[address] = result;
        if constexpr (z != 6)
            field<z>(c) = result;
    }
}

// One opcode after ED; the opcodes the Z80 leaves undefined do nothing.
template <unsigned opcode>
KAVO_Z80_INLINE void execute_ed(Processor& m, Core& c) {
    constexpr unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7, p = y >> 1, q = y & 1;
    if constexpr (x == 1) {
        if constexpr (z == 0) {  // IN r,(C), and with code 6 only the flags
            constexpr std::uint8_t value = 0xFF;
            c.z80.wz = std::uint16_t(c.bc() + 1);
            z80::input_flags(c.f, value);
            if constexpr (y != 6)
                field<y>(c) = value;
        } else if constexpr (z == 1) {  // OUT (C),r: nothing is output
            c.z80.wz = std::uint16_t(c.bc() + 1);
        } else if constexpr (z == 2) {  // SBC HL,rr  ADC HL,rr
            const std::uint16_t left = c.hl();
            c.z80.wz = std::uint16_t(left + 1);
            const std::uint16_t right = get_pair<p, Index::hl>(c);
            c.set_hl(q ? z80::add_word_carry(c.f, left, right) : z80::subtract_word_carry(c.f, left, right));
        } else if constexpr (z == 3) {  // LD (nn),rr  LD rr,(nn)
            const std::uint16_t address = fetch_word(m, c);
            if constexpr (q == 0)
                m.write_word(address, get_pair<p, Index::hl>(c));
            else
                set_pair<p, Index::hl>(c, m.read_word(address));
            c.z80.wz = std::uint16_t(address + 1);
        } else if constexpr (z == 4) {  // NEG
            const std::uint8_t value = c.a;
            c.a = 0;
            z80::alu<2>(c.a, c.f, value);
        } else if constexpr (z == 5) {  // RETN, RETI
            m.z80.iff1 = m.z80.iff2;
            c.z80.wz = jump(c, pop(m, c));
        } else if constexpr (z == 6) {  // IM 0, 0, 1, 2
            constexpr std::uint8_t modes[4] = {0, 0, 1, 2};
            m.z80.interrupt_mode = modes[y & 3];
        } else if constexpr (y == 0) {  // LD I,A
            m.z80.i = c.a;
        } else if constexpr (y == 1) {  // LD R,A
            m.z80.r = c.a;
            c.counter = (c.counter & 0xFFFF) | std::uint32_t(c.a) << 16;
        } else if constexpr (y == 2) {  // LD A,I
            c.a = m.z80.i;
            z80::interrupt_register_flags(c.f, c.a, m.z80.iff2);
        } else if constexpr (y == 3) {  // LD A,R
            c.a = std::uint8_t((m.z80.r & 0x80) | ((c.counter >> 16) & 0x7F));
            z80::interrupt_register_flags(c.f, c.a, m.z80.iff2);
        } else if constexpr (y == 4 || y == 5) {  // RRD, RLD
            const std::uint16_t address = c.hl();
            const std::uint8_t value = m.memory[address];
            if constexpr (y == 4) {
                m.memory[address] = std::uint8_t(c.a << 4 | value >> 4);
                c.a = std::uint8_t((c.a & 0xF0) | (value & 0x0F));
            } else {
                m.memory[address] = std::uint8_t(value << 4 | (c.a & 0x0F));
                c.a = std::uint8_t((c.a & 0xF0) | value >> 4);
            }
            c.z80.wz = std::uint16_t(address + 1);
            z80::input_flags(c.f, c.a);
        }
    } else if constexpr (x == 2 && y >= 4 && z <= 3) {
        // LDI CPI INI OUTI, LDD CPD IND OUTD, and their repeating forms, which
        // step back onto themselves while they have more to do.
        constexpr int step = y & 1 ? -1 : 1;
        constexpr bool repeating = y >= 6;
        bool more = false;
        if constexpr (z == 0) {  // LDI LDD LDIR LDDR
            const std::uint8_t value = m.memory[c.hl()];
            m.memory[c.de()] = value;
            c.set_hl(std::uint16_t(c.hl() + step));
            c.set_de(std::uint16_t(c.de() + step));
            c.set_bc(std::uint16_t(c.bc() - 1));
            z80::block_load_flags(c.f, c.a, value, c.bc());
            more = c.bc() != 0;
        } else if constexpr (z == 1) {  // CPI CPD CPIR CPDR
            const std::uint8_t value = m.memory[c.hl()];
            c.set_hl(std::uint16_t(c.hl() + step));
            c.set_bc(std::uint16_t(c.bc() - 1));
            c.z80.wz = std::uint16_t(c.z80.wz + step);
            z80::block_compare_flags(c.f, c.a, value, c.bc());
            more = c.bc() != 0 && c.a != value;
        } else if constexpr (z == 2) {  // INI IND INIR INDR: nothing answers
            constexpr std::uint8_t value = 0xFF;
            c.z80.wz = std::uint16_t(c.bc() + step);
            m.memory[c.hl()] = value;
            c.set_hl(std::uint16_t(c.hl() + step));
            --c.b;
            z80::block_io_flags(c.f, value, c.b, value + std::uint8_t(c.c + step));
            more = c.b != 0;
        } else {  // OUTI OUTD OTIR OTDR: nothing is output
            --c.b;
            const std::uint8_t value = m.memory[c.hl()];
            c.set_hl(std::uint16_t(c.hl() + step));
            c.z80.wz = std::uint16_t(c.bc() + step);
            z80::block_io_flags(c.f, value, c.b, value + c.l);
            more = c.b != 0;
        }
        if (repeating && more) {
            c.z80.wz = std::uint16_t(jump(c, std::uint16_t(program_counter(c) - 2)) + 1);
        }
    }
}

// clang-format off
#define KAVO_Z80_EACH_LOW(M, group, high) \
    M(group, high, 0) M(group, high, 1) M(group, high, 2) M(group, high, 3) M(group, high, 4) M(group, high, 5) \
    M(group, high, 6) M(group, high, 7) M(group, high, 8) M(group, high, 9) M(group, high, A) M(group, high, B) \
    M(group, high, C) M(group, high, D) M(group, high, E) M(group, high, F)
#define KAVO_Z80_EACH_OPCODE(M, group)                                                           \
    KAVO_Z80_EACH_LOW(M, group, 0) KAVO_Z80_EACH_LOW(M, group, 1) KAVO_Z80_EACH_LOW(M, group, 2) \
    KAVO_Z80_EACH_LOW(M, group, 3) KAVO_Z80_EACH_LOW(M, group, 4) KAVO_Z80_EACH_LOW(M, group, 5) \
    KAVO_Z80_EACH_LOW(M, group, 6) KAVO_Z80_EACH_LOW(M, group, 7) KAVO_Z80_EACH_LOW(M, group, 8) \
    KAVO_Z80_EACH_LOW(M, group, 9) KAVO_Z80_EACH_LOW(M, group, A) KAVO_Z80_EACH_LOW(M, group, B) \
    KAVO_Z80_EACH_LOW(M, group, C) KAVO_Z80_EACH_LOW(M, group, D) KAVO_Z80_EACH_LOW(M, group, E) \
    KAVO_Z80_EACH_LOW(M, group, F)
#define KAVO_Z80_ADDRESS(group, high, low) &&group##_##high##low,

#ifdef KAVO_COUNTING
#define KAVO_Z80_COUNT() ++m.instructions_executed
#else
#define KAVO_Z80_COUNT()
#endif
#ifdef KAVO_FUZZING
#define KAVO_Z80_SPEND()           \
    if (m.instruction_budget == 0) \
        goto spent;                \
    --m.instruction_budget
#else
#define KAVO_Z80_SPEND()
#endif
// The trap test and the fetch of an instruction's first byte, which counts
// in R. Each handler ends in its own copy, so each has its own indirect
// branch to predict; a prefix's handler dispatches on the next byte in the
// same way.
#define KAVO_Z80_DISPATCH()                           \
    do {                                              \
        if (program_counter(c) >= trap_area) \
            goto trapped;                             \
        KAVO_Z80_COUNT();                             \
        KAVO_Z80_SPEND();                             \
        goto* main_handlers[fetch_opcode(m, c)];      \
    } while (0)
#define KAVO_Z80_NEXT()                \
    do {                               \
        if constexpr (one_instruction) \
            goto stepped;              \
        else                           \
            KAVO_Z80_DISPATCH();       \
    } while (0)

// An unprefixed opcode, or a prefix that reads the next byte.
#define KAVO_Z80_MAIN(group, high, low)                   \
    group##_##high##low:                                  \
    if constexpr (0x##high##low == 0xCB) {                \
        goto* cb_handlers[fetch_opcode(m, c)];            \
    } else if constexpr (0x##high##low == 0xED) {         \
        goto* ed_handlers[fetch_opcode(m, c)];            \
    } else if constexpr (0x##high##low == 0xDD) {         \
        goto* ix_handlers[m.memory[program_counter(c)]];  \
    } else if constexpr (0x##high##low == 0xFD) {         \
        goto* iy_handlers[m.memory[program_counter(c)]];  \
    } else {                                              \
        if (!execute<0x##high##low, Index::hl>(m, c))     \
            goto halted;                                  \
        KAVO_Z80_NEXT();                                  \
    }
// The byte after DD (group ix) or FD (group iy), not yet fetched. Another
// DD, FD or ED makes the first prefix an instruction that did nothing; CB
// leads to the indexed bit instructions; an opcode that does not use HL runs
// as without the prefix.
#define KAVO_Z80_INDEXED(group, high, low)                                                                \
    group##_##high##low:                                                                                  \
    if constexpr (0x##high##low == 0xDD || 0x##high##low == 0xFD || 0x##high##low == 0xED) {              \
        KAVO_Z80_NEXT();                                                                                  \
    } else {                                                                                              \
        c.counter += opcode_fetch;                                                                        \
        if constexpr (0x##high##low == 0xCB) {                                                            \
            indexed_address = std::uint16_t(get_index<Index::group>(c) + std::int8_t(fetch_byte(m, c))); \
            c.z80.wz = indexed_address;                                                                   \
            goto* indexed_cb_handlers[fetch_byte(m, c)];                                                  \
        } else if constexpr (!uses_hl(0x##high##low)) {                                                  \
            goto main_##high##low;                                                                        \
        } else {                                                                                          \
            if (!execute<0x##high##low, Index::group>(m, c))                                              \
                goto halted;                                                                              \
            KAVO_Z80_NEXT();                                                                              \
        }                                                                                                 \
    }
#define KAVO_Z80_CB(group, high, low) \
    group##_##high##low:              \
    execute_cb<0x##high##low>(m, c);  \
    KAVO_Z80_NEXT();
#define KAVO_Z80_ED(group, high, low) \
    group##_##high##low:              \
    execute_ed<0x##high##low>(m, c);  \
    KAVO_Z80_NEXT();
#define KAVO_Z80_INDEXED_CB(group, high, low)                 \
    group##_##high##low:                                      \
    execute_indexed_cb<0x##high##low>(m, c, indexed_address); \
    KAVO_Z80_NEXT();
// clang-format on

// Executes from PC until PC reaches the trap area or right after a HALT, or
// with one_instruction after one instruction (a prefix that did nothing
// counts as one, and so does each step of a repeating block instruction).
template <bool one_instruction>
Stop run(Processor& m) {
    static constexpr void* main_handlers[256] = {KAVO_Z80_EACH_OPCODE(KAVO_Z80_ADDRESS, main)};
    static constexpr void* cb_handlers[256] = {KAVO_Z80_EACH_OPCODE(KAVO_Z80_ADDRESS, cb)};
    static constexpr void* ed_handlers[256] = {KAVO_Z80_EACH_OPCODE(KAVO_Z80_ADDRESS, ed)};
    static constexpr void* ix_handlers[256] = {KAVO_Z80_EACH_OPCODE(KAVO_Z80_ADDRESS, ix)};
    static constexpr void* iy_handlers[256] = {KAVO_Z80_EACH_OPCODE(KAVO_Z80_ADDRESS, iy)};
    static constexpr void* indexed_cb_handlers[256] = {KAVO_Z80_EACH_OPCODE(KAVO_Z80_ADDRESS, indexed_cb)};
    Core c{m.registers, std::uint32_t(m.z80.r) << 16 | m.registers.pc, m.z80};
    std::uint16_t indexed_address = 0;
    Stop stop;
    KAVO_Z80_DISPATCH();
    KAVO_Z80_EACH_OPCODE(KAVO_Z80_MAIN, main)
    KAVO_Z80_EACH_OPCODE(KAVO_Z80_CB, cb)
    KAVO_Z80_EACH_OPCODE(KAVO_Z80_ED, ed)
    KAVO_Z80_EACH_OPCODE(KAVO_Z80_INDEXED, ix)
    KAVO_Z80_EACH_OPCODE(KAVO_Z80_INDEXED, iy)
    KAVO_Z80_EACH_OPCODE(KAVO_Z80_INDEXED_CB, indexed_cb)
halted:
    stop = Stop::halt;
    goto leave;
trapped:
    stop = Stop::trap;
    goto leave;
stepped:
    __attribute__((unused));
    stop = Stop::none;
#ifdef KAVO_FUZZING
    goto leave;
spent:
    stop = Stop::none;
#endif
leave:
    m.registers = c;
    m.registers.pc = program_counter(c);
    m.z80.r = std::uint8_t((m.z80.r & 0x80) | ((c.counter >> 16) & 0x7F));
    return stop;
}

#undef KAVO_Z80_INDEXED_CB
#undef KAVO_Z80_ED
#undef KAVO_Z80_CB
#undef KAVO_Z80_INDEXED
#undef KAVO_Z80_MAIN
#undef KAVO_Z80_NEXT
#undef KAVO_Z80_DISPATCH
#undef KAVO_Z80_SPEND
#undef KAVO_Z80_COUNT
#undef KAVO_Z80_ADDRESS
#undef KAVO_Z80_EACH_OPCODE
#undef KAVO_Z80_EACH_LOW
#undef KAVO_Z80_INLINE

}  // namespace

Stop Processor::run_until_trap_z80() { return run<false>(*this); }
Stop Processor::step_z80() { return run<true>(*this); }

}  // namespace kavo
