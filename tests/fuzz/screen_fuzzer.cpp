// libFuzzer target: arbitrary program output through each named terminal model's screen translator and screen model.
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
// control bytes and sequences of the model's table (each on its own: the
// screen model may put a cursor address between those of one code),
// cursor addresses inside the screen, renditions, and at the end the
// sequences that turn modes off.
struct HostLanguage {
    std::vector<std::string_view> sequences;
};

HostLanguage language_of(host::TerminalModel model, bool at_end) {
    HostLanguage language;
    for (const host::ScreenSequence& sequence : host::screen_table(model)->sequences) {
        const std::string_view host = sequence.host;
        for (std::size_t index = 0; index < host.size();) {
            std::size_t end = index + 1;
            if (host[index] == '\033' && end < host.size() && host[end] == '[') {
                while (++end < host.size() && !(host[end] >= '@' && host[end] <= '~')) {
                }
                ++end;
            } else if (host[index] == '\033') {
                ++end;
            }
            if (host[index] < 0x20 || host[index] == 0x7F)
                language.sequences.push_back(host.substr(index, end - index));
            index = end;
        }
    }
    if (at_end)
        for (std::string_view reset : {"\033[0m", "\033[4l", "\033[?25h", "\033[?5l"})
            language.sequences.push_back(reset);
    return language;
}

// The length of an SGR ESC [ 0 ; ... m at the front of text that turns on
// attributes the tables use (2, 4, 5, 7, 8), in that order; 0 when there is
// none.
std::size_t rendition_length(std::string_view text) {
    if (text.substr(0, 3) != "\033[0")
        return 0;
    std::size_t index = 3;
    char last = '0';
    while (index + 1 < text.size() && text[index] == ';' &&
           std::string_view("24578").find(text[index + 1]) != std::string_view::npos && text[index + 1] > last)
        last = text[(index += 2) - 1];
    return index < text.size() && text[index] == 'm' ? index + 1 : 0;
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
        if (const std::size_t length = rendition_length(rest))
            reachable[at + length] = true;
        for (std::string_view sequence : language.sequences)
            if (rest.substr(0, sequence.size()) == sequence)
                reachable[at + sequence.size()] = true;
    }
    return reachable[text.size()];
}

// Whether text, a redraw or a warning, holds nothing but printable ASCII
// and control sequences (ESC [, '?', digits and ';', a final letter).
bool only_sequences(std::string_view text) {
    for (std::size_t index = 0; index < text.size();) {
        if (text[index] >= 0x20 && text[index] < 0x7F) {
            ++index;
            continue;
        }
        if (text.substr(index, 2) != "\033[")
            return false;
        index += 2;
        while (index < text.size() &&
               (text[index] == '?' || text[index] == ';' || (text[index] >= '0' && text[index] <= '9')))
            ++index;
        if (index == text.size() ||
            !((text[index] >= 'A' && text[index] <= 'Z') || (text[index] >= 'a' && text[index] <= 'z')))
            return false;
        ++index;
    }
    return true;
}

// A model that has read text.
host::ScreenModel replayed(std::string_view text) {
    host::ScreenModel model;
    std::string ignored;
    model.write(text, ignored);
    return model;
}

// A change of the host terminal's size after a number of the program's bytes.
struct Resize {
    std::size_t after;
    host::HostSize size;
};

}  // namespace

// Input: the model's index plus 4 times a number of resizes (up to 8), the
// bytes the program writes, then three bytes for each resize: where it falls
// among those bytes (in 256ths), the host's rows and its columns. Each byte's
// translation must be spoken in the model's host language, and the whole
// translation must be the same however the output is cut. The model must be
// what a replay of the translation into a fresh model gives; and resizes,
// with their redraws and, on a host smaller than 80 x 24, the warning painted
// after output, must leave a host that, after a last redraw on a big enough
// one (80 x 24, or 100 x 30 after an odd number of resizes), shows the model
// again.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t model_index = data[0] % std::size(models);
    const host::TerminalModel model = models[model_index];
    const std::size_t resize_count = std::min<std::size_t>(data[0] / std::size(models) % 9, (size - 1) / 3);
    const std::span<const std::uint8_t> output(data + 1, size - 1 - 3 * resize_count);
    std::vector<Resize> resizes;
    for (const std::uint8_t* resize = data + size - 3 * resize_count; resize < data + size; resize += 3)
        resizes.push_back({resize[0] * output.size() / 256, {1u + resize[1] % 64, 1u + resize[2] % 128}});
    std::stable_sort(resizes.begin(), resizes.end(),
                     [](const Resize& left, const Resize& right) { return left.after < right.after; });
    static const HostLanguage languages[2][std::size(models)] = {
        {language_of(models[0], false), language_of(models[1], false), language_of(models[2], false),
         language_of(models[3], false)},
        {language_of(models[0], true), language_of(models[1], true), language_of(models[2], true),
         language_of(models[3], true)}};
    host::ScreenTranslator translator(model);
    std::string whole, host_screen, warning;
    host::HostSize host_size;
    auto next_resize = resizes.begin();
    for (std::size_t index = 0; index <= output.size(); ++index) {
        for (; next_resize != resizes.end() && next_resize->after == index; ++next_resize) {
            host_size = next_resize->size;
            warning = host::small_screen_warning(host_size, "h19");
            const std::string redraw = host::redraw_screen(translator.screen(), host_size, warning);
            if (!only_sequences(redraw))
                fuzz::fail("a redraw wrote something other than text and control sequences");
            host_screen += redraw;
        }
        if (index == output.size())
            break;
        const std::string_view piece = translator.put(output[index]);
        if (!spoken_in(piece, languages[0][model_index]))
            fuzz::fail("a byte of the program reached the host untranslated");
        whole += piece;
        host_screen += piece;
        if (!warning.empty() && !piece.empty()) {
            const std::string painted = host::show_warning(translator.screen(), host_size, warning);
            if (!only_sequences(painted))
                fuzz::fail("the warning wrote something other than text and control sequences");
            host_screen += painted;
        }
    }
    if (!replayed(whole).shows_same(translator.screen()))
        fuzz::fail("a replay of the translation shows another screen than the model");
    const host::HostSize settled = resize_count % 2 ? host::HostSize{30, 100} : host::HostSize{24, 80};
    if (!replayed(host_screen + host::redraw_screen(translator.screen(), settled, "")).shows_same(translator.screen()))
        fuzz::fail("the host does not show the model once its size has settled");
    const std::string_view end = translator.finish();
    if (!spoken_in(end, languages[1][model_index]))
        fuzz::fail("the end of the run wrote something other than mode resets");
    whole += end;
    if (whole != host::translate_screen(model, output))
        fuzz::fail("the translation of the whole output differs from its pieces");
    return 0;
}
