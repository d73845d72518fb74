// The 8080 register file: eight byte registers with pair views, SP and PC, and the flag arithmetic on A and F.
#pragma once

#include <array>
#include <cstdint>

namespace kavo {

namespace flag {
constexpr std::uint8_t sign = 0x80, zero = 0x40, aux = 0x10, parity = 0x04, carry = 0x01;
constexpr std::uint8_t fixed = 0x2A;  // bits 1, 3 and 5: kept as they are by every operation
}  // namespace flag

// 1 when value has an even number of one bits.
constexpr unsigned parity_even(std::uint8_t value) {
    value ^= value >> 4;
    value ^= value >> 2;
    value ^= value >> 1;
    return ~value & 1;
}

// S, Z and P of every result byte, so a flag update is one lookup.
inline constexpr auto sign_zero_parity = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        table[value] = (value & flag::sign) | (value == 0 ? flag::zero : 0) |
                       (parity_even(std::uint8_t(value)) ? flag::parity : 0);
    return table;
}();

struct RegisterFile {
    // In the order C, B, E, D, L, H, F, A, so that each pair is a
    // little-endian view of two neighbours: BC, DE, HL and PSW.
    std::uint8_t c = 0, b = 0, e = 0, d = 0, l = 0, h = 0, f = 0, a = 0;
    std::uint16_t sp = 0;
    std::uint16_t pc = 0;

    // Register codes of the instruction fields: B C D E H L (M) A. Code 6,
    // M, is memory and is the Machine's business.
    std::uint8_t& byte(unsigned code) {
        switch (code) {
        case 0: return b;
        case 1: return c;
        case 2: return d;
        case 3: return e;
        case 4: return h;
        case 5: return l;
        default: return a;
        }
    }
    std::uint8_t byte(unsigned code) const { return const_cast<RegisterFile*>(this)->byte(code); }

    // Pair by index 0-3: BC, DE, HL, PSW; writing a pair writes both halves.
    std::uint16_t pair(unsigned index) const {
        switch (index) {
        case 0: return std::uint16_t(b << 8 | c);
        case 1: return std::uint16_t(d << 8 | e);
        case 2: return std::uint16_t(h << 8 | l);
        default: return std::uint16_t(a << 8 | f);
        }
    }
    void set_pair(unsigned index, std::uint16_t value) {
        std::uint8_t& high = index == 0 ? b : index == 1 ? d : index == 2 ? h : a;
        std::uint8_t& low = index == 0 ? c : index == 1 ? e : index == 2 ? l : f;
        high = std::uint8_t(value >> 8);
        low = std::uint8_t(value);
    }
    std::uint16_t bc() const { return pair(0); }
    std::uint16_t de() const { return pair(1); }
    std::uint16_t hl() const { return pair(2); }
    std::uint16_t psw() const { return pair(3); }
    void set_bc(std::uint16_t value) { set_pair(0, value); }
    void set_de(std::uint16_t value) { set_pair(1, value); }
    void set_hl(std::uint16_t value) { set_pair(2, value); }

    bool flag(std::uint8_t mask) const { return f & mask; }

    // NZ Z NC C PO PE P M.
    bool condition_met(unsigned code) const {
        static constexpr std::uint8_t masks[4] = {flag::zero, flag::carry, flag::parity, flag::sign};
        return flag(masks[code >> 1]) == bool(code & 1);
    }

    // ADD ADC SUB SBB ANA XRA ORA CMP by selector, on A and operand; sets
    // every flag, stores the result in A except for CMP. Subtraction sets
    // carry for a borrow and aux carry when the low four bits do not borrow.
    void alu_op(unsigned selector, std::uint8_t operand) {
        const unsigned accumulator = a, carry = f & flag::carry;
        unsigned result = 0, aux = 0;
        switch (selector) {
        case 0: case 1:  // ADD, ADC
            result = accumulator + operand + (selector == 1 ? carry : 0);
            aux = (accumulator ^ operand ^ result) & flag::aux;
            break;
        case 2: case 3: case 7:  // SUB, SBB, CMP
            result = (accumulator - operand - (selector == 3 ? carry : 0)) & 0x1FF;
            aux = ~(accumulator ^ operand ^ result) & flag::aux;
            break;
        case 4:  // ANA
            result = accumulator & operand;
            aux = ((accumulator | operand) << 1) & flag::aux;
            break;
        case 5: result = accumulator ^ operand; break;
        case 6: result = accumulator | operand; break;
        }
        f = std::uint8_t(sign_zero_parity[result & 0xFF] | aux | (result >> 8) | (f & flag::fixed));
        if (selector != 7)
            a = std::uint8_t(result);
    }

    // DAA: adds 6 when the low digit is above 9 or aux carry is set, then
    // 0x60 when the high digit is above 9 or either addition carried; carry
    // ends set exactly when the second addition ran.
    void decimal_adjust() {
        bool carry = flag(flag::carry);
        bool half = flag(flag::aux);
        if ((a & 0x0F) > 9 || half) {
            alu_op(0, 0x06);
            half = flag(flag::aux);
            carry = carry || flag(flag::carry);
        }
        if ((a & 0xF0) > 0x90 || carry) {
            alu_op(0, 0x60);
            if (carry)
                f |= flag::carry;
        }
        f = std::uint8_t((f & (flag::carry | flag::fixed)) | sign_zero_parity[a] | (half ? flag::aux : 0));
    }
};

}  // namespace kavo
