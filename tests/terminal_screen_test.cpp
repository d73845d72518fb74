// --terminal on a pseudo-terminal: what each terminal's programs write, as a real screen model (libvterm) shows it.
#include <gtest/gtest.h>
#include <vterm.h>

#include <memory>
#include <string>
#include <vector>

#include "bdos/memory_map.h"
#include "host/screen.h"
#include "tests/assembler.h"
#include "tests/pty.h"

namespace {

using test::Assembler;
using test::exited_with_zero;
using test::PtyRun;
using test::TemporaryDirectory;
using enum test::Register;
using enum test::Pair;
using namespace std::chrono_literals;

// The host terminal is bigger than the 80 x 24 of the old terminals.
constexpr int host_rows = 30, host_columns = 100;

// libvterm's model of a terminal screen, fed with what kavo wrote.
class Screen {
public:
    // A screen of rows x columns; with alternate, one that has an alternate
    // screen to switch to.
    Screen(int rows, int columns, bool alternate = false) : terminal(vterm_new(rows, columns), vterm_free) {
        vterm_set_utf8(terminal.get(), 1);
        screen = vterm_obtain_screen(terminal.get());
        vterm_screen_set_callbacks(screen, &callbacks, this);
        vterm_screen_enable_altscreen(screen, alternate);
        vterm_screen_reset(screen, 1);
    }
    explicit Screen(const std::string& output) : Screen(host_rows, host_columns) { write(output); }

    void write(std::string_view bytes) { vterm_input_write(terminal.get(), bytes.data(), bytes.size()); }
    // A new size, all blank, as a terminal that lost its content in a resize.
    void resize(int rows, int columns) {
        vterm_set_size(terminal.get(), rows, columns);
        vterm_screen_reset(screen, 1);
    }

