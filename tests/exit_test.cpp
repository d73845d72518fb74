// What a run tells its caller: the program's return code (function 108), a deleted $$$.SUB, the Z80 hint.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tests/assembler.h"
#include "tests/pty.h"
#include "tests/run.h"

namespace {

namespace fs = std::filesystem;
using test::A;
using test::Assembler;
using test::B;
using test::DE;
using test::E;
using test::H;
using test::HL;
using test::L;

constexpr std::uint8_t return_code_function = 108;

// ---------------------------------------------------------------------------
// The exit status a program chooses.

// One request of a status program: function 108 setting code, or else
// function 19 deleting the file of the FCB whose drive byte and 11 name bytes
// are fcb.
struct Step {
    std::optional<std::uint16_t> code;
    std::string fcb = "";
};

Step deletion(const std::string& fcb) { return {std::nullopt, fcb}; }

const std::string batch_file("\0$$$     SUB", 12);

struct StatusCase {
    const char* name;
    std::vector<Step> steps;
    int status;
    bool batch_file_exists = false;  // on A:
    bool batch_file_on_b = false;
};

const StatusCase status_cases[] = {
    {"NoCodeIsSuccess", {}, 0},
    {"LowestSuccess", {{0x0000}}, 0},
    {"HighestSuccess", {{0xFEFF}}, 0},
    {"FailureWithoutALowByteIsOne", {{0xFF00}}, 1},
    {"FailureGivesItsLowByte", {{0xFF05}}, 5},
    {"HighestFailure", {{0xFFFE}}, 254},
    {"TheLastCodeCounts", {{0xFF00}, {0x0000}}, 0},
    // SUBMIT deletes a $$$.SUB that is not there before it writes its own.
    {"DeletingAMissingBatchFileIsNot", {deletion(batch_file)}, 0},
    {"DeletingTheBatchFileThatExists", {deletion(batch_file)}, 1, true},
    {"DeletingTheBatchFileOnDriveB", {deletion(std::string("\x02$$$     SUB"))}, 1, false, true},
    {"DeletingAnotherFileIsNot", {deletion(std::string("\0OTHER   SUB", 12))}, 0},
    {"CodeBeforeTheDeletionStands", {{0x0000}, deletion(batch_file)}, 0},
    {"CodeAfterTheDeletionStands", {deletion(batch_file), {0xFF07}}, 7},
};

Assembler status_program(const std::vector<Step>& steps) {
    Assembler program;
    for (std::size_t index = 0; index < steps.size(); ++index) {
        if (steps[index].code)
            program.lxi(DE, *steps[index].code).bdos(return_code_function);
        else
            program.lxi(DE, ("fcb" + std::to_string(index)).c_str()).bdos(test::delete_file);
    }
    program.exit();
    for (std::size_t index = 0; index < steps.size(); ++index)
        if (!steps[index].code)
            program.label("fcb" + std::to_string(index)).db(steps[index].fcb).ds(36 - steps[index].fcb.size());
    return program;
}

void PrintTo(const StatusCase& status_case, std::ostream* stream) { *stream << status_case.name; }

class ExitStatus : public testing::TestWithParam<StatusCase> {};

// Function 108 used to be unknown ("Func=6C") and a deleted $$$.SUB went
// unnoticed: every run ended with status 0.
TEST_P(ExitStatus, ProgramChoosesItsStatus) {
    const StatusCase& status_case = GetParam();
    test::TemporaryDirectory directory;
    status_program(status_case.steps).write(directory / "T.COM");
    if (status_case.batch_file_exists)
        test::write_file(directory / "$$$.SUB", "");
    fs::create_directory(directory / "b");
    if (status_case.batch_file_on_b)
        test::write_file(directory / "b" / "$$$.SUB", "");
    const test::ResultWithErrors result = test::run_kavo_keeping_errors(directory.path(), {"--drive", "B=b", "T"});
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.status, status_case.status);
    EXPECT_FALSE(fs::exists(directory / "$$$.SUB"));
    EXPECT_FALSE(fs::exists(directory / "b" / "$$$.SUB"));
}

