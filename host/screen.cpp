// The screen translator: a named terminal's table applied to the bytes a program writes.
#include "host/screen.h"

#include <algorithm>

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

// ESC [ row ; column H, 1-based.
void append_cursor_address(std::string& text, unsigned row, unsigned column) {
    text += "\033[";
    append_number(text, row);
    text += ';';
    append_number(text, column);
    text += 'H';
}

// SGR turning on exactly attributes.
void append_rendition(std::string& text, std::uint8_t attributes) {
    static constexpr std::pair<std::uint8_t, char> parameters[] = {
        {half_bright, '2'}, {underlined, '4'}, {blinking, '5'}, {reversed, '7'}, {concealed, '8'}};
    text += "\033[0";
    for (const auto& [attribute, parameter] : parameters) {
        if (attributes & attribute) {
            text += ';';
            text += parameter;
        }
    }
    text += 'm';
}

// The numbers of a CSI's parameters (up to eight; an empty one is 0).
struct Parameters {
    std::array<unsigned, 8> values{};
    std::size_t count = 0;
    // The first value, 1 when it is 0 or missing: a count or a position.
    unsigned first_or_one() const { return count > 0 && values[0] > 0 ? values[0] : 1; }
};

Parameters parse_parameters(std::string_view text) {
    Parameters result;
    if (text.empty())
        return result;
    result.count = 1;
    for (char character : text) {
        if (character == ';') {
            if (result.count < result.values.size())
                ++result.count;
        } else if (character >= '0' && character <= '9') {
            unsigned& value = result.values[result.count - 1];
            value = std::min(value * 10 + unsigned(character - '0'), 9999u);
        }
    }
    return result;
}

constexpr unsigned last_row = screen_rows - 1, last_column = screen_columns - 1;

// A blank screen, copied from to blank cells: a copy goes much faster than
// filling cells one by one.
constexpr auto blank_cells = [] {
    std::array<ScreenCell, screen_rows * screen_columns> cells{};
    return cells;
}();

// Blanks count cells from first.
void blank(ScreenCell* first, std::size_t count) { std::copy_n(blank_cells.begin(), count, first); }

}  // namespace

ScreenModel::ScreenModel() : cells(blank_cells) {}

bool ScreenModel::shows_same(const ScreenModel& other) const {
    return cells == other.cells && row == other.row && column == other.column && rendition == other.rendition &&
           inserting == other.inserting && hidden == other.hidden && reverse == other.reverse;
}

void ScreenModel::append_address(std::string& shown) const { append_cursor_address(shown, row + 1, column + 1); }

void ScreenModel::erase(unsigned first, unsigned last) { blank(cells.data() + first, last + 1 - first); }

// Moves lines top to the bottom by lines (up when negative), blank lines
// coming in.
void ScreenModel::scroll(unsigned top, int lines) {
    ScreenCell* const begin = cells.data() + top * screen_columns;
    ScreenCell* const end = cells.data() + cells.size();
    const unsigned moved = std::min(unsigned(lines < 0 ? -lines : lines), screen_rows - top);
    const unsigned distance = moved * screen_columns;
    if (lines < 0) {
        std::copy(begin + distance, end, begin);
        blank(end - distance, distance);
    } else {
        std::copy_backward(begin, end - distance, end);
        blank(begin, distance);
    }
}

void ScreenModel::line_feed() {
    wrap_pending = false;
    if (row == last_row)
        scroll(0, -1);
    else
        ++row;
}

void ScreenModel::write_character(char character, std::string& shown) {
    if (wrap_pending) {
        shown += "\r\n";
        column = 0;
        line_feed();
    }
    ScreenCell* line = &cells[row * screen_columns];
    if (inserting)
        std::copy_backward(line + column, line + last_column, line + screen_columns);
    line[column] = {character, rendition};
    shown += character;
    if (column == last_column) {
        wrap_pending = true;
        append_address(shown);
    } else {
        ++column;
    }
}

