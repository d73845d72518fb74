// The 8080 disassembler: Intel's mnemonics from tables indexed by the opcode's fields.
#include "cpu/disassembler_8080.h"

namespace kavo {

namespace {

using namespace disassembly;

// An opcode is xx yyy zzz in binary; y is pp q. In the patterns, placeholders
// stand for operands: %r and %s the registers of fields y and z, %p the pair
// of p, %q the pair of p for PUSH and POP, %c the condition of y, %a and %i
// the operation of y on a register and on a byte, %y the number y, %o the
// opcode, %n the next byte and %w the next word.
constexpr std::string_view registers[8] = {"B", "C", "D", "E", "H", "L", "M", "A"};
constexpr std::string_view pairs[4] = {"B", "D", "H", "SP"};
constexpr std::string_view stack_pairs[4] = {"B", "D", "H", "PSW"};
constexpr std::string_view conditions[8] = {"NZ", "Z", "NC", "C", "PO", "PE", "P", "M"};
constexpr std::string_view operations[8] = {"ADD", "ADC", "SUB", "SBB", "ANA", "XRA", "ORA", "CMP"};
constexpr std::string_view immediate_operations[8] = {"ADI", "ACI", "SUI", "SBI", "ANI", "XRI", "ORI", "CPI"};

// clang-format off
// Opcodes 00-3F (x = 0) and C0-FF (x = 3), a row for each z.
constexpr std::string_view low_rows[8] = {
    "NOP|DB %o|DB %o|DB %o|DB %o|DB %o|DB %o|DB %o",
    "LXI %p,%w|DAD %p",
    "STAX B|LDAX B|STAX D|LDAX D|SHLD %w|LHLD %w|STA %w|LDA %w",
    "INX %p|DCX %p",
    "INR %r",
    "DCR %r",
    "MVI %r,%n",
    "RLC|RRC|RAL|RAR|DAA|CMA|STC|CMC",
};
constexpr std::string_view high_rows[8] = {
    "R%c",
    "POP %q|RET|POP %q|DB %o|POP %q|PCHL|POP %q|SPHL",
    "J%c %w",
    "JMP %w|DB %o,%n,%n|OUT %n|IN %n|XTHL|XCHG|DI|EI",
    "C%c %w",
    "PUSH %q|CALL %w|PUSH %q|DB %o,%n,%n|PUSH %q|DB %o,%n,%n|PUSH %q|DB %o,%n,%n",
    "%i %n",
    "RST %y",
};
// clang-format on

std::string_view pattern_of(unsigned opcode) {
    const unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7;
    switch (x) {
    case 0: return row_pattern(low_rows[z], y);
    case 1: return opcode == 0x76 ? "HLT" : "MOV %r,%s";
    case 2: return "%a %s";
    default: return row_pattern(high_rows[z], y);
    }
}

}  // namespace

Instruction disassemble_8080(const MemoryReader& read, std::uint16_t address) {
    Instruction instruction;
    instruction.address = address;
    ByteCursor cursor(read, instruction);
    const std::uint8_t opcode = cursor.next();
    const unsigned y = (opcode >> 3) & 7, z = opcode & 7, p = y >> 1;
    expand(pattern_of(opcode), instruction.text, [&](char placeholder, std::string& text) {
        switch (placeholder) {
        case 'r': text += registers[y]; break;
        case 's': text += registers[z]; break;
        case 'p': text += pairs[p]; break;
        case 'q': text += stack_pairs[p]; break;
        case 'c': text += conditions[y]; break;
        case 'a': text += operations[y]; break;
        case 'i': text += immediate_operations[y]; break;
        case 'y': text += char('0' + y); break;
        case 'o': text += hex_byte(opcode); break;
        case 'n': text += hex_byte(cursor.next()); break;
        case 'w': text += hex_word(cursor.next_word()); break;
        }
    });
    return instruction;
}

}  // namespace kavo
