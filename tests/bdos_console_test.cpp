// The BDOS console and system functions through the real executable: line editing on a terminal, register results, addresses that wrap, and the greeter.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/assembler.h"
#include "tests/pty.h"
#include "tests/register_snapshot.h"

namespace {

using test::exited_with_zero;

using test::PtyRun;
using test::A;
using test::Assembler;
using test::B;
using test::C;
using test::D;
using test::DE;
using test::E;
using test::HL;
using test::M;
using namespace std::chrono_literals;

// Bytes as hex_routine prints them: two digits and a space each.
std::string hex_bytes(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes)
        text += {digits[byte >> 4], digits[byte & 15], ' '};
    return text;
}

std::string hex_byte(std::uint8_t byte) { return hex_bytes(std::string(1, char(byte))); }


void install(const test::TemporaryDirectory& directory, const std::string& name, const Assembler& program) {
    program.write(directory.path() / (name + ".com"));
}

// A program that begins with a jump over the hex printer to "main".
Assembler program_with_hex_printer() {
    Assembler program;
    program.jmp("main").hex_routine().label("main");
    return program;
}

// The erase sequence function 10 writes for each column of an erased echo.
std::string erases(unsigned columns) {
    std::string text;
    for (unsigned column = 0; column < columns; ++column)
        text += "\b \b";
    return text;
}

// Function 10 on a terminal: the line buffer lies at line_address, filled
// with 0xEE beyond its room byte before the call.
constexpr std::uint16_t line_address = 0x0400;
constexpr std::uint8_t fill = 0xEE;

struct LineEdit {
    const char* name;
    std::uint8_t room;   // the buffer's first byte
    std::string keys;    // typed on the terminal
    std::string echo;    // written while the line is read
    std::uint8_t result = 0;
    std::string buffer = "";  // from the count byte on; the rest keeps the fill
    bool through_dma_address = false;  // DE = 0 after function 26 set the buffer
    bool ends_run = false;
};

