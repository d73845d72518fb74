// The loader and the supervisor loop through the real executable: messages, program names, the memory image, the ends of a run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "tests/assembler.h"
#include "tests/run.h"

namespace {

namespace fs = std::filesystem;
using test::A;
using test::Assembler;
using test::B;
using test::BC;
using test::C;
using test::D;
using test::DE;
using test::E;
using test::H;
using test::HL;
using test::L;
using test::M;

using Image = std::array<std::uint8_t, 0x10000>;

// The room for the program image: the program's memory, from 0x0100 up to
// the BDOS page at 0xFC00.
constexpr std::size_t image_room = 0xFC00 - 0x0100;

struct Range {
    std::uint16_t start;
    unsigned length;
};

// A program that prints the bytes of the ranges in hex, two digits and a
// space each, and ends with JMP 0.
Assembler dump_program(const std::vector<Range>& ranges) {
    Assembler program;
    for (const Range& range : ranges)
        for (unsigned done = 0; done < range.length; done += 256)
            program.dump(std::uint16_t(range.start + done), std::uint8_t(std::min(256u, range.length - done)));
    program.exit().hex_routine();
    return program;
}

std::vector<std::uint8_t> parse_hex(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::uint8_t> bytes;
    std::string token;
    while (stream >> token)
        bytes.push_back(std::uint8_t(std::stoul(token, nullptr, 16)));
    return bytes;
}

// Lines of 16 bytes with their addresses, so that a mismatch shows where.
std::string show(std::uint16_t start, const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char piece[16];
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (index % 16 == 0) {
            std::snprintf(piece, sizeof piece, "\n%04X:", unsigned(std::uint16_t(start + index)));
            text += piece;
        }
        std::snprintf(piece, sizeof piece, " %02X", bytes[index]);
        text += piece;
    }
    return text;
}

std::vector<std::uint8_t> slice(const Image& image, const std::vector<Range>& ranges) {
    std::vector<std::uint8_t> bytes;
    for (const Range& range : ranges)
        for (unsigned index = 0; index < range.length; ++index)
            bytes.push_back(image[std::uint16_t(range.start + index)]);
    return bytes;
}

// Compares the dump in output with the image over the ranges, range by range.
void expect_dump(const std::string& output, const Image& image, const std::vector<Range>& ranges) {
    const std::vector<std::uint8_t> got = parse_hex(output);
    std::size_t offset = 0;
    for (const Range& range : ranges) {
        ASSERT_GE(got.size(), offset + range.length) << "output: " << output;
        std::vector<std::uint8_t> part(got.begin() + long(offset), got.begin() + long(offset + range.length));
        EXPECT_EQ(show(range.start, part), show(range.start, slice(image, {range})));
        offset += range.length;
    }
    EXPECT_EQ(got.size(), offset) << "output: " << output;
}

