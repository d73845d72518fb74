// The disassemblers and trace lines: every opcode assembled back, the exercisers' listings, the trace's columns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cpu/disassembler_8080.h"
#include "cpu/disassembler_z80.h"
#include "cpu/processor.h"
#include "cpu/trace_line.h"
#include "tests/run.h"

namespace {

namespace fs = std::filesystem;
using kavo::Instruction;
using Bytes = std::vector<std::uint8_t>;

// 64 KiB of memory holding bytes from address on, wrapping at the top.
struct Memory {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(0x10000);
    kavo::MemoryReader reader() const {
        return [this](std::uint16_t address) { return bytes[address]; };
    }
    void place(std::uint16_t address, const Bytes& code) {
        for (std::size_t index = 0; index < code.size(); ++index)
            bytes[std::uint16_t(address + index)] = code[index];
    }
};

Bytes bytes_of(const Instruction& instruction) {
    return Bytes(instruction.bytes.begin(), instruction.bytes.begin() + instruction.length);
}

std::string hex_bytes(const Bytes& bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X ", byte);
        text += digits;
    }
    return text;
}

// Operand bytes behind every opcode of the round trips: digits that begin
// with a letter, so that every number needs its leading 0, and a negative
// displacement.
constexpr std::uint8_t operand_bytes[] = {0xA5, 0xC3, 0xE7};

// Each instruction of the round trips has a slot of its own, at 0100H plus
// the slot's offset, so that a wrong length shows at its own instruction.
constexpr std::uint16_t slot_start = 0x0100;

// Every one of the 256 opcodes, with operand bytes behind it, disassembles
// to text that Digital Research's ASM, run under kavo, assembles back into
// the same bytes (the undefined opcodes as DB).
TEST(Disassembler8080, EveryOpcodeAssemblesBackToItsBytes) {
    KAVO_REQUIRE_SHARED("cpm/programs/ASM.COM", assembler);
    constexpr unsigned slot = 4;
    Memory memory;
    std::vector<Instruction> instructions;
    std::string source;
    for (unsigned opcode = 0; opcode < 256; ++opcode) {
        const auto address = std::uint16_t(slot_start + slot * opcode);
        memory.place(address, {std::uint8_t(opcode), operand_bytes[0], operand_bytes[1]});
        instructions.push_back(kavo::disassemble_8080(memory.reader(), address));
        source += "\tORG " + kavo::disassembly::hex_word(address) + "\r\n\t" + instructions.back().text + "\r\n";
    }
    source += "\tEND\r\n\x1A";

    test::TemporaryDirectory directory;
    fs::copy_file(assembler, directory / "ASM.COM");
    test::write_file(directory / "OPCODES.ASM", source);
    const test::Result assembled = test::run_kavo(directory.path(), {"ASM", "OPCODES"});
    ASSERT_NE(assembled.output.find("END OF ASSEMBLY"), std::string::npos) << assembled.output;

    // The HEX file's records: ":", count, address, type, data, checksum.
    std::map<unsigned, std::uint8_t> image;
    std::istringstream records(test::read_file(directory / "OPCODES.HEX"));
    for (std::string record; std::getline(records, record);) {
        if (record.size() < 11 || record[0] != ':')
            continue;
        const unsigned count = std::stoul(record.substr(1, 2), nullptr, 16);
        const unsigned address = std::stoul(record.substr(3, 4), nullptr, 16);
        for (unsigned index = 0; index < count; ++index)
            image[address + index] = std::uint8_t(std::stoul(record.substr(9 + 2 * index, 2), nullptr, 16));
    }
    for (const Instruction& instruction : instructions) {
        Bytes assembled_bytes;
        for (unsigned offset = 0; offset < slot; ++offset)
            if (const auto found = image.find(instruction.address + offset); found != image.end())
                assembled_bytes.push_back(found->second);
        EXPECT_EQ(hex_bytes(assembled_bytes), hex_bytes(bytes_of(instruction))) << instruction.text;
    }
}

