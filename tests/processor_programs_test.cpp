// The processor test programs through the real executable: the 8080 exercisers, and under --z80 the Z80 ones.
#include <gtest/gtest.h>

#include "tests/assembler.h"
#include "tests/run.h"

namespace {

using test::Assembler;

// How many times text occurs in output.
std::size_t occurrences(const std::string& output, const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1))
        ++count;
    return count;
}

TEST(ProcessorPrograms, PreliminaryTestsComplete) {
    KAVO_REQUIRE_SHARED("cpm/cputest/8080PRE.COM", program);
    test::TemporaryDirectory directory;
    const test::Result result = test::run_kavo(directory.path(), {program.string()});
    EXPECT_NE(result.output.find("8080 Preliminary tests complete"), std::string::npos) << result.output;
    EXPECT_EQ(result.status, 0);
}

TEST(ProcessorPrograms, ExerciserReportsEveryGroupOk) {
    KAVO_REQUIRE_SHARED("cpm/cputest/8080EX1.COM", program);
    test::TemporaryDirectory directory;
    const test::Result result = test::run_kavo(directory.path(), {program.string()}, "", std::chrono::seconds(300));
    EXPECT_EQ(occurrences(result.output, "OK"), 25u) << result.output;
    EXPECT_EQ(result.output.find("ERROR"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Tests complete"), std::string::npos) << result.output;
}

// A Z80 exerciser under --z80: each of its 67 groups prints OK.
void expect_every_z80_group_ok(const std::filesystem::path& program) {
    test::TemporaryDirectory directory;
    const test::Result result =
        test::run_kavo(directory.path(), {"--z80", program.string()}, "", std::chrono::seconds(600));
    EXPECT_NE(result.output.find("Z80 instruction exerciser"), std::string::npos) << result.output;
    EXPECT_EQ(occurrences(result.output, "  OK"), 67u) << result.output;
    EXPECT_EQ(result.output.find("ERROR"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Tests complete"), std::string::npos) << result.output;
    EXPECT_EQ(result.status, 0);
}

TEST(ProcessorPrograms, ZexdocReportsEveryGroupOk) {
    KAVO_REQUIRE_SHARED("cpm/cputest/ZEXDOC.COM", program);
    expect_every_z80_group_ok(program);
}

// The same groups with the undocumented flag bits 3 and 5 checked too.
TEST(ProcessorPrograms, ZexallReportsEveryGroupOk) {
    KAVO_REQUIRE_SHARED("cpm/cputest/ZEXALL.COM", program);
    expect_every_z80_group_ok(program);
}

// LDIR is ED B0: on the 8080, ED is an undefined opcode that calls the
// address in the next two bytes, here 0x01B0; the Z80 copies and goes on.
TEST(ProcessorPrograms, LdirIsAnUndefined8080OpcodeWithoutZ80) {
    Assembler program;
    program.lxi(test::BC, 1).lxi(test::HL, "source").lxi(test::DE, "copy");
    program.db(
        {0xED, 0xB0, 0x01, 0x00, 0x00});  // LDIR; then 01 = LD BC,0 for the Z80, the call's high byte for the 8080
    program.lxi(test::DE, "copy").bdos(9).exit();
    program.label("source").db("Z80 copied$");
    program.label("copy").db("nothing$   ");
    program.ds(0x01B0 - program.here());
    program.lxi(test::DE, "on_8080").bdos(9).exit();
    program.label("on_8080").db("8080 called 01B0$");

    test::TemporaryDirectory directory;
    program.write(directory / "LDIR.COM");
    EXPECT_EQ(test::run_kavo(directory.path(), {"LDIR"}).output, "8080 called 01B0");
    EXPECT_EQ(test::run_kavo(directory.path(), {"--z80", "LDIR"}).output, "Zothing");
}

// A Z80 program calls BDOS and, through the address in the jump vector, the
// BIOS, and finds IX, IY and the alternate registers as it left them; its
// HALT ends the run with the message.
TEST(ProcessorPrograms, Z80ProgramCallsBdosAndBiosAndKeepsItsOwnRegisters) {
    constexpr std::uint8_t ix = 0xDD, iy = 0xFD, exx = 0xD9, ex_af = 0x08;
    Assembler program;
    program.db({ix}).lxi(test::HL, "text");         // LD IX,text
    program.db({iy}).lxi(test::HL, "text_c");       // LD IY,text+2
    program.db({exx}).mvi(test::E, 'Z').db({exx});  // E' = 'Z'
    program.mvi(test::A, '8').db({ex_af});          // A' = '8'
    program.lxi(test::DE, "hello").bdos(9);
    program.lhld(0x0001).lxi(test::DE, 9).dad(test::DE);                      // the BIOS's CONOUT
    program.lxi(test::BC, "back").push(test::BC).mvi(test::C, '*').op(0xE9);  // JP (HL)
    program.label("back");
    program.db({ix}).mov(test::E, test::M).db({0x00}).mvi(test::C, 2).call(0x0005);  // LD E,(IX+0)
    program.db({iy}).mov(test::E, test::M).db({0x00}).mvi(test::C, 2).call(0x0005);  // LD E,(IY+0)
    program.db({exx}).mvi(test::C, 2).call(0x0005);                                  // E' is E now
    program.db({ex_af}).mov(test::E, test::A).mvi(test::C, 2).call(0x0005);
    program.hlt();
    program.label("hello").db("BDOS $");
    program.label("text").db("ab").label("text_c").db("cd");

    test::TemporaryDirectory directory;
    program.write(directory / "REGS.COM");
    const test::Result result = test::run_kavo(directory.path(), {"--z80", "REGS"});
    EXPECT_EQ(result.output, "BDOS *acZ8\nHALT instruction\n");
    EXPECT_EQ(result.status, 0);
}

}  // namespace