void place(Image& image, std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t index = 0; index < bytes.size(); ++index)
        image[std::uint16_t(address + index)] = bytes[index];
}
void place_text(Image& image, std::uint16_t address, const std::string& text) {
    place(image, address, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// The memory image at the first instruction, before the program image and
// with the default FCBs and tail of a command line without arguments: page
// zero's jumps to WBOOT (0xFF03) and to the BDOS entry (0xFC06) with IOBYTE
// between them; the BDOS page with the entry's jump to the BDOS trap (0xFF40)
// and the disk tables (the parameter block at 0xFC10, the header at 0xFC20
// pointing at the directory buffer at 0xFC80, the block, the check vector at
// 0xFC30 and the allocation vector at 0xFD00, whose first byte marks the
// directory's eight blocks); and the BIOS jump vector from 0xFF00.
Image initial_image() {
    Image image{};
    place(image, 0x0000, {0xC3, 0x03, 0xFF, 0x95, 0x00, 0xC3, 0x06, 0xFC});
    place_text(image, 0x005D, std::string(11, ' '));
    place_text(image, 0x006D, std::string(11, ' '));
    place(image, 0xFC06, {0xC3, 0x40, 0xFF});
    place(image, 0xFC10, {0x80, 0x00, 0x05, 0x1F, 0x01, 0xFF, 0x07, 0xFF, 0x03, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00});
    place(image, 0xFC28, {0x80, 0xFC, 0x10, 0xFC, 0x30, 0xFC, 0x00, 0xFD});
    image[0xFD00] = 0xFF;
    for (unsigned entry = 0xFF00; entry <= 0xFF30; entry += 3)
        place(image, std::uint16_t(entry), {0xC3, std::uint8_t(entry), std::uint8_t(entry >> 8)});
    return image;
}

void write_program(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    test::write_file(path, std::string(bytes.begin(), bytes.end()));
}

// Writes the program as t.com into a fresh directory and runs "kavo t arguments...".
test::Result run_program(const Assembler& program, const std::vector<std::string>& arguments = {},
                         std::chrono::seconds timeout = std::chrono::seconds(30)) {
    test::TemporaryDirectory directory;
    program.write(directory / "t.com");
    std::vector<std::string> command = {"t"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return test::run_kavo(directory.path(), command, "", timeout);
}

// A program that prints text through BDOS function 2 and ends with JMP 0.
Assembler printing(const std::string& text) {
    Assembler program;
    for (char character : text)
        program.mvi(E, std::uint8_t(character)).bdos(2);
    return program.exit();
}

// ---------------------------------------------------------------------------
// Usage and load failures, program names. Each prints one line on standard
// error, nothing on standard output, and ends with status 2 (usage) or 1.

// The line a program that cannot be loaded gets.
std::string refusal(const std::string& name, const std::string& reason) {
    return "kavo: " + name + ": " + reason + "\n";
}

void expect_refused(const test::ResultWithErrors& result, const std::string& errors) {
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, errors);
    EXPECT_EQ(result.status, 1);
}

TEST(LoaderMessages, UsageWithoutArguments) {
    test::TemporaryDirectory directory;
    const test::ResultWithErrors result = test::run_kavo_keeping_errors(directory.path(), {});
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Usage: kavo [OPTION...] PROGRAM [ARGUMENT...]\n");
    EXPECT_EQ(result.status, 2);
}

TEST(LoaderMessages, MissingFileNamesTheFileAsTried) {
    test::TemporaryDirectory directory;
    expect_refused(test::run_kavo_keeping_errors(directory.path(), {"prog", "a.txt"}),
                   refusal("prog.com", "No such file or directory"));
}

TEST(LoaderMessages, DirectoryIsNotAProgram) {
    test::TemporaryDirectory directory;
    fs::create_directory(directory / "x.com");
    expect_refused(test::run_kavo_keeping_errors(directory.path(), {"x.com"}), refusal("x.com", "Is a directory"));
    expect_refused(test::run_kavo_keeping_errors(directory.path(), {"x"}), refusal("x.com", "Is a directory"));

    // A directory that matches only without regard to case is no program either.
    test::TemporaryDirectory other;
    fs::create_directory(other / "Y.COM");
    expect_refused(test::run_kavo_keeping_errors(other.path(), {"y"}), refusal("y.com", "Is a directory"));
}

TEST(LoaderMessages, OnlyRegularFilesAreLoaded) {
    // A FIFO (which must not block the loader), a device, a dangling link
    // and a link to a directory are no programs; a link to a program runs.
    test::TemporaryDirectory directory;
    ASSERT_EQ(mkfifo((directory / "fifo.com").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", directory / "zero.com");
    fs::create_symlink("nowhere.com", directory / "dangling.com");
    fs::create_directory(directory / "folder");
    fs::create_symlink("folder", directory / "folder.com");
    const std::pair<const char*, const char*> cases[] = {{"fifo", "not a regular file"},
                                                         {"zero", "not a regular file"},
                                                         {"dangling", "No such file or directory"},
                                                         {"folder", "Is a directory"}};
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        expect_refused(test::run_kavo_keeping_errors(directory.path(), {name}),
                       refusal(name + std::string(".com"), reason));
    }
    printing("linked").write(directory / "real.com");
    fs::create_symlink("real.com", directory / "link.com");
    const test::Result result = test::run_kavo(directory.path(), {"link"});
    EXPECT_EQ(result.output, "linked");
}

TEST(LoaderMessages, UnreadableFileIsNoProgram) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    test::TemporaryDirectory directory;
    printing("X").write(directory / "p.com");
    fs::permissions(directory / "p.com", fs::perms::none);
    expect_refused(test::run_kavo_keeping_errors(directory.path(), {"p"}), refusal("p.com", "Permission denied"));
}

TEST(LoaderMessages, ProgramNamesTooLongForTheirRoom) {
    // The name with ".com" and its zero byte has room for 0xFB00 bytes from
    // 0x0100; at the limit and beyond it there is no such file either way.
    for (std::size_t length : {std::size_t(0xFAFB), std::size_t(0xFAFC), std::size_t(70000)}) {
        SCOPED_TRACE("argument of " + std::to_string(length) + " characters");
        test::TemporaryDirectory directory;
        const std::string name(length, 'n');
        expect_refused(test::run_kavo_keeping_errors(directory.path(), {name}),
                       refusal(name + ".com", "No such file or directory"));
    }
}

struct NameCase {
    const char* argument;
    const char* opened;
};
constexpr NameCase name_cases[] = {
    {"prog", "prog.com"},         {"PROG.COM", "PROG.COM"}, {"prog.Com", "prog.Com"}, {"abc", "abc.com"},
    {".com", ".com"},             {"com", "com.com"},       {"prog.txt", "prog.txt.com"}, {"a", "a.com"},
    {"prog.co", "prog.co.com"},   {"x.cOm", "x.cOm"},       {"abccom", "abccom.com"}, {"xCOM", "xCOM.com"},
};

TEST(LoaderNames, ComIsAppendedUnlessTheNameEndsInIt) {
    for (const NameCase& c : name_cases) {
        SCOPED_TRACE(std::string("argument ") + c.argument);
        test::TemporaryDirectory empty;
        expect_refused(test::run_kavo_keeping_errors(empty.path(), {c.argument}),
                       refusal(c.opened, "No such file or directory"));

        test::TemporaryDirectory directory;
        printing("ran").write(directory / c.opened);
        const test::Result result = test::run_kavo(directory.path(), {c.argument});
        EXPECT_EQ(result.output, "ran");
        EXPECT_EQ(result.status, 0);
    }
}

TEST(LoaderNames, ProgramIsFoundWithoutRegardToCase) {
    test::TemporaryDirectory directory;
    printing("hello").write(directory / "HELLO.COM");
    for (const char* argument : {"hello", "HELLO", "Hello.Com", "hello.com", "HELLO.COM"}) {
        SCOPED_TRACE(argument);
        const test::Result result = test::run_kavo(directory.path(), {argument});
        EXPECT_EQ(result.output, "hello");
        EXPECT_EQ(result.status, 0);
    }
    // In a directory named on the command line too; the directory part is
    // taken as written.
    fs::create_directory(directory / "sub");
    printing("sub").write(directory / "sub" / "Tool.Com");
    test::Result result = test::run_kavo(directory.path(), {"sub/tool"});
    EXPECT_EQ(result.output, "sub");
    expect_refused(test::run_kavo_keeping_errors(directory.path(), {"sub/nothing"}),
                   refusal("sub/nothing.com", "No such file or directory"));
    // Among case variants the upper-case name is the program, whatever the
    // spelling asked for.
    printing("lower").write(directory / "hello.com");
    result = test::run_kavo(directory.path(), {"hello"});
    EXPECT_EQ(result.output, "hello");
}

TEST(LoaderNames, ProgramByPath) {
    test::TemporaryDirectory directory;
    test::TemporaryDirectory elsewhere;
    printing("far").write(elsewhere / "far.com");
    test::Result result = test::run_kavo(directory.path(), {(elsewhere / "far").string()});
    EXPECT_EQ(result.output, "far");
    EXPECT_EQ(result.status, 0);

    // A relative path far longer than a file name is still a name that fits.
    fs::path deep;
    for (char level : {'a', 'b', 'c', 'd', 'e'})
        deep /= std::string(100, level);
    fs::create_directories(directory / deep);
    printing("deep").write(directory / deep / "deep.com");
    result = test::run_kavo(directory.path(), {(deep / "DEEP").string()});
    EXPECT_EQ(result.output, "deep");
    EXPECT_EQ(result.status, 0);
}

// ---------------------------------------------------------------------------
// The memory image.

TEST(LoaderImage, PageZeroTablesAndJumpVector) {
    const std::vector<Range> ranges = {{0x0000, 0x100}, {0x8000, 0x100}, {0xFC00, 0x400}};
    const test::Result result = run_program(dump_program(ranges));
    EXPECT_EQ(result.status, 0);
    expect_dump(result.output, initial_image(), ranges);
}

TEST(LoaderImage, ProgramReachesBiosThroughTheTargetsInTheJumpVector) {
    // As Microsoft BASIC-80 does: take WBOOT's address from 0x0001, step to
    // CONOUT (WBOOT + 9), read the address inside that JMP and call it.
    Assembler program;
    program.lhld(0x0001).lxi(DE, 9).op(0x19 /* DAD D */).inx(HL).mov(E, M).inx(HL).mov(D, M).xchg();
    program.lxi(DE, "back").push(DE).mvi(C, 'Q').op(0xE9 /* PCHL */);
    program.label("back").mvi(C, 'R').call(0xFF0C);  // and CONOUT called directly
    program.lhld(0x0006).lxi(DE, "back2").push(DE).mvi(C, 2).mvi(E, 'S').op(0xE9);  // BDOS through 0x0006
    program.label("back2").exit();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "QRS");
    EXPECT_EQ(result.status, 0);
}

struct ArgumentCase {
    std::vector<std::string> arguments;
    std::uint8_t fcb1_drive;
    std::string fcb1_name;
    std::uint8_t fcb2_drive;
    std::string fcb2_name;
    std::string tail;
};

const std::string spaces(11, ' ');

const ArgumentCase argument_cases[] = {
    {{}, 0, spaces, 0, spaces, ""},
    {{"a.txt", "b.dat", "c"}, 0, "A       TXT", 0, "B       DAT", " A.TXT B.DAT C"},
    {{"x-1_y"}, 0, "X-1_Y      ", 0, spaces, " X-1_Y"},
    {{"x:foo.bar"}, 0x18, "FOO     BAR", 0, spaces, " X:FOO.BAR"},
    {{"*.asm"}, 0, "*       ASM", 0, spaces, " *.ASM"},
    {{"?"}, 0, "?          ", 0, spaces, " ?"},
    {{"a"}, 0, "A          ", 0, spaces, " A"},
    // A lower-case drive letter names the drive as the command tail does; it
    // used to give drive byte 0x22, which programs took for A:.
    {{"B:prog.com", "b:x"}, 2, "PROG    COM", 2, "X          ", " B:PROG.COM B:X"},
    {{"one", "two", "three", "four"}, 0, "ONE        ", 0, "TWO        ", " ONE TWO THREE FOUR"},
    {{"\x80\xE9z\xFF", "\xC3.\xE4q"}, 0, "\x80\xE9Z\xFF       ", 0, "\xC3       \xE4Q ", " \x80\xE9Z\xFF \xC3.\xE4Q"},
    {{"LONGFILENAME.TXT", "A.B.C"}, 0, "LONGFILENAM", 0, "A       B  ", " LONGFILENAME.TXT A.B.C"},
    {{""}, 0, spaces, 0, spaces, " "},
    {{std::string(125, 'a')}, 0, "AAAAAAAAAAA", 0, spaces, " " + std::string(125, 'A')},
    {{"x", std::string(123, 'd')}, 0, "X          ", 0, "DDDDDDDDDDD", " X " + std::string(123, 'D')},
};

TEST(LoaderImage, DefaultFcbsAndCommandTail) {
    const std::vector<Range> ranges = {{0x005C, 0xA4}};
    for (const ArgumentCase& c : argument_cases) {
        std::string trace = "arguments:";
        for (const std::string& argument : c.arguments)
            trace += " [" + argument.substr(0, 20) + (argument.size() > 20 ? "..." : "") + "]";
        SCOPED_TRACE(trace);
        Image image = initial_image();
        image[0x005C] = c.fcb1_drive;
        place_text(image, 0x005D, c.fcb1_name);
        image[0x006C] = c.fcb2_drive;
        place_text(image, 0x006D, c.fcb2_name);
        ASSERT_LE(c.tail.size(), 126u);
        image[0x0080] = std::uint8_t(c.tail.size());
        place_text(image, 0x0081, c.tail);
        const test::Result result = run_program(dump_program(ranges), c.arguments);
        EXPECT_EQ(result.status, 0);
        expect_dump(result.output, image, ranges);
    }
}

// A command tail longer than the 126 characters a program receives used to
// be cut short, so the program ran on arguments it was never given; it is
// refused before anything is loaded.
TEST(LoaderImage, CommandTailLongerThanItsRoomIsRefused) {
    std::vector<std::string> many(200, "ab");
    many.push_back(std::string(10000, 'z'));
    const std::pair<std::vector<std::string>, std::size_t> cases[] = {
        {{std::string(126, 'b')}, 127},
        {{"x", std::string(124, 'd')}, 127},
        {{std::string(10000, 'c')}, 10001},
        {many, 200 * 3 + 10001},
    };
    for (const auto& [arguments, length] : cases) {
        SCOPED_TRACE("a tail of " + std::to_string(length) + " characters");
        test::TemporaryDirectory directory;
        printing("ran").write(directory / "t.com");
        std::vector<std::string> command = {"t"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        const test::ResultWithErrors result = test::run_kavo_keeping_errors(directory.path(), command);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors, "kavo: the arguments make a command tail of " + std::to_string(length) +
                                     " characters; a program receives at most 126\n");
        EXPECT_EQ(result.status, 2);
    }
}

TEST(LoaderImage, NameStaysWhereTheImageDoesNotCoverIt) {
    // The name is assembled at 0x0100; a program shorter than the name
    // leaves the rest of it, and its zero byte, in memory.
    const std::string stem = "n" + std::string(239, 'x') + "0123456789";
    const std::string name = stem + ".com";
    const std::vector<Range> ranges = {{std::uint16_t(0x0100 + 200), unsigned(name.size() + 1 - 200)}};
    ASSERT_LT(dump_program(ranges).bytes().size(), 200u);
    test::TemporaryDirectory directory;
    write_program(directory / name, dump_program(ranges).bytes());
    const test::Result result = test::run_kavo(directory.path(), {stem});
    Image image{};
    place_text(image, 0x0100, name);
    expect_dump(result.output, image, ranges);
}

// Program bytes: code, then a pattern up to size bytes.
std::vector<std::uint8_t> padded(const Assembler& program, std::size_t size, std::uint8_t salt) {
    std::vector<std::uint8_t> bytes = program.bytes();
    EXPECT_LT(bytes.size(), size);
    for (std::size_t index = bytes.size(); index < size; ++index)
        bytes.push_back(std::uint8_t(index * 7 + salt + (index >> 8)));
    return bytes;
}

TEST(LoaderSizes, FileThatFillsTheProgramsMemoryLoadsUpTo0xFBFF) {
    // The program's stack is its own, away from the top of its image.
    const std::vector<Range> ranges = {{0x0000, 0x08}, {0xFBF0, 0x20}};
    Assembler program;
    program.lxi(test::SP, 0x8000);
    for (const Range& range : ranges)
        program.dump(range.start, std::uint8_t(range.length));
    program.exit().hex_routine();
    const std::vector<std::uint8_t> bytes = padded(program, image_room, 1);
    test::TemporaryDirectory directory;
    write_program(directory / "big.com", bytes);
    const test::Result result = test::run_kavo(directory.path(), {"big"});
    EXPECT_EQ(result.status, 0);
    Image image = initial_image();
    place(image, 0x0100, bytes);
    expect_dump(result.output, image, ranges);
}

// A file larger than the room used to be loaded over the system's tables and
// the jump vector, and cut at 0xFFFF; it is refused with its size instead.
TEST(LoaderSizes, LargerFileIsRefusedWithItsSize) {
    for (std::size_t size : {image_room + 1, std::size_t(0xFF80), std::size_t(0x11000)}) {
        SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
        test::TemporaryDirectory directory;
        write_program(directory / "big.com", padded(printing("ran"), size, 2));
        expect_refused(
            test::run_kavo_keeping_errors(directory.path(), {"big"}),
            refusal("big.com", std::to_string(size) + " bytes, more than the 64256 that fit from 0100 to FBFF"));
    }
}

TEST(LoaderSizes, EmptyFileEndsCleanly) {
    // Nothing is loaded; the name "e.com" stays at 0x0100 and runs as code
    // (MOV H,L; MVI L,'c'; MOV L,A; MOV L,L), then NOPs up to the BDOS entry,
    // whose jump reaches the BDOS with C = 0: a warm boot.
    test::TemporaryDirectory directory;
    test::write_file(directory / "e.com", "");
    const test::Result result = test::run_kavo(directory.path(), {"e"}, "", std::chrono::seconds(20));
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.status, 0);
}