// Where z80asm is, or empty.
std::string z80asm_path() {
    const char* path = std::getenv("PATH");
    std::istringstream directories(path ? path : "");
    for (std::string directory; std::getline(directories, directory, ':');)
        if (!directory.empty() && fs::exists(fs::path(directory) / "z80asm"))
            return (fs::path(directory) / "z80asm").string();
    return {};
}

// The bytes z80asm makes of the text of a duplicate opcode: those of the
// documented opcode that does the same; any other instruction's own bytes.
Bytes assembled_encoding(const Bytes& bytes) {
    Bytes canonical = bytes;
    if (bytes.size() >= 2 && bytes[0] == 0xED) {
        const unsigned opcode = bytes[1], x = opcode >> 6, y = (opcode >> 3) & 7, z = opcode & 7;
        if (x == 1 && z == 4)
            canonical[1] = 0x44;  // NEG
        if (x == 1 && z == 5 && opcode != 0x4D)
            canonical[1] = 0x45;  // RETN
        if (x == 1 && z == 6)
            canonical[1] = std::uint8_t(0x46 | (y & 2 ? (y & 1) << 3 | 0x10 : 0));  // IM 0, IM 1, IM 2
        if (opcode == 0x63 || opcode == 0x6B)
            canonical = {std::uint8_t(opcode == 0x63 ? 0x22 : 0x2A), bytes.at(2), bytes.at(3)};  // LD (nn),HL  LD HL,(nn)
    }
    // A prefix that hands over to another is one byte long.
    const bool indexed_bit_group = bytes.size() >= 4 && (bytes[0] == 0xDD || bytes[0] == 0xFD) && bytes[1] == 0xCB;
    if (indexed_bit_group && (bytes[3] >> 6) == 1)
        canonical[3] = std::uint8_t((bytes[3] & ~7) | 6);  // BIT n,(IX+d) whatever its register field
    return canonical;
}