std::vector<LineEdit> line_edits() {
    const std::string full_line(200, 'a');
    return {
        {.name = "EnterOnAnEmptyLineWritesNothing", .room = 10, .keys = "\r", .echo = "", .result = 0x0D,
         .buffer = std::string("\0\0", 2)},
        {.name = "LettersThenEnter", .room = 10, .keys = "abc\r", .echo = "abc", .result = 0x0D,
         .buffer = std::string("\x03" "abc\0", 5)},
        {.name = "TabEchoesEightSpacesAndEraseTakesThemAll", .room = 10, .keys = "\t\x7f\r",
         .echo = "        " + erases(8), .result = 0x0D, .buffer = std::string("\0\0", 2)},
        {.name = "TabFillingTheLineReturnsBackspace", .room = 2, .keys = "a\t", .echo = "a        ", .result = 0x08,
         .buffer = std::string("\x02" "a\t\0", 4)},
        {.name = "ControlCharactersAreStoredAndShownWithCaret", .room = 10, .keys = "\x01\x02\x1b\x1f\r",
         .echo = "^A^B^[^_", .result = 0x0D, .buffer = std::string("\x04\x01\x02\x1b\x1f\0", 6)},
        {.name = "ControlCharacterIsErasedTwice", .room = 10, .keys = "a\x01\x7f\x7f" "b\r",
         .echo = "a^A" + erases(2) + erases(1) + "b", .result = 0x0D, .buffer = std::string("\x01" "b\0", 3)},
        {.name = "ErasedCharactersStayInMemory", .room = 10, .keys = "abc\x7f\x7f\r", .echo = "abc" + erases(2),
         .result = 0x0D, .buffer = std::string("\x01" "a\0" "c", 4)},
        {.name = "HighByteIsEchoedAsItselfAndErasedOnce", .room = 10, .keys = "\xe9\x7f\r",
         .echo = "\xe9" + erases(1), .result = 0x0D, .buffer = std::string("\0\0", 2)},
        {.name = "DeleteOnAnEmptyLineDoesNothing", .room = 10, .keys = "\x7f\x7fz\r", .echo = "z", .result = 0x0D,
         .buffer = std::string("\x01" "z\0", 3)},
        {.name = "NoRoomReadsNoKey", .room = 0, .keys = "", .echo = "", .result = 0xFF,
         .buffer = std::string("\0\0", 2)},
        {.name = "OneKeyFillsALineOfOne", .room = 1, .keys = "a", .echo = "a", .result = 0x61,
         .buffer = std::string("\x01" "a\0", 3)},
        {.name = "ControlKeyFillingTheLineReturnsItsLetter", .room = 1, .keys = "\x01", .echo = "^A", .result = 0x41,
         .buffer = std::string("\x01\x01\0", 3)},
        {.name = "FullLineOf200", .room = 200, .keys = full_line, .echo = full_line, .result = 0x61,
         .buffer = "\xC8" + full_line + std::string(1, '\0')},
        {.name = "ControlCFirstEndsTheRun", .room = 10, .keys = "\x03", .echo = "^C", .ends_run = true},
        {.name = "ControlCLaterIsAnOrdinaryCharacter", .room = 10, .keys = "ab\x03\r", .echo = "ab^C",
         .result = 0x0D, .buffer = std::string("\x03" "ab\x03\0", 5)},
        {.name = "ZeroAddressReadsIntoTheDmaBuffer", .room = 10, .keys = "hi\r", .echo = "hi", .result = 0x0D,
         .buffer = std::string("\x02" "hi\0", 4), .through_dma_address = true},
        // The editing keys of CP/M 2.2. The line starts in column 1, after
        // the '>'.
        {.name = "ControlJEndsTheLine", .room = 10, .keys = "ab\n", .echo = "ab", .result = 0x0D,
         .buffer = std::string("\x02" "ab\0", 4)},
        {.name = "ControlUStartsTheLineAgainBelowAHash", .room = 10, .keys = "abc\x15" "de\r",
         .echo = "abc#\r\n de", .result = 0x0D, .buffer = std::string("\x02" "de\0", 4)},
        {.name = "ControlXErasesTheLineOnTheScreen", .room = 10, .keys = "a\tc\x18" "de\r",
         .echo = "a        c" + erases(10) + "de", .result = 0x0D, .buffer = std::string("\x02" "de\0", 4)},
        {.name = "ControlRRetypesTheLineBelowAHash", .room = 10, .keys = "ab\x01\x12" "c\r",
         .echo = "ab^A#\r\n ab^Ac", .result = 0x0D, .buffer = std::string("\x04" "ab\x01" "c\0", 6)},
        {.name = "ControlEStartsANewScreenLineAndTheLineGoesOn", .room = 10, .keys = "ab\x05" "cd\r",
         .echo = "ab\r\ncd", .result = 0x0D, .buffer = std::string("\x04" "abcd\0", 6)},
        {.name = "ControlUAfterControlEStartsAtTheMargin", .room = 10, .keys = "ab\x05" "c\x15" "d\r",
         .echo = "ab\r\nc#\r\nd", .result = 0x0D, .buffer = std::string("\x01" "d\0" "c", 4)},
        {.name = "ControlXAfterControlEErasesTheNewScreenLineOnly", .room = 10, .keys = "ab\x05" "c\x18" "d\r",
         .echo = "ab\r\nc" + erases(1) + "d", .result = 0x0D, .buffer = std::string("\x01" "d\0" "c", 4)},
        {.name = "ControlPIsNeitherStoredNorShown", .room = 10, .keys = "a\x10" "b\x10\r", .echo = "ab",
         .result = 0x0D, .buffer = std::string("\x02" "ab\0", 4)},
        {.name = "EditingKeysOnAFullLineAreNoCharacters", .room = 2, .keys = "a\x15" "bc", .echo = "a#\r\n bc",
         .result = 0x63, .buffer = std::string("\x02" "bc\0", 4)},
    };
}

// Fills the buffer, writes '>' once the terminal is ready, reads a line, then
// prints '|', A and the buffer from its count byte to one byte past the
// closing zero of a full line.
Assembler line_edit_program(const LineEdit& edit) {
    Assembler program = program_with_hex_printer();
    program.lxi(HL, line_address + 1).mvi(B, 0).label("fill").mvi(M, fill).inx(HL).dcr(B).jnz("fill");
    program.mvi(A, edit.room).sta(line_address);
    program.mvi(E, '>').bdos(2);
    if (edit.through_dma_address)
        program.lxi(DE, line_address).bdos(26).lxi(DE, std::uint16_t(0x0000));
    else
        program.lxi(DE, line_address);
    program.bdos(10).sta(test::snapshot_address);
    program.mvi(E, '|').bdos(2).lda(test::snapshot_address).call("hex");
    return program.dump(line_address + 1, std::uint8_t(edit.room + 3)).exit();
}

