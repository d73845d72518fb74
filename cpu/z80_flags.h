// The Z80's flag rules, undocumented bits 3 and 5 included: every operation that sets flags, on A and F.
#pragma once

#include <array>
#include <cstdint>

#include "cpu/registers.h"

namespace kavo::z80 {

namespace flag {
constexpr std::uint8_t sign = 0x80, zero = 0x40, bit5 = 0x20, half = 0x10, bit3 = 0x08, parity = 0x04, overflow = 0x04,
                       subtract = 0x02, carry = 0x01;
constexpr std::uint8_t bits53 = bit5 | bit3;
}  // namespace flag

// S, Z, bits 5 and 3 of a result byte, and the same with P: one lookup each.
inline constexpr auto sign_zero_53 = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        table[value] = std::uint8_t((value & (flag::sign | flag::bits53)) | (value == 0 ? flag::zero : 0));
    return table;
}();
inline constexpr auto sign_zero_53_parity = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        table[value] = std::uint8_t(sign_zero_53[value] | (parity_even(std::uint8_t(value)) ? flag::parity : 0));
    return table;
}();

// ADD ADC SUB SBC AND XOR OR CP by selector, on A and operand. CP takes bits
// 5 and 3 from the operand, every other operation from its result.
template <unsigned selector>
inline void alu(std::uint8_t& a, std::uint8_t& f, std::uint8_t operand) {
    const unsigned accumulator = a;
    if constexpr (selector <= 1) {
        const unsigned result = accumulator + operand + (selector == 1 ? f & flag::carry : 0);
        f = std::uint8_t(sign_zero_53[result & 0xFF] | ((accumulator ^ operand ^ result) & flag::half) |
                         (((accumulator ^ ~operand) & (accumulator ^ result) & 0x80) >> 5) | (result >> 8));
        a = std::uint8_t(result);
    } else if constexpr (selector == 2 || selector == 3 || selector == 7) {
        const unsigned result = accumulator - operand - (selector == 3 ? f & flag::carry : 0);
        const std::uint8_t flags = std::uint8_t((sign_zero_53[result & 0xFF] & ~flag::bits53) |
                                                ((accumulator ^ operand ^ result) & flag::half) |
                                                (((accumulator ^ operand) & (accumulator ^ result) & 0x80) >> 5) |
                                                flag::subtract | ((result >> 8) & flag::carry));
        if constexpr (selector == 7) {
            f = std::uint8_t(flags | (operand & flag::bits53));
        } else {
            f = std::uint8_t(flags | (result & flag::bits53));
            a = std::uint8_t(result);
        }
    } else if constexpr (selector == 4) {
        a = std::uint8_t(accumulator & operand);
        f = std::uint8_t(sign_zero_53_parity[a] | flag::half);
    } else {
        a = std::uint8_t(selector == 5 ? accumulator ^ operand : accumulator | operand);
        f = sign_zero_53_parity[a];
    }
}

// INC and DEC of a byte; carry is kept.
inline std::uint8_t increment(std::uint8_t& f, std::uint8_t value) {
    const std::uint8_t result = std::uint8_t(value + 1);
    f = std::uint8_t((f & flag::carry) | sign_zero_53[result] | ((result & 0x0F) == 0 ? flag::half : 0) |
                     (result == 0x80 ? flag::overflow : 0));
    return result;
}
inline std::uint8_t decrement(std::uint8_t& f, std::uint8_t value) {
    const std::uint8_t result = std::uint8_t(value - 1);
    f = std::uint8_t((f & flag::carry) | sign_zero_53[result] | flag::subtract |
                     ((result & 0x0F) == 0x0F ? flag::half : 0) | (result == 0x7F ? flag::overflow : 0));
    return result;
}

template <unsigned selector>
inline std::uint8_t rotate_shift(std::uint8_t& f, std::uint8_t value);