// Every opcode of every prefix group (none, CB, ED, DD, FD, DD CB, FD CB),
// with operand bytes behind it, disassembles to text that z80asm assembles
// back into the same bytes, or for a duplicate opcode into those of the
// documented one.
TEST(DisassemblerZ80, EveryOpcodeOfEveryPrefixGroupAssemblesBackToItsBytes) {
    const std::string assembler = z80asm_path();
    if (assembler.empty()) {
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")
            FAIL() << "z80asm missing in CI";
        GTEST_SKIP() << "z80asm not found (Debian package z80asm)";
    }
    // z80asm 1.8 knows SLL only as SLI. It does not assemble these
    // undocumented forms, which are left out: INC and DEC of an index
    // register's half (a parse error), LD A with one (it takes the half for
    // an undefined label), the operations on A with one (it swaps the high
    // and the low half), and the indexed rotations and bit changes that also
    // store into a register (it drops the register and assembles the form
    // without it).
    const std::regex not_assembled(R"((INC|DEC) I[XY][HL]|LD A,I[XY][HL]|)"
                                   R"(^(ADD A,|ADC A,|SUB |SBC A,|AND |XOR |OR |CP )I[XY][HL]|)"
                                   R"(\(I[XY][+-]\w+\),[A-L])");

    const std::vector<Bytes> groups = {{}, {0xCB}, {0xED}, {0xDD}, {0xFD}, {0xDD, 0xCB}, {0xFD, 0xCB}};
    constexpr unsigned slot = 8;
    Memory memory;
    std::vector<std::pair<Instruction, Bytes>> expected;
    std::string source;
    for (const Bytes& prefix : groups) {
        for (unsigned opcode = 0; opcode < 256; ++opcode) {
            if (prefix.empty() && (opcode == 0xCB || opcode == 0xDD || opcode == 0xED || opcode == 0xFD))
                continue;
            Bytes code = prefix;
            if (prefix.size() == 2)
                code.push_back(operand_bytes[0]);  // the displacement comes before the opcode
            code.push_back(std::uint8_t(opcode));
            code.insert(code.end(), std::begin(operand_bytes), std::end(operand_bytes));
            const auto offset = std::uint16_t(slot * expected.size());
            const auto address = std::uint16_t(slot_start + offset);
            memory.place(address, code);
            const Instruction instruction = kavo::disassemble_z80(memory.reader(), address);
            if (std::regex_search(instruction.text, not_assembled))
                continue;
            std::string text = std::regex_replace(instruction.text, std::regex("^SLL "), "SLI ");
            // A DD or FD prefix before an opcode that uses no HL does nothing:
            // the text is the plain instruction's, which follows the prefix.
            const bool index_named =
                instruction.text.find("IX") != std::string::npos || instruction.text.find("IY") != std::string::npos;
            if ((code[0] == 0xDD || code[0] == 0xFD) && instruction.length > 1 && !index_named)
                text = "DB " + kavo::disassembly::hex_byte(code[0]) + "\n" + text;
            source +=
                "seek " + std::to_string(offset) + "\norg " + kavo::disassembly::hex_word(address) + "\n" + text + "\n";
            expected.emplace_back(instruction, assembled_encoding(bytes_of(instruction)));
        }
    }

    test::TemporaryDirectory directory;
    test::write_file(directory / "opcodes.asm", source);
    const std::string command = assembler + " -o '" + (directory / "opcodes.bin").string() + "' '" +
                                (directory / "opcodes.asm").string() + "' 2>'" + (directory / "errors").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << test::read_file(directory / "errors");
    const std::string binary = test::read_file(directory / "opcodes.bin");
    for (std::size_t index = 0; index < expected.size(); ++index) {
        const auto& [instruction, encoding] = expected[index];
        // The slot's bytes up to the next slot: the encoding, then the zeros
        // z80asm leaves between slots.
        const std::size_t start = std::min(binary.size(), slot * index);
        const Bytes assembled_bytes(binary.begin() + std::ptrdiff_t(start),
                                    binary.begin() + std::ptrdiff_t(std::min(binary.size(), start + slot)));
        Bytes padded = encoding;
        padded.resize(std::max(assembled_bytes.size(), encoding.size()), 0);
        EXPECT_EQ(hex_bytes(assembled_bytes), hex_bytes(padded))
            << instruction.text << " from " << hex_bytes(bytes_of(instruction));
    }
}

// What the round trips cannot show: the forms z80asm does not assemble, an
// idle prefix, and operands that wrap past 0xFFFF.
TEST(Disassembler, FormsOutsideTheRoundTrips) {
    struct Case {
        bool z80;
        std::uint16_t address;
        Bytes code;
        const char* text;
        unsigned length;
    };
    const Case cases[] = {
        {true, 0x0100, {0xDD, 0xCB, 0x05, 0x00}, "RLC (IX+05H),B", 4},
        {true, 0x0100, {0xFD, 0xCB, 0x80, 0xFF}, "SET 7,(IY-80H),A", 4},
        {true, 0x0100, {0xFD, 0xCB, 0x7F, 0x35}, "SLL (IY+7FH),L", 4},
        {true, 0x0100, {0xDD, 0xCB, 0x05, 0x47}, "BIT 0,(IX+05H)", 4},
        {true, 0x0100, {0xDD, 0x24}, "INC IXH", 2},
        {true, 0x0100, {0xFD, 0x2D}, "DEC IYL", 2},
        {true, 0x0100, {0xDD, 0x7D}, "LD A,IXL", 2},
        {true, 0x0100, {0xFD, 0x84}, "ADD A,IYH", 2},
        {true, 0x0100, {0xDD, 0xBD}, "CP IXL", 2},
        {true, 0x0100, {0xDD, 0x66, 0x00}, "LD H,(IX+00H)", 3},
        {true, 0x0100, {0xDD, 0x00}, "NOP", 2},
        {true, 0x0100, {0xFD, 0xDD, 0x21, 0x00, 0x00}, "DB 0FDH", 1},
        {true, 0x0100, {0xED, 0x77}, "DB 0EDH,77H", 2},
        {true, 0xFFFF, {0xC3, 0x34, 0x12}, "JP 1234H", 3},
        {true, 0xFFFE, {0x18, 0x00}, "JR 0000H", 2},
        {true, 0x0000, {0x10, 0xFC}, "DJNZ 0FFFEH", 2},
        {false, 0xFFFF, {0xC3, 0x34, 0x12}, "JMP 1234H", 3},
        {false, 0xFFFE, {0xDD, 0x34, 0x12}, "DB 0DDH,34H,12H", 3},
    };
    for (const Case& example : cases) {
        Memory memory;
        memory.place(example.address, example.code);
        const Instruction instruction = example.z80 ? kavo::disassemble_z80(memory.reader(), example.address)
                                                    : kavo::disassemble_8080(memory.reader(), example.address);
        EXPECT_EQ(instruction.text, example.text) << hex_bytes(example.code);
        EXPECT_EQ(instruction.length, example.length) << example.text;
        EXPECT_EQ(hex_bytes(bytes_of(instruction)),
                  hex_bytes(Bytes(example.code.begin(), example.code.begin() + example.length)));
    }
}

