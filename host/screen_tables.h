// The form of a terminal's screen table: which bytes a program writes and what the host terminal gets for them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "host/screen.h"

namespace host {

// Modes a host sequence turns on that must not outlast the run.
enum ModeLeftOn : std::uint8_t {
    leaves_attributes = 1,     // reverse, half intensity, underline, blinking
    leaves_insert_mode = 2,    // characters pushed right instead of overwritten
    leaves_cursor_hidden = 4,  // no cursor shown
    leaves_reverse_screen = 8  // dark characters on a light screen
};

// One code of a terminal and its meaning on the host.
struct ScreenSequence {
    std::string_view code;          // a control byte, or ESC and the bytes that name the function
    std::string_view host;          // ECMA-48 for it; empty when the host has no use for it
    std::uint8_t operands = 0;      // bytes after the code that belong to it
    bool addresses_cursor = false;  // the two operands are row + 32 and column + 32
    std::uint8_t leaves = 0;        // ModeLeftOn bits
};

struct ScreenTable {
    std::span<const ScreenSequence> sequences;
};

// The table of a named model; nothing for ansi.
const ScreenTable* screen_table(TerminalModel model);

}  // namespace host
