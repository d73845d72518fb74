// The disk every drive is, as programs measure it: STAT's listing and free space, the allocation vector, and drives that hold more than the disk.
#include <gtest/gtest.h>

#include <filesystem>
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
using test::M;

// A writable copy in directory.
void copy_into(const fs::path& file, const fs::path& directory) {
    const fs::path copy = directory / file.filename();
    fs::copy_file(file, copy);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

void sized_file(const fs::path& path, std::uintmax_t size) {
    test::write_file(path, "");
    fs::resize_file(path, size);
}

// STAT lists each file's records and kilobytes from the entries a search
// reports, rounded up to the disk's blocks of 4 KiB, and the bytes remaining
// from the allocation vector: 8192k less the directory's 32k and the files'.
// Both change when a file is written.
TEST(Disk, StatMeasuresEveryFileAndTheSpaceLeft) {
    KAVO_REQUIRE_SHARED("cpm/programs/STAT.COM", stat);
    test::TemporaryDirectory directory;
    copy_into(stat, directory.path());  // 5,248 bytes: 41 records, 8k
    sized_file(directory / "EMPTY.DAT", 0);
    sized_file(directory / "ONE.DAT", 1);
    sized_file(directory / "FULL.DAT", 4096);
    sized_file(directory / "OVER.DAT", 4097);
    sized_file(directory / "TWO.DAT", 40000);  // two directory entries

    test::Result result = test::run_kavo(directory.path(), {"STAT", "*.*"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "\r\n"
                             " Recs  Bytes  Ext Acc\r\n"
                             "    0     0k    1 R/W A:EMPTY.DAT\r\n"
                             "   32     4k    1 R/W A:FULL.DAT\r\n"
                             "    1     4k    1 R/W A:ONE.DAT\r\n"
                             "   33     8k    1 R/W A:OVER.DAT\r\n"
                             "   41     8k    1 R/W A:STAT.COM\r\n"
                             "  313    40k    2 R/W A:TWO.DAT\r\n"
                             "Bytes Remaining On A: 8096k\r\n");
    result = test::run_kavo(directory.path(), {"STAT"});
    EXPECT_EQ(result.output, "A: R/W, Space: 8096k\r\n\r\n");

    sized_file(directory / "NEW.DAT", 100000);
    result = test::run_kavo(directory.path(), {"STAT"});
    EXPECT_EQ(result.output, "A: R/W, Space: 7996k\r\n\r\n");
    result = test::run_kavo(directory.path(), {"STAT", "DSK:"});
    EXPECT_NE(result.output.find(" 8192: Kilobyte Drive  Capacity\r\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find(" 1024: 32  Byte Directory Entries\r\n"), std::string::npos) << result.output;
}

// User areas share their drive's disk, as on CP/M: STAT USR: finds the users
// that have files (through a search with '?' as the drive byte, which
// reports every entry with its user number), and the space left counts the
// files of every area. This used to count the current area's alone, and the
// search to report every file as user 0's.
TEST(Disk, UserAreasShareTheDisk) {
    KAVO_REQUIRE_SHARED("cpm/programs/STAT.COM", stat);
    test::TemporaryDirectory directory;
    fs::create_directory(directory / "3");
    copy_into(stat, directory.path());                 // 8k
    copy_into(stat, directory / "3");                  // 8k
    sized_file(directory / "3" / "BIG.DAT", 100000);  // 100k
    const test::Result result = test::run_kavo(directory.path(), {"--ccp", "STAT USR:", "USER 3", "STAT"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "\r\nA>STAT USR:\r\n\r\nActive User : 0\r\nActive Files: 0 3\r\n"
                             "A>USER 3\r\n"
                             "A3>STAT\r\nA: R/W, Space: 8044k\r\n\r\n");
}

// The space left is the host's free space where that is less than the disk
// still holds: STAT on an empty file system of 512 KiB.
TEST(Disk, SpaceLeftIsCappedByTheHostsFreeSpace) {
    KAVO_REQUIRE_SHARED("cpm/programs/STAT.COM", stat);
    test::TemporaryDirectory base;
    const fs::path work = base / "work";
    fs::create_directory(work);
    copy_into(stat, base.path());
    const test::Result result =
        test::run_kavo(work, {(base / "STAT.COM").string()}, "", std::chrono::seconds(60),
                       [&] { return test::mount_small_file_system(work, "512k"); });
    if (result.status == test::setup_failed)
        GTEST_SKIP() << "no file system can be mounted here";
    EXPECT_EQ(result.output, "A: R/W, Space: 512k\r\n\r\n");
}

// Prints the allocation vector's address, the count of its leading 0xFF
// bytes and the byte after them, then the number of directory entries a
// search for every file reports (two bytes, high first).
Assembler measuring_program() {
    Assembler program;
    program.jmp("main").hex_routine().label("main");
    program.mvi(test::C, 27).call(0x0005).mov(A, H).call("hex").mov(A, L).call("hex");
    program.mvi(B, 0).label("full").mov(A, M).cpi(0xFF).jnz("counted").inr(B).inx(HL).jmp("full");
    program.label("counted").mov(A, B).call("hex").mov(A, M).call("hex");
    program.lxi(HL, std::uint16_t(0)).shld("count").lxi(DE, "every").bdos(17);
    program.label("entry").cpi(0xFF).jz("done").lhld("count").inx(HL).shld("count").bdos(18).jmp("entry");
    program.label("done").lda("count_high").call("hex").lda("count").call("hex").exit();
    program.label("every").db({0}).db("???????????").db({'?'}).ds(23);
    return program.label("count").db({0}).label("count_high").db({0});
}

test::Result measure(const fs::path& directory) {
    test::TemporaryDirectory elsewhere;
    measuring_program().write(elsewhere / "M.COM");
    return test::run_kavo(directory, {(elsewhere / "M.COM").string()});
}

// Function 27's vector marks the directory's 8 blocks and exactly the blocks
// the search's entries name: a file of one byte takes block 8, one of 9,000
// bytes blocks 9-11.
TEST(Disk, AllocationVectorMarksTheDirectoryAndTheFilesBlocks) {
    test::TemporaryDirectory directory;
    sized_file(directory / "A.DAT", 1);
    sized_file(directory / "B.DAT", 9000);
    const test::Result result = measure(directory.path());
    EXPECT_EQ(result.output, "FD 00 01 F0 00 02 ");
}

// A drive that holds more than the disk describes still works, and nothing
// of it overflows: of 1,030 files only the 1,024 the directory holds are on
// the disk; of two files of 5 MiB only the first fits in the blocks (8 + 1,280
// of 2,048 in use: 161 full bytes, then 0x00), in 160 entries.
TEST(Disk, DriveHoldingMoreThanTheDiskReportsWhatFits) {
    test::TemporaryDirectory many;
    for (unsigned index = 0; index < 1030; ++index)
        sized_file(many / ("F" + std::to_string(index) + ".DAT"), 0);
    EXPECT_EQ(measure(many.path()).output, "FD 00 01 00 04 00 ");

    test::TemporaryDirectory large;
    sized_file(large / "FIRST.DAT", 5u << 20);
    sized_file(large / "SECOND.DAT", 5u << 20);
    EXPECT_EQ(measure(large.path()).output, "FD 00 A1 00 00 A0 ");
}

// The fault of a program whose stack starts at the BDOS entry that 0x0006
// names (BDS C's "Top of memory"): pushing down from there must leave the
// disk parameter block and the allocation vector as the system wrote them.
TEST(Disk, StackFromTheBdosEntryDownLeavesTheDiskTablesIntact) {
    Assembler program;
    program.lhld(0x0006).op(0xF9 /* SPHL */).lxi(HL, 0xA5A5).mvi(B, 0);
    program.label("fill").push(HL).push(HL).push(HL).push(HL).dcr(B).jnz("fill");
    program.lxi(test::SP, 0x8000).mvi(test::C, 31).call(0x0005).mvi(B, 15);
    program.label("dump").mov(A, M).call("hex").inx(HL).dcr(B).jnz("dump").exit().hex_routine();
    test::TemporaryDirectory directory;
    program.write(directory / "t.com");
    const test::Result result = test::run_kavo(directory.path(), {"t"});
    EXPECT_EQ(result.output, "80 00 05 1F 01 FF 07 FF 03 FF 00 00 00 00 00 ");
}

}  // namespace
