// The screen translator: a named terminal's table applied to the bytes a program writes.
#include "host/screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "host/screen_tables.h"

namespace host {

namespace {

struct ModelName {
    std::string_view name;
    TerminalModel model;
};

constexpr ModelName model_names[] = {
    {"ansi", TerminalModel::ansi},        {"adm3a", TerminalModel::adm3a},      {"kaypro", TerminalModel::adm3a},
    {"vt52", TerminalModel::vt52},        {"h19", TerminalModel::h19},          {"tvi925", TerminalModel::televideo},
    {"tvi912", TerminalModel::televideo}, {"tvi920", TerminalModel::televideo},
};

enum class Match { none, partial, whole };

// How the bytes of a sequence begun so far stand to one code of the table;
// bit 7 of the bytes is ignored.
Match match(const ScreenSequence& sequence, std::span<const std::uint8_t> bytes) {
    const std::size_t fixed = std::min(bytes.size(), sequence.code.size());
    for (std::size_t index = 0; index < fixed; ++index)
        if ((bytes[index] & 0x7F) != std::uint8_t(sequence.code[index]))
            return Match::none;
    const std::size_t length = sequence.code.size() + sequence.operands;
    if (bytes.size() < length)
        return Match::partial;
    return bytes.size() == length ? Match::whole : Match::none;
}

// The host's 1-based line or column for an operand byte of a cursor address:
// the value + 32, clamped to the screen (bytes past 0x7F too).
unsigned screen_position(std::uint8_t operand, unsigned size) {
    const unsigned value = operand < 32 ? 0 : operand - 32u;
    return std::min(value, size - 1) + 1;
}

void append_number(std::string& text, unsigned number) {
    if (number >= 10)
        text += char('0' + number / 10);
    text += char('0' + number % 10);
}

}  // namespace

std::optional<TerminalModel> terminal_model_named(std::string_view name) {
    for (const ModelName& entry : model_names)
        if (entry.name == name)
            return entry.model;
    return std::nullopt;
}

ScreenTranslator::ScreenTranslator(TerminalModel model) : table(screen_table(model)) {}

std::string_view ScreenTranslator::put(std::uint8_t byte) {
    output.clear();
    feed(byte);
    return output;
}

// Adds one byte to the sequence begun, or starts one, and appends to output
// whatever that completes.
void ScreenTranslator::feed(std::uint8_t byte) {
    const std::uint8_t character = byte & 0x7F;
    if (pending_count == 0 && character >= 0x20 && character < 0x7F) {
        output += char(character);
        return;
    }
    pending[pending_count++] = byte;
    const std::span<const std::uint8_t> begun(pending.data(), pending_count);
    bool may_go_on = false;
    for (const ScreenSequence& sequence : table->sequences) {
        const Match result = match(sequence, begun);
        if (result == Match::whole) {
            pending_count = 0;
            modes_left_on |= sequence.leaves;
            if (sequence.addresses_cursor)
                emit_cursor_address(begun[sequence.code.size()], begun[sequence.code.size() + 1]);
            else
                output += sequence.host;
            return;
        }
        may_go_on = may_go_on || result == Match::partial;
    }
    if (may_go_on)
        return;
    // No code begins so: its first byte (an ESC, or a control byte the
    // terminal ignored) is dropped, and the rest is read again as text.
    const std::array<std::uint8_t, 8> rest = pending;
    const std::size_t rest_count = pending_count;
    pending_count = 0;
    for (std::size_t index = 1; index < rest_count; ++index)
        feed(rest[index]);
}

void ScreenTranslator::emit_cursor_address(std::uint8_t row, std::uint8_t column) {
    output += "\033[";
    append_number(output, screen_position(row, screen_rows));
    output += ';';
    append_number(output, screen_position(column, screen_columns));
    output += 'H';
}

std::string_view ScreenTranslator::finish() {
    output.clear();
    pending_count = 0;
    if (modes_left_on & leaves_attributes)
        output += "\033[0m";
    if (modes_left_on & leaves_insert_mode)
        output += "\033[4l";
    if (modes_left_on & leaves_cursor_hidden)
        output += "\033[?25h";
    if (modes_left_on & leaves_reverse_screen)
        output += "\033[?5l";
    modes_left_on = 0;
    return output;
}

void warn_if_screen_is_small(std::string_view terminal_name) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
        return;
    if (size.ws_row >= screen_rows && size.ws_col >= screen_columns)
        return;
    std::fprintf(stderr, "kavo: warning: the terminal is %u x %u, smaller than the %u x %u screen of %.*s\n",
                 unsigned(size.ws_col), unsigned(size.ws_row), screen_columns, screen_rows, int(terminal_name.size()),
                 terminal_name.data());
}

std::string translate_screen(TerminalModel model, std::span<const std::uint8_t> program_output) {
    ScreenTranslator translator(model);
    if (translator.passes_through())
        return {program_output.begin(), program_output.end()};
    std::string result;
    for (std::uint8_t byte : program_output)
        result += translator.put(byte);
    result += translator.finish();
    return result;
}

}  // namespace host
