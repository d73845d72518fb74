// What a run tells its caller: the program's return code (function 108) and a deleted $$$.SUB.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/assembler.h"
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
    bool batch_file_exists = false;
};

const StatusCase status_cases[] = {
    {"NoCodeIsSuccess", {}, 0},
    {"LowestSuccess", {{0x0000}}, 0},
    {"HighestSuccess", {{0xFEFF}}, 0},
    {"FailureWithoutALowByteIsOne", {{0xFF00}}, 1},
    {"FailureGivesItsLowByte", {{0xFF05}}, 5},
    {"HighestFailure", {{0xFFFE}}, 254},
    {"TheLastCodeCounts", {{0xFF00}, {0x0000}}, 0},
    {"DeletingTheBatchFileIsFailure", {deletion(batch_file)}, 1},
    {"DeletingTheBatchFileThatExists", {deletion(batch_file)}, 1, true},
    {"DeletingTheBatchFileOnDriveB", {deletion(std::string("\x02$$$     SUB"))}, 1},
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
    const test::ResultWithErrors result = test::run_kavo_keeping_errors(directory.path(), {"--drive", "B=b", "T"});
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.status, status_case.status);
    EXPECT_FALSE(fs::exists(directory / "$$$.SUB"));
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

}  // namespace
