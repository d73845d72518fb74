// What both disassemblers share: the memory reader, the decoded instruction, listing numbers and the pattern notation.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kavo {

// The byte at an address of the 64 KiB memory.
using MemoryReader = std::function<std::uint8_t(std::uint16_t)>;

// One decoded instruction: its bytes as they were when it was read (so that a
// trace line shows them even after the instruction overwrote itself), and its
// text as an assembler's listing writes it: the mnemonic, one blank, then the
// operands separated by commas ("MOV A,M", "LD (IX+05H),0A5H").
struct Instruction {
    std::uint16_t address = 0;
    unsigned length = 0;  // 1 to 4; bytes past it are zero
    std::array<std::uint8_t, 4> bytes{};
    std::string text;
};

namespace disassembly {

// Numbers as the assemblers of both processors write them: hexadecimal with a
// trailing H and a leading 0 when the first digit is a letter ("09H", "0A5H",
// "0C3A5H"), bytes in two digits and words in four.
inline std::string hexadecimal(unsigned value, int digits) {
    static constexpr char symbols[] = "0123456789ABCDEF";
    std::string text;
    for (int digit = digits - 1; digit >= 0; --digit)
        text += symbols[(value >> (4 * digit)) & 0xF];
    if (text[0] > '9')
        text.insert(0, 1, '0');
    return text + 'H';
}
inline std::string hex_byte(std::uint8_t value) { return hexadecimal(value, 2); }
inline std::string hex_word(std::uint16_t value) { return hexadecimal(value, 4); }

// Reads an instruction's bytes one after the other from its address,
// wrapping past 0xFFFF, and keeps them in the instruction.
class ByteCursor {
public:
    ByteCursor(const MemoryReader& read, Instruction& instruction) : read_(read), instruction_(instruction) {}
    std::uint8_t next() {
        const std::uint8_t byte = read_(std::uint16_t(instruction_.address + instruction_.length));
        instruction_.bytes[instruction_.length++] = byte;
        return byte;
    }
    // The byte after those read so far, without taking it.
    std::uint8_t peek() const { return read_(std::uint16_t(instruction_.address + instruction_.length)); }
    std::uint16_t next_word() {
        const std::uint8_t low = next();
        return std::uint16_t(low | next() << 8);
    }
    // The address right after the bytes read so far.
    std::uint16_t end() const { return std::uint16_t(instruction_.address + instruction_.length); }

private:
    const MemoryReader& read_;
    Instruction& instruction_;
};

// The pattern for a field's value from a row of a pattern table. A row lists
// its patterns separated by '|': one pattern stands for every value, two
// alternate with bit 0 (q, when the field is y), more are taken by the value.
constexpr std::string_view row_pattern(std::string_view row, unsigned value) {
    unsigned count = 1;
    for (char character : row)
        count += character == '|';
    const unsigned wanted = count == 1 ? 0 : count == 2 ? value & 1 : value;
    for (unsigned index = 0; index < wanted; ++index)
        row.remove_prefix(row.find('|') + 1);
    return row.substr(0, row.find('|'));
}

// Appends pattern to text, with each placeholder ('%' and a letter) replaced
// by what placeholder(letter, text) appends.
template <typename Placeholder>
void expand(std::string_view pattern, std::string& text, Placeholder&& placeholder) {
    for (std::size_t index = 0; index < pattern.size(); ++index) {
        if (pattern[index] == '%' && index + 1 < pattern.size())
            placeholder(pattern[++index], text);
        else
            text += pattern[index];
    }
}

}  // namespace disassembly
}  // namespace kavo