// RLCA RRCA RLA RRA by selector: the CB group's rotation, but S, Z and P are
// kept; bits 5 and 3 come from the new A.
template <unsigned selector>
inline void rotate_accumulator(std::uint8_t& a, std::uint8_t& f) {
    std::uint8_t rotated_flags = f;
    a = rotate_shift<selector>(rotated_flags, a);
    f = std::uint8_t((f & (flag::sign | flag::zero | flag::parity)) | (a & flag::bits53) |
                     (rotated_flags & flag::carry));
}

// RLC RRC RL RR SLA SRA SLL SRL by selector (SLL shifts a one in).
template <unsigned selector>
inline std::uint8_t rotate_shift(std::uint8_t& f, std::uint8_t value) {
    const unsigned carry = f & flag::carry;
    unsigned result = 0, out = 0;
    if constexpr (selector == 0)
        result = value << 1 | value >> 7, out = value >> 7;
    if constexpr (selector == 1)
        result = value >> 1 | value << 7, out = value & 1;
    if constexpr (selector == 2)
        result = value << 1 | carry, out = value >> 7;
    if constexpr (selector == 3)
        result = value >> 1 | carry << 7, out = value & 1;
    if constexpr (selector == 4)
        result = value << 1, out = value >> 7;
    if constexpr (selector == 5)
        result = value >> 1 | (value & 0x80), out = value & 1;
    if constexpr (selector == 6)
        result = value << 1 | 1, out = value >> 7;
    if constexpr (selector == 7)
        result = value >> 1, out = value & 1;
    const std::uint8_t byte = std::uint8_t(result);
    f = std::uint8_t(sign_zero_53_parity[byte] | out);
    return byte;
}

// BIT: Z and P when the bit is clear, S when it is bit 7 and set; bits 5 and
// 3 come from source: the register tested, or for a memory operand the high
// byte of MEMPTR.
inline void bit(std::uint8_t& f, unsigned number, std::uint8_t value, std::uint8_t source) {
    const unsigned tested = value & (1u << number);
    f = std::uint8_t((f & flag::carry) | flag::half | (source & flag::bits53) | (tested & flag::sign) |
                     (tested ? 0 : flag::zero | flag::parity));
}

// DAA after an addition or, with N set, a subtraction.
inline void decimal_adjust(std::uint8_t& a, std::uint8_t& f) {
    unsigned correction = 0, carry = f & flag::carry;
    if ((f & flag::half) || (a & 0x0F) > 9)
        correction = 0x06;
    if (carry || a > 0x99) {
        correction |= 0x60;
        carry = flag::carry;
    }
    std::uint8_t half;
    if (f & flag::subtract) {
        half = (f & flag::half) && (a & 0x0F) < 6 ? flag::half : 0;
        a = std::uint8_t(a - correction);
    } else {
        half = (a & 0x0F) > 9 ? flag::half : 0;
        a = std::uint8_t(a + correction);
    }
    f = std::uint8_t(sign_zero_53_parity[a] | half | (f & flag::subtract) | carry);
}

// CPL, SCF and CCF. Bits 5 and 3 come from A, as documented for the NMOS
// Z80 (which the exercisers do not check).
inline void complement(std::uint8_t& a, std::uint8_t& f) {
    a = std::uint8_t(~a);
    f = std::uint8_t((f & (flag::sign | flag::zero | flag::parity | flag::carry)) | (a & flag::bits53) | flag::half |
                     flag::subtract);
}
inline void set_carry(std::uint8_t a, std::uint8_t& f) {
    f = std::uint8_t((f & (flag::sign | flag::zero | flag::parity)) | (a & flag::bits53) | flag::carry);
}
inline void complement_carry(std::uint8_t a, std::uint8_t& f) {
    const unsigned carry = f & flag::carry;
    f = std::uint8_t((f & (flag::sign | flag::zero | flag::parity)) | (a & flag::bits53) | (carry ? flag::half : 0) |
                     (carry ^ flag::carry));
}

