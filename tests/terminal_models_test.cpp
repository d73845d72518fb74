// The named terminals' tables: hostile program output translated safely, and each terminal's keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/keys.h"
#include "host/screen.h"
#include "host/screen_tables.h"

namespace {

using host::TerminalModel;
using Bytes = std::vector<std::uint8_t>;

constexpr TerminalModel named_models[] = {TerminalModel::adm3a, TerminalModel::vt52, TerminalModel::h19,
                                          TerminalModel::televideo};

std::string translate(TerminalModel model, std::string_view program_output) {
    const Bytes bytes(program_output.begin(), program_output.end());
    return host::translate_screen(model, bytes);
}

// What a named model may send to the host terminal: printable ASCII, BEL, BS,
// HT, LF and CR, and control sequences (CSI with digits, ';' and '?', or
// ESC 7, ESC 8, ESC M) of the kinds the tables hold. No OSC, DCS, APC,
// string terminator, character set switch or byte above 0x7E.
bool only_table_output(std::string_view output) {
    auto is_digit = [](char byte) { return byte >= '0' && byte <= '9'; };
    auto is_final = [](char byte) {
        return byte == '@' || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
    };
    for (std::size_t index = 0; index < output.size();) {
        const unsigned char byte = output[index];
        if ((byte >= 0x20 && byte <= 0x7E) || byte == 0x07 || byte == 0x08 || byte == 0x09 || byte == 0x0A ||
            byte == 0x0D) {
            ++index;
            continue;
        }
        if (byte != 0x1B || index + 1 == output.size())
            return false;
        const char kind = output[index + 1];
        if (kind == '7' || kind == '8' || kind == 'M') {
            index += 2;
            continue;
        }
        if (kind != '[')
            return false;
        std::size_t end = index + 2;
        if (end < output.size() && output[end] == '?')
            ++end;
        while (end < output.size() && (is_digit(output[end]) || output[end] == ';'))
            ++end;
        if (end == output.size() || !is_final(output[end]))
            return false;
        index = end + 1;
    }
    return true;
}

struct BadInput {
    TerminalModel model;
    std::string program_output;
    std::string host_output;
};

const BadInput bad_inputs[] = {
    // An incomplete sequence at the end is dropped.
    {TerminalModel::adm3a, "ab\033", "ab"},
    {TerminalModel::adm3a, "ab\033=", "ab"},
    {TerminalModel::adm3a, "ab\033=!", "ab"},
    {TerminalModel::vt52, "ab\033Y", "ab"},
    {TerminalModel::h19, "ab\033x", "ab"},
    {TerminalModel::televideo, "ab\033G", "ab"},
    // Coordinates past the screen, below the offset and with bit 7 are clamped.
    {TerminalModel::adm3a, "\033=\x7E\x7E", "\033[24;80H"},
    {TerminalModel::adm3a, "\033=\x37\x6F", "\033[24;80H"},
    {TerminalModel::adm3a, "\033=\x38\x70", "\033[24;80H"},
    {TerminalModel::adm3a, "\033=\xA5\x98", "\033[24;80H"},
    {TerminalModel::vt52, std::string("\033Y\x00\x1F", 4), "\033[1;1H"},
    {TerminalModel::h19, "\033Y\xFF\xFF", "\033[24;80H"},
    {TerminalModel::televideo, "\033=\x1B\x1B", "\033[1;1H"},
    // An ESC that starts no sequence is dropped; what follows is text.
    {TerminalModel::adm3a, "\033Zx", "Zx"},
    {TerminalModel::vt52, "\033E1", "E1"},
    {TerminalModel::h19, "\033\033A", "\033[A"},
    {TerminalModel::televideo, "\033Xy\033T", "Xy\033[K"},
    // Known sequences whose parameter is unknown are dropped whole.
    {TerminalModel::h19, "\033x9a", "a"},
    {TerminalModel::televideo, "\033Gza", "a"},
    // NUL and control bytes the terminal ignored are dropped.
    {TerminalModel::adm3a, std::string("a\0b\x0E\x0F\x7F\x1B\x9B", 8) + "c", "abc"},
    // Bit 7 is ignored: 0xC1 is A, 0x9B is ESC, 0x8A is LF.
    {TerminalModel::vt52,
     "\xC1\x9B"
     "K\x8A",
     "A\033[K\n"},
    // Program output that would be a host terminal's own sequence.
    {TerminalModel::adm3a, "\033]0;title\007", "]0;title\a"},
    {TerminalModel::vt52, "\033]52;c;ZXZpbA==\007", "52;c;ZXZpbA==\a"},
    {TerminalModel::h19, "\033P1$qm\033\\", "P1$qm"},
    {TerminalModel::televideo, "\033[2J\033_x\033\\", "[2J_x\\"},
    {TerminalModel::adm3a,
     "\x9D"
     "0;t\x9C",
     "0;t"},
};

TEST(ScreenTranslation, BadInputIsNeverPassedOn) {
    for (const BadInput& bad : bad_inputs) {
        const std::string output = translate(bad.model, bad.program_output);
        EXPECT_EQ(output, bad.host_output) << testing::PrintToString(bad.program_output);
        EXPECT_TRUE(only_table_output(output)) << testing::PrintToString(bad.program_output);
    }
}

// Every byte value in every position: pseudo-random streams weighted towards
// the bytes that start and continue sequences.
TEST(ScreenTranslation, NoProgramEscapeReachesTheHost) {
    const std::string_view favourites = "\033\x9B=YGx.BC*LE[]P_\\^ \x1E\x1A\x0B\x07";
    std::uint32_t state = 12345;
    auto next = [&state] { return state = state * 1103515245u + 12345u, state >> 8; };
    for (TerminalModel model : named_models) {
        for (int stream = 0; stream < 200; ++stream) {
            std::string program_output;
            for (int index = 0; index < 400; ++index) {
                const std::uint32_t random = next();
                program_output += random % 3 == 0 ? favourites[(random >> 4) % favourites.size()] : char(random >> 4);
            }
            const std::string output = translate(model, program_output);
            ASSERT_TRUE(only_table_output(output)) << testing::PrintToString(program_output);
        }
    }
}

// A run that leaves an attribute, insert mode or a hidden cursor on gives them
// back at its end.
TEST(ScreenTranslation, ModesLeftOnAreTurnedOffAtTheEnd) {
    EXPECT_EQ(translate(TerminalModel::adm3a, "\033B0x\033C4"), "\033[7mx\033[?25l\033[0m\033[?25h");
    EXPECT_EQ(translate(TerminalModel::h19, "\033@\033x5"), "\033[4h\033[?25l\033[4l\033[?25h");
    EXPECT_EQ(translate(TerminalModel::televideo, "\033G4"), "\033[0m \033[7m\033[0m");
    EXPECT_EQ(translate(TerminalModel::vt52, "\033H\033J"), "\033[H\033[J");
}

// The translator holds a sequence begun in a buffer of eight bytes.
TEST(ScreenTranslation, EveryCodeStartsWithAControlByteAndFitsTheBuffer) {
    for (TerminalModel model : named_models) {
        for (const host::ScreenSequence& sequence : host::screen_table(model)->sequences) {
            EXPECT_LT(sequence.code[0], 0x20) << testing::PrintToString(sequence.code);
            EXPECT_LE(sequence.code.size() + sequence.operands, 8u) << testing::PrintToString(sequence.code);
        }
    }
}

TEST(ScreenTranslation, AnsiPassesEveryByte) {
    const std::string all_bytes = [] {
        std::string bytes;
        for (int byte = 0; byte < 256; ++byte)
            bytes += char(byte);
        return bytes;
    }();
    EXPECT_EQ(translate(TerminalModel::ansi, all_bytes), all_bytes);
}

TEST(ScreenTranslation, ModelNames) {
    EXPECT_EQ(host::terminal_model_named("kaypro"), TerminalModel::adm3a);
    EXPECT_EQ(host::terminal_model_named("tvi912"), TerminalModel::televideo);
    EXPECT_EQ(host::terminal_model_named("ansi"), TerminalModel::ansi);
    EXPECT_EQ(host::terminal_model_named("VT52"), std::nullopt);
    EXPECT_EQ(host::terminal_model_named("vt100"), std::nullopt);
}

// Decodes all of input as typed in one piece, then a pause.
Bytes decode_all(std::string_view typed, TerminalModel model, host::KeyProfile profile = host::KeyProfile::terminal) {
    const Bytes input(typed.begin(), typed.end());
    Bytes keys;
    std::span<const std::uint8_t> rest(input);
    while (!rest.empty()) {
        host::DecodedKey key = host::decode_key(rest, false, model, profile);
        if (key.length == 0)
            key = host::decode_key(rest, true, model, profile);
        keys.insert(keys.end(), key.bytes, key.bytes + key.count);
        rest = rest.subspan(key.length);
    }
    return keys;
}

struct TerminalKeyCase {
    TerminalModel model;
    std::string typed;
    Bytes read;
};

const TerminalKeyCase terminal_key_cases[] = {
    // Up, Down, Left, Right as xterm sends them (CSI and SS3).
    {TerminalModel::adm3a, "\033[A\033[B\033[D\033[C", {0x0B, 0x0A, 0x08, 0x0C}},
    {TerminalModel::adm3a, "\033OA\033OB\033OD\033OC", {0x0B, 0x0A, 0x08, 0x0C}},
    {TerminalModel::vt52, "\033[A\033[B\033[D\033[C", {0x1B, 'A', 0x1B, 'B', 0x1B, 'D', 0x1B, 'C'}},
    {TerminalModel::h19, "\033OA\033OB\033OD\033OC", {0x1B, 'A', 0x1B, 'B', 0x1B, 'D', 0x1B, 'C'}},
    {TerminalModel::televideo, "\033[A\033[B\033[D\033[C", {0x0B, 0x16, 0x08, 0x0C}},
    // Shift and a cursor key is the cursor key.
    {TerminalModel::adm3a, "\033[1;2A", {0x0B}},
    // Home, function keys and Delete where the terminal had them.
    {TerminalModel::adm3a, "\033[H\033[3~", {0x1E, 0x7F}},
    {TerminalModel::vt52, "\033OP\033OQ\033OR", {0x1B, 'P', 0x1B, 'Q', 0x1B, 'R'}},
    {TerminalModel::h19, "\033[H\033OP\033[15~", {0x1B, 'H', 0x1B, 'S', 0x1B, 'W'}},
    {TerminalModel::televideo, "\033[1~\033[3~", {0x1E, 0x7F}},
    // Backspace (0x7F from the host) and Ctrl+H send the terminal's 0x08.
    {TerminalModel::adm3a, "\x7F\x08", {0x08, 0x08}},
    {TerminalModel::vt52, "\x7F\x08", {0x08, 0x08}},
    {TerminalModel::h19, "\x7F\x08", {0x08, 0x08}},
    {TerminalModel::televideo, "\x7F\x08", {0x08, 0x08}},
    // Keys the terminal did not have keep the PC codes.
    {TerminalModel::adm3a, "\033OP\033[1;5A\033[5~", {0x00, 0x3B, 0xE0, 0x8D, 0xE0, 0x49}},
    {TerminalModel::vt52, "\033[H\033OS", {0xE0, 0x47, 0x00, 0x3E}},
    {TerminalModel::televideo, "\033[24~", {0xE0, 0x86}},
    // Other bytes, and the Escape key, are themselves.
    {TerminalModel::h19, "a\r\033", {'a', 0x0D, 0x1B}},
    // ansi keeps the PC codes.
    {TerminalModel::ansi, "\033[A\x7F\x08", {0xE0, 0x48, 0x7F, 0x7F}},
};

TEST(TerminalModelKeys, KeysSendTheTerminalsCodes) {
    for (const TerminalKeyCase& key_case : terminal_key_cases)
        EXPECT_EQ(decode_all(key_case.typed, key_case.model), key_case.read)
            << testing::PrintToString(key_case.typed) << " model " << int(key_case.model);
}

// WordStar's profile goes before every model's keys; the keys it lacks read
// as the model has them.
TEST(TerminalModelKeys, WordStarProfileSendsItsControlKeys) {
    const struct {
        TerminalModel model;
        std::string typed;
        Bytes read;
    } cases[] = {
        // SS3 and CSI arrows, Shift with them, the Linux console's Home and End.
        {TerminalModel::ansi, "\033OA\033OB\033OD\033OC\033[1;2D", {0x05, 0x18, 0x13, 0x04, 0x13}},
        {TerminalModel::vt52, "\033[1~\033[4~\033[7~\033[8~", {0x11, 'S', 0x11, 'D', 0x11, 'S', 0x11, 'D'}},
        {TerminalModel::adm3a, "\033[1;5D\033[1;5C\033[5~\033[6~", {0x01, 0x06, 0x12, 0x03}},
        {TerminalModel::h19, "\033[3~\033[2~\x7F\x08", {0x07, 0x16, 0x7F, 0x7F}},
        // Not in the profile: the model's own codes, or the PC's.
        {TerminalModel::h19, "\033OP\033[1;5A\033[1;3D", {0x1B, 'S', 0xE0, 0x8D, 0x00, 0x9B}},
        {TerminalModel::televideo, "a\r\033", {'a', 0x0D, 0x1B}},
    };
    for (const auto& key_case : cases)
        EXPECT_EQ(decode_all(key_case.typed, key_case.model, host::KeyProfile::wordstar), key_case.read)
            << testing::PrintToString(key_case.typed) << " model " << int(key_case.model);
    EXPECT_EQ(host::key_profile_named("wordstar"), host::KeyProfile::wordstar);
    EXPECT_EQ(host::key_profile_named("terminal"), host::KeyProfile::terminal);
    EXPECT_EQ(host::key_profile_named("WordStar"), std::nullopt);
}

}  // namespace
