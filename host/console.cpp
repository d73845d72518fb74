// The console device of the Machine, and its system messages, over the host terminal.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "cpu/machine.h"

namespace kavo {

// Only a key typed on a terminal: script text is read by the calls that read
// a key alone, as XSUB fed it, so status checks between lines never eat it.
// What the program wrote before it asks is out by then.
std::uint8_t Machine::console_status() {
    terminal.flush();
    return terminal.key_typed() ? 0xFF : 0x00;
}

std::uint8_t Machine::console_in() { return terminal.read_key(); }

// The translation is out of line, so that the pass-through path stays as
// short as it was without it.
void Machine::console_out(std::uint8_t byte) {
    if (terminal.translates()) [[unlikely]]
        return terminal.write_translated(byte);
    if (byte != 0x07)  // BEL is dropped
        terminal.write_byte(byte);
}

void Machine::start_console() {
    const host::TerminalModel model = host::terminal_model_named(options.terminal).value_or(host::TerminalModel::ansi);
    const host::KeyProfile keys = host::key_profile_named(options.keys).value_or(host::KeyProfile::terminal);
    terminal.start(model, keys, options.terminal);
}

void Machine::list_out(std::uint8_t) {}

namespace {

std::string formatted(const char* format, std::va_list arguments) {
    std::va_list copy;
    va_copy(copy, arguments);
    std::string text(std::size_t(std::vsnprintf(nullptr, 0, format, copy)), '\0');
    va_end(copy);
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

}  // namespace

void Machine::message(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = formatted(format, arguments);
    va_end(arguments);
    terminal.write_message(text);
}

void Machine::error(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = formatted(format, arguments);
    va_end(arguments);
    terminal.write_error(text);
}

}  // namespace kavo
