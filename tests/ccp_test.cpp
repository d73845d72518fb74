// The command processor through the real executable: built-in commands, programs, batches from arguments, standard input and SUBMIT, user areas, a session on a terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tests/assembler.h"
#include "tests/pty.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using test::A;
using test::Assembler;
using test::B;
using test::C;
using test::D;
using test::DE;
using test::E;
using test::HL;
using test::M;

// Prints its command tail between angle brackets.
Assembler tail_program() {
    Assembler program;
    program.lxi(HL, 0x0080).mov(E, M).mvi(D, 0).dad(DE).inx(HL).mvi(M, '$');
    program.mvi(E, '<').bdos(2).lxi(DE, 0x0081).bdos(9).mvi(E, '>').bdos(2).exit();
    return program;
}

// Prints in hex the drive and user byte at 0x0004 and the drive and name
// bytes of both default FCBs, then the tail as tail_program does.
Assembler page_zero_program() {
    Assembler program;
    program.dump(0x0004, 1).dump(0x005C, 12).dump(0x006C, 12);
    program.lxi(HL, 0x0080).mov(E, M).mvi(D, 0).dad(DE).inx(HL).mvi(M, '$');
    program.mvi(E, '<').bdos(2).lxi(DE, 0x0081).bdos(9).mvi(E, '>').bdos(2).exit();
    return program.hex_routine();
}

// How page_zero_program prints bytes: two hex digits and a space each.
std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes)
        text += {digits[byte >> 4], digits[byte & 15], ' '};
    return text;
}

// What a session without a terminal prints for commands given on kavo's
// command line: each after its prompt, then what it answers.
std::string echoed(std::string_view command, std::string_view answer = "") {
    return "\r\nA>" + std::string(command) + std::string(answer);
}

// A directory with the files the built-in commands are shown on.
void write_fixture(const test::TemporaryDirectory& directory) {
    test::write_file(directory / "ALPHA.TXT", "alpha\r\n\x1A" "after the end");
    test::write_file(directory / "BETA.TXT", "beta");
    test::write_file(directory / "CHI.DAT", "");
    test::write_file(directory / "DELTA", "");
    test::write_file(directory / "EPSILON.TXT", "");
    tail_program().write(directory / "TAIL.COM");
}

test::Result session(const test::TemporaryDirectory& directory, std::vector<std::string> arguments,
                     std::string_view input = "") {
    arguments.insert(arguments.begin(), "--ccp");
    return test::run_kavo(directory.path(), arguments, input, 30s);
}