void PrintTo(const LineEdit& edit, std::ostream* stream) { *stream << edit.name; }

class LineEditing : public testing::TestWithParam<LineEdit> {};

TEST_P(LineEditing, EchoAndBufferOnATerminal) {
    const LineEdit& edit = GetParam();
    test::TemporaryDirectory directory;
    install(directory, "line", line_edit_program(edit));
    PtyRun run(directory.path(), {"line"});
    ASSERT_TRUE(run.wait_for(">")) << testing::PrintToString(run.output);
    ASSERT_TRUE(run.type(edit.keys));
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    std::string expected = ">" + edit.echo;
    if (!edit.ends_run) {
        std::string buffer = edit.buffer;
        buffer.resize(edit.room + 3u, char(fill));
        expected += "\r|" + hex_byte(edit.result) + hex_bytes(buffer);
    }
    EXPECT_EQ(run.output, expected + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(ReadConsoleBuffer, LineEditing, testing::ValuesIn(line_edits()),
                         [](const testing::TestParamInfo<LineEdit>& info) { return std::string(info.param.name); });

// Writes '>', waits until function 11 reports a key, writes 'X' with
// function 2, then prints what function 11 reports after it and the key
// function 1 reads next.
Assembler pause_program() {
    Assembler program = program_with_hex_printer();
    program.mvi(E, '>').bdos(2);
    program.label("wait").bdos(11).ora(A).jz("wait");
    program.mvi(E, 'X').bdos(2);
    return program.bdos(11).call("hex").bdos(1).call("hex").exit();
}

// Output pauses on ^S until one more key comes; both keys are gone then, and
// the next read waits for a new key.
TEST(ConsoleOutput, ControlSWaitingHoldsOutputUntilAnotherKeyAndBothAreDropped) {
    test::TemporaryDirectory directory;
    install(directory, "pause", pause_program());
    PtyRun run(directory.path(), {"pause"});
    ASSERT_TRUE(run.wait_for(">"));
    ASSERT_TRUE(run.type("\x13"));
    EXPECT_FALSE(run.wait_for("X", 500ms)) << "output went on while ^S was waiting";
    ASSERT_TRUE(run.type("k"));
    ASSERT_TRUE(run.wait_for("X00 "));
    ASSERT_TRUE(run.type("n"));
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, ">X00 n6E \r\n");
}

TEST(ConsoleOutput, ControlCDuringAPauseEndsTheRun) {
    test::TemporaryDirectory directory;
    install(directory, "pause", pause_program());
    PtyRun run(directory.path(), {"pause"});
    ASSERT_TRUE(run.wait_for(">"));
    ASSERT_TRUE(run.type("\x13\x03"));
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, ">\r\n");
}

// A key typed while a program prints is kept for the next read, as CP/M 2.2
// keeps it: a user who types the next command early loses nothing.
TEST(ConsoleOutput, KeyTypedDuringOutputIsKeptForTheNextRead) {
    test::TemporaryDirectory directory;
    install(directory, "pause", pause_program());
    PtyRun run(directory.path(), {"pause"});
    ASSERT_TRUE(run.wait_for(">"));
    ASSERT_TRUE(run.type("k"));
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, ">XFF k6B \r\n");
}

TEST(DirectConsoleIo, NoKeyOnATerminalReturnsZeroAtOnce) {
    test::TemporaryDirectory directory;
    Assembler program = program_with_hex_printer();
    program.mvi(E, '>').bdos(2).mvi(E, 0xFF).bdos(6).call("hex").exit();
    install(directory, "direct", program);
    PtyRun run(directory.path(), {"direct"});
    EXPECT_TRUE(exited_with_zero(run.wait_exit(5s)));
    EXPECT_EQ(run.output, ">00 \r\n");
}

// One BDOS call without a terminal, keys from standard input: the registers
// are set to a known state, the call is made, and all of them are printed.
// Functions that need a string or a line buffer find them at fixed places.
constexpr std::uint16_t text_address = 0x0103;         // "Hello$"
constexpr std::uint16_t small_line_address = 0x0109;   // room for 5

struct BdosCall {
    const char* name;
    std::uint8_t function;
    std::uint16_t parameter = 0xD0E0;  // DE
    std::string input = "";
    std::string output = "";  // written before the registers
    // The result: a byte (in A and L, with H and B zero) or a word (in HL
    // and BA), as CP/M 2.2 returns both.
    std::optional<std::uint8_t> a = std::nullopt;
    std::optional<std::uint16_t> hl = std::nullopt;
    std::optional<std::uint16_t> de = std::nullopt;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> call_before = std::nullopt;  // function and E
};