    int rows() const {
        int rows, columns;
        vterm_get_size(terminal.get(), &rows, &columns);
        return rows;
    }
    int columns() const {
        int rows, columns;
        vterm_get_size(terminal.get(), &rows, &columns);
        return columns;
    }
    VTermScreenCell cell(int row, int column) const {
        VTermScreenCell cell{};
        vterm_screen_get_cell(screen, VTermPos{row, column}, &cell);
        return cell;
    }
    char character(int row, int column) const {
        const std::uint32_t character = cell(row, column).chars[0];
        return character ? char(character) : ' ';
    }
    // The text of a row, without the blanks at its end.
    std::string row(int row) const {
        std::string text;
        for (int column = 0; column < columns(); ++column)
            text += character(row, column);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    bool reverse(int row, int column) const { return cell(row, column).attrs.reverse; }
    VTermPos cursor() const {
        VTermPos position{};
        vterm_state_get_cursorpos(vterm_obtain_state(terminal.get()), &position);
        return position;
    }
    // Whether what is written next comes out in reverse video.
    bool pen_reverse() const {
        VTermValue value{};
        vterm_state_get_penattr(vterm_obtain_state(terminal.get()), VTERM_ATTR_REVERSE, &value);
        return value.boolean;
    }
    bool cursor_visible = true;

private:
    static int set_property(VTermProp property, VTermValue* value, void* user) {
        if (property == VTERM_PROP_CURSORVISIBLE)
            static_cast<Screen*>(user)->cursor_visible = value->boolean;
        return 1;
    }
    const VTermScreenCallbacks callbacks = [] {
        VTermScreenCallbacks callbacks{};
        callbacks.settermprop = set_property;
        return callbacks;
    }();

    std::unique_ptr<VTerm, void (*)(VTerm*)> terminal;
    VTermScreen* screen = nullptr;
};

// What a screen shows in its top-left rows x columns (at most 80 x 24): the
// characters, reverse video, the cursor and the pen.
struct Shown {
    std::vector<std::string> rows;
    std::vector<std::string> reverse;  // 'r' where reversed
    VTermPos cursor{};
    bool pen_reverse = false;
    bool operator==(const Shown& other) const {
        return rows == other.rows && reverse == other.reverse && cursor.row == other.cursor.row &&
               cursor.col == other.cursor.col && pen_reverse == other.pen_reverse;
    }
};

Shown shown(const Screen& screen, int rows = 24, int columns = 80) {
    Shown result;
    for (int row = 0; row < rows; ++row) {
        std::string text, reverse;
        for (int column = 0; column < columns; ++column) {
            text += screen.character(row, column);
            reverse += screen.reverse(row, column) ? 'r' : '.';
        }
        result.rows.push_back(text);
        result.reverse.push_back(reverse);
    }
    result.cursor = screen.cursor();
    result.pen_reverse = screen.pen_reverse();
    return result;
}

// Shown cut to the top-left rows x columns, its cursor where a terminal of
// that size would clamp it.
Shown cut(Shown whole, int rows, int columns) {
    whole.rows.resize(std::size_t(rows));
    whole.reverse.resize(std::size_t(rows));
    for (std::size_t row = 0; row < whole.rows.size(); ++row) {
        whole.rows[row].resize(std::size_t(columns));
        whole.reverse[row].resize(std::size_t(columns));
    }
    whole.cursor.row = std::min(whole.cursor.row, rows - 1);
    whole.cursor.col = std::min(whole.cursor.col, columns - 1);
    return whole;
}

void PrintTo(const Shown& shown, std::ostream* stream) {
    for (std::size_t row = 0; row < shown.rows.size(); ++row)
        *stream << "\n|" << shown.rows[row] << "| " << shown.reverse[row];
    *stream << "\ncursor " << shown.cursor.row << "," << shown.cursor.col << " pen reverse " << shown.pen_reverse;
}

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
    std::vector<std::string> options;
    std::string typed;
    std::string codes;  // the keys program prints for them
};

// Up, Down, Left, Right, Backspace, 'q'.
const std::string cursor_keys = "\033[A\033[B\033[D\033[C\x7Fq";
// Up, Down, Left, Right, Ctrl+Left, Ctrl+Right, Home, End, Page Up, Page
// Down, Delete, Insert, Backspace as DEL and as BS, Shift+Up, F1, 'q'.
const std::string editing_keys = "\033[A\033[B\033[D\033[C\033[1;5D\033[1;5C\033[H\033[F\033[5~\033[6~\033[3~\033[2~"
                                 "\x7F\x08\033[1;2A\033OPq";
const std::string wordstar_codes = "05 18 13 04 01 06 11 53 11 44 12 03 07 16 7F 7F 05 00 3B 71";

const KeysCase keys_cases[] = {
    {{"--terminal", "adm3a"}, cursor_keys, "0B 0A 08 0C 08 71"},
    {{"--terminal", "kaypro"}, cursor_keys, "0B 0A 08 0C 08 71"},
    {{"--terminal", "vt52"}, cursor_keys, "1B 41 1B 42 1B 44 1B 43 08 71"},
    {{"--terminal", "h19"}, cursor_keys, "1B 41 1B 42 1B 44 1B 43 08 71"},
    {{"--terminal", "tvi925"}, cursor_keys, "0B 16 08 0C 08 71"},
    {{"--terminal", "ansi"}, cursor_keys, "E0 48 E0 50 E0 4B E0 4D 7F 71"},
    // WordStar's keys, over the PC codes and over a terminal's own; F1 is
    // not among them and keeps its PC code.
    {{"--keys", "wordstar"}, editing_keys, wordstar_codes},
    {{"--terminal", "kaypro", "--keys", "wordstar"}, editing_keys, wordstar_codes},
    {{"--keys", "terminal", "--terminal", "vt52"}, "\033[A\033[H\x7Fq", "1B 41 E0 47 08 71"},
};

TEST(TerminalScreen, KeysSendTheTerminalsOrTheProfilesCodes) {
    for (const KeysCase& keys_case : keys_cases) {
        SCOPED_TRACE(testing::PrintToString(keys_case.options));
        TemporaryDirectory directory;
        keys_program().write(directory / "keys.com");
        std::vector<std::string> arguments = keys_case.options;
        arguments.push_back("keys");
        PtyRun run(directory.path(), arguments);
        ASSERT_TRUE(run.wait_for(">"));
        ASSERT_TRUE(run.type(keys_case.typed));
        EXPECT_TRUE(exited_with_zero(run.wait_exit()));
        EXPECT_EQ(Screen(run.output).row(0), ">" + keys_case.codes);
    }
}

// A host terminal smaller than 80 x 24 shows the warning on its last line,
// painted again after the program's first screen clear; a big enough one,
// and ansi, show none.
TEST(TerminalScreen, SmallHostTerminalIsWarnedOfAfterTheProgramsClear) {
    struct SizeCase {
        std::string terminal;
        std::string clear;
        winsize size;
        bool warned;
    };
    const SizeCase size_cases[] = {
        {"adm3a", "\x1A", {20, 70, 0, 0}, true},
        {"h19", "\033E", {24, 79, 0, 0}, true},
        {"vt52", "\033H\033J", {24, 80, 0, 0}, false},
        {"vt52", "\033H\033J", {40, 120, 0, 0}, false},
    };
    for (const SizeCase& size_case : size_cases) {
        SCOPED_TRACE(size_case.terminal + " " + std::to_string(size_case.size.ws_col));
        TemporaryDirectory directory;
        output_program(size_case.clear + "text").write(directory / "draw.com");
        PtyRun run(directory.path(), {"--terminal", size_case.terminal, "draw"}, nullptr, &size_case.size);
        ASSERT_TRUE(exited_with_zero(run.wait_exit()));
        Screen screen(size_case.size.ws_row, size_case.size.ws_col);
        screen.write(run.output);
        const std::string warning = "kavo: warning: the terminal is " + std::to_string(size_case.size.ws_col) + " x " +
                                    std::to_string(size_case.size.ws_row) + ", smaller than the 80 x 24 screen of " +
                                    size_case.terminal;
        EXPECT_EQ(screen.row(0), "text");
        EXPECT_EQ(screen.row(size_case.size.ws_row - 1),
                  size_case.warned ? warning.substr(0, size_case.size.ws_col - 1u) : "");
    }
}

struct LineEndCase {
    std::string terminal;
    std::string what;
    std::string program_output;
    int cursor_row;  // where the run leaves the cursor, always in column 0
};

const LineEndCase line_end_cases[] = {
    {"ansi", "text", "abc", 1},
    {"ansi", "text and CR LF", "abc\r\n", 1},
    {"ansi", "text and CR", "abc\r", 0},
    {"ansi", "LF alone, which keeps the column", "ab\n", 2},
    {"ansi", "an attribute after CR LF", "abc\r\n\033[1m", 1},
    {"ansi", "a cursor address", "\033[5;10H", 5},
    // A named terminal's run has the alternate screen: leaving it puts the
    // shell's screen and cursor back as they were.
    {"adm3a", "text and CR LF", "abc\r\n", 0},
    {"adm3a", "a cursor address", "\x1A" + adm3a_at(5, 10) + "x", 0},
    {"adm3a", "reverse video turned off at the end", "a\033B0\r\n", 0},
};

// A run that left the cursor inside a line used to leave the shell's prompt
// there; the cursor now ends at the start of a line, without a blank line
// after output that ended one.
TEST(TerminalScreen, RunEndsWithTheCursorAtTheStartOfALine) {
    const winsize size{host_rows, host_columns, 0, 0};
    for (const LineEndCase& line_end : line_end_cases) {
        SCOPED_TRACE(line_end.terminal + ": " + line_end.what);
        TemporaryDirectory directory;
        output_program(line_end.program_output).write(directory / "draw.com");
        PtyRun run(directory.path(), {"--terminal", line_end.terminal, "draw"}, nullptr, &size);
        ASSERT_TRUE(exited_with_zero(run.wait_exit()));
        const Screen screen(run.output);
        EXPECT_EQ(screen.cursor().row, line_end.cursor_row);
        EXPECT_EQ(screen.cursor().col, 0);
    }
    // ansi passes the program's bytes through, as they are.
    TemporaryDirectory directory;
    output_program("text").write(directory / "draw.com");
    const winsize small{20, 70, 0, 0};
    PtyRun run(directory.path(), {"--terminal", "ansi", "draw"}, nullptr, &small);
    ASSERT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, "text\r\n");
}