// The answers of CP/M 2.2's command processor, and the exit status of the
// session: 1 after the first command that failed.
TEST(CommandProcessor, BuiltInCommandsAnswerAsCpmDoes) {
    const std::string all = "\r\nA: ALPHA    TXT : BETA     TXT : CHI      DAT : DELTA\r\nA: EPSILON  TXT : TAIL     COM";
    const struct {
        std::vector<std::string> commands;
        std::string output;
        int status;
    } cases[] = {
        {{"DIR"}, echoed("DIR", all), 0},
        {{"dir *.txt"}, echoed("dir *.txt", "\r\nA: ALPHA    TXT : BETA     TXT : EPSILON  TXT"), 0},
        {{"DIR *"}, echoed("DIR *", "\r\nA: DELTA       "), 0},
        {{"DIR *.XYZ"}, echoed("DIR *.XYZ", "\r\nNO FILE"), 0},
        {{"DIR ALPHA.TXT MORE"}, echoed("DIR ALPHA.TXT MORE", "\r\nA: ALPHA    TXT\r\nMORE?\r\n"), 1},
        {{"TYPE ALPHA.TXT"}, echoed("TYPE ALPHA.TXT", "\r\nalpha\r\n"), 0},
        {{"TYPE NONE.TXT"}, echoed("TYPE NONE.TXT", "\r\nNONE.TXT?\r\n"), 1},
        {{"TYPE *.TXT"}, echoed("TYPE *.TXT", "\r\n*.TXT?\r\n"), 1},
        {{"FOO BAR"}, echoed("FOO BAR", "\r\nFOO?\r\n"), 1},
        {{"TAIL.COM"}, echoed("TAIL.COM", "\r\nTAIL.COM?\r\n"), 1},
        {{"T*"}, echoed("T*", "\r\nT*?\r\n"), 1},
        {{"Q:"}, echoed("Q:", "\r\nQ:?\r\n"), 1},
        {{"DIR \x01"}, echoed("DIR \x01", "\r\n\x01?\r\n"), 1},
        {{"USER 99"}, echoed("USER 99", "\r\n99?\r\n"), 1},
        {{"USER 15", "USER"}, echoed("USER 15") + "\r\nA15>USER", 0},
        {{"SAVE X S.COM"}, echoed("SAVE X S.COM", "\r\nX?\r\n"), 1},
        {{"SAVE 256 S.COM"}, echoed("SAVE 256 S.COM", "\r\n256?\r\n"), 1},
        {{"SAVE 1.5 S.COM"}, echoed("SAVE 1.5 S.COM", "\r\n1.5?\r\n"), 1},
        {{"SAVE 2 S*.COM"}, echoed("SAVE 2 S*.COM", "\r\nS*.COM?\r\n"), 1},
        {{"REN ALPHA.TXT=BETA.TXT"}, echoed("REN ALPHA.TXT=BETA.TXT", "\r\nFILE EXISTS"), 1},
        {{"REN NEW.TXT=NONE.TXT"}, echoed("REN NEW.TXT=NONE.TXT", "\r\nNO FILE"), 1},
        {{"REN NEW.TXT BETA.TXT"}, echoed("REN NEW.TXT BETA.TXT", "\r\nNEW.TXT?\r\n"), 1},
        {{"REN NEW.TXT=B:BETA.TXT"}, echoed("REN NEW.TXT=B:BETA.TXT", "\r\nB:BETA.TXT?\r\n"), 1},
        {{"REN NEW.TXT=*.TXT"}, echoed("REN NEW.TXT=*.TXT", "\r\n*.TXT?\r\n"), 1},
        {{"ren new.txt_beta.txt", "DIR N*.*"}, echoed("ren new.txt_beta.txt") + echoed("DIR N*.*", "\r\nA: NEW      TXT"), 0},
        {{"ERA CHI.DAT", "ERA CHI.DAT", "DIR C*.*"},
         echoed("ERA CHI.DAT") + echoed("ERA CHI.DAT", "\r\nNO FILE") + echoed("DIR C*.*", "\r\nNO FILE"), 1},
        {{"ERA"}, echoed("ERA", "\r\nNO FILE"), 1},
        {{"", "   ", "=X"}, echoed("") + echoed("   ") + echoed("=X"), 0},
        {{std::string(127, 'X')}, echoed(std::string(127, 'X'), "\r\n" + std::string(127, 'X') + "?\r\n"), 1},
        {{std::string(128, 'X')}, echoed(std::string(128, 'X'), "\r\nLINE TOO LONG (MORE THAN 127 CHARACTERS)\r\n"), 1},
        {{"FOO", "DIR BETA.TXT"}, echoed("FOO", "\r\nFOO?\r\n") + echoed("DIR BETA.TXT", "\r\nA: BETA     TXT"), 1},
        {{"EXIT", "FOO"}, echoed("EXIT", "\r\n"), 0},
        {{"EXIT NOW", "EXIT"}, echoed("EXIT NOW", "\r\nNOW?\r\n") + echoed("EXIT", "\r\n"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commands.front());
        test::TemporaryDirectory directory;
        write_fixture(directory);
        const test::Result result = session(directory, c.commands);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.status, c.status);
    }
}

// SAVE writes the pages from 0x0100 as the last program left them; the next
// program starts on a fresh image all the same.
TEST(CommandProcessor, SaveWritesWhatTheLastProgramLeftAndProgramsStartAfresh) {
    test::TemporaryDirectory directory;
    Assembler poke;
    poke.mvi(A, 0x55).sta(0x8000).sta(0x0180).exit();
    poke.write(directory / "POKE.COM");
    Assembler peek;
    peek.dump(0x8000, 1).exit().hex_routine();
    peek.write(directory / "PEEK.COM");
    const test::Result result = session(directory, {"POKE", "SAVE 1 COPY.COM", "PEEK", "COPY", "DIR C*.*"});
    EXPECT_EQ(result.output, echoed("POKE", "\r\n") + echoed("SAVE 1 COPY.COM") + echoed("PEEK", "\r\n00 ") +
                                 echoed("COPY", "\r\n") + echoed("DIR C*.*", "\r\nA: COPY     COM"));
    EXPECT_EQ(result.status, 0);
    std::vector<std::uint8_t> saved = poke.bytes();
    saved.resize(256);
    saved[0x80] = 0x55;
    EXPECT_EQ(test::read_file(directory / "COPY.COM"), std::string(saved.begin(), saved.end()));
}