// ---------------------------------------------------------------------------
// host_name_to_fcb.

struct FcbCase {
    std::string name;
    std::uint8_t drive;
    std::string bytes;  // the 11 name and type bytes
};

const FcbCase fcb_cases[] = {
    {"hello.txt", 0, "HELLO   TXT"},
    {"B:prog.com", 2, "PROG    COM"},
    {"b:x", 2, "X          "},  // a lower-case drive letter used to give drive byte 0x22
    {"README", 0, "README     "},
    {"ABCDEFGH.COM", 0, "ABCDEFGHCOM"},
    {"ABCDEFGHI.COM", 0, "ABCDEFGHI  "},
    {"LONGFILENAME.TXT", 0, "LONGFILENAM"},
    {"FOO.TEXT", 0, "FOO     TEX"},
    {"A.B.C", 0, "A       B  "},
    {".profile", 0, "        PRO"},
    {"LONGFI~1.TXT", 0, "LONGFI~1TXT"},
    {"", 0, "           "},
    {"x:foo.bar", 0x18, "FOO     BAR"},
    {"a", 0, "A          "},
    {"a:", 1, "           "},
    {":", 0, ":          "},
    {"*.asm", 0, "*       ASM"},
    {"?:*.*", 0xFF, "*       *  "},
    {"\x80z\xE9.\xFFq", 0, "\x80Z\xE9     \xFFQ "},
    {"abcdefgh..x", 0, "ABCDEFGH   "},
    {"abcdefgh.", 0, "ABCDEFGH   "},
    {"ab..cd", 0, "AB         "},
};