const BdosCall bdos_calls[] = {
    {.name = "ConsoleInputEchoesTheKey", .function = 1, .input = "x", .output = "x", .a = 0x78},
    {.name = "ConsoleInputEnterEchoesReturnAlone", .function = 1, .input = "\n", .output = "\r", .a = 0x0D},
    {.name = "ConsoleInputDelete", .function = 1, .input = "\x7f", .output = "\x7f", .a = 0x7F},
    {.name = "ConsoleInputEchoesTab", .function = 1, .input = "\t", .output = "\t", .a = 0x09},
    {.name = "ConsoleInputEchoesHighByte", .function = 1, .input = "\xe9", .output = "\xe9", .a = 0xE9},
    {.name = "ConsoleInputDoesNotEchoEscape", .function = 1, .input = "\x1b", .a = 0x1B},
    {.name = "ConsoleInputDoesNotEchoOtherControlCharacters", .function = 1, .input = std::string(1, '\0'),
     .a = 0x00},
    {.name = "ConsoleOutputWithoutTerminalKeepsTheWaitingKey", .function = 1, .input = "k", .output = "Qk",
     .a = 0x6B, .call_before = std::pair{2, 'Q'}},
    {.name = "ConsoleOutput", .function = 2, .parameter = 0xD051, .output = "Q", .a = 0x00},
    {.name = "ConsoleOutputDropsBell", .function = 2, .parameter = 0xD007, .a = 0x00},
    {.name = "ReaderInputDoesNotEcho", .function = 3, .input = "y", .a = 0x79},
    {.name = "PunchOutput", .function = 4, .parameter = 0xD050, .output = "P", .a = 0x00},
    {.name = "ListOutputIsDiscarded", .function = 5, .parameter = 0xD04C, .a = 0xFF},
    {.name = "DirectInputWithoutKey", .function = 6, .parameter = 0xD0FF, .a = 0x00},
    {.name = "DirectInputWithKeyDoesNotEcho", .function = 6, .parameter = 0xD0FF, .input = "k", .a = 0x6B},
    {.name = "DirectOutput", .function = 6, .parameter = 0xD0FE, .output = "\xFE", .a = 0x00},
    {.name = "PrintStringLeavesDeOnTheDollar", .function = 9, .parameter = text_address, .output = "Hello",
     .a = 0xFF, .de = text_address + 5},
    {.name = "ReadConsoleBuffer", .function = 10, .parameter = small_line_address, .input = "ab\n",
     .output = "ab\r", .a = 0x0D},
    {.name = "ConsoleStatusWithoutKey", .function = 11, .a = 0x00},
    {.name = "ConsoleStatusLeavesScriptInputUnread", .function = 11, .input = "z", .a = 0x00},
    {.name = "VersionNumber", .function = 12, .hl = 0x0022},
    {.name = "SelectDriveA", .function = 14, .parameter = 0xD000, .a = 0x00},
    {.name = "SelectDriveB", .function = 14, .parameter = 0xD001, .a = 0x00},
    {.name = "SelectDriveBeyondP", .function = 14, .parameter = 0xD010, .a = 0xFF},
    {.name = "LoginVector", .function = 24, .hl = 0x0001},
    {.name = "CurrentDiskAfterSelectingB", .function = 25, .a = 0x01, .call_before = std::pair{14, 1}},
    {.name = "SetDmaAddress", .function = 26, .parameter = 0x2000, .a = 0xFF},
    {.name = "AllocationVector", .function = 27, .hl = kavo::address::allocation_vector},
    {.name = "ReadOnlyVector", .function = 29, .hl = 0xFFFE},  // every drive but A: unmapped
    {.name = "DiskParameterBlock", .function = 31, .hl = kavo::address::disk_parameter_block},
    {.name = "UserCodeAtStart", .function = 32, .parameter = 0xD0FF, .a = 0x00},
    {.name = "SetUserCode", .function = 32, .parameter = 0xD01F, .a = 0x1F},
    {.name = "UserCodeAfterSetting", .function = 32, .parameter = 0xD0FF, .a = 0x1F,
     .call_before = std::pair{32, 0x1F}},
    {.name = "SetUserCodeKeepsTheLowFiveBits", .function = 32, .parameter = 0xD0C8, .a = 0x08},
    {.name = "UserCodeAfterSettingTwoHundred", .function = 32, .parameter = 0xD0FF, .a = 0x08,
     .call_before = std::pair{32, 200}},
    {.name = "IoByteAtStart", .function = 7, .a = 0x95},
    {.name = "SetIoByte", .function = 8, .parameter = 0xD042, .a = 0x00},
    {.name = "IoByteAfterSetting", .function = 7, .a = 0x42, .call_before = std::pair{8, 0x42}},
    {.name = "WriteProtectIsUndefined", .function = 28, .output = "Func=1C\n", .a = 0xFF},
    {.name = "ResetDrive", .function = 37, .parameter = 0xFFFF, .a = 0x00},
    {.name = "OpenFileOfNoNameFails", .function = 15, .a = 0xFF},
    {.name = "SearchForNextWithoutSearchFails", .function = 18, .a = 0xFF},
    {.name = "AccessDriveIsUndefined", .function = 38, .output = "Func=26\n", .a = 0xFF},
    {.name = "FreeDriveIsUndefined", .function = 39, .output = "Func=27\n", .a = 0xFF},
};

