// Trace lines in fixed columns for the 8080 and the Z80.
#include "cpu/trace_line.h"

#include <cstdio>

namespace kavo {

namespace {

constexpr std::size_t mnemonic_width = 5;  // the longest mnemonics, such as DJNZ, and a blank
constexpr std::size_t text_width = 20;     // the longest texts, such as "LD   (IX+05H),0A5H", and a blank

// The address, the bytes in a column wide enough for the longest
// instructions, and the text with its operands aligned; the registers follow
// after a blank.
std::string instruction_columns(const Instruction& instruction, unsigned longest) {
    char field[8];
    std::snprintf(field, sizeof field, "%04X  ", instruction.address);
    std::string line = field;
    std::string bytes;
    for (unsigned index = 0; index < instruction.length; ++index) {
        std::snprintf(field, sizeof field, index == 0 ? "%02X" : " %02X", instruction.bytes[index]);
        bytes += field;
    }
    bytes.resize(longest * 3 + 1, ' ');
    std::string text = instruction.text;
    const std::size_t blank = text.find(' ');
    if (blank != std::string::npos && blank + 1 < mnemonic_width)
        text.insert(blank, mnemonic_width - 1 - blank, ' ');
    if (text.size() < text_width)
        text.resize(text_width, ' ');
    return line + bytes + text;
}

// " NAME=hex" of a byte or word.
void append_register(std::string& line, const char* name, unsigned value, int digits) {
    char field[24];
    std::snprintf(field, sizeof field, " %s=%0*X", name, digits, value);
    line += field;
}

// The flags of F, one character per bit from bit 7 down: the bit's letter in
// names when set, else '.'; a '.' in names marks a bit that is never shown.
std::string flag_letters(std::uint8_t f, const char (&names)[9]) {
    std::string letters(8, '.');
    for (unsigned bit = 0; bit < 8; ++bit)
        if (f & (0x80 >> bit))
            letters[bit] = names[bit];
    return letters;
}

}  // namespace

std::string trace_line(const Instruction& instruction, const RegisterFile& registers) {
    std::string line = instruction_columns(instruction, 3);
    append_register(line, "A", registers.a, 2);
    append_register(line, "BC", registers.bc(), 4);
    append_register(line, "DE", registers.de(), 4);
    append_register(line, "HL", registers.hl(), 4);
    append_register(line, "SP", registers.sp, 4);
    return line + " F=" + flag_letters(registers.f, "SZ.A.P.C");
}

std::string trace_line(const Instruction& instruction, const RegisterFile& registers, const Z80Registers& z80) {
    std::string line = instruction_columns(instruction, 4);
    append_register(line, "AF", registers.psw(), 4);
    append_register(line, "BC", registers.bc(), 4);
    append_register(line, "DE", registers.de(), 4);
    append_register(line, "HL", registers.hl(), 4);
    append_register(line, "IX", z80.ix, 4);
    append_register(line, "IY", z80.iy, 4);
    append_register(line, "SP", registers.sp, 4);
    line += " F=" + flag_letters(registers.f, "SZ5H3PNC");
    append_register(line, "AF'", z80.alternate.psw(), 4);
    append_register(line, "BC'", z80.alternate.bc(), 4);
    append_register(line, "DE'", z80.alternate.de(), 4);
    append_register(line, "HL'", z80.alternate.hl(), 4);
    return line;
}

}  // namespace kavo