// ADD of 16 bits: S, Z and P are kept; bits 5 and 3 and H come from the high byte.
inline std::uint16_t add_word(std::uint8_t& f, std::uint16_t left, std::uint16_t right) {
    const unsigned result = unsigned(left) + right;
    f = std::uint8_t((f & (flag::sign | flag::zero | flag::parity)) | ((result >> 8) & flag::bits53) |
                     (((left ^ right ^ result) >> 8) & flag::half) | (result >> 16));
    return std::uint16_t(result);
}
// ADC and SBC of 16 bits: every flag, from the whole word.
inline std::uint16_t add_word_carry(std::uint8_t& f, std::uint16_t left, std::uint16_t right) {
    const unsigned result = unsigned(left) + right + (f & flag::carry);
    f = std::uint8_t(((result >> 8) & (flag::sign | flag::bits53)) | ((result & 0xFFFF) == 0 ? flag::zero : 0) |
                     (((left ^ right ^ result) >> 8) & flag::half) |
                     (((left ^ ~unsigned(right)) & (left ^ result) & 0x8000) >> 13) | (result >> 16));
    return std::uint16_t(result);
}
inline std::uint16_t subtract_word_carry(std::uint8_t& f, std::uint16_t left, std::uint16_t right) {
    const unsigned result = unsigned(left) - right - (f & flag::carry);
    f = std::uint8_t(((result >> 8) & (flag::sign | flag::bits53)) | ((result & 0xFFFF) == 0 ? flag::zero : 0) |
                     (((left ^ right ^ result) >> 8) & flag::half) |
                     (((left ^ right) & (left ^ result) & 0x8000) >> 13) | flag::subtract | ((result >> 16) & 1));
    return std::uint16_t(result);
}

// IN r,(C), RLD, RRD, LD A,I and LD A,R: S, Z, 5, 3 from the value, H and N
// clear, carry kept; P is parity, or IFF2 for the two loads.
inline void input_flags(std::uint8_t& f, std::uint8_t value) {
    f = std::uint8_t((f & flag::carry) | sign_zero_53_parity[value]);
}
inline void interrupt_register_flags(std::uint8_t& f, std::uint8_t value, bool iff2) {
    f = std::uint8_t((f & flag::carry) | sign_zero_53[value] | (iff2 ? flag::parity : 0));
}

// LDI and LDD, by the byte moved and BC after the step: bits 5 and 3 are bits
// 1 and 3 of byte + A.
inline void block_load_flags(std::uint8_t& f, std::uint8_t a, std::uint8_t value, std::uint16_t bc) {
    const unsigned sum = value + a;
    f = std::uint8_t((f & (flag::sign | flag::zero | flag::carry)) | (bc != 0 ? flag::overflow : 0) |
                     (sum & flag::bit3) | ((sum << 4) & flag::bit5));
}
// CPI and CPD: the comparison's S, Z and H; bits 5 and 3 are bits 1 and 3 of
// A - byte - H.
inline void block_compare_flags(std::uint8_t& f, std::uint8_t a, std::uint8_t value, std::uint16_t bc) {
    const std::uint8_t result = std::uint8_t(a - value);
    const std::uint8_t half = (a ^ value ^ result) & flag::half;
    const std::uint8_t adjusted = std::uint8_t(result - (half ? 1 : 0));
    f = std::uint8_t((f & flag::carry) | (sign_zero_53[result] & (flag::sign | flag::zero)) | half |
                     (bc != 0 ? flag::overflow : 0) | (adjusted & flag::bit3) | ((adjusted << 4) & flag::bit5) |
                     flag::subtract);
}
// INI, IND, OUTI and OUTD, by the byte transferred, B after the step and the
// sum that decides H, C and P (the byte plus C+1, C-1 or the new L).
inline void block_io_flags(std::uint8_t& f, std::uint8_t value, std::uint8_t b, unsigned sum) {
    f = std::uint8_t(sign_zero_53[b] | (value & 0x80 ? flag::subtract : 0) |
                     (sum > 0xFF ? flag::half | flag::carry : 0) |
                     (parity_even(std::uint8_t((sum & 7) ^ b)) ? flag::parity : 0));
}

}  // namespace kavo::z80
