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

struct RegisterFile {
    // In the order C, B, E, D, L, H, F, A, so that each pair is a
    // little-endian view of two neighbours: BC, DE, HL and PSW.
    std::array<std::uint8_t, 8> bytes{};
    std::uint16_t sp = 0;
    std::uint16_t pc = 0;

    // Register codes of the instruction fields: B C D E H L (M) A. Codes 0-5
    // sit at the code with its lowest bit flipped; 7 is A. Code 6 is memory.
    std::uint8_t& byte(unsigned code) { return bytes[code == 7 ? 7 : code ^ 1]; }
    std::uint8_t byte(unsigned code) const { return bytes[code == 7 ? 7 : code ^ 1]; }

    std::uint8_t& c() { return bytes[0]; }
    std::uint8_t& b() { return bytes[1]; }
    std::uint8_t& e() { return bytes[2]; }
    std::uint8_t& d() { return bytes[3]; }
    std::uint8_t& l() { return bytes[4]; }
    std::uint8_t& h() { return bytes[5]; }
    std::uint8_t& f() { return bytes[6]; }
    std::uint8_t& a() { return bytes[7]; }
    std::uint8_t c() const { return bytes[0]; }
    std::uint8_t e() const { return bytes[2]; }
    std::uint8_t f() const { return bytes[6]; }
    std::uint8_t a() const { return bytes[7]; }

    // Pair by index 0-3: BC, DE, HL, PSW.
    std::uint16_t pair(unsigned index) const { return bytes[2 * index] | bytes[2 * index + 1] << 8; }
    void set_pair(unsigned index, std::uint16_t value) {
        bytes[2 * index] = std::uint8_t(value);
        bytes[2 * index + 1] = std::uint8_t(value >> 8);
    }
    std::uint16_t bc() const { return pair(0); }
    std::uint16_t de() const { return pair(1); }
    std::uint16_t hl() const { return pair(2); }
    std::uint16_t psw() const { return pair(3); }
    void set_bc(std::uint16_t value) { set_pair(0, value); }
    void set_de(std::uint16_t value) { set_pair(1, value); }
    void set_hl(std::uint16_t value) { set_pair(2, value); }

    bool flag(std::uint8_t mask) const { return f() & mask; }

    // NZ Z NC C PO PE P M.
    bool condition_met(unsigned code) const {
        static constexpr std::uint8_t masks[4] = {flag::zero, flag::carry, flag::parity, flag::sign};
        return flag(masks[code >> 1]) == bool(code & 1);
    }

    // ADD ADC SUB SBB ANA XRA ORA CMP by selector, on A and operand; sets
    // every flag, stores the result in A except for CMP.
    void alu_op(unsigned selector, std::uint8_t operand);
    // DAA.
    void decimal_adjust();
};

}  // namespace kavo