void ScreenModel::write(std::string_view host, std::string& shown) {
    std::size_t index = 0;
    while (index < host.size()) {
        const char byte = host[index];
        if (byte >= 0x20 && byte < 0x7F) {
            write_character(byte, shown);
            ++index;
            continue;
        }
        if (byte != '\033') {
            switch (byte) {
            case '\a': shown += byte; break;
            case '\b':
                wrap_pending = false;
                column -= column > 0;
                shown += byte;
                break;
            case '\t':
                wrap_pending = false;
                column = std::min(column / 8 * 8 + 8, last_column);
                append_address(shown);
                break;
            case '\n':
                line_feed();
                shown += byte;
                break;
            case '\r':
                wrap_pending = false;
                column = 0;
                shown += byte;
                break;
            default: break;
            }
            ++index;
            continue;
        }
        if (index + 1 == host.size())
            break;
        const char kind = host[index + 1];
        if (kind != '[') {
            if (kind == '7') {
                saved_row = row;
                saved_column = column;
                saved_rendition = rendition;
            } else if (kind == '8') {
                wrap_pending = false;
                row = saved_row;
                column = saved_column;
                rendition = saved_rendition;
                append_address(shown);
                append_rendition(shown, rendition);
            } else if (kind == 'M') {
                wrap_pending = false;
                if (row == 0)
                    scroll(0, 1);
                else
                    --row;
                shown += host.substr(index, 2);
            }
            index += 2;
            continue;
        }
        std::size_t end = index + 2;
        while (end < host.size() && ((host[end] >= '0' && host[end] <= '9') || host[end] == ';' || host[end] == '?'))
            ++end;
        if (end == host.size())
            break;
        control_sequence(host.substr(index + 2, end - index - 2), host[end], host.substr(index, end + 1 - index),
                         shown);
        index = end + 1;
    }
}