// A program that writes text through BDOS function 2, then reads keys
// through BIOS CONIN: 'q' warm-boots, 'h' halts, any other is read again.
Assembler waiting_program(const std::string& text) {
    constexpr std::uint16_t conin = kavo::address::bios_vector + 0x09;
    Assembler program;
    program.lxi(HL, "text").label("next").mov(A, M).ora(A).jz("wait");
    program.push(HL).mov(E, A).bdos(2).pop(HL).inx(HL).jmp("next");
    program.label("wait").call(conin).cpi('h').jz("halt").cpi('q').jnz("wait").exit();
    program.label("halt").hlt();
    program.label("text").db(text).db({0});
    return program;
}

// However the run ends, the shell's screen comes back as it was, the
// program's screen gone, and the modes the program turned on (reverse video,
// insert mode, a hidden cursor) are off again.
TEST(TerminalScreen, AlternateScreenIsEnteredAndLeftOnEveryEnd) {
    struct End {
        std::string name;
        std::string typed;  // or
        int signal_number;
        std::string message;  // on the shell's screen after the run
    };
    const End ends[] = {
        {"warm boot", "q", 0, ""},    {"HALT", "h", 0, "HALT instruction"}, {"Ctrl+\\", "\x1C", 0, ""},
        {"SIGTERM", "", SIGTERM, ""}, {"SIGHUP", "", SIGHUP, ""},           {"SIGINT", "", SIGINT, ""},
        {"SIGQUIT", "", SIGQUIT, ""},
    };
    const winsize size{host_rows, host_columns, 0, 0};
    for (const End& end : ends) {
        SCOPED_TRACE(end.name);
        TemporaryDirectory directory;
        waiting_program("\033E\033p\033@\033x5PROGRAM").write(directory / "modes.com");
        PtyRun run(directory.path(), {"--terminal", "h19", "modes"}, nullptr, &size);
        ASSERT_TRUE(run.wait_for("PROGRAM"));
        Screen screen(host_rows, host_columns, true);
        screen.write("shell$ kavo\r\n");
        screen.write(run.output);
        EXPECT_EQ(screen.row(0), "PROGRAM");
        EXPECT_FALSE(screen.cursor_visible);
        const std::size_t fed = run.output.size();
        if (end.signal_number)
            kill(run.pid, end.signal_number);
        else
            ASSERT_TRUE(run.type(end.typed));
        ASSERT_TRUE(run.wait_exit());
        screen.write(run.output.substr(fed));
        std::vector<std::string> rows{"shell$ kavo"};
        if (!end.message.empty())
            rows.insert(rows.end(), {"", end.message});
        for (int row = 0; row < host_rows; ++row)
            EXPECT_EQ(screen.row(row), std::size_t(row) < rows.size() ? rows[std::size_t(row)] : "") << "row " << row;
        EXPECT_TRUE(screen.cursor_visible);
        EXPECT_FALSE(screen.pen_reverse());
        // Without insert mode, a character written over another replaces it.
        const int row = screen.cursor().row;
        screen.write("ab\rX");
        EXPECT_EQ(screen.row(row), "Xb");
    }
}

