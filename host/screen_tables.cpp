// One table per terminal: the codes ADM-3A/Kaypro, VT52, H19 and TeleVideo programs write, and their ECMA-48 meaning.
#include "host/screen_tables.h"

namespace host {

namespace {

// What the host terminal gets.
namespace ecma48 {
constexpr std::string_view bell = "\a", backspace = "\b", tab = "\t", line_feed = "\n", carriage_return = "\r";
constexpr std::string_view home = "\033[H", clear_screen = "\033[H\033[2J";
constexpr std::string_view up = "\033[A", down = "\033[B", right = "\033[C", left = "\033[D";
constexpr std::string_view reverse_line_feed = "\033M";
constexpr std::string_view clear_to_line_end = "\033[K", clear_to_screen_end = "\033[J";
constexpr std::string_view clear_line = "\033[2K", clear_to_line_start = "\033[1K", clear_to_screen_start = "\033[1J";
constexpr std::string_view insert_line = "\033[L", delete_line = "\033[M";
constexpr std::string_view insert_character = "\033[@", delete_character = "\033[P";
constexpr std::string_view insert_mode_on = "\033[4h", insert_mode_off = "\033[4l";
constexpr std::string_view reverse_on = "\033[7m", reverse_off = "\033[27m";
constexpr std::string_view half_on = "\033[2m", half_off = "\033[22m";
constexpr std::string_view underline_on = "\033[4m", underline_off = "\033[24m";
constexpr std::string_view blink_on = "\033[5m", blink_off = "\033[25m";
constexpr std::string_view cursor_on = "\033[?25h", cursor_off = "\033[?25l";
constexpr std::string_view save_cursor = "\0337", restore_cursor = "\0338";
constexpr std::string_view reverse_screen_on = "\033[?5h", reverse_screen_off = "\033[?5l";
constexpr std::string_view back_tab = "\033[Z";
constexpr std::string_view reset_modes = "\033[0m\033[4l\033[?25h";
}  // namespace ecma48

// A code with its host sequence.
constexpr ScreenSequence write(std::string_view code, std::string_view host, std::uint8_t leaves = 0) {
    return {code, host, 0, false, leaves};
}
// A code followed by row + 32 and column + 32.
constexpr ScreenSequence address(std::string_view code) { return {code, {}, 2, true, 0}; }
// A code the host has no use for, and the operand bytes that belong to it.
constexpr ScreenSequence ignore(std::string_view code, std::uint8_t operands = 0) {
    return {code, {}, operands, false, 0};
}

// The control bytes every one of these terminals treats alike.
#define KAVO_COMMON_CONTROLS                                                                                           \
    write("\a", ecma48::bell), write("\b", ecma48::backspace), write("\t", ecma48::tab),                               \
        write("\n", ecma48::line_feed), write("\r", ecma48::carriage_return)

// Lear Siegler ADM-3A, with the additions of the Kaypro's screen, which
// extend it without changing any of its codes.
constexpr ScreenSequence adm3a_sequences[] = {
    KAVO_COMMON_CONTROLS,
    address("\033="),
    write("\x1E", ecma48::home),
    write("\x1A", ecma48::clear_screen),
    write("\x0B", ecma48::up),
    write("\x0C", ecma48::right),
    // Kaypro
    write("\x18", ecma48::clear_to_line_end),
    write("\x17", ecma48::clear_to_screen_end),
    write("\033E", ecma48::insert_line),
    write("\033R", ecma48::delete_line),
    write("\033B0", ecma48::reverse_on, leaves_attributes),
    write("\033C0", ecma48::reverse_off),
    write("\033B1", ecma48::half_on, leaves_attributes),
    write("\033C1", ecma48::half_off),
    write("\033B2", ecma48::blink_on, leaves_attributes),
    write("\033C2", ecma48::blink_off),
    write("\033B3", ecma48::underline_on, leaves_attributes),
    write("\033C3", ecma48::underline_off),
    write("\033B4", ecma48::cursor_on),
    write("\033C4", ecma48::cursor_off, leaves_cursor_hidden),
    write("\033B6", ecma48::save_cursor),
    write("\033C6", ecma48::restore_cursor),
    ignore("\033B", 1),  // video mode and status line
    ignore("\033C", 1),
    ignore("\033*", 2),  // set and clear a pixel
    ignore("\033 ", 2),
    ignore("\033L", 4),  // draw and erase a line of pixels
    ignore("\033D", 4),
};

// DEC VT52.
constexpr ScreenSequence vt52_sequences[] = {
    KAVO_COMMON_CONTROLS,
    address("\033Y"),
    write("\033A", ecma48::up),
    write("\033B", ecma48::down),
    write("\033C", ecma48::right),
    write("\033D", ecma48::left),
    write("\033H", ecma48::home),
    write("\033I", ecma48::reverse_line_feed),
    write("\033J", ecma48::clear_to_screen_end),
    write("\033K", ecma48::clear_to_line_end),
    ignore("\033F"),  // graphics character set on and off
    ignore("\033G"),
    ignore("\033="),  // keypad modes
    ignore("\033>"),
    ignore("\033Z"),  // identify
    ignore("\033["),  // hold screen on and off
    ignore("\033\\"),
    ignore("\033<"),  // ANSI mode
    ignore("\033]"),  // printer: screen, line, controller on and off
    ignore("\033V"),
    ignore("\033W"),
    ignore("\033X"),
    ignore("\033^"),  // auto print on and off
    ignore("\033_"),
};

// Heath/Zenith H19 (and Z19), a VT52 with more.
constexpr ScreenSequence h19_sequences[] = {
    KAVO_COMMON_CONTROLS,
    address("\033Y"),
    write("\033A", ecma48::up),
    write("\033B", ecma48::down),
    write("\033C", ecma48::right),
    write("\033D", ecma48::left),
    write("\033H", ecma48::home),
    write("\033I", ecma48::reverse_line_feed),
    write("\033J", ecma48::clear_to_screen_end),
    write("\033K", ecma48::clear_to_line_end),
    write("\033E", ecma48::clear_screen),
    write("\033b", ecma48::clear_to_screen_start),
    write("\033l", ecma48::clear_line),
    write("\033o", ecma48::clear_to_line_start),
    write("\033L", ecma48::insert_line),
    write("\033M", ecma48::delete_line),
    write("\033N", ecma48::delete_character),
    write("\033@", ecma48::insert_mode_on, leaves_insert_mode),
    write("\033O", ecma48::insert_mode_off),
    write("\033p", ecma48::reverse_on, leaves_attributes),
    write("\033q", ecma48::reverse_off),
    write("\033x5", ecma48::cursor_off, leaves_cursor_hidden),
    write("\033y5", ecma48::cursor_on),
    write("\033j", ecma48::save_cursor),
    write("\033k", ecma48::restore_cursor),
    write("\033z", ecma48::reset_modes),
    ignore("\033x", 1),  // other modes: 25th line, cursor shape, keypad, line ends
    ignore("\033y", 1),
    ignore("\033r", 1),  // baud rate
    ignore("\033F"),     // graphics character set on and off
    ignore("\033G"),
    ignore("\033n"),  // cursor position report
    ignore("\033Z"),  // identify
    ignore("\033v"),  // wrap or discard at the line end
    ignore("\033w"),
    ignore("\033t"),  // keypad modes
    ignore("\033u"),
    ignore("\033="),
    ignore("\033>"),
    ignore("\033["),  // hold screen on and off
    ignore("\033\\"),
    ignore("\033<"),  // ANSI mode
    ignore("\033{"),  // keyboard on and off
    ignore("\033}"),
    ignore("\033#"),  // transmit page
};

// TeleVideo 925, whose codes include those of the 912 and 920. Its
// attributes take a column of the screen, shown as a plain blank.
constexpr ScreenSequence televideo_sequences[] = {
    KAVO_COMMON_CONTROLS,
    address("\033="),
    write("\x1E", ecma48::home),
    write("\x0B", ecma48::up),
    write("\x16", ecma48::down),
    write("\x0C", ecma48::right),
    write("\x1A", ecma48::clear_screen),
    write("\033*", ecma48::clear_screen),
    write("\033+", ecma48::clear_screen),
    write("\033:", ecma48::clear_screen),
    write("\033;", ecma48::clear_screen),
    write("\033T", ecma48::clear_to_line_end),
    write("\033t", ecma48::clear_to_line_end),
    write("\033Y", ecma48::clear_to_screen_end),
    write("\033y", ecma48::clear_to_screen_end),
    write("\033E", ecma48::insert_line),
    write("\033R", ecma48::delete_line),
    write("\033Q", ecma48::insert_character),
    write("\033W", ecma48::delete_character),
    write("\033j", ecma48::reverse_line_feed),
    write("\033I", ecma48::back_tab),
    write("\033)", ecma48::half_on, leaves_attributes),
    write("\033(", ecma48::half_off),
    write("\033G0", "\033[0m "),
    write("\033G1", "\033[0m \033[8m", leaves_attributes),
    write("\033G2", "\033[0m \033[5m", leaves_attributes),
    write("\033G3", "\033[0m \033[5;8m", leaves_attributes),
    write("\033G4", "\033[0m \033[7m", leaves_attributes),
    write("\033G5", "\033[0m \033[7;8m", leaves_attributes),
    write("\033G6", "\033[0m \033[5;7m", leaves_attributes),
    write("\033G7", "\033[0m \033[5;7;8m", leaves_attributes),
    write("\033G8", "\033[0m \033[4m", leaves_attributes),
    write("\033G9", "\033[0m \033[4;8m", leaves_attributes),
    write("\033G:", "\033[0m \033[4;5m", leaves_attributes),
    write("\033G;", "\033[0m \033[4;5;8m", leaves_attributes),
    write("\033G<", "\033[0m \033[4;7m", leaves_attributes),
    write("\033G=", "\033[0m \033[4;7;8m", leaves_attributes),
    write("\033G>", "\033[0m \033[4;5;7m", leaves_attributes),
    write("\033G?", "\033[0m \033[4;5;7;8m", leaves_attributes),
    write("\033.0", ecma48::cursor_off, leaves_cursor_hidden),
    write("\033.1", ecma48::cursor_on),
    write("\033.2", ecma48::cursor_on),
    write("\033.3", ecma48::cursor_on),
    write("\033.4", ecma48::cursor_on),
    write("\033b", ecma48::reverse_screen_on, leaves_reverse_screen),
    write("\033d", ecma48::reverse_screen_off),
    ignore("\033G", 1),
    ignore("\033.", 1),
    ignore("\0331"),  // tab stops
    ignore("\0332"),
    ignore("\0333"),
    ignore("\033&"),  // protect mode on and off
    ignore("\033'"),
    ignore("\033\""),  // keyboard unlock and lock
    ignore("\033#"),
    ignore("\033<"),  // key click
    ignore("\033>"),
    ignore("\033g"),  // status line on and off
    ignore("\033h"),
    ignore("\033k"),  // edit modes
    ignore("\033l"),
};

#undef KAVO_COMMON_CONTROLS

constexpr ScreenTable adm3a_table{adm3a_sequences};
constexpr ScreenTable vt52_table{vt52_sequences};
constexpr ScreenTable h19_table{h19_sequences};
constexpr ScreenTable televideo_table{televideo_sequences};

}  // namespace

const ScreenTable* screen_table(TerminalModel model) {
    switch (model) {
    case TerminalModel::ansi: return nullptr;
    case TerminalModel::adm3a: return &adm3a_table;
    case TerminalModel::vt52: return &vt52_table;
    case TerminalModel::h19: return &h19_table;
    case TerminalModel::televideo: return &televideo_table;
    }
    return nullptr;
}

}  // namespace host