TEST(HostNameToFcb, NameTable) {
    for (const FcbCase& c : fcb_cases) {
        SCOPED_TRACE("name [" + c.name + "]");
        auto machine = std::make_unique<kavo::Machine>();
        machine->processor.memory.fill(0xEE);
        machine->bdos.host_name_to_fcb(c.name.c_str(), 0x005C);
        EXPECT_EQ(machine->processor.memory[0x005C], c.drive);
        EXPECT_EQ(std::string(machine->processor.memory.begin() + 0x5D, machine->processor.memory.begin() + 0x68), c.bytes);
        EXPECT_EQ(machine->processor.memory[0x005B], 0xEE) << "written before the FCB";
        EXPECT_EQ(machine->processor.memory[0x0068], 0xEE) << "written past the 12 bytes";
    }
}

TEST(HostNameToFcb, AddressesWrap) {
    auto machine = std::make_unique<kavo::Machine>();
    machine->processor.memory.fill(0xEE);
    machine->bdos.host_name_to_fcb("B:hello.txt", 0xFFF8);
    const std::string expected = "\x02HELLO   TXT";
    for (std::size_t index = 0; index < expected.size(); ++index)
        EXPECT_EQ(machine->processor.memory[std::uint16_t(0xFFF8 + index)], std::uint8_t(expected[index])) << index;
    EXPECT_EQ(machine->processor.memory[0xFFF7], 0xEE);
    EXPECT_EQ(machine->processor.memory[0x0004], 0xEE);
}

