// Key sequences of xterm, VT220 and the Linux console, the prefix and code each key reads as, what each
// named terminal's keys sent instead, and each key profile's table.
#include "host/keys.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace host {

namespace {

enum class Key { f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12,
                 home, up, page_up, left, right, end, down, page_down, insert, del };

// Prefix byte and code of one key, as prefix * 256 + code, per modifier.
struct KeyCodes {
    std::uint16_t plain, shift, control, alt;
};

// Indexed by Key.
constexpr KeyCodes key_codes[] = {
    {0x003B, 0x0054, 0x005E, 0x0068}, {0x003C, 0x0055, 0x005F, 0x0069},
    {0x003D, 0x0056, 0x0060, 0x006A}, {0x003E, 0x0057, 0x0061, 0x006B},
    {0x003F, 0x0058, 0x0062, 0x006C}, {0x0040, 0x0059, 0x0063, 0x006D},
    {0x0041, 0x005A, 0x0064, 0x006E}, {0x0042, 0x005B, 0x0065, 0x006F},
    {0x0043, 0x005C, 0x0066, 0x0070}, {0x0044, 0x005D, 0x0067, 0x0071},
    {0xE085, 0xE087, 0xE089, 0xE08B}, {0xE086, 0xE088, 0xE08A, 0xE08C},
    {0xE047, 0xE047, 0xE077, 0x0097},  // Home
    {0xE048, 0xE048, 0xE08D, 0x0098},  // Up
    {0xE049, 0xE049, 0xE084, 0x0099},  // Page Up
    {0xE04B, 0xE04B, 0xE073, 0x009B},  // Left
    {0xE04D, 0xE04D, 0xE074, 0x009D},  // Right
    {0xE04F, 0xE04F, 0xE075, 0x009F},  // End
    {0xE050, 0xE050, 0xE091, 0x00A0},  // Down
    {0xE051, 0xE051, 0xE076, 0x00A1},  // Page Down
    {0xE052, 0xE052, 0xE092, 0x00A2},  // Insert
    {0xE053, 0xE053, 0xE093, 0x00A3},  // Delete
};

// The key named by the last byte of ESC O x, ESC [ x and ESC [ 1 ; m x.
std::optional<Key> letter_key(std::uint8_t letter) {
    switch (letter) {
    case 'A': return Key::up;
    case 'B': return Key::down;
    case 'C': return Key::right;
    case 'D': return Key::left;
    case 'H': return Key::home;
    case 'F': return Key::end;
    case 'P': return Key::f1;
    case 'Q': return Key::f2;
    case 'R': return Key::f3;
    case 'S': return Key::f4;
    default: return std::nullopt;
    }
}

// The key named by the number of ESC [ n ~ and ESC [ n ; m ~.
std::optional<Key> numbered_key(unsigned number) {
    switch (number) {
    case 1: case 7: return Key::home;
    case 4: case 8: return Key::end;
    case 2: return Key::insert;
    case 3: return Key::del;
    case 5: return Key::page_up;
    case 6: return Key::page_down;
    case 11: case 12: case 13: case 14: case 15: return Key(int(Key::f1) + number - 11);
    case 17: case 18: case 19: case 20: case 21: return Key(int(Key::f6) + number - 17);
    case 23: return Key::f11;
    case 24: return Key::f12;
    default: return std::nullopt;
    }
}

bool is_digit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

enum class Match { partial, unknown, found };

struct SequenceMatch {
    Match match = Match::unknown;
    std::size_t length = 0;
    std::uint16_t code = 0;  // prefix * 256 + code
};

// The code of key under modifier m of the xterm encoding (1 + Shift 1 + Alt 2
// + Ctrl 4); with several modifiers Ctrl wins over Alt, and Alt over Shift.
std::optional<std::uint16_t> modified_code(Key key, unsigned modifier) {
    if (modifier < 1 || modifier > 8)
        return std::nullopt;
    const KeyCodes& codes = key_codes[int(key)];
    const unsigned bits = modifier - 1;
    if (bits & 4)
        return codes.control;
    if (bits & 2)
        return codes.alt;
    if (bits & 1)
        return codes.shift;
    return codes.plain;
}

SequenceMatch found(std::size_t length, std::optional<std::uint16_t> code) {
    if (!code)
        return {};
    return {Match::found, length, *code};
}

// Matches a control sequence, input starting with ESC [: the Linux console's
// ESC [ [ A-E, or an optional number of up to two digits, an optional ; and
// modifier digit, and a final letter or ~.
SequenceMatch match_control_sequence(std::span<const std::uint8_t> input) {
    std::size_t index = 2;
    if (index == input.size())
        return {Match::partial};
    if (input[index] == '[') {
        if (++index == input.size())
            return {Match::partial};
        const std::uint8_t letter = input[index];
        if (letter < 'A' || letter > 'E')
            return {};
        return found(index + 1, key_codes[int(Key::f1) + letter - 'A'].plain);
    }
    unsigned number = 0;
    std::size_t digits = 0;
    for (; index < input.size() && is_digit(input[index]) && digits < 2; ++index, ++digits)
        number = number * 10 + (input[index] - '0');
    if (index == input.size())
        return {Match::partial};
    unsigned modifier = 1;
    bool modifier_given = false;
    if (input[index] == ';') {
        if (++index == input.size())
            return {Match::partial};
        if (!is_digit(input[index]))
            return {};
        modifier = input[index] - '0';
        modifier_given = true;
        if (++index == input.size())
            return {Match::partial};
    }
    const std::uint8_t final_byte = input[index];
    std::optional<Key> key;
    if (final_byte == '~') {
        if (digits > 0)
            key = numbered_key(number);
    } else if ((digits == 0 && !modifier_given) || (digits > 0 && number == 1)) {
        key = letter_key(final_byte);
    }
    if (!key)
        return {};
    return found(index + 1, modified_code(*key, modifier));
}

// Matches the escape sequence at the front of input, which starts with ESC.
SequenceMatch match_sequence(std::span<const std::uint8_t> input) {
    if (input.size() < 2)
        return {Match::partial};
    if (input[1] == '[')
        return match_control_sequence(input);
    if (input[1] != 'O')
        return {};
    if (input.size() < 3)
        return {Match::partial};
    const std::optional<Key> key = letter_key(input[2]);
    if (!key)
        return {};
    return found(3, key_codes[int(*key)].plain);
}

// One key of a named terminal and the bytes it sent (one or two).
struct TerminalKey {
    Key key;
    std::string_view bytes;
};

// The keys of a named terminal; the key's plain code and its Shift code,
// which is the same for these keys, both send the terminal's bytes.
struct TerminalKeys {
    std::uint8_t backspace;  // what Backspace and Ctrl+H send
    std::span<const TerminalKey> keys;
};

// ADM-3A and Kaypro: the cursor keys sent the cursor-moving control codes.
constexpr TerminalKey adm3a_keys[] = {
    {Key::up, "\x0B"},    {Key::down, "\x0A"}, {Key::left, "\x08"},
    {Key::right, "\x0C"}, {Key::home, "\x1E"}, {Key::del, "\x7F"},
};

// VT52: cursor keys and the three keys above the keypad (PF1-PF3).
constexpr TerminalKey vt52_keys[] = {
    {Key::up, "\033A"}, {Key::down, "\033B"}, {Key::right, "\033C"}, {Key::left, "\033D"},
    {Key::f1, "\033P"}, {Key::f2, "\033Q"},   {Key::f3, "\033R"},    {Key::del, "\x7F"},
};

// H19: cursor keys, Home and the function keys f1-f5.
constexpr TerminalKey h19_keys[] = {
    {Key::up, "\033A"},   {Key::down, "\033B"}, {Key::right, "\033C"}, {Key::left, "\033D"},
    {Key::home, "\033H"}, {Key::f1, "\033S"},   {Key::f2, "\033T"},    {Key::f3, "\033U"},
    {Key::f4, "\033V"},   {Key::f5, "\033W"},   {Key::del, "\x7F"},
};

// TeleVideo 912, 920, 925: cursor keys and Home sent control codes.
constexpr TerminalKey televideo_keys[] = {
    {Key::up, "\x0B"},    {Key::down, "\x16"}, {Key::left, "\x08"},
    {Key::right, "\x0C"}, {Key::home, "\x1E"}, {Key::del, "\x7F"},
};

const TerminalKeys* terminal_keys(TerminalModel model) {
    static constexpr TerminalKeys adm3a{0x08, adm3a_keys}, vt52{0x08, vt52_keys}, h19{0x08, h19_keys},
        televideo{0x08, televideo_keys};
    switch (model) {
    case TerminalModel::ansi: return nullptr;
    case TerminalModel::adm3a: return &adm3a;
    case TerminalModel::vt52: return &vt52;
    case TerminalModel::h19: return &h19;
    case TerminalModel::televideo: return &televideo;
    }
    return nullptr;
}

// The PC key decoded, turned into what the named terminal sent for it.
DecodedKey terminal_key(DecodedKey decoded, std::uint8_t typed, const TerminalKeys& terminal) {
    if (decoded.count == 1) {
        if (typed == 0x08 || typed == 0x7F)
            decoded.bytes[0] = terminal.backspace;
        return decoded;
    }
    const std::uint16_t code = std::uint16_t(decoded.bytes[0] << 8 | decoded.bytes[1]);
    for (const TerminalKey& key : terminal.keys) {
        if (key_codes[int(key.key)].plain == code) {
            decoded.count = std::min(key.bytes.size(), std::size(decoded.bytes));
            std::copy_n(key.bytes.begin(), decoded.count, decoded.bytes);
            break;
        }
    }
    return decoded;
}

// A key of a profile, with a modifier, and the bytes it sends (one or two).
struct ProfileKey {
    Key key;
    std::uint16_t KeyCodes::*modifier;
    std::string_view bytes;
};

// A profile: its keys, and what Backspace and Ctrl+H send.
struct ProfileKeys {
    std::uint8_t backspace;
    std::span<const ProfileKey> keys;
};

// WordStar's cursor diamond and editing keys, which many CP/M editors share:
// ^E ^X ^S ^D move by a line or character, ^A ^F by a word, ^Q S and ^Q D to
// the start and end of the line, ^R ^C by a screen; ^G deletes the character
// under the cursor and ^V turns insert mode on and off. Shift with a key is
// the key. Backspace sends DEL, which deletes the character to the left (^H
// only moves there).
constexpr ProfileKey wordstar_keys[] = {
    {Key::up, &KeyCodes::plain, "\x05"},        {Key::down, &KeyCodes::plain, "\x18"},
    {Key::left, &KeyCodes::plain, "\x13"},      {Key::right, &KeyCodes::plain, "\x04"},
    {Key::left, &KeyCodes::control, "\x01"},    {Key::right, &KeyCodes::control, "\x06"},
    {Key::home, &KeyCodes::plain, "\x11S"},     {Key::end, &KeyCodes::plain, "\x11" "D"},
    {Key::page_up, &KeyCodes::plain, "\x12"},   {Key::page_down, &KeyCodes::plain, "\x03"},
    {Key::del, &KeyCodes::plain, "\x07"},       {Key::insert, &KeyCodes::plain, "\x16"},
};

const ProfileKeys* profile_keys(KeyProfile profile) {
    static constexpr ProfileKeys wordstar{0x7F, wordstar_keys};
    switch (profile) {
    case KeyProfile::terminal: return nullptr;
    case KeyProfile::wordstar: return &wordstar;
    }
    return nullptr;
}

// The PC key decoded, turned into what the profile sends for it; nothing for
// a key the profile leaves alone.
std::optional<DecodedKey> profile_key(DecodedKey decoded, std::uint8_t typed, const ProfileKeys& profile) {
    if (decoded.count == 1) {
        if (typed != 0x08 && typed != 0x7F)
            return std::nullopt;
        decoded.bytes[0] = profile.backspace;
        return decoded;
    }
    const std::uint16_t code = std::uint16_t(decoded.bytes[0] << 8 | decoded.bytes[1]);
    for (const ProfileKey& key : profile.keys) {
        if (key_codes[int(key.key)].*key.modifier == code) {
            decoded.count = std::min(key.bytes.size(), std::size(decoded.bytes));
            std::copy_n(key.bytes.begin(), decoded.count, decoded.bytes);
            return decoded;
        }
    }
    return std::nullopt;
}

struct ProfileName {
    std::string_view name;
    KeyProfile profile;
};

constexpr ProfileName profile_names[] = {{"terminal", KeyProfile::terminal}, {"wordstar", KeyProfile::wordstar}};

// decode_key for the PC codes alone.
DecodedKey decode_pc_key(std::span<const std::uint8_t> input, bool paused) {
    if (input.empty())
        return {};
    if (input[0] != 0x1B)
        return {1, {input[0] == 0x08 ? std::uint8_t(0x7F) : input[0]}, 1};
    const DecodedKey escape_alone{1, {0x1B}, 1};
    const SequenceMatch sequence = match_sequence(input);
    switch (sequence.match) {
    case Match::found:
        return {sequence.length, {std::uint8_t(sequence.code >> 8), std::uint8_t(sequence.code)}, 2};
    case Match::partial:
        return paused ? escape_alone : DecodedKey{};
    case Match::unknown:
        break;
    }
    return escape_alone;
}

}  // namespace

std::optional<KeyProfile> key_profile_named(std::string_view name) {
    for (const ProfileName& entry : profile_names)
        if (entry.name == name)
            return entry.profile;
    return std::nullopt;
}

DecodedKey decode_key(std::span<const std::uint8_t> input, bool paused, TerminalModel model, KeyProfile profile) {
    const DecodedKey decoded = decode_pc_key(input, paused);
    if (decoded.length == 0)
        return decoded;
    if (const ProfileKeys* keys = profile_keys(profile))
        if (const std::optional<DecodedKey> mapped = profile_key(decoded, input[0], *keys))
            return *mapped;
    const TerminalKeys* terminal = terminal_keys(model);
    if (!terminal)
        return decoded;
    return terminal_key(decoded, input[0], *terminal);
}

}  // namespace host
