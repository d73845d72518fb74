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

struct ScreenTable;

// Turns what a program writes for its terminal into what the host terminal
// understands. A named model's table decides everything: a code in the table
// becomes its ECMA-48 sequence (cursor addresses clamped to 80 x 24); a
// sequence that arrives in pieces is held until it is whole; an ESC that
// starts no sequence of the table is dropped and the bytes after it are read
// again as text; control bytes the table lacks are dropped. Bit 7 is ignored
// as those terminals did (but an address byte past 0x7F clamps to the last
// line or column), so no byte from the program reaches the host terminal
// unless it is printable ASCII or the table produced it.
class ScreenTranslator {
public:
    explicit ScreenTranslator(TerminalModel model = TerminalModel::ansi);

    // True for ansi: the caller writes the program's bytes itself.
    bool passes_through() const { return table == nullptr; }

    // The host bytes for the next byte the program writes (named models only);
    // valid until the next call.
    std::string_view put(std::uint8_t byte);

    // The end of the run: drops an incomplete sequence, and returns what turns
    // off the modes the run left on (attributes, insert mode, a hidden cursor).
    std::string_view finish();

private:
    void feed(std::uint8_t byte);
    void emit_cursor_address(std::uint8_t row, std::uint8_t column);

    const ScreenTable* table = nullptr;
    std::array<std::uint8_t, 8> pending{};  // the beginning of a sequence not yet whole
    std::size_t pending_count = 0;
    std::uint8_t modes_left_on = 0;
    std::string output;
};

// When standard output is a terminal smaller than 80 x 24, says so in one
// line on standard error, naming the terminal the program expects.
void warn_if_screen_is_small(std::string_view terminal_name);

// The whole translation of one run's output under model: bytes in, bytes out.
std::string translate_screen(TerminalModel model, std::span<const std::uint8_t> program_output);

}  // namespace host