// Every instruction that does not transfer control is as long as the
// executor's step over it, so that a trace line shows the bytes that ran:
// prefixes that do nothing included.
TEST(Disassembler, EveryLengthIsTheExecutorsStep) {
    const std::regex transfers_8080(R"(^([JCR](NZ|Z|NC|C|PO|PE|P|M)|JMP|CALL|RET|RST|PCHL)\b|^DB 0(CB|D9|DD|ED|FD)H)");
    const std::regex transfers_z80(R"(^(JP|JR|CALL|RET|RETI|RETN|RST|DJNZ|LDIR|LDDR|CPIR|CPDR|INIR|INDR|OTIR|OTDR)\b)");
    const std::vector<Bytes> groups = {{}, {0xCB}, {0xED}, {0xDD}, {0xFD}, {0xDD, 0xCB, 0x05}, {0xFD, 0xCB, 0x05}};
    for (const bool z80 : {false, true}) {
        for (const Bytes& prefix : z80 ? groups : std::vector<Bytes>{{}}) {
            for (unsigned opcode = 0; opcode < 256; ++opcode) {
                Bytes code = prefix;
                code.push_back(std::uint8_t(opcode));
                code.insert(code.end(), std::begin(operand_bytes), std::end(operand_bytes));
                auto processor = std::make_unique<kavo::Processor>();
                processor->registers.pc = 0x0100;
                processor->registers.sp = 0xFE80;
                for (std::size_t index = 0; index < code.size(); ++index)
                    processor->memory[0x0100 + index] = code[index];
                const kavo::MemoryReader read = [&processor](std::uint16_t address) { return processor->memory[address]; };
                const Instruction instruction =
                    z80 ? kavo::disassemble_z80(read, 0x0100) : kavo::disassemble_8080(read, 0x0100);
                if (std::regex_search(instruction.text, z80 ? transfers_z80 : transfers_8080))
                    continue;
                z80 ? processor->step_z80() : processor->step();
                EXPECT_EQ(processor->registers.pc, 0x0100 + instruction.length)
                    << instruction.text << " from " << hex_bytes(code);
            }
        }
    }
}

// Runs of consecutive instructions in a listing: the address of the first,
// and the text of each.
struct ListingRun {
    std::uint16_t address;
    std::vector<const char*> texts;
};