Assembler bdos_call_program(const BdosCall& call, const test::Registers& start) {
    Assembler program;
    program.jmp("main").db("Hello$").db({5}).ds(7, fill).hex_routine().label("main");
    if (call.call_before)
        program.mvi(E, call.call_before->second).bdos(call.call_before->first);
    test::load_registers(program, start).call(0x0005);
    return test::print_registers(program).exit();
}

void PrintTo(const BdosCall& call, std::ostream* stream) { *stream << call.name; }

class BdosRegisters : public testing::TestWithParam<BdosCall> {};

TEST_P(BdosRegisters, OnlyTheResultRegistersChange) {
    const BdosCall& call = GetParam();
    test::Registers start;
    start.c = call.function;
    start.set_de(call.parameter);
    test::Registers expected = start;
    const std::uint16_t result = call.hl.value_or(call.a.value_or(0xFF));
    expected.a = expected.l = std::uint8_t(result);
    expected.b = expected.h = std::uint8_t(result >> 8);
    expected.set_de(call.de.value_or(call.parameter));

    test::TemporaryDirectory directory;
    install(directory, "call", bdos_call_program(call, start));
    const test::Result run = test::run_kavo(directory.path(), {"call"}, call.input);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, call.output + expected.printed());
}

INSTANTIATE_TEST_SUITE_P(DispatchTable, BdosRegisters, testing::ValuesIn(bdos_calls),
                         [](const testing::TestParamInfo<BdosCall>& info) { return std::string(info.param.name); });

// ^C on an empty line: the return to address 0 is caught by a jump put
// there, which shows the registers, the two stack words below the caller's
// SP (the pushed 0x0000 and the CALL's return address) and the buffer,
// whose count and closing zero stay unwritten. Registers are as after any
// request: A as it was, L = A and H = B = 0.
TEST(ReadConsoleBuffer, ControlCFirstPushesZeroForAWarmBoot) {
    constexpr std::uint16_t copied_stack = test::snapshot_address + 0x10;
    test::Registers start;
    start.c = 10;
    start.set_de(line_address);

    Assembler program = program_with_hex_printer();
    program.lxi(HL, 0xEEEE).push(HL).push(HL).pop(HL).pop(HL);
    program.mvi(A, 10).sta(line_address).lxi(HL, line_address + 1).mvi(M, fill).inx(HL).mvi(M, fill).inx(HL).mvi(M, fill);
    program.mvi(A, 0xC3).sta(std::uint16_t(0x0000)).lxi(HL, "caught").shld(0x0001);
    test::load_registers(program, start).call(0x0005);
    const std::uint16_t return_address = program.here();
    program.exit();
    // The stack words are copied before save_registers pushes over them;
    // HL is kept meanwhile by loads and stores that change no flag.
    program.label("caught").shld(copied_stack + 4);
    program.lhld(kavo::address::stack - 4).shld(copied_stack).lhld(kavo::address::stack - 2).shld(copied_stack + 2);
    program.lhld(copied_stack + 4);
    test::print_registers(program).dump(copied_stack, 4).dump(line_address + 1, 3).bdos(0);

    test::TemporaryDirectory directory;
    install(directory, "control", program);
    const test::Result run = test::run_kavo(directory.path(), {"control"}, "\x03");
    EXPECT_EQ(run.status, 0);
    test::Registers expected = start;
    expected.sp = kavo::address::stack - 2;
    expected.l = start.a;
    expected.h = expected.b = 0x00;
    const std::string stack_words{0x00, 0x00, char(return_address & 0xFF), char(return_address >> 8)};
    EXPECT_EQ(run.output, "^C" + expected.printed() + hex_bytes(stack_words) + hex_bytes("\xEE\x03\xEE"));
}

