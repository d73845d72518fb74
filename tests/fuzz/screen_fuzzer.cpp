// libFuzzer target: arbitrary program output through the screen translator of each named terminal model.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/screen.h"
#include "host/screen_tables.h"
#include "tests/fuzz/sandbox.h"

namespace {

constexpr host::TerminalModel models[] = {host::TerminalModel::adm3a, host::TerminalModel::vt52,
                                          host::TerminalModel::h19, host::TerminalModel::televideo};

// What the host terminal may receive under a model: printable ASCII, the
// host sequences of the model's table, cursor addresses inside the screen,
// and at the end the sequences that turn modes off.
struct HostLanguage {
    std::vector<std::string_view> sequences;
};

HostLanguage language_of(host::TerminalModel model, bool at_end) {
    HostLanguage language;
    for (const host::ScreenSequence& sequence : host::screen_table(model)->sequences)
        if (!sequence.host.empty())
            language.sequences.push_back(sequence.host);
    if (at_end)
        for (std::string_view reset : {"\033[0m", "\033[4l", "\033[?25h", "\033[?5l"})
            language.sequences.push_back(reset);
    return language;
}

// The length of a cursor address ESC [ row ; column H at the front of text,
// row 1-24 and column 1-80 without leading zeros; 0 when there is none.
std::size_t cursor_address_length(std::string_view text) {
    if (text.substr(0, 2) != "\033[")
        return 0;
    std::size_t index = 2;
    auto number = [&](unsigned limit) {
        unsigned value = 0;
        const std::size_t start = index;
        while (index < text.size() && text[index] >= '0' && text[index] <= '9' && index - start < 2)
            value = value * 10 + unsigned(text[index++] - '0');
        return index > start && text[start] != '0' && value <= limit;
    };
    if (!number(host::screen_rows) || index == text.size() || text[index++] != ';' || !number(host::screen_columns) ||
        index == text.size() || text[index++] != 'H')
        return 0;
    return index;
}

// Whether text is a sentence of the language: every position reachable from
// the start by its words, the end among them.
bool spoken_in(std::string_view text, const HostLanguage& language) {
    if (std::all_of(text.begin(), text.end(), [](char byte) { return byte >= 0x20 && byte < 0x7F; }))
        return true;
    static std::vector<bool> reachable;
    reachable.assign(text.size() + 1, false);
    reachable[0] = true;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (!reachable[at])
            continue;
        const std::string_view rest = text.substr(at);
        if (rest[0] >= 0x20 && rest[0] < 0x7F)
            reachable[at + 1] = true;
        if (const std::size_t length = cursor_address_length(rest))
            reachable[at + length] = true;
        for (std::string_view sequence : language.sequences)
            if (rest.substr(0, sequence.size()) == sequence)
                reachable[at + sequence.size()] = true;
    }
    return reachable[text.size()];
}

}  // namespace

// Input: the model's index, then the bytes the program writes. Each byte's
// translation must be spoken in the model's host language, and the whole
// translation must be the same however the output is cut.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const host::TerminalModel model = models[data[0] % std::size(models)];
    const std::span<const std::uint8_t> output(data + 1, size - 1);
    static const HostLanguage languages[2][std::size(models)] = {
        {language_of(models[0], false), language_of(models[1], false), language_of(models[2], false),
         language_of(models[3], false)},
        {language_of(models[0], true), language_of(models[1], true), language_of(models[2], true),
         language_of(models[3], true)}};
    const std::size_t model_index = data[0] % std::size(models);
    host::ScreenTranslator translator(model);
    std::string whole;
    for (std::uint8_t byte : output) {
        const std::string_view piece = translator.put(byte);
        if (!spoken_in(piece, languages[0][model_index]))
            fuzz::fail("a byte of the program reached the host untranslated");
        whole += piece;
    }
    const std::string_view end = translator.finish();
    if (!spoken_in(end, languages[1][model_index]))
        fuzz::fail("the end of the run wrote something other than mode resets");
    whole += end;
    if (whole != host::translate_screen(model, output))
        fuzz::fail("the translation of the whole output differs from its pieces");
    return 0;
}
