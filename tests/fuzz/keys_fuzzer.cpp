// libFuzzer target: arbitrary bytes from a terminal through the key decoder, under each terminal model and key profile.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "host/keys.h"
#include "tests/fuzz/sandbox.h"

namespace {

constexpr host::TerminalModel models[] = {host::TerminalModel::ansi, host::TerminalModel::adm3a,
                                          host::TerminalModel::vt52, host::TerminalModel::h19,
                                          host::TerminalModel::televideo};

constexpr host::KeyProfile profiles[] = {host::KeyProfile::terminal, host::KeyProfile::wordstar};

bool same(const host::DecodedKey& left, const host::DecodedKey& right) {
    return left.length == right.length && left.count == right.count &&
           std::equal(left.bytes, left.bytes + left.count, right.bytes);
}

// The decoder's contract for the key at the front of input: it takes no more
// bytes than there are, one or two key bytes, and a pause always yields a
// key. A whole key is found in its own bytes as in a longer input, every
// proper beginning of it waits for more, and a model changes what a key
// reads as but never how many bytes it takes, and so does a profile.
void check_key(std::span<const std::uint8_t> input, host::TerminalModel model, host::KeyProfile profile) {
    const host::DecodedKey key = host::decode_key(input, false, model, profile);
    const host::DecodedKey paused = host::decode_key(input, true, model, profile);
    if (key.length > input.size() || paused.length > input.size())
        fuzz::fail("a key longer than the input");
    if (input.empty() != (paused.length == 0))
        fuzz::fail("a pause gave no key, or an empty input one");
    for (const host::DecodedKey* decoded : {&key, &paused})
        if (decoded->length > 0 && (decoded->count < 1 || decoded->count > 2))
            fuzz::fail("a key of " + std::to_string(decoded->count) + " bytes");
    if (key.length > 0 && !paused.length)
        fuzz::fail("a key lost by the pause");
    if (key.length > 0 && !same(key, paused))
        fuzz::fail("a whole key read otherwise after a pause");
    if (model != host::TerminalModel::ansi || profile != host::KeyProfile::terminal) {
        const host::DecodedKey plain = host::decode_key(input, false);
        if (plain.length != key.length)
            fuzz::fail("a model or profile changed the length of a key");
    } else if (key.length > 0 && key.count == 1 && input[0] != 0x1B) {
        if (key.length != 1 || key.bytes[0] != (input[0] == 0x08 ? 0x7F : input[0]))
            fuzz::fail("a plain byte read as another");
    } else if (key.count == 2 && (key.bytes[0] != 0x00 && key.bytes[0] != 0xE0)) {
        fuzz::fail("a two-byte key without its prefix");
    }
    if (key.length > 1) {
        if (!same(host::decode_key(input.first(key.length), false, model, profile), key))
            fuzz::fail("a whole sequence read otherwise on its own");
        for (std::size_t length = 1; length < key.length; ++length)
            if (host::decode_key(input.first(length), false, model, profile).length != 0)
                fuzz::fail("a proper beginning of a sequence read as a key");
    }
}

}  // namespace

// Input: the model's index (plus 5 for WordStar's profile), then the bytes the
// terminal sends, decoded key by key as the terminal reads them, with a pause
// where none decodes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const host::TerminalModel model = models[data[0] % std::size(models)];
    const host::KeyProfile profile = profiles[data[0] / std::size(models) % std::size(profiles)];
    std::span<const std::uint8_t> input(data + 1, size - 1);
    while (!input.empty()) {
        check_key(input, model, profile);
        host::DecodedKey key = host::decode_key(input, false, model, profile);
        if (key.length == 0)
            key = host::decode_key(input, true, model, profile);
        input = input.subspan(key.length);
    }
    return 0;
}
