// The key decoder: terminal sequences in, the bytes a CP/M program reads out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/keys.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Decodes all of input as typed in one piece, then a pause.
Bytes decode_all(const Bytes& input) {
    Bytes keys;
    std::span<const std::uint8_t> rest(input);
    while (!rest.empty()) {
        host::DecodedKey key = host::decode_key(rest, false);
        if (key.length == 0)
            key = host::decode_key(rest, true);
        keys.insert(keys.end(), key.bytes, key.bytes + key.count);
        rest = rest.subspan(key.length);
    }
    return keys;
}

struct KeyCase {
    std::string typed;
    Bytes read;
};

const KeyCase key_cases[] = {
    // Plain bytes, including the ones a line discipline would have taken.
    {"a", {0x61}},
    {std::string(1, '\0'), {0x00}},
    {"\x03\x1a\x13\x11\x16\r\t", {0x03, 0x1A, 0x13, 0x11, 0x16, 0x0D, 0x09}},
    {"\x7f", {0x7F}},
    {"\x08", {0x7F}},
    {"\xc3\xa9\x9b\xe0", {0xC3, 0xA9, 0x9B, 0xE0}},
    // Cursor and editing keys, CSI and SS3.
    {"\x1b[A", {0xE0, 0x48}}, {"\x1b[B", {0xE0, 0x50}}, {"\x1b[C", {0xE0, 0x4D}}, {"\x1b[D", {0xE0, 0x4B}},
    {"\x1bOA", {0xE0, 0x48}}, {"\x1bOB", {0xE0, 0x50}}, {"\x1bOC", {0xE0, 0x4D}}, {"\x1bOD", {0xE0, 0x4B}},
    {"\x1b[H", {0xE0, 0x47}}, {"\x1bOH", {0xE0, 0x47}}, {"\x1b[1~", {0xE0, 0x47}}, {"\x1b[7~", {0xE0, 0x47}},
    {"\x1b[F", {0xE0, 0x4F}}, {"\x1bOF", {0xE0, 0x4F}}, {"\x1b[4~", {0xE0, 0x4F}}, {"\x1b[8~", {0xE0, 0x4F}},
    {"\x1b[2~", {0xE0, 0x52}}, {"\x1b[3~", {0xE0, 0x53}}, {"\x1b[5~", {0xE0, 0x49}}, {"\x1b[6~", {0xE0, 0x51}},
    // Function keys: SS3, VT220 numbers, Linux console.
    {"\x1bOP", {0x00, 0x3B}}, {"\x1bOQ", {0x00, 0x3C}}, {"\x1bOR", {0x00, 0x3D}}, {"\x1bOS", {0x00, 0x3E}},
    {"\x1b[11~", {0x00, 0x3B}}, {"\x1b[12~", {0x00, 0x3C}}, {"\x1b[13~", {0x00, 0x3D}}, {"\x1b[14~", {0x00, 0x3E}},
    {"\x1b[[A", {0x00, 0x3B}}, {"\x1b[[B", {0x00, 0x3C}}, {"\x1b[[C", {0x00, 0x3D}}, {"\x1b[[D", {0x00, 0x3E}},
    {"\x1b[[E", {0x00, 0x3F}}, {"\x1b[15~", {0x00, 0x3F}}, {"\x1b[17~", {0x00, 0x40}}, {"\x1b[18~", {0x00, 0x41}},
    {"\x1b[19~", {0x00, 0x42}}, {"\x1b[20~", {0x00, 0x43}}, {"\x1b[21~", {0x00, 0x44}},
    {"\x1b[23~", {0xE0, 0x85}}, {"\x1b[24~", {0xE0, 0x86}},
    // Modifiers: 2 Shift, 3 Alt, 5 Ctrl; Ctrl wins over Alt, Alt over Shift.
    {"\x1b[1;2P", {0x00, 0x54}}, {"\x1b[1;5P", {0x00, 0x5E}}, {"\x1b[1;3P", {0x00, 0x68}},
    {"\x1b[15;2~", {0x00, 0x58}}, {"\x1b[21;5~", {0x00, 0x67}}, {"\x1b[21;3~", {0x00, 0x71}},
    {"\x1b[23;2~", {0xE0, 0x87}}, {"\x1b[24;2~", {0xE0, 0x88}}, {"\x1b[23;5~", {0xE0, 0x89}},
    {"\x1b[24;5~", {0xE0, 0x8A}}, {"\x1b[23;3~", {0xE0, 0x8B}}, {"\x1b[24;3~", {0xE0, 0x8C}},
    {"\x1b[1;2A", {0xE0, 0x48}}, {"\x1b[1;5A", {0xE0, 0x8D}}, {"\x1b[1;3A", {0x00, 0x98}},
    {"\x1b[1;5H", {0xE0, 0x77}}, {"\x1b[1;3H", {0x00, 0x97}}, {"\x1b[5;5~", {0xE0, 0x84}}, {"\x1b[5;3~", {0x00, 0x99}},
    {"\x1b[1;5D", {0xE0, 0x73}}, {"\x1b[1;5C", {0xE0, 0x74}}, {"\x1b[1;3D", {0x00, 0x9B}}, {"\x1b[1;3C", {0x00, 0x9D}},
    {"\x1b[1;5F", {0xE0, 0x75}}, {"\x1b[1;5B", {0xE0, 0x91}}, {"\x1b[6;5~", {0xE0, 0x76}},
    {"\x1b[1;3F", {0x00, 0x9F}}, {"\x1b[1;3B", {0x00, 0xA0}}, {"\x1b[6;3~", {0x00, 0xA1}},
    {"\x1b[2;5~", {0xE0, 0x92}}, {"\x1b[3;5~", {0xE0, 0x93}}, {"\x1b[2;3~", {0x00, 0xA2}}, {"\x1b[3;3~", {0x00, 0xA3}},
    {"\x1b[3;2~", {0xE0, 0x53}}, {"\x1b[1;7A", {0xE0, 0x8D}}, {"\x1b[1;4A", {0x00, 0x98}}, {"\x1b[1;1A", {0xE0, 0x48}},
    // Escape alone, and sequences not in the table, as typed.
    {"\x1b", {0x1B}},
    {"\x1b\x1b[A", {0x1B, 0xE0, 0x48}},
    {"\x1b[", {0x1B, '['}},
    {"\x1b[1;5", {0x1B, '[', '1', ';', '5'}},
    {"\x1b[Z", {0x1B, '[', 'Z'}},
    {"\x1bOx", {0x1B, 'O', 'x'}},
    {"\x1b[99~", {0x1B, '[', '9', '9', '~'}},
    {"\x1b[123~", {0x1B, '[', '1', '2', '3', '~'}},
    {"\x1b[2A", {0x1B, '[', '2', 'A'}},
    {"\x1b[;5A", {0x1B, '[', ';', '5', 'A'}},
    {"\x1b[1;9A", {0x1B, '[', '1', ';', '9', 'A'}},
    {"\x1b[[F", {0x1B, '[', '[', 'F'}},
    {"\x1b" "a\x08", {0x1B, 'a', 0x7F}},
    // Keys follow one another.
    {"x\x1b[Ay\x1bOP", {'x', 0xE0, 0x48, 'y', 0x00, 0x3B}},
};

TEST(TerminalKeys, SequencesReadAsTheirBytes) {
    for (const KeyCase& key_case : key_cases)
        EXPECT_EQ(decode_all(bytes_of(key_case.typed)), key_case.read) << testing::PrintToString(key_case.typed);
}

// A sequence that arrives in pieces is the same key: each proper beginning of
// a two-byte key waits for more until the input pauses.
TEST(TerminalKeys, BeginningOfASequenceWaits) {
    for (const KeyCase& key_case : key_cases) {
        const Bytes typed = bytes_of(key_case.typed);
        const host::DecodedKey whole = host::decode_key(typed, false);
        if (typed.size() < 2 || typed[0] != 0x1B || whole.count != 2)
            continue;
        for (std::size_t length = 1; length < whole.length; ++length)
            EXPECT_EQ(host::decode_key(std::span(typed).first(length), false).length, 0u)
                << testing::PrintToString(key_case.typed) << " cut at " << length;
    }
}

}  // namespace
