// The Z80 disassembler: one instruction from memory in Zilog's mnemonics, undocumented ones included.
#pragma once

#include <cstdint>

#include "cpu/disassembler.h"

namespace kavo {

// The instruction at address in Zilog's mnemonics, every prefix group
// included ("LD HL,(0006H)", "JR NZ,0123H" with the target address, "RES
// 7,(IY-80H)"). The undocumented instructions are written as usual: IXH, IXL,
// IYH and IYL for the index registers' halves, SLL, the indexed rotations and
// bit changes that also store into a register ("RLC (IX+05H),B"), IN F,(C) and
// OUT (C),0, and the duplicates of NEG, RETN, IM, LD (nn),HL and LD HL,(nn)
// under their usual names. The opcodes after ED that do nothing are DB of
// both bytes. A DD or FD prefix before another DD, FD or ED does nothing and
// is an instruction of its own, DB 0DDH or DB 0FDH; before an opcode that uses
// no HL it only makes the instruction a byte longer, so its text is that of
// the plain instruction (DD 00 is NOP, two bytes long). This is how the
// executor steps them.
Instruction disassemble_z80(const MemoryReader& read, std::uint16_t address);

}  // namespace kavo
