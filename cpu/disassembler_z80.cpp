// The Z80 disassembler: Zilog's mnemonics from tables indexed by the opcode's fields, one table per prefix group.
#include "cpu/disassembler_z80.h"

namespace kavo {

namespace {

using namespace disassembly;

// An opcode is xx yyy zzz in binary; y is pp q. In the patterns, placeholders
// stand for operands: %r and %s the registers of fields y and z, %p the pair
// of p, %q the pair of p for PUSH and POP, %h HL (or the index register), %m
// the indexed memory operand of the DD CB and FD CB groups, %c the condition
// of y, %a the operation of y on A, %k the rotation or shift of y, %y the
// number y, %t the restart address y * 8, %o the opcode, %n the next byte, %w
// the next word and %j the target of the next byte's relative jump.
constexpr std::string_view registers[8] = {"B", "C", "D", "E", "H", "L", "(HL)", "A"};
constexpr std::string_view pairs[4] = {"BC", "DE", "HL", "SP"};
constexpr std::string_view stack_pairs[4] = {"BC", "DE", "HL", "AF"};
constexpr std::string_view conditions[8] = {"NZ", "Z", "NC", "C", "PO", "PE", "P", "M"};
constexpr std::string_view operations[8] = {"ADD A,", "ADC A,", "SUB ", "SBC A,", "AND ", "XOR ", "OR ", "CP "};
constexpr std::string_view rotations[8] = {"RLC", "RRC", "RL", "RR", "SLA", "SRA", "SLL", "SRL"};

// clang-format off
// Unprefixed opcodes 00-3F (x = 0) and C0-FF (x = 3), a row for each z; the
// prefixes CB, DD, ED and FD are decoded before these tables and have no
// pattern. Behind DD or FD, HL, H, L and (HL) become the index register, its
// halves and its memory operand.
constexpr std::string_view low_rows[8] = {
    "NOP|EX AF,AF'|DJNZ %j|JR %j|JR NZ,%j|JR Z,%j|JR NC,%j|JR C,%j",
    "LD %p,%w|ADD %h,%p",
    "LD (BC),A|LD A,(BC)|LD (DE),A|LD A,(DE)|LD (%w),%h|LD %h,(%w)|LD (%w),A|LD A,(%w)",
    "INC %p|DEC %p",
    "INC %r",
    "DEC %r",
    "LD %r,%n",
    "RLCA|RRCA|RLA|RRA|DAA|CPL|SCF|CCF",
};
constexpr std::string_view high_rows[8] = {
    "RET %c",
    "POP %q|RET|POP %q|EXX|POP %q|JP (%h)|POP %q|LD SP,%h",
    "JP %c,%w",
    "JP %w||OUT (%n),A|IN A,(%n)|EX (SP),%h|EX DE,HL|DI|EI",
    "CALL %c,%w",
    "PUSH %q|CALL %w|PUSH %q||PUSH %q||PUSH %q|",
    "%a%n",
    "RST %t",
};
// clang-format on

// After CB, by x; behind DD CB or FD CB with a register field other than 6,
// the rotations and bit changes that also store into that register.
constexpr std::string_view bit_patterns[4] = {"%k %s", "BIT %y,%s", "RES %y,%s", "SET %y,%s"};
constexpr std::string_view storing_bit_patterns[4] = {"%k %m,%s", "BIT %y,%m", "RES %y,%m,%s", "SET %y,%m,%s"};

// After ED: opcodes 40-7F by z, and the block instructions A0-BB by y - 4
// and z; every other opcode does nothing.
constexpr std::string_view extended_rows[8] = {
    "IN B,(C)|IN C,(C)|IN D,(C)|IN E,(C)|IN H,(C)|IN L,(C)|IN F,(C)|IN A,(C)",
    "OUT (C),B|OUT (C),C|OUT (C),D|OUT (C),E|OUT (C),H|OUT (C),L|OUT (C),0|OUT (C),A",
    "SBC HL,%p|ADC HL,%p",
    "LD (%w),%p|LD %p,(%w)",
    "NEG",
    "RETN|RETI|RETN|RETN|RETN|RETN|RETN|RETN",
    "IM 0|IM 0|IM 1|IM 2|IM 0|IM 0|IM 1|IM 2",
    "LD I,A|LD R,A|LD A,I|LD A,R|RRD|RLD|DB 0EDH,%o|DB 0EDH,%o",
};
constexpr std::string_view block_rows[4] = {
    "LDI|CPI|INI|OUTI",
    "LDD|CPD|IND|OUTD",
    "LDIR|CPIR|INIR|OTIR",
    "LDDR|CPDR|INDR|OTDR",
};
constexpr std::string_view extended_nothing = "DB 0EDH,%o";

std::string_view main_pattern(unsigned opcode) {
    const unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7;
    switch (x) {
    case 0: return row_pattern(low_rows[z], y);
    case 1: return opcode == 0x76 ? "HALT" : "LD %r,%s";
    case 2: return "%a%s";
    default: return row_pattern(high_rows[z], y);
    }
}

std::string_view extended_pattern(unsigned opcode) {
    const unsigned x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7;
    if (x == 1)
        return row_pattern(extended_rows[z], y);
    if (x == 2 && y >= 4 && z <= 3)
        return row_pattern(block_rows[y - 4], z);
    return extended_nothing;
}

// The operand "(IX+05H)" or "(IY-80H)" for index name and displacement.
std::string indexed_operand(std::string_view index, std::uint8_t displacement) {
    const int value = std::int8_t(displacement);
    std::string operand = "(";
    operand += index;
    operand += value < 0 ? '-' : '+';
    operand += hex_byte(std::uint8_t(value < 0 ? -value : value));
    return operand + ')';
}

// Expands the pattern of opcode into the instruction's text. index is "HL",
// "IX" or "IY"; memory, when set, is the indexed operand already read (DD CB
// and FD CB read the displacement before the opcode); otherwise an indexed
// memory operand reads its displacement where the pattern names it.
void decode(std::string_view pattern, unsigned opcode, std::string_view index, const std::string& memory,
            ByteCursor& cursor, std::string& text) {
    const unsigned y = (opcode >> 3) & 7, z = opcode & 7, p = y >> 1;
    const bool indexed = index != "HL";
    // H and L are the index register's halves, but in an instruction with a
    // memory operand, which keeps H and L themselves.
    const bool halves =
        indexed && !(pattern.find("%r") != pattern.npos && y == 6) && !(pattern.find("%s") != pattern.npos && z == 6);
    const auto register_name = [&](unsigned code, std::string& out) {
        if (code == 6 && !memory.empty())
            out += memory;
        else if (code == 6 && indexed)
            out += indexed_operand(index, cursor.next());
        else if (code >= 4 && code <= 5 && halves)
            out += std::string(index) + (code == 4 ? "H" : "L");
        else
            out += registers[code];
    };
    expand(pattern, text, [&](char placeholder, std::string& out) {
        switch (placeholder) {
        case 'r': register_name(y, out); break;
        case 's': register_name(z, out); break;
        case 'p': out += p == 2 ? index : pairs[p]; break;
        case 'q': out += p == 2 ? index : stack_pairs[p]; break;
        case 'h': out += index; break;
        case 'm': out += memory; break;
        case 'c': out += conditions[y]; break;
        case 'a': out += operations[y]; break;
        case 'k': out += rotations[y]; break;
        case 'y': out += char('0' + y); break;
        case 't': out += hex_byte(std::uint8_t(y * 8)); break;
        case 'o': out += hex_byte(std::uint8_t(opcode)); break;
        case 'n': out += hex_byte(cursor.next()); break;
        case 'w': out += hex_word(cursor.next_word()); break;
        case 'j': {
            const std::int8_t displacement = std::int8_t(cursor.next());
            out += hex_word(std::uint16_t(cursor.end() + displacement));
            break;
        }
        }
    });
}

}  // namespace

Instruction disassemble_z80(const MemoryReader& read, std::uint16_t address) {
    Instruction instruction;
    instruction.address = address;
    ByteCursor cursor(read, instruction);
    std::string& text = instruction.text;
    const std::uint8_t first = cursor.next();
    if (first == 0xCB) {
        const std::uint8_t opcode = cursor.next();
        decode(bit_patterns[opcode >> 6], opcode, "HL", {}, cursor, text);
    } else if (first == 0xED) {
        const std::uint8_t opcode = cursor.next();
        decode(extended_pattern(opcode), opcode, "HL", {}, cursor, text);
    } else if (first == 0xDD || first == 0xFD) {
        const std::string_view index = first == 0xDD ? "IX" : "IY";
        const std::uint8_t second = cursor.peek();
        if (second == 0xDD || second == 0xED || second == 0xFD) {
            text = "DB " + hex_byte(first);
        } else if (cursor.next() == 0xCB) {
            const std::string memory = indexed_operand(index, cursor.next());
            const std::uint8_t opcode = cursor.next();
            const unsigned x = opcode >> 6, z = opcode & 7;
            decode(z == 6 ? bit_patterns[x] : storing_bit_patterns[x], opcode, "HL", memory, cursor, text);
        } else {
            decode(main_pattern(second), second, index, {}, cursor, text);
        }
    } else {
        decode(main_pattern(first), first, "HL", {}, cursor, text);
    }
    return instruction;
}

}  // namespace kavo
