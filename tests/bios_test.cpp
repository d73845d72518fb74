// The BIOS entries of the jump vector through the real executable: register results, the DMA address, jumps into the vector and the console on a terminal.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "tests/assembler.h"
#include "tests/pty.h"
#include "tests/register_snapshot.h"

namespace {

using test::exited_with_zero;

using test::PtyRun;
using test::A;
using test::Assembler;
using test::BC;
using test::C;
using test::DE;

// The entries at CP/M 2.2's offsets from the vector's base, on a page boundary.
constexpr std::uint16_t vector = kavo::address::bios_vector;
static_assert(vector % 0x100 == 0);
constexpr std::uint16_t boot = vector, console_status = vector + 0x06, console_input = vector + 0x09,
                        console_output = vector + 0x0C, list = vector + 0x0F, punch = vector + 0x12,
                        reader = vector + 0x15, home = vector + 0x18, select_disk = vector + 0x1B,
                        set_track = vector + 0x1E, set_sector = vector + 0x21, set_dma = vector + 0x24,
                        read = vector + 0x27, write = vector + 0x2A, list_status = vector + 0x2D,
                        sector_translate = vector + 0x30;


void install(const test::TemporaryDirectory& directory, const std::string& name, const Assembler& program) {
    program.write(directory.path() / (name + ".com"));
}

// One CALL of a BIOS entry without a terminal, keys from standard input, with
// the registers set to a known state before it and all printed after it.
struct BiosCall {
    const char* name;
    std::uint16_t entry;
    std::uint16_t bc = 0xB0C0;
    std::string input = "";
    std::string output = "";  // written before the registers
    std::optional<std::uint8_t> a = std::nullopt;
    std::optional<std::uint16_t> hl = std::nullopt;
};

const BiosCall bios_calls[] = {
    {.name = "BootIsReportedAndReturns", .entry = boot, .output = "PC=FF00 trap=FFFFFFFD\n"},
    {.name = "ConsoleStatusWithoutKey", .entry = console_status, .a = 0x00},
    {.name = "ConsoleStatusLeavesScriptInputUnread", .entry = console_status, .input = "k", .a = 0x00},
    {.name = "ConsoleInputDoesNotEcho", .entry = console_input, .input = "k", .a = 0x6B},
    {.name = "ConsoleOutput", .entry = console_output, .bc = 0xB05A, .output = "Z"},
    {.name = "ListIsDiscarded", .entry = list, .bc = 0xB04C},
    {.name = "PunchWritesToTheScreen", .entry = punch, .bc = 0xB050, .output = "P"},
    {.name = "ReaderReadsAKeyWithoutEcho", .entry = reader, .input = "r", .a = 0x72},
    {.name = "Home", .entry = home},
    {.name = "SelectDriveA", .entry = select_disk, .bc = 0xB000, .hl = kavo::address::disk_parameter_header},
    {.name = "SelectDriveB", .entry = select_disk, .bc = 0xB001, .hl = 0x0000},
    {.name = "SetTrack", .entry = set_track},
    {.name = "SetSector", .entry = set_sector},
    {.name = "SetDma", .entry = set_dma, .bc = 0x2000},
    {.name = "Read", .entry = read},
    {.name = "Write", .entry = write},
    {.name = "ListStatusIsReady", .entry = list_status, .a = 0xFF},
    {.name = "SectorTranslateKeepsTheSector", .entry = sector_translate, .bc = 0x0005, .hl = 0x0005},
    {.name = "AddressBetweenEntriesIsReportedAndReturns", .entry = sector_translate + 3,
     .output = "PC=FF33 trap=30\n"},
};

void PrintTo(const BiosCall& call, std::ostream* stream) { *stream << call.name; }

class BiosRegisters : public testing::TestWithParam<BiosCall> {};

TEST_P(BiosRegisters, OnlyTheResultRegistersChange) {
    const BiosCall& call = GetParam();
    test::Registers start;
    start.set_bc(call.bc);
    test::Registers expected = start;
    expected.a = call.a.value_or(start.a);
    if (call.hl)
        expected.set_hl(*call.hl);

    Assembler program;
    program.jmp("main").hex_routine().label("main");
    test::load_registers(program, start).call(call.entry);
    test::print_registers(program).exit();
    test::TemporaryDirectory directory;
    install(directory, "call", program);
    const test::Result run = test::run_kavo(directory.path(), {"call"}, call.input);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, call.output + expected.printed());
}