// A program's FCBs and tail as CP/M's command processor makes them from the
// line: '*' filled out with '?', eight name and three type characters, a
// drive before a colon; the tail from the first blank on.
TEST(CommandProcessor, ProgramsGetTheFcbsAndTailCpmMakes) {
    const std::string blank = "\0           "s;
    const struct {
        std::string command;
        std::string fcb1, fcb2, tail;
    } cases[] = {
        {"show a.txt b:b.dat c", "\0A       TXT"s, "\x02" "B       DAT", " A.TXT B:B.DAT C"},
        {"SHOW x*.c? longfilename.text", "\0X???????C? "s, "\0LONGFILETEX"s, " X*.C? LONGFILENAME.TEXT"},
        {"SHOW *.* =x", "\0???????????"s, blank, " *.* =X"},
        {"SHOW", blank, blank, ""},
        {"SHOW  pip b:=a:*.asm[v]", "\0PIP        "s, "\x02           ", "  PIP B:=A:*.ASM[V]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        test::TemporaryDirectory directory;
        page_zero_program().write(directory / "SHOW.COM");
        const test::Result result = session(directory, {c.command});
        EXPECT_EQ(result.output, echoed(c.command, "\r\n" + hex("\0"s) + hex(c.fcb1) + hex(c.fcb2) + "<" + c.tail + ">"));
        EXPECT_EQ(result.status, 0);
    }
}

// The current drive and user reach a program at address 4, and what the
// program leaves there is the prompt's after it, as after CP/M's warm boot.
// A program ends on HLT too, and the session goes on.
TEST(CommandProcessor, DriveAndUserAtAddressFourAndTheEndsOfAProgram) {
    test::TemporaryDirectory directory, drive_b;
    page_zero_program().write(directory / "SHOW.COM");
    Assembler leave;
    leave.mvi(A, 0x21).sta(0x0004).hlt();
    leave.write(directory / "LEAVE.COM");
    Assembler stop;
    stop.mvi(E, 3).bdos(32).mvi(C, 0).call(0x0005);
    fs::create_directory(drive_b / "2");
    stop.write(drive_b / "2" / "STOP.COM");
    const test::Result result =
        test::run_kavo(directory.path(), {"--drive", "B=" + drive_b.path().string(), "--ccp", "B:", "A:SHOW", "A:LEAVE",
                                          "STOP", "A:", "DIR"},
                       "", 30s);
    EXPECT_EQ(result.output, echoed("B:") + "\r\nB>A:SHOW\r\n01 " + hex("\0           \0           "s) + "<>" +
                                 "\r\nB>A:LEAVE\r\n\nHALT instruction\n" + "\r\nB2>STOP\r\n" + "\r\nB2>A:" +
                                 "\r\nA2>DIR\r\nNO FILE");
    EXPECT_EQ(result.status, 0);
}

// User areas: a program that switches to user 7 and makes a file makes the
// subdirectory 7 for it; the prompt's user is back to 0 after it, and USER 7
// shows the file there alone. Users without a subdirectory have no files.
TEST(CommandProcessor, UserAreasAreSubdirectoriesMadeWhenFirstWritten) {
    test::TemporaryDirectory directory;
    Assembler writer;
    writer.mvi(E, 7).bdos(32).lxi(DE, 0x005C).bdos(test::make_file).lxi(DE, 0x005C).bdos(test::write_sequential);
    writer.lxi(DE, 0x005C).bdos(test::close_file).exit();
    writer.write(directory / "WRITER.COM");
    EXPECT_FALSE(fs::exists(directory / "7"));
    const test::Result result =
        session(directory, {"WRITER SEVEN.TXT", "DIR S*.*", "USER 7", "DIR", "WRITER", "USER 8", "DIR", "ERA *.TXT"});
    EXPECT_EQ(result.output, echoed("WRITER SEVEN.TXT", "\r\n") + echoed("DIR S*.*", "\r\nNO FILE") + echoed("USER 7") +
                                 "\r\nA7>DIR\r\nA: SEVEN    TXT" + "\r\nA7>WRITER\r\nWRITER?\r\n" + "\r\nA7>USER 8" +
                                 "\r\nA8>DIR\r\nNO FILE" + "\r\nA8>ERA *.TXT\r\nNO FILE");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(test::read_file(directory / "7" / "SEVEN.TXT").size(), 128u);
    EXPECT_FALSE(fs::exists(directory / "SEVEN.TXT"));
    EXPECT_FALSE(fs::exists(directory / "8"));
}

// PIP's [G3] reads the file from user 3, its subdirectory, through function 32.
TEST(CommandProcessor, PipGetsAFileFromAnotherUserArea) {
    KAVO_REQUIRE_SHARED("cpm/programs/PIP.COM", pip);
    test::TemporaryDirectory directory;
    fs::copy_file(pip, directory / "PIP.COM");
    fs::create_directory(directory / "3");
    test::write_file(directory / "3" / "NOTE.TXT", "in user three\r\n\x1A");
    const test::Result result = session(directory, {"PIP A:=NOTE.TXT[G3]", "TYPE NOTE.TXT"});
    EXPECT_EQ(result.output, echoed("PIP A:=NOTE.TXT[G3]", "\r\n") + echoed("TYPE NOTE.TXT", "\r\nin user three\r\n"));
    EXPECT_EQ(result.status, 0);
}

// A file that nobody may write stays, whatever ERA answers, and the session
// goes on with status 1.
TEST(CommandProcessor, EraseLeavesAReadOnlyFile) {
    test::TemporaryDirectory directory;
    write_fixture(directory);
    fs::permissions(directory / "BETA.TXT", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const test::Result result = session(directory, {"ERA BETA.TXT", "DIR B*.*"});
    EXPECT_TRUE(fs::exists(directory / "BETA.TXT"));
    EXPECT_TRUE(result.output.ends_with(echoed("DIR B*.*", "\r\nA: BETA     TXT"))) << result.output;
    EXPECT_EQ(result.status, 1);
}

TEST(CommandProcessor, AssemblerLoaderAndProgramInOneSession) {
    KAVO_REQUIRE_SHARED("cpm/programs/ASM.COM", assembler);
    KAVO_REQUIRE_SHARED("cpm/programs/LOAD.COM", loader);
    KAVO_REQUIRE_SHARED("cpm/programs/HELLO.ASM", source);
    test::TemporaryDirectory directory;
    for (const fs::path& file : {assembler, loader, source})
        fs::copy_file(file, directory / file.filename());
    const test::Result result = session(directory, {"ASM HELLO", "LOAD HELLO", "HELLO world"});
    EXPECT_NE(result.output.find("END OF ASSEMBLY"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("RECORDS WRITTEN 01"), std::string::npos) << result.output;
    EXPECT_TRUE(result.output.ends_with(echoed("HELLO world", "\r\nHELLO FROM ASM: WORLD\r\n"))) << result.output;
    EXPECT_EQ(result.status, 0);
}

// Commands from standard input: each line after a prompt, echoed as typed;
// ^C on an empty line is a warm boot; ERA *.* takes its answer from the next
// line; the end of the input ends the session, and EXIT before it leaves the
// rest unread.
TEST(CommandProcessor, CommandsFromStandardInput) {
    test::TemporaryDirectory directory;
    write_fixture(directory);
    const test::Result result = session(directory, {}, "tail one\nfoo\n\x03" "era *.*\nn\ndir t*.*\nera *.*\ny\ndir\n");
    EXPECT_EQ(result.output, echoed("tail one\r", "\r\n< ONE>") + echoed("foo\r", "\r\nFOO?\r\n") + echoed("^C") +
                                 echoed("era *.*\r", "\r\nALL (Y/N)?n\r") + echoed("dir t*.*\r", "\r\nA: TAIL     COM") +
                                 echoed("era *.*\r", "\r\nALL (Y/N)?y\r") + echoed("dir\r", "\r\nNO FILE") + "\r\nA>");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(fs::is_empty(directory.path()));

    test::TemporaryDirectory other;
    write_fixture(other);
    const test::Result ended = session(other, {}, "exit\nera *.*\ny\n");
    EXPECT_EQ(ended.output, echoed("exit\r", "\r\n"));
    EXPECT_EQ(ended.status, 0);
    EXPECT_TRUE(fs::exists(other / "ALPHA.TXT"));
}

// A record of $$$.SUB: its length, the command, a zero, and junk to 128 bytes.
std::string batch_record(std::string_view command, std::size_t length = 128) {
    std::string record(1, char(command.size()));
    record += command;
    record += '\0';
    record.resize(length, '\x55');
    return record;
}

// Digital Research's SUBMIT.COM expands JOB.SUB with its parameters into
// $$$.SUB, and the prompt runs it from its last record to its first, each
// command echoed as SUBMIT wrote it (in upper case). An error ends the batch.
TEST(CommandProcessor, SubmitRunsItsBatchAndAnErrorEndsIt) {
    KAVO_REQUIRE_SHARED("cpm/programs/SUBMIT.COM", submit);
    test::TemporaryDirectory directory;
    write_fixture(directory);
    fs::copy_file(submit, directory / "SUBMIT.COM");
    test::write_file(directory / "JOB.SUB", "DIR $1\r\nERA $2\r\nTAIL $3\r\n\x1A");
    const test::Result result = session(directory, {"SUBMIT JOB *.TXT ALPHA.TXT three", "TAIL after"});
    EXPECT_EQ(result.output, echoed("SUBMIT JOB *.TXT ALPHA.TXT three", "\r\n") +
                                 echoed("DIR *.TXT", "\r\nA: ALPHA    TXT : BETA     TXT : EPSILON  TXT") +
                                 echoed("ERA ALPHA.TXT") + echoed("TAIL THREE", "\r\n< THREE>") +
                                 echoed("TAIL after", "\r\n< AFTER>"));
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(fs::exists(directory / "$$$.SUB"));
    EXPECT_FALSE(fs::exists(directory / "ALPHA.TXT"));

    test::write_file(directory / "BAD.SUB", "TAIL one\r\nNOSUCH\r\nTAIL three\r\n\x1A");
    const test::Result stopped = session(directory, {"SUBMIT BAD", "TAIL after"});
    EXPECT_EQ(stopped.output, echoed("SUBMIT BAD", "\r\n") + echoed("TAIL ONE", "\r\n< ONE>") +
                                  echoed("NOSUCH", "\r\nNOSUCH?\r\n") + echoed("TAIL after", "\r\n< AFTER>"));
    EXPECT_EQ(stopped.status, 1);
    EXPECT_FALSE(fs::exists(directory / "$$$.SUB"));
}

// $$$.SUB as a program or a person may leave it: a last part record, a length
// byte past 127, a zero before the length's end, control characters (CP/M's
// error, which ends the batch), a file that cannot be shortened (run never).
TEST(CommandProcessor, BatchFilesWithOddRecords) {
    test::TemporaryDirectory directory;
    tail_program().write(directory / "TAIL.COM");
    const std::string long_record = "\xF0TAIL TWO"s + '\0' + std::string(118, 'Z');
    test::write_file(directory / "$$$.SUB",
                     batch_record("TAIL THREE") + long_record + batch_record("TAIL ONE").substr(0, 40));
    const test::Result result = session(directory, {});
    EXPECT_EQ(result.output, echoed("TAIL ONE", "\r\n< ONE>") + echoed("TAIL TWO", "\r\n< TWO>") +
                                 echoed("TAIL THREE", "\r\n< THREE>") + "\r\nA>");
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(fs::exists(directory / "$$$.SUB"));

    test::write_file(directory / "$$$.SUB", batch_record("TAIL NEVER") + batch_record("\x01\x1B[2J"));
    const test::Result garbage = session(directory, {"TAIL after"});
    EXPECT_EQ(garbage.output, echoed("\x01\x1B[2J", "\r\n\x01\x1B[2J?\r\n") + echoed("TAIL after", "\r\n< AFTER>"));
    EXPECT_EQ(garbage.status, 1);
    EXPECT_FALSE(fs::exists(directory / "$$$.SUB"));

    test::write_file(directory / "$$$.SUB", batch_record("TAIL AGAIN"));
    fs::permissions(directory / "$$$.SUB", fs::perms::owner_read);
    const test::Result read_only = session(directory, {"TAIL one", "TAIL two"});
    EXPECT_EQ(read_only.output, "\n$$$.SUB on A: cannot be shortened: its commands are not run.\n" +
                                    echoed("TAIL one", "\r\n< ONE>") + echoed("TAIL two", "\r\n< TWO>"));
    EXPECT_EQ(read_only.status, 1);
    EXPECT_EQ(test::read_file(directory / "$$$.SUB"), batch_record("TAIL AGAIN"));
}

// A key typed while a batch's program prints is kept for the next read; the
// batch's check for a key sees it there too, and stops the batch, as CP/M's
// command processor stops it when a key is waiting.
TEST(CommandProcessor, KeyTypedAheadDuringABatchStopsIt) {
    test::TemporaryDirectory directory;
    tail_program().write(directory / "TAIL.COM");
    // Prints until a key is waiting, looking for one after every tenth dot,
    // so that the key mostly arrives during output and is kept there.
    Assembler printer;
    printer.lxi(DE, "go").bdos(9).label("again").mvi(B, 10).label("dot").push(test::BC).mvi(E, '.').bdos(2).pop(test::BC);
    printer.dcr(B).jnz("dot").bdos(11).ora(A).jz("again").exit();
    printer.label("go").db("go$");
    printer.write(directory / "PRINTER.COM");
    test::write_file(directory / "$$$.SUB", batch_record("TAIL NEVER") + batch_record("PRINTER"));
    test::PtyRun run(directory.path(), {"--ccp"});
    ASSERT_TRUE(run.wait_for("go"));
    ASSERT_TRUE(run.type("k"));
    ASSERT_TRUE(run.wait_for("\r\nA>TAIL NEVER\r\nA>"));
    ASSERT_TRUE(run.type("exit\r"));
    EXPECT_TRUE(test::exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output.find("< NEVER>"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(directory / "$$$.SUB"));
}

// A session as a user has it on a terminal: the line edited as function 10
// edits it, the built-in commands, a program, ^C at the prompt and in a
// program's line input, EXIT; the terminal as it was afterwards.
TEST(CommandProcessor, InteractiveSessionOnATerminal) {
    test::TemporaryDirectory directory;
    write_fixture(directory);
    Assembler reader;
    reader.lxi(DE, "buffer").bdos(10).lxi(DE, "done").bdos(9).exit();
    reader.label("done").db("read$").label("buffer").db({20}).ds(22);
    reader.write(directory / "READER.COM");
    test::PtyRun run(directory.path(), {"--ccp"});
    ASSERT_TRUE(run.wait_for("\r\nA>"));
    const struct {
        std::string keys, answer;
    } steps[] = {
        {"dir a*\x7F*.*\r", "dir a*\b \b*.*\r\r\nA: ALPHA    TXT\r\nA>"},
        {"type alpha.txt\r", "\r\nalpha\r\n\r\nA>"},
        {"tail hi there\r", "\r\n< HI THERE>\r\nA>"},
        {"save 1 s.com\r", "save 1 s.com\r\r\nA>"},
        {"ren t.com=s.com\r", "ren t.com=s.com\r\r\nA>"},
        {"dir t*.*\r", "\r\nA: T        COM : TAIL     COM\r\nA>"},
        {"user 4\r", "user 4\r\r\nA4>"},
        {"save 1 u.com\r", "save 1 u.com\r\r\nA4>"},
        {"dir\r", "dir\r\r\nA: U        COM\r\nA4>"},
        {"user 0\r", "user 0\r\r\nA>"},
        {"\x03", "^C\r\nA>"},
        {"reader\r\x03", "reader\r\r\n^C\r\nA>"},
        {"era *.*\r", "era *.*\r\r\nALL (Y/N)?"},
        {"y\r", "y\r\r\nA>"},
        {"dir\r", "dir\r\r\nNO FILE\r\nA>"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.keys);
        const std::size_t before = run.output.size();
        ASSERT_TRUE(run.type(step.keys));
        ASSERT_TRUE(run.wait_for(step.answer, 10s, before)) << run.output.substr(before);
        EXPECT_EQ(run.output.substr(before).find(step.answer) + step.answer.size(), run.output.size() - before);
    }
    ASSERT_TRUE(run.type("exit\r"));
    EXPECT_TRUE(test::exited_with_zero(run.wait_exit()));
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
    EXPECT_TRUE(fs::exists(directory / "4" / "U.COM"));
    EXPECT_FALSE(fs::exists(directory / "ALPHA.TXT"));
    EXPECT_FALSE(fs::exists(directory / "T.COM"));
}

}  // namespace
