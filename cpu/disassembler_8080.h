// The 8080 disassembler: one instruction from memory in Intel's mnemonics.
#pragma once

#include <cstdint>

#include "cpu/disassembler.h"

namespace kavo {

// The instruction at address in Intel's mnemonics ("LXI H,0C3A5H", "JNZ
// 0123H", "RST 7"). The opcodes Intel left undefined are written as DB of the
// bytes the 8080 executes with them, as an 8080 assembler's listing shows
// them: DB 08H (and 10H-38H) and DB 0D9H, which run as NOP and RET, alone,
// and DB 0CBH and DB 0DDH, 0EDH, 0FDH, which run as JMP and CALL, with their
// two address bytes ("DB 0CBH,34H,12H").
Instruction disassemble_8080(const MemoryReader& read, std::uint16_t address);

}  // namespace kavo
