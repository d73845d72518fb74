// Test programs that show what a call did to every register: a known state before it, all registers printed after it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "bdos/memory_map.h"
#include "tests/assembler.h"

namespace test {

// The 8080 registers as the snapshot prints them.
struct Registers {
    std::uint8_t a = 0xAA;
    std::uint8_t flags = 0xD7;  // every flag set
    std::uint8_t b = 0xB0;
    std::uint8_t c = 0xC0;
    std::uint8_t d = 0xD0;
    std::uint8_t e = 0xE0;
    std::uint8_t h = 0x12;
    std::uint8_t l = 0x34;
    std::uint16_t sp = kavo::address::stack;  // where the loader leaves it

    void set_bc(std::uint16_t value) { b = std::uint8_t(value >> 8), c = std::uint8_t(value); }
    void set_de(std::uint16_t value) { d = std::uint8_t(value >> 8), e = std::uint8_t(value); }
    void set_hl(std::uint16_t value) { h = std::uint8_t(value >> 8), l = std::uint8_t(value); }

    // What print_registers writes for these values: "=" and ten bytes in hex.
    std::string printed() const {
        const std::uint8_t bytes[] = {a, flags, b, c, d, e, h, l, std::uint8_t(sp >> 8), std::uint8_t(sp)};
        std::string text = "=";
        for (std::uint8_t byte : bytes) {
            char digits[4];
            std::snprintf(digits, sizeof digits, "%02X ", byte);
            text += digits;
        }
        return text;
    }
};

// Sets A, the flags, BC, DE and HL to start; SP stays as it is.
inline Assembler& load_registers(Assembler& program, const Registers& start) {
    program.lxi(HL, std::uint16_t(start.a << 8 | start.flags)).push(HL).pop(PSW);
    program.lxi(BC, std::uint16_t(start.b << 8 | start.c)).lxi(DE, std::uint16_t(start.d << 8 | start.e));
    return program.lxi(HL, std::uint16_t(start.h << 8 | start.l));
}

// Where print_registers keeps the ten bytes, far above any test program.
constexpr std::uint16_t snapshot_address = 0x3000;

// Saves every register at snapshot_address, then prints "=" and them as
// Registers::printed() shows them. Needs hex_routine(). The save pushes one
// word below SP.
inline Assembler& print_registers(Assembler& program) {
    const std::uint16_t at = snapshot_address;
    program.sta(at);
    const Register others[] = {B, C, D, E, H, L};
    for (unsigned index = 0; index < 6; ++index)
        program.mov(A, others[index]).sta(std::uint16_t(at + 2 + index));
    program.push(PSW).pop(HL).mov(A, L).sta(std::uint16_t(at + 1));
    program.lxi(HL, std::uint16_t(0)).dad(SP).mov(A, H).sta(std::uint16_t(at + 8)).mov(A, L).sta(std::uint16_t(at + 9));
    return program.mvi(E, '=').bdos(2).dump(at, 10);
}

}  // namespace test
