// One line of an instruction trace: where, which bytes, which instruction, and the registers after it.
#pragma once

#include <string>

#include "cpu/disassembler.h"
#include "cpu/registers.h"
#include "cpu/z80_registers.h"

namespace kavo {

// The trace line of an instruction that has just run, from its disassembly
// (made before it ran) and the registers after it, without a line end. The
// columns are fixed: the address, the bytes, the text with its operands
// aligned, then each register as NAME=hex and the flags as one letter per bit
// of F, '.' for a clear bit. On the 8080 (bits 5, 3 and 1 always '.'):
//   0113  2A 06 00  LHLD 0006H           A=00 BC=0000 DE=0000 HL=FE06 SP=FE80 F=.Z...P..
// On the Z80, with the undocumented bits 5 and 3, IX, IY and, last, the
// alternate set:
//   0113  2A 06 00     LD   HL,(0006H)      AF=0044 BC=0000 DE=0000 HL=FE06 IX=0000 IY=0000 SP=FE80 F=.Z...P..
//   AF'=0000 BC'=0000 DE'=0000 HL'=0000  (on the same line)
std::string trace_line(const Instruction& instruction, const RegisterFile& registers);
std::string trace_line(const Instruction& instruction, const RegisterFile& registers, const Z80Registers& z80);

}  // namespace kavo