// One CSI: its parameter bytes, final byte and the whole sequence.
void ScreenModel::control_sequence(std::string_view parameter_text, char final_byte, std::string_view sequence,
                                   std::string& shown) {
    const bool private_mode = !parameter_text.empty() && parameter_text[0] == '?';
    const Parameters parameters = parse_parameters(private_mode ? parameter_text.substr(1) : parameter_text);
    const unsigned count = parameters.first_or_one();
    const unsigned here = row * screen_columns + column;
    if (final_byte != 'm' && final_byte != 'h' && final_byte != 'l')
        wrap_pending = false;
    switch (final_byte) {
    case 'A': row -= std::min(count, row); break;
    case 'B':
        if (row + count > last_row) {
            row = last_row;
            append_address(shown);
            return;
        }
        row += count;
        break;
    case 'C':
        if (column + count > last_column) {
            column = last_column;
            append_address(shown);
            return;
        }
        column += count;
        break;
    case 'D': column -= std::min(count, column); break;
    case 'H':
        row = std::min(count, screen_rows) - 1;
        column =
            parameters.count > 1 && parameters.values[1] > 0 ? std::min(parameters.values[1], screen_columns) - 1 : 0;
        break;
    case 'r':  // the scroll region, which the model's screen always fills, homes the cursor
        row = column = 0;
        break;
    case 'J': {
        const unsigned mode = parameters.values[0];
        if (mode == 0)
            erase(here, unsigned(cells.size()) - 1);
        else if (mode == 1)
            erase(0, here);
        else if (mode == 2)
            erase(0, unsigned(cells.size()) - 1);
        break;
    }
    case 'K': {
        const unsigned mode = parameters.values[0], start = row * screen_columns;
        if (mode == 0)
            erase(here, start + last_column);
        else if (mode == 1)
            erase(start, here);
        else if (mode == 2)
            erase(start, start + last_column);
        break;
    }
    case 'L':
    case 'M':
        scroll(row, final_byte == 'L' ? int(count) : -int(count));
        // Scroll within the lines from the cursor's to the last.
        column = 0;
        shown += sequence;
        shown += '\r';
        return;
    case '@':
    case 'P': {
        ScreenCell* line = &cells[row * screen_columns];
        const unsigned moved = std::min(count, screen_columns - column);
        if (final_byte == '@') {
            std::copy_backward(line + column, line + screen_columns - moved, line + screen_columns);
            blank(line + column, moved);
        } else {
            std::copy(line + column + moved, line + screen_columns, line + column);
            blank(line + screen_columns - moved, moved);
        }
        break;
    }
    case 'Z':
        for (unsigned step = 0; step < count && column > 0; ++step)
            column = (column - 1) / 8 * 8;
        append_address(shown);
        return;
    case 'h':
    case 'l': {
        const bool on = final_byte == 'h';
        const unsigned mode = parameters.values[0];
        if (!private_mode && mode == 4)
            inserting = on;
        else if (private_mode && mode == 25)
            hidden = !on;
        else if (private_mode && mode == 5)
            reverse = on;
        break;
    }
    case 'm':
        for (std::size_t index = 0; index < std::max<std::size_t>(parameters.count, 1); ++index) {
            switch (parameters.values[index]) {
            case 0: rendition = 0; break;
            case 2: rendition |= half_bright; break;
            case 4: rendition |= underlined; break;
            case 5: rendition |= blinking; break;
            case 7: rendition |= reversed; break;
            case 8: rendition |= concealed; break;
            case 22: rendition &= std::uint8_t(~half_bright); break;
            case 24: rendition &= std::uint8_t(~underlined); break;
            case 25: rendition &= std::uint8_t(~blinking); break;
            case 27: rendition &= std::uint8_t(~reversed); break;
            case 28: rendition &= std::uint8_t(~concealed); break;
            default: break;
            }
        }
        break;
    default: break;
    }
    shown += sequence;
}

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
        model.write_character(char(character), output);
        return;
    }
    pending[pending_count++] = byte;
    const std::span<const std::uint8_t> begun(pending.data(), pending_count);
    bool may_go_on = false;
    for (const ScreenSequence& sequence : table->sequences) {
        const Match result = match(sequence, begun);
        if (result == Match::whole) {
            pending_count = 0;
            modes |= sequence.leaves;
            if (sequence.addresses_cursor)
                emit_cursor_address(begun[sequence.code.size()], begun[sequence.code.size() + 1]);
            else
                model.write(sequence.host, output);
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
    std::string address;
    append_cursor_address(address, screen_position(row, screen_rows), screen_position(column, screen_columns));
    model.write(address, output);
}

std::string_view ScreenTranslator::put_text(std::string_view text) {
    output.clear();
    for (char character : text)
        if ((character >= 0x20 && character < 0x7F) || character == '\r' || character == '\n')
            model.write({&character, 1}, output);
    return output;
}

std::string ScreenTranslator::mode_resets() const {
    std::string resets;
    if (modes & leaves_attributes)
        resets += "\033[0m";
    if (modes & leaves_insert_mode)
        resets += "\033[4l";
    if (modes & leaves_cursor_hidden)
        resets += "\033[?25h";
    if (modes & leaves_reverse_screen)
        resets += "\033[?5l";
    return resets;
}

std::string_view ScreenTranslator::finish() {
    pending_count = 0;
    output = mode_resets();
    modes = 0;
    return output;
}

std::string small_screen_warning(HostSize size, std::string_view terminal_name) {
    if (size.rows >= screen_rows && size.columns >= screen_columns)
        return {};
    std::string warning = "kavo: warning: the terminal is ";
    warning.append(std::to_string(size.columns)).append(" x ").append(std::to_string(size.rows));
    warning.append(", smaller than the 80 x 24 screen of ").append(terminal_name);
    return warning;
}

namespace {

// The cursor where the model has it (inside the host's screen), its
// attributes, and insert mode when on.
void append_cursor_and_modes(std::string& text, const ScreenModel& model, HostSize size) {
    append_cursor_address(text, std::min(model.cursor_row() + 1, size.rows),
                          std::min(model.cursor_column() + 1, size.columns));
    append_rendition(text, model.attributes());
    if (model.insert_mode())
        text += "\033[4h";
}

// warning on the host's last line, in reverse video and cut to fit; the
// attributes are plain after it and insert mode is off before it.
void append_warning(std::string& text, HostSize size, std::string_view warning) {
    append_cursor_address(text, size.rows, 1);
    text += "\033[0;7m";
    const std::size_t room = size.columns > 1 ? size.columns - 1 : 1;
    text += warning.substr(0, room);
    text += "\033[0m";
    if (warning.size() < room)
        text += "\033[K";
}

}  // namespace

std::string redraw_screen(const ScreenModel& model, HostSize size, std::string_view warning) {
    size.rows = std::max(size.rows, 1u);
    size.columns = std::max(size.columns, 1u);
    std::string text = "\033[?25l\033[0m\033[4l";
    // The model's lines are a scroll region of their own when the host has
    // more, the warning's line among them.
    const unsigned region = std::min(screen_rows, warning.empty() ? size.rows : size.rows - 1);
    if (region < size.rows && region >= 2) {
        text += "\033[1;";
        append_number(text, region);
        text += 'r';
    } else {
        text += "\033[r";
    }
    text += "\033[H\033[2J";
    const unsigned rows = std::min(screen_rows, size.rows), columns = std::min(screen_columns, size.columns);
    std::uint8_t attributes = 0;
    for (unsigned row = 0; row < rows; ++row) {
        unsigned end = columns;
        while (end > 0 && model.cell(row, end - 1) == ScreenCell{})
            --end;
        if (end == 0)
            continue;
        append_cursor_address(text, row + 1, 1);
        for (unsigned column = 0; column < end; ++column) {
            const ScreenCell& cell = model.cell(row, column);
            if (cell.attributes != attributes) {
                attributes = cell.attributes;
                append_rendition(text, attributes);
            }
            text += cell.character;
        }
    }
    if (!warning.empty())
        append_warning(text, size, warning);
    else if (attributes != 0)
        text += "\033[0m";
    if (model.reverse_screen())
        text += "\033[?5h";
    append_cursor_and_modes(text, model, size);
    if (!model.cursor_hidden())
        text += "\033[?25h";
    return text;
}

std::string show_warning(const ScreenModel& model, HostSize size, std::string_view warning) {
    std::string text = model.insert_mode() ? "\033[4l" : "";
    append_warning(text, size, warning);
    append_cursor_and_modes(text, model, size);
    return text;
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