INSTANTIATE_TEST_SUITE_P(JumpVector, BiosRegisters, testing::ValuesIn(bios_calls),
                         [](const testing::TestParamInfo<BiosCall>& info) { return std::string(info.param.name); });

// SETDMA moves the buffer of the BDOS record functions: the record read
// lands at 0x2000, and the default buffer at 0x0080 keeps the command tail.
TEST(SetDma, BdosReadLandsAtTheNewAddress) {
    Assembler program;
    program.jmp("main").hex_routine().label("main");
    program.lxi(BC, 0x2000).call(set_dma);
    program.lxi(DE, 0x005C).bdos(15).call("hex").lxi(DE, 0x005C).bdos(20).call("hex");
    program.dump(0x2000, 4).dump(0x0080, 2).exit();
    test::TemporaryDirectory directory;
    install(directory, "dma", program);
    std::vector<unsigned char> record(128, 'z');
    record[0] = 'A', record[1] = 'B', record[2] = 'C', record[3] = 'D';
    directory.write("RECORD.DAT", record);
    const test::Result run = test::run_kavo(directory.path(), {"dma", "record.dat"}, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "00 00 41 42 43 44 0B 20 ");
}

// A subroutine that ends in a jump to CONOUT returns, through CONOUT, to the
// subroutine's caller.
TEST(JumpVector, SubroutineEndingInAJumpToConoutReturnsToItsCaller) {
    Assembler program;
    program.mvi(C, 'J').call("put").mvi(C, '!').call(console_output).exit();
    program.label("put").jmp(console_output);
    test::TemporaryDirectory directory;
    install(directory, "tail", program);
    const test::Result run = test::run_kavo(directory.path(), {"tail"}, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "J!");
}

// Programs find the BIOS through the word at 0x0001 (the WBOOT entry, with
// CONOUT three entries on) or through a jump's target word in the vector.
// The CALL at 0x0103 gets the address found written into it.
TEST(JumpVector, AddressesReadOutOfTheVectorAreCallable) {
    Assembler program;
    program.jmp("main").call(0xFFFF).ret().label("main");
    program.lhld(0x0001).lxi(DE, 9).dad(DE).shld(0x0104).mvi(C, 'V').call(0x0103);
    program.lhld(console_output + 1).shld(0x0104).mvi(C, 'W').call(0x0103).exit();
    test::TemporaryDirectory directory;
    install(directory, "vector", program);
    const test::Result run = test::run_kavo(directory.path(), {"vector"}, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "VW");
}

// As TDL's Z80 BASIC does: the page of the WBOOT address at 0x0001 plus an
// entry's offset is that entry, here CONIN (09h) and CONOUT (0Ch).
TEST(JumpVector, EntriesLieAtTheirOffsetsFromThePageOfWarmBoot) {
    Assembler program;
    program.lda(0x0002).mov(test::H, A).mvi(test::L, 0x09).lxi(DE, "got").push(DE).op(0xE9 /* PCHL */);
    program.label("got").mov(C, A).lda(0x0002).mov(test::H, A).mvi(test::L, 0x0C).lxi(DE, "done").push(DE);
    program.op(0xE9).label("done").exit();
    test::TemporaryDirectory directory;
    install(directory, "page", program);
    const test::Result run = test::run_kavo(directory.path(), {"page"}, "k");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "k");
}

// CONIN waits for a key on the terminal and does not echo it; CONOUT writes it.
TEST(ConsoleEntries, KeyTypedOnATerminalComesBackThroughConout) {
    Assembler program;
    program.mvi(C, '>').call(console_output).call(console_input).mov(C, A).call(console_output);
    program.mvi(C, '<').call(console_output).exit();
    test::TemporaryDirectory directory;
    install(directory, "echo", program);
    PtyRun run(directory.path(), {"echo"});
    ASSERT_TRUE(run.wait_for(">"));
    ASSERT_TRUE(run.type("x"));
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, ">x<\r\n");
}

}  // namespace
