// The printer, punch and reader on host files through the real executable: the BDOS functions, the BIOS entries, Ctrl+P and real programs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bdos/memory_map.h"
#include "tests/assembler.h"
#include "tests/run.h"

namespace {

namespace fs = std::filesystem;
using test::A;
using test::Assembler;
using test::C;
using test::DE;
using test::E;

constexpr std::uint16_t list_entry = kavo::address::bios_vector + 0x0F;
constexpr std::uint16_t punch_entry = kavo::address::bios_vector + 0x12;
constexpr std::uint16_t reader_entry = kavo::address::bios_vector + 0x15;

// What a run wrote on standard output and standard error, and its status.
struct Outcome {
    std::string output;
    std::string errors;
    int status;
};

Outcome run_with_errors(const fs::path& directory, const std::vector<std::string>& arguments,
                        const std::string& input = "") {
    test::TemporaryDirectory errors_directory;
    const std::string errors_path = errors_directory / "errors";
    const test::Result result = test::run_kavo(directory, arguments, input, std::chrono::seconds(60), [&] {
        const int descriptor = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        return descriptor >= 0 && dup2(descriptor, STDERR_FILENO) >= 0;
    });
    return {result.output, test::read_file(errors_path), result.status};
}

void copy_into(const fs::path& file, const fs::path& directory) {
    const fs::path copy = directory / file.filename();
    fs::copy_file(file, copy);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

// List output through function 5 and the LIST entry, punch output through
// function 4 and the PUNCH entry: each in its own file, after what the file
// held; the screen gets only the console's output.
TEST(Devices, PrinterAndPunchAppendToTheirFiles) {
    Assembler program;
    program.mvi(E, 'A').bdos(5).mvi(C, 'B').call(list_entry);
    program.mvi(E, 'C').bdos(4).mvi(C, 'D').call(punch_entry);
    program.mvi(E, 'E').bdos(2).exit();
    test::TemporaryDirectory directory;
    program.write(directory / "t.com");
    test::write_file(directory / "printer.txt", "old\n");
    const test::Result result =
        test::run_kavo(directory.path(), {"--printer", "printer.txt", "--punch", "punch.txt", "t"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "E");
    EXPECT_EQ(test::read_file(directory / "printer.txt"), "old\nAB");
    EXPECT_EQ(test::read_file(directory / "punch.txt"), "CD");
}

// Function 3 and the READER entry read the file through, then CP/M's end of
// file, 0x1A, for as long as they ask; the keyboard is not read.
TEST(Devices, ReaderReadsItsFileThenEndOfFile) {
    Assembler program;
    program.jmp("main").hex_routine().label("main");
    program.bdos(3).call("hex").call(reader_entry).call("hex").bdos(3).call("hex").call(reader_entry).call("hex");
    program.exit();
    test::TemporaryDirectory directory;
    program.write(directory / "t.com");
    test::write_file(directory / "tape.txt", "xy");
    const test::Result result = test::run_kavo(directory.path(), {"--reader", "tape.txt", "t"}, "k");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "78 79 1A 1A ");
}

// Ctrl+P in line input turns the printer echo of console output on, and
// again off: the echo of the line, its closing CR and function 2's output
// reach the printer while it is on.
TEST(Devices, ControlPEchoesConsoleOutputToThePrinter) {
    Assembler program;
    program.mvi(A, 10).sta(0x0200).lxi(DE, 0x0200).bdos(10).mvi(E, 'Z').bdos(2);
    program.lxi(DE, 0x0200).bdos(10).mvi(E, 'W').bdos(2).exit();
    test::TemporaryDirectory directory;
    program.write(directory / "t.com");
    const test::Result result =
        test::run_kavo(directory.path(), {"--printer", "printer.txt", "t"}, "\x10" "ab\n\x10" "cd\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "ab\rZcd\rW");
    EXPECT_EQ(test::read_file(directory / "printer.txt"), "ab\rZ");
}

// A device file that cannot be opened ends the run before the program
// starts, with one line naming it on standard error and exit status 1.
TEST(Devices, FileThatCannotBeOpenedRunsNothing) {
    test::TemporaryDirectory directory;
    Assembler program;
    program.mvi(E, 'X').bdos(2).exit();
    program.write(directory / "t.com");
    fs::create_directory(directory / "folder");
    const std::vector<std::vector<std::string>> cases = {
        {"--reader", "missing.txt", "t"},
        {"--reader", "folder", "t"},
        {"--printer", "folder", "t"},
        {"--punch", "no-such-directory/punch.txt", "t"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        const Outcome outcome = run_with_errors(directory.path(), arguments);
        EXPECT_EQ(outcome.output, "") << arguments[1];
        EXPECT_NE(outcome.errors.find(arguments[1]), std::string::npos) << outcome.errors;
        EXPECT_EQ(outcome.errors.find('\n'), outcome.errors.size() - 1) << "one line: " << outcome.errors;
        EXPECT_EQ(outcome.status, 1) << arguments[1];
    }
}

TEST(Devices, BasicPrintsWithLprintIntoThePrinterFile) {
    KAVO_REQUIRE_SHARED("cpm/programs/MBASIC.COM", interpreter);
    test::TemporaryDirectory directory;
    copy_into(interpreter, directory.path());
    const test::Result result = test::run_kavo(directory.path(), {"--printer", "lp.txt", "MBASIC"},
                                               "LPRINT \"SUM\";1+1\nPRINT \"SCREEN\"\nSYSTEM\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("SCREEN"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("SUM 2"), std::string::npos) << "printed on the screen: " << result.output;
    EXPECT_EQ(test::read_file(directory / "lp.txt"), "SUM 2 \r\n");
}

TEST(Devices, PipCopiesAFileToThePrinter) {
    KAVO_REQUIRE_SHARED("cpm/programs/PIP.COM", pip);
    test::TemporaryDirectory directory;
    copy_into(pip, directory.path());
    test::write_file(directory / "NOTE.TXT", "HELLO\r\nWORLD\r\n\x1A");
    const test::Result result = test::run_kavo(directory.path(), {"--printer", "out.txt", "PIP", "LST:=NOTE.TXT"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(test::read_file(directory / "out.txt"), "HELLO\r\nWORLD\r\n");
}

}  // namespace