// With the only '$' at 0x0003, a string from 0x0004 runs through all the
// rest of memory and on through 0x0000. The other '$' is SETDMA's jump to
// itself in the jump vector (xx24h), whose data byte the program changes.
TEST(PrintString, StringWithoutDollarUpToTheTopWrapsThroughAddressZero) {
    Assembler program = program_with_hex_printer();
    program.mvi(A, 0).sta(kavo::address::bios_vector + 0x25);
    program.mvi(A, '$' - 1).inr(A).sta(0x0003);
    program.lxi(DE, 0x0004).bdos(9).mov(A, D).call("hex").mov(A, E).call("hex").exit();
    test::TemporaryDirectory directory;
    install(directory, "wrap", program);
    const test::Result run = test::run_kavo(directory.path(), {"wrap"}, "");
    EXPECT_EQ(run.status, 0);
    const std::string end_of_string = "\xC3\x03\xFF" "00 03 ";
    ASSERT_GT(run.output.size(), 0xFF00u);
    EXPECT_EQ(run.output.substr(run.output.size() - end_of_string.size()), end_of_string);
}

// A buffer at 0xFFFE has its count at 0xFFFF and its characters from 0x0000
// on; the run ends through function 0, the jump at 0x0000 being overwritten.
TEST(ReadConsoleBuffer, BufferPastTheTopWrapsToAddressZero) {
    Assembler program = program_with_hex_printer();
    program.mvi(A, 4).sta(0xFFFE).lxi(DE, 0xFFFE).bdos(10);
    program.dump(0xFFFE, 2).dump(std::uint16_t(0x0000), 5).bdos(0);
    test::TemporaryDirectory directory;
    install(directory, "top", program);
    const test::Result run = test::run_kavo(directory.path(), {"top"}, "abc\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "abc\r" + hex_bytes(std::string("\x04\x03" "abc\0\0", 7)));
}

// The bytes of the jump vector are only data: a line read over the CONST and
// CONIN entries, whose first byte 0xC3 gives room for 195 characters, leaves
// CONOUT working.
TEST(ReadConsoleBuffer, BufferInTheTrapAreaLeavesTheEntriesWorking) {
    constexpr std::uint16_t console_status = kavo::address::bios_vector + 0x06;
    constexpr std::uint16_t console_output = kavo::address::bios_vector + 0x0C;
    Assembler program = program_with_hex_printer();
    program.lxi(DE, console_status).bdos(10).dump(console_status, 5).mvi(C, '!').call(console_output).exit();
    test::TemporaryDirectory directory;
    install(directory, "trap", program);
    const test::Result run = test::run_kavo(directory.path(), {"trap"}, "hi\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "hi\r" + hex_bytes(std::string("\xC3\x02" "hi\0", 5)) + "!");
}

struct Greeting {
    std::string typed;
    std::string printed;
};

const Greeting greetings[] = {
    {"Ada\n", "What is your name? Ada\r\r\nHello, Ada!\r\n"},
    {"\n", "What is your name? \r\r\nHello, stranger!\r\n"},
    {"$5 Bill\n", "What is your name? $5 Bill\r\r\nHello, $5 Bill!\r\n"},
};

// The build writes GREET.COM beside the kavo executable.
TEST(Greeter, GreetsTheNameTyped) {
    const std::filesystem::path greeter = std::filesystem::path(KAVO_EXECUTABLE).parent_path() / "GREET.COM";
    ASSERT_TRUE(std::filesystem::exists(greeter)) << greeter;
    test::TemporaryDirectory directory;
    for (const Greeting& greeting : greetings) {
        const test::Result run = test::run_kavo(directory.path(), {greeter.string()}, greeting.typed);
        EXPECT_EQ(run.status, 0) << greeting.typed;
        EXPECT_EQ(run.output, greeting.printed);
    }
}

}  // namespace