// Program output for a model, through the translator, and the model it
// leaves.
struct ModelCase {
    host::TerminalModel model;
    std::string what;
    std::string program_output;
};

const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";

const ModelCase model_cases[] = {
    {host::TerminalModel::h19, "text wrapping past column 80",
     "\033E" + alphabet + alphabet + alphabet + alphabet + alphabet + alphabet + alphabet},
    {host::TerminalModel::h19, "the last column of the last line, then scrolling",
     "\033E" + lines + vt52_at(23, 75) + "0123456789\n\nZ"},
    {host::TerminalModel::h19, "tabs up to the last column", "\033E" + vt52_at(3, 60) + "\t\t\tX\tY\tZ"},
    {host::TerminalModel::h19, "moves right past column 80", "\033E" + vt52_at(5, 78) + "\033C\033C\033CQR"},
    {host::TerminalModel::h19, "backspace after column 80", "\033E" + vt52_at(6, 77) + "abc\bd"},
    {host::TerminalModel::h19, "insert and delete line in mid-line",
     "\033E" + lines + vt52_at(1, 5) + "\033LY" + vt52_at(2, 3) + "\033MZ"},
    {host::TerminalModel::h19, "cursor saved and restored with its attributes",
     "\033E" + vt52_at(2, 2) + "\033p\033j" + vt52_at(10, 10) + "\033qA\033kB"},
    {host::TerminalModel::h19, "reverse line feed and moves at the edges",
     "\033Etop\033H\033I\033I\033A\033Ax" + vt52_at(23, 0) + "\033B\033By\033D\033Dz"},
    {host::TerminalModel::h19, "insert mode and delete character", "\033Eabcdef\r\033@XY\033O\033N\033N"},
    {host::TerminalModel::h19, "clears to the start of line and screen, and of a line",
     "\033E" + lines + "\r\nfour" + vt52_at(1, 1) + "\033o" + vt52_at(2, 2) + "\033b" + vt52_at(3, 0) + "\033l"},
    {host::TerminalModel::adm3a, "reverse, line feeds at the bottom, clear to end of screen",
     "\x1A\033B0rev\033C0" + adm3a_at(23, 0) + "a\nb\nc" + adm3a_at(20, 0) + "\x17" + adm3a_at(0, 79) + "xy"},
    {host::TerminalModel::televideo, "attributes that take a column",
     "\x1A"
     "a\033G4bc\033G0d\033G8u\033G0"},
};