INSTANTIATE_TEST_SUITE_P(ReturnCode, ExitStatus, testing::ValuesIn(status_cases),
                         [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

// DE = 0xFFFF reads the code into HL, with A = L and B = H, and sets nothing:
// 0 before the program sets one.
TEST(ReturnCode, ReadingGivesTheCodeSetAndChangesNothing) {
    Assembler program;
    for (std::uint16_t code : {std::uint16_t(0xFF02), std::uint16_t(0x1234)}) {
        program.lxi(DE, 0xFFFF).bdos(return_code_function);
        program.push(HL).mov(A, H).call("hex").pop(HL).mov(A, L).call("hex").mov(A, B).call("hex");
        program.lxi(DE, code).bdos(return_code_function);
    }
    program.lxi(DE, 0xFFFF).bdos(return_code_function).call("hex").exit().hex_routine();
    test::TemporaryDirectory directory;
    program.write(directory / "T.COM");
    const test::Result result = test::run_kavo(directory.path(), {"T"});
    EXPECT_EQ(result.output, "00 00 00 FF 02 FF 34 ");
    EXPECT_EQ(result.status, 0);
}

// ---------------------------------------------------------------------------
// The Z80 hint.

// The line the first undefined opcode gets.
std::string hint(std::uint8_t opcode, std::uint16_t address) {
    char line[100];
    std::snprintf(line, sizeof line,
                  "kavo: opcode %02X at %04X is not an 8080 instruction; for Z80 programs use --z80\n", opcode,
                  address);
    return line;
}

// Prints 'a', runs opcode at 0x0123 as the 8080 runs it (a NOP, a JMP, a RET
// or a CALL that leads to "after"), prints 'b' and ends.
Assembler undefined_opcode_program(std::uint8_t opcode) {
    Assembler program;
    program.mvi(E, 'a').bdos(2).lxi(HL, "after").push(HL).jmp(0x0123);
    program.ds(0x0123 - program.here());
    program.op(opcode);
    if ((opcode & 0xC7) == 0x00)
        program.jmp("after");
    else if (opcode != 0xD9)
        program.dw("after");
    program.label("after").mvi(E, 'b').bdos(2).exit();
    return program;
}

// A Z80 program on the 8080 used to go wrong without a word; the run still
// goes on exactly as it did.
TEST(Z80Hint, FirstUndefinedOpcodeIsNamedWithItsAddress) {
    for (std::uint8_t opcode : {0x08, 0x10, 0x18, 0x20, 0x28, 0x30, 0x38, 0xCB, 0xD9, 0xDD, 0xED, 0xFD}) {
        SCOPED_TRACE(int(opcode));
        test::TemporaryDirectory directory;
        undefined_opcode_program(opcode).write(directory / "T.COM");
        const test::ResultWithErrors result = test::run_kavo_keeping_errors(directory.path(), {"T"});
        EXPECT_EQ(result.output, "ab");
        EXPECT_EQ(result.errors, hint(opcode, 0x0123));
        EXPECT_EQ(result.status, 0);
    }
}

TEST(Z80Hint, OnlyOnceAndNeverForNopOrOnTheZ80) {
    // Two passes over 0x08, then ED and DD, which call "after".
    Assembler program;
    program.mvi(B, 2).jmp(0x0110).ds(0x0110 - program.here());
    program.label("again").op(0x00).op(0x08).dcr(B).jnz("again");
    program.op(0xED).dw("after");
    program.label("after").op(0xDD).dw("end");
    program.label("end").mvi(E, 'e').bdos(2).exit();
    test::TemporaryDirectory directory;
    program.write(directory / "T.COM");
    test::ResultWithErrors result = test::run_kavo_keeping_errors(directory.path(), {"T"});
    EXPECT_EQ(result.output, "e");
    EXPECT_EQ(result.errors, hint(0x08, 0x0111));

    Assembler nops;
    nops.op(0x00).op(0x00).mvi(E, 'n').bdos(2).exit();
    nops.write(directory / "N.COM");
    result = test::run_kavo_keeping_errors(directory.path(), {"N"});
    EXPECT_EQ(result.output, "n");
    EXPECT_EQ(result.errors, "");

    // EX AF,AF' and EXX on the Z80.
    Assembler z80;
    z80.op(0x08).op(0xD9).mvi(E, 'z').bdos(2).exit();
    z80.write(directory / "Z.COM");
    result = test::run_kavo_keeping_errors(directory.path(), {"--z80", "Z"});
    EXPECT_EQ(result.output, "z");
    EXPECT_EQ(result.errors, "");
}

// On a terminal the hint comes in order with the output, on a line of its own.
TEST(Z80Hint, OnATerminalTheHintHasALineOfItsOwn) {
    Assembler program;
    program.mvi(E, 'a').bdos(2).mvi(E, 'b').bdos(2);
    const std::uint16_t address = program.here();
    program.op(0xED).dw("after");
    program.label("after").mvi(E, 'c').bdos(2).exit();
    test::TemporaryDirectory directory;
    program.write(directory / "T.COM");
    test::PtyRun run(directory.path(), {"T"});
    EXPECT_TRUE(test::exited_with_zero(run.wait_exit()));
    std::string line = hint(0xED, address);
    line.back() = '\r';
    EXPECT_EQ(run.output, "ab\r\n" + line + "\nc\r\n");
}

}  // namespace
