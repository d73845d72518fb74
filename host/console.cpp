// The console device and its system messages, over the host terminal.
#include "host/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace host {

// Only a key typed on a terminal: script text is read by the calls that read
// a key alone, as XSUB fed it, so status checks between lines never eat it.
// What the program wrote before it asks is out by then.
std::uint8_t ConsoleDevice::console_status() {
    terminal.flush();
    return kept_key || terminal.key_typed() ? 0xFF : 0x00;
}

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

// The translation is out of line, so that the pass-through path stays as
// short as it was without it.
void ConsoleDevice::console_out(std::uint8_t byte) {
    if (terminal.translates()) [[unlikely]]
        return terminal.write_translated(byte);
    if (byte != 0x07)  // BEL is dropped
        terminal.write_byte(byte);
}

void ConsoleDevice::start(std::string_view terminal_name, std::string_view key_profile_name) {
    const TerminalModel model = terminal_model_named(terminal_name).value_or(TerminalModel::ansi);
    const KeyProfile keys = key_profile_named(key_profile_name).value_or(KeyProfile::terminal);
    terminal.start(model, keys, terminal_name);
}

bool ConsoleDevice::open_devices(const std::string& printer_path, const std::string& punch_path,
                                 const std::string& reader_path) {
    struct Opening {
        std::optional<DeviceFile>& device;
        const std::string& path;
        const char* name;
        std::optional<DeviceFile> (*open)(const std::string&);
    };
    const Opening openings[] = {
        {printer, printer_path, "printer", &DeviceFile::open_for_appending},
        {punch, punch_path, "punch", &DeviceFile::open_for_appending},
        {reader, reader_path, "reader", &DeviceFile::open_for_reading},
    };
    for (const Opening& opening : openings) {
        if (opening.path.empty())
            continue;
        opening.device = opening.open(opening.path);
        if (!opening.device) {
            error("kavo: the %s file %s cannot be opened: %s\n", opening.name, opening.path.c_str(),
                  std::strerror(errno));
            return false;
        }
    }
    return true;
}

void ConsoleDevice::write_device(DeviceFile& device, const char* name, std::uint8_t byte) {
    if (!device.write_byte(byte))
        error("kavo: %s output cannot be written: %s\n", name, std::strerror(errno));
}

void ConsoleDevice::list_out(std::uint8_t byte) {
    if (printer)
        write_device(*printer, "printer", byte);
}

void ConsoleDevice::punch_out(std::uint8_t byte) {
    if (punch)
        write_device(*punch, "punch", byte);
    else
        console_out(byte);
}

std::uint8_t ConsoleDevice::reader_in() {
    if (!reader)
        return console_in();
    return reader->read_byte().value_or(0x1A);
}

void ConsoleDevice::message(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = formatted(format, arguments);
    va_end(arguments);
    terminal.write_message(text);
}

void ConsoleDevice::error(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = formatted(format, arguments);
    va_end(arguments);
    terminal.write_error(text);
}

}  // namespace host