// ---------------------------------------------------------------------------
// The ends of a run, and traps without service.

TEST(SupervisorEnd, JumpToZero) {
    Assembler program = printing("A");
    program.mvi(E, 'B').bdos(2).exit();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "A");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorEnd, ReturnOnTheEmptyStack) {
    Assembler program;
    program.mvi(E, 'A').bdos(2).ret().mvi(E, 'B').bdos(2).exit();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "A");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorEnd, CallZeroAndJumpToWarmBoot) {
    Assembler program;
    program.mvi(E, 'A').bdos(2).call(std::uint16_t(0x0000)).mvi(E, 'B').bdos(2).exit();
    test::Result result = run_program(program);
    EXPECT_EQ(result.output, "A");
    Assembler direct;
    direct.mvi(E, 'A').bdos(2).jmp(0xFF03).mvi(E, 'B').bdos(2).exit();
    result = run_program(direct);
    EXPECT_EQ(result.output, "A");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorEnd, BdosFunctionZero) {
    Assembler program;
    program.mvi(E, 'A').bdos(2).bdos(0).mvi(E, 'B').bdos(2).exit();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "A");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorEnd, HaltWithItsMessageAndNothingAfter) {
    Assembler program;
    program.mvi(E, 'A').bdos(2).jmp(0x0200);
    program.ds(0x0200 - program.here());
    program.hlt().mvi(E, 'B').bdos(2).exit();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "A\nHALT instruction\n");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorEnd, Byte76BelowTheTrapAreaIsNoHalt) {
    // A data byte 0x76 at 0xFEFF, just below the trap area, before a BDOS
    // call and a call to an address without service: both are served and the
    // run goes on.
    Assembler program;
    program.mvi(A, 0x76).sta(0xFEFF).mvi(E, 'X').bdos(2).mvi(E, 'Y').bdos(2);
    program.mvi(A, 0x76).sta(0xFEFF).call(0xFFF6).mvi(E, 'Z').bdos(2).exit();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "XYPC=FFF6 trap=F3\nZ");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorEnd, HltExecutedJustBelowTheTrapAreaHalts) {
    // After the HLT, PC is 0xFF00, the BOOT entry: were it served, its
    // message would follow.
    Assembler program;
    program.mvi(A, 0x76).sta(0xFEFF).mvi(C, 2).mvi(E, 'X').jmp(0xFEFF);
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "\nHALT instruction\n");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorTraps, AddressesWithoutServiceAreReportedAndTheRunGoesOn) {
    struct Case { std::uint16_t address; const char* line; };
    const Case cases[] = {
        {0xFF00, "PC=FF00 trap=FFFFFFFD\n"},  // BOOT
        {0xFF01, "PC=FF01 trap=FFFFFFFE\n"}, {0xFF05, "PC=FF05 trap=02\n"}, {0xFF07, "PC=FF07 trap=04\n"},
        {0xFF31, "PC=FF31 trap=2E\n"},       {0xFF33, "PC=FF33 trap=30\n"},  // inside SECTRAN's jump, past it
        {0xFF3F, "PC=FF3F trap=3C\n"},       {0xFF41, "PC=FF41 trap=3E\n"},  // around the BDOS trap
        {0xFFFF, "PC=FFFF trap=FC\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Assembler program;
        program.mvi(E, 'A').bdos(2).call(c.address).mvi(E, 'Z').bdos(2).exit();
        const test::Result result = run_program(program);
        EXPECT_EQ(result.output, std::string("A") + c.line + "Z");
        EXPECT_EQ(result.status, 0);
    }
}

TEST(SupervisorTraps, JumpToATrapReturnsToTheSubroutinesCaller) {
    Assembler program;
    program.call("sub").mvi(E, 'Z').bdos(2).exit();
    program.label("sub").mvi(E, 'S').bdos(2).jmp(0xFF00).mvi(E, 'N').bdos(2).ret();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "SPC=FF00 trap=FFFFFFFD\nZ");
    EXPECT_EQ(result.status, 0);
}

TEST(SupervisorTraps, RegistersSurviveAReportedTrap) {
    // "No register changes" for an address without service: A, BC, DE, HL
    // and the flags come back as they went.
    Assembler program;
    program.lxi(BC, 0x1234).lxi(DE, 0x5678).lxi(HL, 0x9ABC).mvi(A, 0xDE).op(0x37 /* STC */);
    program.call(0xFFF6);
    program.push(test::PSW).push(HL).push(DE).push(BC);
    program.lxi(HL, 0xFBF8).mvi(B, 8).label("loop").mov(A, M).call("hex").inx(HL).dcr(B).jnz("loop").exit();
    program.hex_routine();
    const test::Result result = run_program(program);
    EXPECT_EQ(result.output, "PC=FFF6 trap=F3\n34 12 78 56 BC 9A 03 DE ");
}

}  // namespace
