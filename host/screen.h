// The screen codes of the terminals CP/M programs were installed for, translated into ECMA-48 (xterm) sequences.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace host {

// The terminal a program was installed for. ansi passes the program's bytes
// through; every other model has a table of its codes.
enum class TerminalModel { ansi, adm3a, vt52, h19, televideo };

// The model a --terminal name selects: ansi; adm3a or kaypro; vt52; h19;
// tvi925, tvi912 or tvi920. Nothing for any other name.
std::optional<TerminalModel> terminal_model_named(std::string_view name);

// Every name terminal_model_named accepts, for help and error messages.
inline constexpr std::string_view terminal_model_names = "ansi, adm3a, kaypro, vt52, h19, tvi925, tvi912, tvi920";

// The screen of every named model.
inline constexpr unsigned screen_rows = 24;
inline constexpr unsigned screen_columns = 80;

// Renditions of a character cell, as ECMA-48 SGR turns them on.
enum CellAttribute : std::uint8_t {
    half_bright = 1,  // SGR 2
    underlined = 2,   // SGR 4
    blinking = 4,     // SGR 5
    reversed = 8,     // SGR 7
    concealed = 16    // SGR 8
};

struct ScreenCell {
    char character = ' ';
    std::uint8_t attributes = 0;
    bool operator==(const ScreenCell&) const = default;
};

// The size of the host terminal in character cells.
struct HostSize {
    unsigned rows = screen_rows;
    unsigned columns = screen_columns;
};

// The 80 x 24 screen a named model's translation draws: its characters and
// their attributes, the cursor and the modes, as an ECMA-48 terminal of that
// size shows them. It reads the translator's output, complete sequences of
// the few kinds the tables produce (printable ASCII; BEL, BS, HT, LF, CR; ESC
// 7, ESC 8, ESC M; CSI A B C D H J K L M P @ Z m r, 4 h/l, ?5 h/l, ?25 h/l),
// and ignores anything else.
class ScreenModel {
public:
    ScreenModel();

    // Interprets host, a run of whole sequences, and appends to shown what
    // makes a host terminal of 80 columns or more show the same: the
    // sequences themselves, but where terminals differ, or a wider one would
    // go past column 80, their effect spelt out. A character written in
    // column 80 is followed by a cursor address to it, and the character
    // after it by CR LF first (no host keeps a pending wrap of its own); TAB,
    // back tab and restoring the cursor become a cursor address (and
    // rendition), saving the cursor nothing, a move right or down past the
    // screen's edge a cursor address to it; insert and delete line are
    // followed by CR.
    void write(std::string_view host, std::string& shown);
    // write() for one printable character.
    void write_character(char character, std::string& shown);

    const ScreenCell& cell(unsigned row, unsigned column) const { return cells[row * screen_columns + column]; }
    unsigned cursor_row() const { return row; }
    unsigned cursor_column() const { return column; }
    std::uint8_t attributes() const { return rendition; }
    bool insert_mode() const { return inserting; }
    bool cursor_hidden() const { return hidden; }
    bool reverse_screen() const { return reverse; }

    // True when other shows what this does: the same cells, cursor,
    // attributes and modes (a pending wrap and a saved cursor aside).
    bool shows_same(const ScreenModel& other) const;

private:
    void control_sequence(std::string_view parameters, char final_byte, std::string_view sequence, std::string& shown);
    void line_feed();
    void scroll(unsigned top, int lines);
    void erase(unsigned first, unsigned last);  // cells by index, both included
    void append_address(std::string& shown) const;

    std::array<ScreenCell, screen_rows * screen_columns> cells;
    unsigned row = 0, column = 0;
    bool wrap_pending = false;  // the last character went into column 80; the next one starts a line
    std::uint8_t rendition = 0;
    bool inserting = false, hidden = false, reverse = false;
    unsigned saved_row = 0, saved_column = 0;
    std::uint8_t saved_rendition = 0;
};

struct ScreenTable;

// Turns what a program writes for its terminal into what the host terminal
// understands. A named model's table decides everything: a code in the table
// becomes its ECMA-48 sequence (cursor addresses clamped to 80 x 24); a
// sequence that arrives in pieces is held until it is whole; an ESC that
// starts no sequence of the table is dropped and the bytes after it are read
// again as text; control bytes the table lacks are dropped. Bit 7 is ignored
// as those terminals did (but an address byte past 0x7F clamps to the last
// line or column), so no byte from the program reaches the host terminal
// unless it is printable ASCII or the table produced it. What goes out is
// kept in a ScreenModel, and shaped by it.
class ScreenTranslator {
public:
    explicit ScreenTranslator(TerminalModel model = TerminalModel::ansi);

    // True for ansi: the caller writes the program's bytes itself.
    bool passes_through() const { return table == nullptr; }

    // The host bytes for the next byte the program writes (named models only);
    // valid until the next call.
    std::string_view put(std::uint8_t byte);

    // Text of kavo's own on the program's screen: its printable characters,
    // CR and LF, kept in the model like the program's; valid until the next
    // call.
    std::string_view put_text(std::string_view text);

    // The end of the run: drops an incomplete sequence, and returns what turns
    // off the modes the run left on (attributes, insert mode, a hidden cursor).
    std::string_view finish();

    // What finish() would return now, and the modes it turns off.
    std::string mode_resets() const;
    std::uint8_t modes_left_on() const { return modes; }

    const ScreenModel& screen() const { return model; }

private:
    void feed(std::uint8_t byte);
    void emit_cursor_address(std::uint8_t row, std::uint8_t column);

    const ScreenTable* table = nullptr;
    std::array<std::uint8_t, 8> pending{};  // the beginning of a sequence not yet whole
    std::size_t pending_count = 0;
    std::uint8_t modes = 0;
    ScreenModel model;
    std::string output;
};

// The line that warns of a host terminal smaller than 80 x 24, naming the
// terminal the program expects; empty for a big enough one.
std::string small_screen_warning(HostSize size, std::string_view terminal_name);

// What repaints the whole model on a host terminal of size, at its top left:
// the scroll region set to the model's lines where the host has more, the
// screen cleared, every cell that fits drawn, warning (when not empty) on the
// host's last line in reverse video, then the cursor, attributes and modes
// as the model has them.
std::string redraw_screen(const ScreenModel& model, HostSize size, std::string_view warning);

// What paints warning on the host's last line again, the cursor, attributes
// and insert mode put back as the model has them.
std::string show_warning(const ScreenModel& model, HostSize size, std::string_view warning);

// The whole translation of one run's output under model: bytes in, bytes out.
std::string translate_screen(TerminalModel model, std::span<const std::uint8_t> program_output);

}  // namespace host
