// Real CP/M software through the real executable: Digital Research's assembler, loader and copier, and Microsoft BASIC-80.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

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

std::vector<std::string> listing(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Outcome {
    std::string output;  // standard output
    std::string errors;  // standard error
    int status = -1;
};

// Runs kavo with arguments in directory, keeping standard error; as nobody
// when root and as_nobody is set, so that permissions hold.
Outcome run_keeping_errors(const fs::path& directory, const std::vector<std::string>& arguments,
                           std::string_view input = "", bool as_nobody = false) {
    const test::TemporaryDirectory errors_directory;
    const fs::path errors = errors_directory / "errors";
    const test::Result result = test::run_kavo(directory, arguments, input, std::chrono::seconds(60), [&] {
        constexpr uid_t nobody = 65534;
        const int descriptor = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        return descriptor >= 0 && dup2(descriptor, STDERR_FILENO) >= 0 &&
               (!as_nobody || geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0));
    });
    return {result.output, test::read_file(errors), result.status};
}

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

// ASM in a directory where no file can be made says only "NO DIRECTORY
// SPACE"; kavo adds the file and the host's reason. As root the run drops to
// nobody, for whom the permissions hold.
TEST(RealPrograms, AssemblerInAReadOnlyDirectoryIsToldWhy) {
    KAVO_REQUIRE_SHARED("cpm/programs/ASM.COM", assembler);
    KAVO_REQUIRE_SHARED("cpm/programs/HELLO.ASM", source);
    test::TemporaryDirectory directory;
    for (const fs::path& file : {assembler, source})
        copy_into(file, directory);
    constexpr auto read_and_search = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(directory.path(), read_and_search);

    const Outcome assembled = run_keeping_errors(directory.path(), {"ASM", "HELLO"}, "", true);
    fs::permissions(directory.path(), fs::perms::owner_all);
    EXPECT_TRUE(contains(assembled.output, "NO DIRECTORY SPACE")) << assembled.output;
    EXPECT_EQ(assembled.errors, "kavo: cannot make HELLO.PRN: Permission denied\n");
    EXPECT_EQ(listing(directory.path()), (std::vector<std::string>{"ASM.COM", "HELLO.ASM"}));
}

// PIP copies onto a read-only destination only when told to: it sees the
// attribute after its open and asks, and [W] replaces the file without
// asking, PIP taking the attribute away with function 30 first. Before, open
// did not show the attribute, PIP's rename failed unseen and the copy was
// left in DST.$$$.
TEST(RealPrograms, CopierAsksBeforeReplacingAReadOnlyFile) {
    KAVO_REQUIRE_SHARED("cpm/programs/PIP.COM", copier);
    const struct {
        const char* command;
        const char* input;
        bool asks;
        bool replaced;
    } cases[] = {
        {"DST.TXT=SRC.TXT", "n", true, false},
        {"DST.TXT=SRC.TXT", "y", true, true},
        {"DST.TXT=SRC.TXT[W]", "", false, true},
    };
    for (const auto& c : cases) {
        test::TemporaryDirectory directory;
        copy_into(copier, directory);
        test::write_file(directory / "SRC.TXT", "new\r\n\x1A");
        test::write_file(directory / "DST.TXT", "old\r\n\x1A");
        fs::permissions(directory / "DST.TXT", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

        const Outcome copied = run_keeping_errors(directory.path(), {"PIP", c.command}, c.input);
        EXPECT_EQ(contains(copied.output, "DESTINATION IS R/O, DELETE (Y/N)?"), c.asks) << c.command << c.input;
        EXPECT_EQ(contains(copied.output, "NOT DELETED"), !c.replaced) << c.command << c.input;
        EXPECT_EQ(copied.errors, "") << c.command << c.input;
        EXPECT_EQ(copied.status, 0) << c.command << c.input;
        EXPECT_EQ(listing(directory.path()), (std::vector<std::string>{"DST.TXT", "PIP.COM", "SRC.TXT"}));
        EXPECT_TRUE(test::read_file(directory / "DST.TXT").starts_with(c.replaced ? "new\r\n" : "old\r\n"))
            << c.command << c.input;
    }
}

// Without --drive, B: reads the current directory but takes no change: PIP
// B:=*.* ends at its first change with CP/M's error and the option to use,
// status 1, every file as it was. It used to replace notes.txt by an
// upper-case NOTES.TXT padded with ^Z.
TEST(RealPrograms, CopierToAnUnmappedDriveChangesNothing) {
    KAVO_REQUIRE_SHARED("cpm/programs/PIP.COM", copier);
    test::TemporaryDirectory directory;
    copy_into(copier, directory);
    test::write_file(directory / "notes.txt", "notes\n");

    const Outcome copied = run_keeping_errors(directory.path(), {"PIP", "B:=*.*"});
    EXPECT_EQ(copied.errors, "Bdos Err On B: R/O\nkavo: drive B: is not mapped; map it with --drive B=DIR\n");
    EXPECT_EQ(copied.status, 1);
    EXPECT_EQ(listing(directory.path()), (std::vector<std::string>{"PIP.COM", "notes.txt"}));
    EXPECT_EQ(test::read_file(directory / "notes.txt"), "notes\n");
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