// The program loaded at 0100H disassembles as the runs show.
void expect_listing(const fs::path& program, bool z80, const std::vector<ListingRun>& runs) {
    Memory memory;
    const std::string image = test::read_file(program);
    memory.place(0x0100, Bytes(image.begin(), image.end()));
    for (const ListingRun& run : runs) {
        std::uint16_t address = run.address;
        for (const char* text : run.texts) {
            const Instruction instruction = z80 ? kavo::disassemble_z80(memory.reader(), address)
                                                : kavo::disassemble_8080(memory.reader(), address);
            EXPECT_EQ(instruction.text, text) << "at " << kavo::disassembly::hex_word(address);
            address = std::uint16_t(address + instruction.length);
        }
    }
}

// The exerciser's start, as its source has it: the jump over the machine
// state, the stack below the BDOS, the title, the loop over the tests and
// the warm boot; then the start of the routine that runs one test.
TEST(Disassembler8080, ExerciserDisassemblesAsItsListing) {
    KAVO_REQUIRE_SHARED("cpm/cputest/8080EX1.COM", program);
    expect_listing(program, false,
                   {
                       {0x0100, {"JMP 0113H"}},
                       {0x0113,
                        {"LHLD 0006H", "SPHL", "LXI D,0DF6H", "MVI C,09H", "CALL 0DEAH", "LXI H,013AH", "MOV A,M",
                         "INX H", "ORA M", "JZ 012FH", "DCX H", "CALL 0ACEH", "JMP 0122H", "LXI D,0E24H", "MVI C,09H",
                         "CALL 0DEAH", "JMP 0000H"}},
                       {0x0ACE,
                        {"PUSH H", "MOV A,M", "INX H", "MOV H,M", "MOV L,A", "MOV A,M", "STA 0D7FH", "INX H", "PUSH H",
                         "LXI D,0014H", "DAD D"}},
                   });
}

// The same start in Zilog's mnemonics, the routine that runs one test with
// its index registers, and the block copies of the setup.
TEST(DisassemblerZ80, ZexdocDisassemblesAsItsListing) {
    KAVO_REQUIRE_SHARED("cpm/cputest/ZEXDOC.COM", program);
    expect_listing(
        program, true,
        {
            {0x0100, {"JP 0113H"}},
            {0x0113,
             {"LD HL,(0006H)", "LD SP,HL", "LD DE,1DDAH", "LD C,09H", "CALL 1DCEH", "LD HL,013AH", "LD A,(HL)",
              "INC HL", "OR (HL)", "JP Z,012FH", "DEC HL", "CALL 1AE2H", "JP 0122H", "LD DE,1DF6H", "LD C,09H",
              "CALL 1DCEH", "JP 0000H"}},
            {0x1B09, {"PUSH HL", "LD DE,1D42H", "LD BC,0004H", "LDIR", "LD DE,0103H", "LD BC,0010H", "LDIR"}},
            {0x1D2A,
             {"PUSH AF", "PUSH BC", "PUSH DE", "PUSH HL", "DI", "LD (1D8DH),SP", "LD SP,0105H", "POP IY", "POP IX",
              "POP HL", "POP DE", "POP BC", "POP AF", "LD SP,(0111H)"}},
        });
}

// Steps through code from 0100H on a fresh Processor (F is 02H, the 8080's
// fixed bit 1, which is N on the Z80), one trace line per instruction, each
// from the disassembly before the step and the registers after it.
std::vector<std::string> trace(const Bytes& code, unsigned steps, bool z80) {
    auto processor = std::make_unique<kavo::Processor>();
    processor->registers.pc = 0x0100;
    processor->registers.sp = 0xFE80;
    for (std::size_t index = 0; index < code.size(); ++index)
        processor->memory[0x0100 + index] = code[index];
    const kavo::MemoryReader read = [&processor](std::uint16_t address) { return processor->memory[address]; };
    std::vector<std::string> lines;
    for (unsigned step = 0; step < steps; ++step) {
        const std::uint16_t address = processor->registers.pc;
        if (z80) {
            const Instruction instruction = kavo::disassemble_z80(read, address);
            processor->step_z80();
            lines.push_back(kavo::trace_line(instruction, processor->registers, processor->z80));
        } else {
            const Instruction instruction = kavo::disassemble_8080(read, address);
            processor->step();
            lines.push_back(kavo::trace_line(instruction, processor->registers));
        }
    }
    return lines;
}

