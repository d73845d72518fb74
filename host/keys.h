// Turns the bytes a terminal sends for keys into the bytes a CP/M program reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "host/screen.h"

namespace host {

// One key taken off the front of the terminal's input.
struct DecodedKey {
    std::size_t length = 0;  // input bytes the key takes; 0 while a sequence may still go on
    std::uint8_t bytes[2] = {};
    std::size_t count = 0;  // 1, or 2 for a prefix (0x00 or 0xE0) and a code
};

// Where a program's editing commands are: on the keys of the terminal it was
// installed for (or the PC's), or on the control keys of WordStar, which the
// host's cursor and editing keys then send.
enum class KeyProfile { terminal, wordstar };

// The profile a --keys name selects: terminal or wordstar; nothing for any
// other name.
std::optional<KeyProfile> key_profile_named(std::string_view name);

// Every name key_profile_named accepts, for help and error messages.
inline constexpr std::string_view key_profile_names = "terminal, wordstar";

// Decodes the key at the front of input. Escape sequences of cursor, editing
// and function keys (xterm, VT220, Linux console, with or without modifiers)
// become a prefix and a code; 0x08 becomes 0x7F; every other byte is itself.
// While input is a proper beginning of such a sequence the result has length
// 0, unless paused: then no further byte has come for a while, and the Escape
// stands alone. An Escape that starts no known sequence is delivered alone, so
// the rest of an unknown sequence follows byte by byte. Empty input gives
// length 0.
//
// With a named model, the keys that terminal had send its codes instead: its
// cursor keys (and Home, function keys and Delete where it had them), and
// Backspace and Ctrl+H its backspace code. Other keys read as above.
//
// A profile other than terminal goes first: the keys in its table send its
// bytes (one or two), whatever the model.
DecodedKey decode_key(std::span<const std::uint8_t> input, bool paused, TerminalModel model = TerminalModel::ansi,
                      KeyProfile profile = KeyProfile::terminal);

}  // namespace host