// The model keeps what a terminal shows of the translation: on an 80 x 24
// terminal, and on a bigger one with the scroll region kavo sets there.
TEST(TerminalScreen, ModelAgreesWithATerminalOfEverySize) {
    for (const ModelCase& model_case : model_cases) {
        SCOPED_TRACE(model_case.what);
        host::ScreenTranslator translator(model_case.model);
        std::string host_bytes;
        for (char byte : model_case.program_output)
            host_bytes += translator.put(std::uint8_t(byte));
        const host::ScreenModel& model = translator.screen();
        for (const auto& [rows, columns] : {std::pair{24, 80}, std::pair{host_rows, host_columns}}) {
            SCOPED_TRACE(std::to_string(columns) + " x " + std::to_string(rows));
            Screen screen(rows, columns);
            if (rows > 24)
                screen.write("\033[1;24r");
            screen.write(host_bytes);
            for (int row = 0; row < rows; ++row) {
                for (int column = 0; column < columns; ++column) {
                    const bool inside = row < 24 && column < 80;
                    const host::ScreenCell cell =
                        inside ? model.cell(unsigned(row), unsigned(column)) : host::ScreenCell{};
                    EXPECT_EQ(screen.character(row, column), cell.character) << row << "," << column;
                    EXPECT_EQ(screen.reverse(row, column), bool(cell.attributes & host::reversed))
                        << row << "," << column;
                }
            }
            EXPECT_EQ(screen.cursor().row, int(model.cursor_row()));
            EXPECT_EQ(screen.cursor().col, int(model.cursor_column()));
            EXPECT_EQ(screen.pen_reverse(), bool(model.attributes() & host::reversed));
        }
    }
}

// A drawn screen, redrawn after each change of the host terminal's size
// (and after a SIGWINCH without one), looks as it did, on a terminal that
// lost everything in the resize: cut to what fits, with the warning on the
// last line, on a terminal smaller than 80 x 24.
TEST(TerminalScreen, DrawnScreenSurvivesResizes) {
    TemporaryDirectory directory;
    waiting_program("\033E" + corners_and_middle(vt52_at) + vt52_at(3, 2) + "\033pinverse\033q " + alphabet + alphabet +
                    alphabet + alphabet + vt52_at(8, 0) + "\tx\t\033L" + vt52_at(18, 70) + "ab\033pREADY")
        .write(directory / "draw.com");
    const winsize start{host_rows, host_columns, 0, 0};
    PtyRun run(directory.path(), {"--terminal", "h19", "draw"}, nullptr, &start);
    ASSERT_TRUE(run.wait_for("READY"));
    Screen screen(host_rows, host_columns);
    screen.write(run.output);
    std::size_t fed = run.output.size();
    const Shown before = shown(screen);
    for (int row = 0; row < host_rows; ++row)
        EXPECT_EQ(screen.row(row).size(), 0u + (row < 24 ? before.rows[std::size_t(row)].find_last_not_of(' ') + 1 : 0))
            << "nothing past the 80 x 24 screen, row " << row;

    struct Resize {
        unsigned short rows, columns;
        bool signal_only = false;  // kill -WINCH, the size unchanged
    };
    const Resize resizes[] = {{24, 80}, {40, 120}, {20, 60}, {1, 1}, {24, 79}, {24, 80}, {24, 80, true}, {30, 100}};
    for (const Resize& resize : resizes) {
        SCOPED_TRACE(std::to_string(resize.columns) + " x " + std::to_string(resize.rows) +
                     (resize.signal_only ? " by kill" : ""));
        if (resize.signal_only)
            kill(run.pid, SIGWINCH);
        else
            run.resize(winsize{resize.rows, resize.columns, 0, 0});
        screen.resize(resize.rows, resize.columns);
        const bool small = resize.rows < 24 || resize.columns < 80;
        const int rows = std::min(24, resize.rows - int(small)), columns = std::min(80, int(resize.columns));
        Shown expected = cut(before, rows, columns);
        expected.cursor.row = std::min(before.cursor.row, resize.rows - 1);
        expected.cursor.col = std::min(before.cursor.col, resize.columns - 1);
        const std::string warning = std::string("kavo: warning: the terminal is " + std::to_string(resize.columns) +
                                                " x " + std::to_string(resize.rows))
                                        .substr(0, std::max(resize.columns - 1, 1));
        auto redrawn = [&](const std::string& output) {
            screen.write(std::string_view(output).substr(fed));
            fed = output.size();
            return shown(screen, rows, columns) == expected &&
                   (!small || screen.row(resize.rows - 1).rfind(warning, 0) == 0);
        };
        EXPECT_TRUE(run.wait_until(redrawn))
            << testing::PrintToString(shown(screen, rows, columns)) << "\nexpected" << testing::PrintToString(expected)
            << "\nlast line " << screen.row(resize.rows - 1);
    }
    run.type("q");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
}

