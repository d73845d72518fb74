// A small 8080 assembler for test programs: one call per instruction, labels resolved at the end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test {

// Register codes of the instruction fields, and pair indexes.
enum Register : std::uint8_t { B, C, D, E, H, L, M, A };
enum Pair : std::uint8_t { BC, DE, HL, SP, PSW = 3 };

// The BDOS functions that test programs call, by number.
enum BdosFunction : std::uint8_t {
    console_input = 1,
    reset_disk_system = 13,
    select_disk = 14,
    open_file = 15,
    close_file = 16,
    search_for_first = 17,
    search_for_next = 18,
    delete_file = 19,
    read_sequential = 20,
    write_sequential = 21,
    make_file = 22,
    rename_file = 23,
    return_login_vector = 24,
    return_current_disk = 25,
    set_dma_address = 26,
    set_file_attributes = 30,
    read_random = 33,
    write_random = 34,
    compute_file_size = 35,
    set_random_record = 36,
    reset_drive = 37,
    write_random_with_zero_fill = 40,
};
// The record buffer of a program that has not set one.
constexpr std::uint16_t default_dma = 0x0080;

// A 16-bit operand: a number, or a label defined anywhere in the program.
struct Word {
    Word(std::uint16_t value) : value(value) {}
    Word(const char* label) : label(label) {}
    std::uint16_t value = 0;
    std::string label;
};

class Assembler {
public:
    explicit Assembler(std::uint16_t origin = 0x0100) : origin(origin) {}

    Assembler& label(const std::string& name) {
        labels[name] = here();
        return *this;
    }
    std::uint16_t here() const { return std::uint16_t(origin + code.size()); }

    Assembler& db(std::initializer_list<std::uint8_t> bytes) {
        code.insert(code.end(), bytes);
        return *this;
    }
    Assembler& db(std::string_view text) {
        code.insert(code.end(), text.begin(), text.end());
        return *this;
    }
    Assembler& dw(Word word) { return emit_word(word); }
    Assembler& ds(std::size_t count, std::uint8_t fill = 0) {
        code.insert(code.end(), count, fill);
        return *this;
    }

    Assembler& op(std::uint8_t opcode) { return db({opcode}); }
    Assembler& op(std::uint8_t opcode, std::uint8_t byte) { return db({opcode, byte}); }
    Assembler& op(std::uint8_t opcode, Word word) { return op(opcode).emit_word(word); }

    Assembler& mov(Register to, Register from) { return op(0x40 | to << 3 | from); }
    Assembler& mvi(Register to, std::uint8_t value) { return op(0x06 | to << 3, value); }
    Assembler& lxi(Pair pair, Word word) { return op(0x01 | pair << 4, word); }
    Assembler& inr(Register r) { return op(0x04 | r << 3); }
    Assembler& dcr(Register r) { return op(0x05 | r << 3); }
    Assembler& inx(Pair pair) { return op(0x03 | pair << 4); }
    Assembler& dcx(Pair pair) { return op(0x0B | pair << 4); }
    Assembler& dad(Pair pair) { return op(0x09 | pair << 4); }
    Assembler& push(Pair pair) { return op(0xC5 | pair << 4); }
    Assembler& pop(Pair pair) { return op(0xC1 | pair << 4); }
    Assembler& sta(Word word) { return op(0x32, word); }
    Assembler& lda(Word word) { return op(0x3A, word); }
    Assembler& shld(Word word) { return op(0x22, word); }
    Assembler& lhld(Word word) { return op(0x2A, word); }
    Assembler& stax(Pair pair) { return op(0x02 | pair << 4); }
    Assembler& ldax(Pair pair) { return op(0x0A | pair << 4); }
    Assembler& xchg() { return op(0xEB); }
    Assembler& ani(std::uint8_t value) { return op(0xE6, value); }
    Assembler& ori(std::uint8_t value) { return op(0xF6, value); }
    Assembler& adi(std::uint8_t value) { return op(0xC6, value); }
    Assembler& sui(std::uint8_t value) { return op(0xD6, value); }
    Assembler& cpi(std::uint8_t value) { return op(0xFE, value); }
    Assembler& ora(Register r) { return op(0xB0 | r); }
    Assembler& rrc() { return op(0x0F); }
    Assembler& jmp(Word word) { return op(0xC3, word); }
    Assembler& jz(Word word) { return op(0xCA, word); }
    Assembler& jnz(Word word) { return op(0xC2, word); }
    Assembler& jc(Word word) { return op(0xDA, word); }
    Assembler& jnc(Word word) { return op(0xD2, word); }
    Assembler& call(Word word) { return op(0xCD, word); }
    Assembler& ret() { return op(0xC9); }
    Assembler& hlt() { return op(0x76); }

    // CALL 5 with the function number in C.
    Assembler& bdos(std::uint8_t function) { return mvi(C, function).call(0x0005); }
    // Warm boot: the end of the run.
    Assembler& exit() { return jmp(std::uint16_t(0x0000)); }

    // A subroutine "hex" that prints A as two hex digits and a space through
    // BDOS function 2, keeping every register.
    Assembler& hex_routine() {
        label("hex").push(PSW).push(BC).push(DE).push(HL).push(PSW);
        rrc().rrc().rrc().rrc().call("hex_digit").pop(PSW).call("hex_digit");
        mvi(E, ' ').bdos(2).pop(HL).pop(DE).pop(BC).pop(PSW).ret();
        label("hex_digit").ani(0x0F).cpi(10).jc("hex_decimal").adi('A' - '0' - 10);
        label("hex_decimal").adi('0').mov(E, A).bdos(2).ret();
        return *this;
    }
    // Prints count bytes from address in hex (needs hex_routine).
    Assembler& dump(Word address, std::uint8_t count) {
        std::string loop = "dump" + std::to_string(code.size());
        lxi(HL, address).mvi(B, count).label(loop).mov(A, M).call("hex").inx(HL).dcr(B).jnz(loop.c_str());
        return *this;
    }

    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> result = code;
        for (auto [offset, name] : fixups) {
            std::uint16_t value = labels.at(name);
            result[offset] = std::uint8_t(value);
            result[offset + 1] = std::uint8_t(value >> 8);
        }
        return result;
    }
    void write(const std::filesystem::path& path) const {
        std::vector<std::uint8_t> image = bytes();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    }

private:
    Assembler& emit_word(const Word& word) {
        if (!word.label.empty())
            fixups.emplace_back(code.size(), word.label);
        code.push_back(std::uint8_t(word.value));
        code.push_back(std::uint8_t(word.value >> 8));
        return *this;
    }

    std::uint16_t origin;
    std::vector<std::uint8_t> code;
    std::map<std::string, std::uint16_t> labels;
    std::vector<std::pair<std::size_t, std::string>> fixups;
};

}  // namespace test