TEST(TraceLine, ColumnsOnThe8080) {
    const std::vector<std::string> expected = {
        "0100  3E FF     MVI  A,0FFH          A=FF BC=0000 DE=0000 HL=0000 SP=FE80 F=........",
        "0102  C6 01     ADI  01H             A=00 BC=0000 DE=0000 HL=0000 SP=FE80 F=.Z.A.P.C",
        "0104  21 34 12  LXI  H,1234H         A=00 BC=0000 DE=0000 HL=1234 SP=FE80 F=.Z.A.P.C",
        "0107  E5        PUSH H               A=00 BC=0000 DE=0000 HL=1234 SP=FE7E F=.Z.A.P.C",
        "0108  D1        POP  D               A=00 BC=0000 DE=1234 HL=1234 SP=FE80 F=.Z.A.P.C",
        "0109  CB 0D 01  DB   0CBH,0DH,01H    A=00 BC=0000 DE=1234 HL=1234 SP=FE80 F=.Z.A.P.C",
        "010D  B7        ORA  A               A=00 BC=0000 DE=1234 HL=1234 SP=FE80 F=.Z...P..",
    };
    EXPECT_EQ(trace({0x3E, 0xFF, 0xC6, 0x01, 0x21, 0x34, 0x12, 0xE5, 0xD1, 0xCB, 0x0D, 0x01, 0x00, 0xB7}, 7, false),
              expected);
}

TEST(TraceLine, ColumnsOnTheZ80) {
    const std::vector<std::string> expected = {
        "0100  3E FF        LD   A,0FFH          AF=FF02 BC=0000 DE=0000 HL=0000 IX=0000 IY=0000 SP=FE80 F=......N. "
        "AF'=0000 BC'=0000 DE'=0000 HL'=0000",
        "0102  C6 01        ADD  A,01H           AF=0051 BC=0000 DE=0000 HL=0000 IX=0000 IY=0000 SP=FE80 F=.Z.H...C "
        "AF'=0000 BC'=0000 DE'=0000 HL'=0000",
        "0104  DD 21 34 12  LD   IX,1234H        AF=0051 BC=0000 DE=0000 HL=0000 IX=1234 IY=0000 SP=FE80 F=.Z.H...C "
        "AF'=0000 BC'=0000 DE'=0000 HL'=0000",
        "0108  08           EX   AF,AF'          AF=0000 BC=0000 DE=0000 HL=0000 IX=1234 IY=0000 SP=FE80 F=........ "
        "AF'=0051 BC'=0000 DE'=0000 HL'=0000",
        "0109  DD 77 FB     LD   (IX-05H),A      AF=0000 BC=0000 DE=0000 HL=0000 IX=1234 IY=0000 SP=FE80 F=........ "
        "AF'=0051 BC'=0000 DE'=0000 HL'=0000",
        "010C  CB 37        SLL  A               AF=0100 BC=0000 DE=0000 HL=0000 IX=1234 IY=0000 SP=FE80 F=........ "
        "AF'=0051 BC'=0000 DE'=0000 HL'=0000",
        "010E  10 FE        DJNZ 010EH           AF=0100 BC=FF00 DE=0000 HL=0000 IX=1234 IY=0000 SP=FE80 F=........ "
        "AF'=0051 BC'=0000 DE'=0000 HL'=0000",
    };
    EXPECT_EQ(trace({0x3E, 0xFF, 0xC6, 0x01, 0xDD, 0x21, 0x34, 0x12, 0x08, 0xDD, 0x77, 0xFB, 0xCB, 0x37, 0x10, 0xFE}, 7,
                    true),
              expected);
}

}  // namespace