// Output that goes on while the terminal is resized again and again, to
// 1 x 1 among others, with escape sequences cut by the resizes: once the size
// settles the screen is the one a run without resizes draws.
TEST(TerminalScreen, ScreenSettlesAfterResizesDuringABurstOfOutput) {
    std::string block = "\033E";
    for (int row = 0; row < 30; ++row)
        block += "row " + std::string(1, char('A' + row % 26)) + " \033pREV\033q " + alphabet + alphabet + alphabet +
                 "\033Y" + std::string(1, char(32 + row % 24)) + "(\033K\r\n";
    constexpr std::uint16_t counter = 0x0300;
    constexpr std::uint16_t conin = kavo::address::bios_vector + 0x09;
    Assembler program;
    program.mvi(A, 20).sta(counter).label("block").lxi(HL, "block_text");
    program.label("next").mov(A, M).ora(A).jz("block_end");
    program.push(HL).mov(E, A).bdos(2).pop(HL).inx(HL).jmp("next");
    program.label("block_end").lda(counter).dcr(A).sta(counter).jnz("block");
    program.lxi(HL, "done").label("last").mov(A, M).ora(A).jz("wait");
    program.push(HL).mov(E, A).bdos(2).pop(HL).inx(HL).jmp("last");
    program.label("wait").call(conin).cpi('q').jnz("wait").exit();
    program.label("block_text").db(block).db({0});
    program.label("done").db(vt52_at(5, 5) + "\033pDONE").db({0});
    TemporaryDirectory directory;
    program.write(directory / "burst.com");
    const winsize settled{24, 80, 0, 0};

    PtyRun reference(directory.path(), {"--terminal", "h19", "burst"}, nullptr, &settled);
    ASSERT_TRUE(reference.wait_for("DONE", 60s));
    Screen reference_screen(24, 80);
    reference_screen.write(reference.output);
    const Shown expected = shown(reference_screen);
    reference.type("q");
    EXPECT_TRUE(exited_with_zero(reference.wait_exit()));

    PtyRun run(directory.path(), {"--terminal", "h19", "burst"}, nullptr, &settled);
    Screen screen(24, 80);
    std::size_t fed = 0;
    const winsize sizes[] = {{1, 1, 0, 0}, {40, 100, 0, 0}, {20, 60, 0, 0}, {24, 80, 0, 0}, {3, 200, 0, 0}};
    for (int resize = 0; resize < 16; ++resize) {
        const std::size_t awaited = fed + 4000;
        if (!run.wait_until([&](const std::string& output) { return output.size() >= awaited; }))
            break;
        const winsize& size = sizes[std::size_t(resize) % std::size(sizes)];
        run.resize(size);
        screen.write(std::string_view(run.output).substr(fed));
        fed = run.output.size();
        screen.resize(size.ws_row, size.ws_col);
    }
    run.resize(winsize{20, 60, 0, 0});
    run.resize(settled);
    screen.resize(24, 80);
    auto settled_screen = [&](const std::string& output) {
        screen.write(std::string_view(output).substr(fed));
        fed = output.size();
        return output.find("DONE") != std::string::npos && shown(screen) == expected;
    };
    EXPECT_TRUE(run.wait_until(settled_screen, 60s))
        << testing::PrintToString(shown(screen)) << "\nexpected" << testing::PrintToString(expected);
    run.type("q");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
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
