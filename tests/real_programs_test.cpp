// Real CP/M software through the real executable: Digital Research's assembler, loader and PIP, and Microsoft BASIC-80.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/pty.h"
#include "tests/run.h"

namespace {

namespace fs = std::filesystem;

// A writable copy in directory: the programs open their files for reading and writing.
void copy_into(const fs::path& file, const test::TemporaryDirectory& directory) {
    const fs::path copy = directory / file.filename().string();
    fs::copy_file(file, copy);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(RealPrograms, AssemblerAndLoaderBuildAProgramThatRuns) {
    KAVO_REQUIRE_SHARED("cpm/programs/ASM.COM", assembler);
    KAVO_REQUIRE_SHARED("cpm/programs/LOAD.COM", loader);
    KAVO_REQUIRE_SHARED("cpm/programs/HELLO.ASM", source);
    test::TemporaryDirectory directory;
    for (const fs::path& file : {assembler, loader, source})
        copy_into(file, directory);

    const test::Result assembled = test::run_kavo(directory.path(), {"ASM", "HELLO"});
    EXPECT_TRUE(contains(assembled.output, "END OF ASSEMBLY")) << assembled.output;
    EXPECT_EQ(assembled.status, 0);
    // LXI D,MSG; MVI C,9; CALL BDOS at 0100H.
    EXPECT_TRUE(test::read_file(directory / "HELLO.HEX").starts_with(":100100001129010E09CD0500"));
    EXPECT_TRUE(contains(test::read_file(directory / "HELLO.PRN"), "HELLO FROM ASM:"));

    const test::Result loaded = test::run_kavo(directory.path(), {"LOAD", "HELLO"});
    EXPECT_TRUE(contains(loaded.output, "RECORDS WRITTEN 01")) << loaded.output;
    EXPECT_EQ(loaded.status, 0);
    ASSERT_TRUE(fs::exists(directory / "HELLO.COM"));

    const test::Result greeted = test::run_kavo(directory.path(), {"HELLO", "world"});
    EXPECT_EQ(greeted.output, "HELLO FROM ASM: WORLD\r\n");
    EXPECT_EQ(greeted.status, 0);
}

// ASM HELLO.ABZ reads the source from A: and writes HELLO.HEX on B: (and no
// listing). The source is read-only, as a checked-out file may be: ASM still
// reads it.
TEST(RealPrograms, AssemblerReadsAReadOnlySourceAndWritesTheHexFileOnDriveB) {
    KAVO_REQUIRE_SHARED("cpm/programs/ASM.COM", assembler);
    KAVO_REQUIRE_SHARED("cpm/programs/HELLO.ASM", source);
    test::TemporaryDirectory directory, drive_b;
    for (const fs::path& file : {assembler, source})
        copy_into(file, directory);
    fs::permissions(directory / "HELLO.ASM", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    const test::Result assembled =
        test::run_kavo(directory.path(), {"--drive", "B=" + drive_b.path().string(), "ASM", "HELLO.ABZ"});
    EXPECT_TRUE(contains(assembled.output, "END OF ASSEMBLY")) << assembled.output;
    EXPECT_TRUE(test::read_file(drive_b / "HELLO.HEX").starts_with(":100100001129010E09CD0500"));
    EXPECT_FALSE(fs::exists(directory / "HELLO.HEX"));
    EXPECT_FALSE(fs::exists(directory / "HELLO.PRN"));
    EXPECT_TRUE(contains(test::read_file(directory / "HELLO.ASM"), "HELLO FROM ASM:"));
}

// The greeter's byte table and its assembly source are one program: Digital
// Research's own tools, run here, make the same bytes from the source.
TEST(RealPrograms, GreeterSourceAssemblesToTheBytesTheBuildWrites) {
    KAVO_REQUIRE_SHARED("cpm/programs/ASM.COM", assembler);
    KAVO_REQUIRE_SHARED("cpm/programs/LOAD.COM", loader);
    test::TemporaryDirectory directory;
    copy_into(assembler, directory);
    copy_into(loader, directory);
    std::string source;
    for (char character : test::read_file(fs::path(KAVO_EXAMPLES_DIR) / "greet.asm"))
        source += character == '\n' ? std::string("\r\n") : std::string(1, character);
    test::write_file(directory / "GREET.ASM", source + "\x1A");

    EXPECT_TRUE(contains(test::run_kavo(directory.path(), {"ASM", "GREET"}).output, "END OF ASSEMBLY"));
    EXPECT_TRUE(contains(test::run_kavo(directory.path(), {"LOAD", "GREET"}).output, "RECORDS WRITTEN"));
    const std::string built = test::read_file(fs::path(KAVO_EXECUTABLE).parent_path() / "GREET.COM");
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(test::read_file(directory / "GREET.COM").substr(0, built.size()), built);
}

TEST(RealPrograms, BasicWritesAFileAndReadsItBack) {
    KAVO_REQUIRE_SHARED("cpm/programs/MBASIC.COM", interpreter);
    KAVO_REQUIRE_SHARED("cpm/programs/FILEIO.BAS", source);
    test::TemporaryDirectory directory;
    copy_into(interpreter, directory);
    copy_into(source, directory);

    const test::Result result = test::run_kavo(directory.path(), {"MBASIC", "FILEIO"});
    EXPECT_TRUE(contains(result.output, "SUM OF SQUARES 338350")) << result.output;
    EXPECT_EQ(result.status, 0);

    // PRINT # writes each number between blanks on a line of its own; ^Z ends
    // the text inside the last record.
    std::string squares;
    for (int number = 1; number <= 100; ++number) {
        squares += ' ';
        squares += std::to_string(number * number);
        squares += " \r\n";
    }
    const std::string written = test::read_file(directory / "NUMBERS.DAT");
    EXPECT_TRUE(written.starts_with(squares + "\x1A"));
    EXPECT_EQ(written.size() % 128, 0u);
}

// A user who mistypes a PIP command and discards the line with Ctrl+U gets
// the command typed after it, not "INVALID FORMAT" from the whole line.
TEST(RealPrograms, PipCommandTypedAfterControlUIsTheOneRun) {
    KAVO_REQUIRE_SHARED("cpm/programs/PIP.COM", pip);
    test::TemporaryDirectory directory;
    copy_into(pip, directory);
    test::write_file(directory / "NOTE.TXT", "HELLO\r\nWORLD\r\n\x1A");
    test::PtyRun run(directory.path(), {"PIP"});
    ASSERT_TRUE(run.wait_for("*"));
    ASSERT_TRUE(run.type("garbage\x15" "CON:=NOTE.TXT\r"));
    ASSERT_TRUE(run.wait_for("WORLD\r\n*")) << testing::PrintToString(run.output);
    ASSERT_TRUE(run.type("\r"));
    EXPECT_TRUE(test::exited_with_zero(run.wait_exit()));
    EXPECT_TRUE(run.output.starts_with("*garbage#\r\n CON:=NOTE.TXT\r\r\nHELLO\r\nWORLD\r\n*"))
        << testing::PrintToString(run.output);
}

}  // namespace
