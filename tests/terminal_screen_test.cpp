// --terminal on a pseudo-terminal: what each terminal's programs write, as a real screen model (libvterm) shows it.
#include <gtest/gtest.h>
#include <vterm.h>

#include <memory>
#include <string>
#include <vector>

#include "bdos/memory_map.h"
#include "tests/assembler.h"
#include "tests/pty.h"

namespace {

using test::Assembler;
using test::exited_with_zero;
using test::PtyRun;
using test::TemporaryDirectory;
using enum test::Register;
using enum test::Pair;

// The host terminal is bigger than the 80 x 24 of the old terminals.
constexpr int host_rows = 30, host_columns = 100;

// A screen fed with everything kavo wrote.
class Screen {
public:
    explicit Screen(const std::string& output) : terminal(vterm_new(host_rows, host_columns), vterm_free) {
        vterm_set_utf8(terminal.get(), 1);
        screen = vterm_obtain_screen(terminal.get());
        vterm_screen_reset(screen, 1);
        vterm_input_write(terminal.get(), output.data(), output.size());
    }

    VTermScreenCell cell(int row, int column) const {
        VTermScreenCell cell{};
        vterm_screen_get_cell(screen, VTermPos{row, column}, &cell);
        return cell;
    }
    // The text of a row, without the blanks at its end.
    std::string row(int row) const {
        std::string text;
        for (int column = 0; column < host_columns; ++column) {
            const std::uint32_t character = cell(row, column).chars[0];
            text += character ? char(character) : ' ';
        }
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    bool reverse(int row, int column) const { return cell(row, column).attrs.reverse; }

private:
    std::unique_ptr<VTerm, void (*)(VTerm*)> terminal;
    VTermScreen* screen = nullptr;
};

// The two bytes after a cursor-addressing code: row + 32, column + 32.
std::string at(int row, int column) { return {char(32 + row), char(32 + column)}; }
std::string adm3a_at(int row, int column) { return "\033=" + at(row, column); }
std::string vt52_at(int row, int column) { return "\033Y" + at(row, column); }

// The first columns of a row in reverse video.
struct Reverse {
    int row, column, count;
};

struct ScreenCase {
    std::string terminal;
    std::string what;
    std::string program_output;
    std::vector<std::string> rows;  // the screen's rows from the top; the rest are blank
    std::vector<Reverse> reverse{};
};

// Writes the program's output for a row: the corners and the middle.
std::string corners_and_middle(std::string (*address)(int, int)) {
    return address(0, 0) + "1" + address(0, 79) + "2" + address(23, 0) + "3" + address(23, 79) + "4" + address(12, 40) +
           "5";
}

std::vector<std::string> corner_rows() {
    std::vector<std::string> rows(24);
    rows[0] = "1" + std::string(78, ' ') + "2";
    rows[12] = std::string(40, ' ') + "5";
    rows[23] = "3" + std::string(78, ' ') + "4";
    return rows;
}

// A screen with text at the end of two rows.
std::vector<std::string> at_line_ends(int first_row, const std::string& first, int second_row,
                                      const std::string& second) {
    std::vector<std::string> rows(24);
    rows[std::size_t(first_row)] = std::string(80 - first.size(), ' ') + first;
    rows[std::size_t(second_row)] = std::string(80 - second.size(), ' ') + second;
    return rows;
}

std::vector<std::string> at_row(int row, const std::string& text) {
    std::vector<std::string> rows(std::size_t(row) + 1);
    rows[std::size_t(row)] = text;
    return rows;
}

const std::string lines = "one\r\ntwo\r\nthree";

const ScreenCase screen_cases[] = {
    // ADM-3A and Kaypro.
    {"adm3a",
     "clear screen",
     "junk\r\njunk\x1A"
     "A",
     {"A"}},
    {"adm3a", "corners and middle", "\x1A" + corners_and_middle(adm3a_at), corner_rows()},
    {"adm3a", "address past the screen", "\x1A" + adm3a_at(40, 95) + "Z" + adm3a_at(5, 120) + "Y",
     at_line_ends(5, "Y", 23, "Z")},
    {"adm3a",
     "home",
     "\x1A"
     "abc\x1E"
     "X",
     {"Xbc"}},
    {"adm3a",
     "reverse video",
     "\x1A"
     "a\033B0bc\033C0d",
     {"abcd"},
     {{0, 1, 2}}},
    {"adm3a",
     "clear to end of line",
     "\x1A"
     "abcdef\r\nghi" +
         adm3a_at(0, 2) + "\x18",
     {"ab", "ghi"}},
    {"adm3a", "insert line", "\x1A" + lines + adm3a_at(1, 0) + "\033E", {"one", "", "two", "three"}},
    {"adm3a", "delete line", "\x1A" + lines + adm3a_at(0, 0) + "\033R", {"two", "three"}},
    {"adm3a",
     "cursor moves",
     "\x1A\r\nab\x0B\x0C\x0C"
     "c",
     {"    c", "ab"}},
    {"adm3a", "an unknown escape is text", "\x1A\033]0;title\a", {"]0;title"}},
    {"kaypro", "clear to end of screen", "\x1A" + lines + adm3a_at(1, 1) + "\x17", {"one", "t"}},
    // VT52.
    {"vt52",
     "clear screen",
     "junk\r\njunk\033H\033J"
     "A",
     {"A"}},
    {"vt52", "corners and middle", "\033H\033J" + corners_and_middle(vt52_at), corner_rows()},
    {"vt52", "address past the screen", "\033H\033J" + vt52_at(30, 90) + "Z", at_row(23, std::string(79, ' ') + "Z")},
    {"vt52",
     "clear to end of line",
     "\033H\033J"
     "abcdef\r\nghi" +
         vt52_at(0, 2) + "\033K",
     {"ab", "ghi"}},
    {"vt52",
     "cursor moves",
     "\033H\033J"
     "\r\nab\033A\033C\033C"
     "c\033B\033D\033Dd",
     {"    c", "ab d"}},
    // H19.
    {"h19",
     "clear screen",
     "junk\r\njunk\033E"
     "A",
     {"A"}},
    {"h19", "corners and middle", "\033E" + corners_and_middle(vt52_at), corner_rows()},
    {"h19", "address past the screen", "\033E" + vt52_at(24, 80) + "Z", at_row(23, std::string(79, ' ') + "Z")},
    {"h19",
     "reverse video",
     "\033E"
     "a\033pbc\033qd",
     {"abcd"},
     {{0, 1, 2}}},
    {"h19",
     "clear to end of line",
     "\033E"
     "abcdef\r\nghi" +
         vt52_at(0, 2) + "\033K",
     {"ab", "ghi"}},
    {"h19", "insert line", "\033E" + lines + vt52_at(1, 0) + "\033L", {"one", "", "two", "three"}},
    {"h19", "delete line", "\033E" + lines + vt52_at(0, 0) + "\033M", {"two", "three"}},
    {"h19",
     "insert and delete character",
     "\033E"
     "abcd\r\033N\033@xy\033O"
     "z",
     {"xyzcd"}},
    // TeleVideo: an attribute takes a column.
    {"tvi925",
     "clear screen",
     "junk\r\njunk\x1A"
     "A",
     {"A"}},
    {"tvi920",
     "clear screen with ESC *",
     "junk\r\njunk\033*"
     "A",
     {"A"}},
    {"tvi925", "corners and middle", "\x1A" + corners_and_middle(adm3a_at), corner_rows()},
    {"tvi912", "address past the screen", "\x1A" + adm3a_at(99, 99) + "Z", at_row(23, std::string(79, ' ') + "Z")},
    {"tvi925",
     "reverse video",
     "\x1A"
     "a\033G4bc\033G0d",
     {"a bc d"},
     {{0, 2, 2}}},
    {"tvi925",
     "underline and reverse",
     "\x1A"
     "a\033G<bc\033G0d",
     {"a bc d"},
     {{0, 2, 2}}},
    {"tvi925",
     "clear to end of line",
     "\x1A"
     "abcdef\r\nghi" +
         adm3a_at(0, 2) + "\033T",
     {"ab", "ghi"}},
    {"tvi925", "insert line", "\x1A" + lines + adm3a_at(1, 0) + "\033E", {"one", "", "two", "three"}},
    {"tvi925", "delete line", "\x1A" + lines + adm3a_at(0, 0) + "\033R", {"two", "three"}},
    {"tvi925",
     "cursor moves",
     "\x1A"
     "\r\nab\x0B\x0C"
     "c\x16\x08\x08"
     "d",
     {"   c", "abd"}},
    // ansi passes the program's own sequences.
    {"ansi", "pass-through", "\033[2J\033[5;5HX\033[7mR", at_row(4, "    XR"), {{4, 5, 1}}},
};

// A program that writes text through BDOS function 2, one call per byte, so
// every sequence arrives in pieces, then warm-boots.
Assembler output_program(const std::string& text) {
    Assembler program;
    program.lxi(HL, "text").label("next").mov(A, M).ora(A).jz("end");
    program.push(HL).mov(E, A).bdos(2).pop(HL).inx(HL).jmp("next");
    program.label("end").exit();
    program.label("text").db(text).db({0});
    return program;
}

TEST(TerminalScreen, EachTerminalsCodesDrawTheScreen) {
    const winsize size{host_rows, host_columns, 0, 0};
    for (const ScreenCase& screen_case : screen_cases) {
        SCOPED_TRACE(screen_case.terminal + ": " + screen_case.what);
        TemporaryDirectory directory;
        output_program(screen_case.program_output).write(directory / "draw.com");
        PtyRun run(directory.path(), {"--terminal", screen_case.terminal, "draw"}, nullptr, &size);
        ASSERT_TRUE(exited_with_zero(run.wait_exit()));
        const Screen screen(run.output);
        for (int row = 0; row < host_rows; ++row) {
            const std::string expected =
                std::size_t(row) < screen_case.rows.size() ? screen_case.rows[std::size_t(row)] : "";
            EXPECT_EQ(screen.row(row), expected) << "row " << row;
        }
        for (int row = 0; row < host_rows; ++row) {
            for (int column = 0; column < host_columns; ++column) {
                bool expected = false;
                for (const Reverse& reverse : screen_case.reverse)
                    expected = expected || (reverse.row == row && column >= reverse.column &&
                                            column < reverse.column + reverse.count);
                EXPECT_EQ(screen.reverse(row, column), expected) << "row " << row << " column " << column;
            }
        }
    }
}

// A program that prints the code of each key read through BIOS CONIN, in hex,
// until it reads 'q'. It writes through BIOS CONOUT: the BDOS's output would
// take a waiting key for its ^S test.
Assembler keys_program() {
    constexpr std::uint16_t conin = kavo::address::bios_vector + 0x09, conout = kavo::address::bios_vector + 0x0C;
    Assembler program;
    program.mvi(C, '>').call(conout);
    program.label("key").call(conin).mov(B, A).rrc().rrc().rrc().rrc().call("digit").mov(A, B).call("digit");
    program.mvi(C, ' ').call(conout).mov(A, B).cpi('q').jnz("key").exit();
    program.label("digit").ani(0x0F).cpi(10).jc("decimal").adi('A' - '0' - 10);
    program.label("decimal").adi('0').mov(C, A).call(conout).ret();
    return program;
}

struct KeysCase {
    std::string terminal;
    std::string codes;  // of Up, Down, Left, Right, Backspace, 'q'
};

const KeysCase keys_cases[] = {
    {"adm3a", "0B 0A 08 0C 08 71"},
    {"kaypro", "0B 0A 08 0C 08 71"},
    {"vt52", "1B 41 1B 42 1B 44 1B 43 08 71"},
    {"h19", "1B 41 1B 42 1B 44 1B 43 08 71"},
    {"tvi925", "0B 16 08 0C 08 71"},
    {"ansi", "E0 48 E0 50 E0 4B E0 4D 7F 71"},
};

TEST(TerminalScreen, CursorKeysSendTheTerminalsCodes) {
    for (const KeysCase& keys_case : keys_cases) {
        SCOPED_TRACE(keys_case.terminal);
        TemporaryDirectory directory;
        keys_program().write(directory / "keys.com");
        PtyRun run(directory.path(), {"--terminal", keys_case.terminal, "keys"});
        ASSERT_TRUE(run.wait_for(">"));
        ASSERT_TRUE(run.type("\033[A\033[B\033[D\033[C\x7Fq"));
        EXPECT_TRUE(exited_with_zero(run.wait_exit()));
        EXPECT_EQ(run.output, ">" + keys_case.codes + " ");
    }
}

// Too small a host terminal is named on standard error before the run, which
// goes on; a big enough one, and ansi, are not.
TEST(TerminalScreen, SmallHostTerminalIsWarnedOf) {
    struct SizeCase {
        std::string terminal;
        winsize size;
        bool warned;
    };
    const SizeCase size_cases[] = {
        {"adm3a", {20, 70, 0, 0}, true},
        {"h19", {24, 79, 0, 0}, true},
        {"vt52", {24, 80, 0, 0}, false},
        {"ansi", {20, 70, 0, 0}, false},
    };
    for (const SizeCase& size_case : size_cases) {
        SCOPED_TRACE(size_case.terminal + " " + std::to_string(size_case.size.ws_col));
        TemporaryDirectory directory;
        output_program("text").write(directory / "draw.com");
        PtyRun run(directory.path(), {"--terminal", size_case.terminal, "draw"}, nullptr, &size_case.size);
        ASSERT_TRUE(exited_with_zero(run.wait_exit()));
        const std::string warning = "kavo: warning: the terminal is " + std::to_string(size_case.size.ws_col) + " x " +
                                    std::to_string(size_case.size.ws_row) + ", smaller than the 80 x 24 screen of " +
                                    size_case.terminal + "\r\n";
        EXPECT_EQ(run.output, (size_case.warned ? warning : "") + "text");
    }
}

// Without a terminal the output is translated just the same, so a log of the
// run shows the screen.
TEST(TerminalScreen, OutputIsTranslatedWithoutATerminal) {
    TemporaryDirectory directory;
    output_program("junk\033E\033pA\033q" + vt52_at(2, 3) + "B\033\033]0;x\a").write(directory / "draw.com");
    const test::Result result = test::run_kavo(directory.path(), {"--terminal", "h19", "draw"});
    EXPECT_EQ(result.status, 0);
    const Screen screen(result.output);
    EXPECT_EQ(screen.row(0), "A");
    EXPECT_TRUE(screen.reverse(0, 0));
    EXPECT_EQ(screen.row(2), "   B]0;x");
    EXPECT_FALSE(screen.reverse(2, 3));
}

TEST(TerminalScreen, OptionNamesTheTerminals) {
    TemporaryDirectory directory;
    const test::Result help = test::run_kavo(directory.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* name : {"adm3a", "kaypro", "vt52", "h19", "tvi925", "tvi912", "tvi920", "ansi"})
        EXPECT_NE(help.output.find(name), std::string::npos) << name;
    const test::Result bad = test::run_kavo(directory.path(), {"--terminal", "vt100", "draw"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.output, "");
}

// The named terminals' Backspace sends BS, which line input must take as its
// erase key as CP/M 2.2 does, or the line would keep a ^H.
TEST(TerminalScreen, BackspaceErasesInLineInputWithANamedTerminal) {
    constexpr std::uint16_t buffer = 0x0200;
    Assembler program;
    program.jmp("main").hex_routine().label("main");
    program.mvi(E, '>').bdos(2).mvi(A, 20).sta(buffer).lxi(DE, buffer).bdos(10).dump(buffer + 1, 3).exit();
    for (const char* terminal : {"adm3a", "vt52", "h19", "tvi925"}) {
        SCOPED_TRACE(terminal);
        TemporaryDirectory directory;
        program.write(directory / "line.com");
        PtyRun run(directory.path(), {"--terminal", terminal, "line"});
        ASSERT_TRUE(run.wait_for(">"));
        ASSERT_TRUE(run.type("ab\x7F"
                             "c\r"));
        EXPECT_TRUE(exited_with_zero(run.wait_exit()));
        EXPECT_NE(run.output.find("02 61 63 "), std::string::npos) << testing::PrintToString(run.output);
    }
}

}  // namespace
