// The Z80's registers beyond the 8080's: the alternate set, IX and IY, I and R, the interrupt state and MEMPTR.
#pragma once

#include <cstdint>

#include "cpu/registers.h"

namespace kavo {

struct Z80Registers {
    // BC', DE', HL' and AF' in the fields of the main set, so that EXX and
    // EX AF,AF' swap like fields; its SP and PC are unused.
    RegisterFile alternate{};
    std::uint16_t ix = 0, iy = 0;
    // MEMPTR (WZ), the internal address latch: BIT n,(HL) shows its high
    // byte in flag bits 3 and 5.
    std::uint16_t wz = 0;
    std::uint8_t i = 0;
    std::uint8_t r = 0;  // bit 7 as last loaded; the low 7 bits count opcode fetches
    // Interrupt state: kept and reported, though nothing ever interrupts.
    bool iff1 = false, iff2 = false;
    std::uint8_t interrupt_mode = 0;
};

}  // namespace kavo
