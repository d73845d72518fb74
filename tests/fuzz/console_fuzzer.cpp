// libFuzzer target: script text on standard input, with no terminal, read through the console and character device
// functions and the BIOS console entries as a program calls them.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "host/screen.h"
#include "bdos/memory_map.h"
#include "tests/fuzz/sandbox.h"

namespace {

// Input: byte 0 chooses the terminal (an index into terminal_names), whose
// screen translation the echoes go through; byte 1 is the number of requests
// n; bytes 2 to n + 1 are the requests; the rest is the script text on
// standard input.
//
// A request's byte: its low three bits choose the request, and for three of
// them bits 3-4 choose further; for line input (function 10) bits 3-4 choose
// the buffer's address and bits 5-7 its room; for console output (functions
// 2 and 6), punch and list output (4 and 5) and set I/O byte (8) the whole
// byte is E.
constexpr const char* terminal_names[] = {"ansi", "adm3a", "vt52", "h19", "tvi925"};

enum Request : std::uint8_t {
    console_input,   // function 1
    direct_input,    // function 6 with E = 0xFF
    direct_output,   // function 6 with any other E
    read_buffer,     // function 10
    console_status,  // function 11
    bios_status,     // BIOS CONST; with bit 3, function 7 (get I/O byte)
    bios_input,      // BIOS CONIN; with bit 3, function 3 (reader input: a key without a reader file)
    console_output,  // bits 3-4: function 2 (which takes a typed key only), 4 (punch output: the screen
                     // without a punch file), 5 (list output: dropped without a printer file) or 8 (set I/O byte)
};

constexpr std::uint16_t buffer_addresses[] = {0x0200, 0x0000, 0xFFF0, 0xFF00};
constexpr std::uint16_t dma_address = 0xFFFA;  // the buffer for DE = 0, which wraps past 0xFFFF
constexpr std::uint8_t rooms[] = {0, 1, 2, 5, 16, 80, 127, 255};
constexpr std::uint16_t return_address = 0x1234;

// The largest script a pipe takes without a reader.
constexpr std::size_t script_limit = 60000;

// The keys the script text gives a program, as the console reads them: LF
// and CR LF are one CR, BS reads as DEL, and a last line without a line end
// gets its CR.
std::vector<std::uint8_t> script_keys(std::span<const std::uint8_t> text) {
    std::vector<std::uint8_t> keys;
    bool after_return = false;
    for (std::uint8_t byte : text) {
        const bool follows_return = after_return;
        after_return = byte == '\r';
        if (byte == '\n' && follows_return)
            continue;
        keys.push_back(byte == '\n' ? 0x0D : byte == 0x08 ? 0x7F : byte);
    }
    if (!keys.empty() && keys.back() != 0x0D)
        keys.push_back(0x0D);
    return keys;
}

// Standard output for every input: a memory file, read and emptied after it.
int output_file() {
    static const int descriptor = [] {
        const int file = memfd_create("console-output", MFD_CLOEXEC);
        if (file < 0)
            fuzz::fail("no memory file");
        return file;
    }();
    return descriptor;
}

std::string take_output() {
    std::string output(std::size_t(lseek(output_file(), 0, SEEK_END)), '\0');
    if (pread(output_file(), output.data(), output.size(), 0) != ssize_t(output.size()))
        fuzz::fail("the console output could not be read back");
    if (ftruncate(output_file(), 0) != 0 || lseek(output_file(), 0, SEEK_SET) != 0)
        fuzz::fail("the console output could not be emptied");
    return output;
}

// A program's requests made one by one, as its CALLs make them, each checked
// against what the script's keys give: a key where one is read, no key ever
// typed for a status request, a line input that stores what the keys make of
// the line, no other change to memory (a copy of memory follows every change
// a request may make), and the echoes the keys call for.
class Run {
public:
    Run(kavo::Machine& machine, std::span<const std::uint8_t> keys)
        : machine(machine), keys(keys), expected_memory(machine.processor.memory) {}

    // What the requests are to write to the console, before the screen
    // translation: the echoes of functions 1 and 10 and the characters of
    // functions 2, 4 and 6.
    std::string echoes;

    // One request; false when the run ended there (at the end of the script,
    // or through the warm boot of ^C on an empty line).
    bool call(std::uint8_t code) {
        kavo::RegisterFile& r = machine.processor.registers;
        const Request request = Request(code & 7);
        const unsigned choice = code >> 3 & 3;
        std::uint16_t entry = kavo::address::bdos_trap;
        switch (request) {
        case console_input: r.c = 1; break;
        case direct_input: r.c = 6, r.e = 0xFF; break;
        case direct_output: r.c = 6, r.e = code; break;
        case read_buffer:
            r.c = 10;
            r.set_de(buffer_addresses[code >> 3 & 3]);
            set_memory(r.de() ? r.de() : dma_address, rooms[code >> 5]);
            break;
        case console_status: r.c = 11; break;
        case bios_status:
            if (choice & 1)
                r.c = 7;
            else
                entry = kavo::address::bios_vector + 0x06;
            break;
        case bios_input:
            if (choice & 1)
                r.c = 3;
            else
                entry = kavo::address::bios_vector + 0x09;
            break;
        case console_output:
            r.c = std::array<std::uint8_t, 4>{2, 4, 5, 8}[choice], r.e = code;
            if (choice == 3)
                expected_memory[kavo::address::iobyte] = code;
            break;
        }
        r.a = 0x5A;
        const std::uint16_t stack = r.sp;
        machine.processor.push_word(return_address);
        expected_memory[std::uint16_t(stack - 1)] = return_address >> 8;
        expected_memory[std::uint16_t(stack - 2)] = return_address & 0xFF;
        r.pc = entry;
        const bool running = machine.serve(kavo::Stop::trap);

        bool expect_running = true;
        std::uint16_t expected_pc = return_address;
        std::uint8_t expected_a = 0x00;
        switch (request) {
        case console_input:
        case bios_input:
            expect_running = next_key < keys.size();
            expected_a = next_key < keys.size() ? keys[next_key++] : 0x0D;
            // Function 1 echoes what CP/M 2.2 echoes; nothing at the end.
            if (request == console_input && expect_running &&
                (expected_a >= 0x20 || expected_a == 0x0D || expected_a == 0x0A || expected_a == 0x09))
                write_console(expected_a);
            break;
        case direct_output: echoes += char(code); break;
        case console_output:
            if (choice == 0)
                write_console(code);
            else if (choice == 1)
                echoes += char(code);
            else if (choice == 2)
                expected_a = 0xFF;
            break;
        case bios_status:
            if (choice & 1)
                expected_a = expected_memory[kavo::address::iobyte];
            break;
        case direct_input: expected_a = next_key < keys.size() ? keys[next_key++] : 0x00; break;
        case read_buffer: {
            const std::uint16_t buffer = r.de() ? r.de() : dma_address;
            const LineEnd end = type_line(buffer);
            if (end == LineEnd::interrupted) {
                // The word 0 pushed and popped again: the return goes to
                // address 0, whose jump ends the run; A is left as it was.
                expected_memory[std::uint16_t(stack - 3)] = 0x00;
                expected_memory[std::uint16_t(stack - 4)] = 0x00;
                expected_pc = 0x0000;
                expected_a = 0x5A;
            } else {
                expect_running = end == LineEnd::line;
                expected_a = line_result;
                if (expect_running)
                    write_console('\r');
            }
            break;
        }
        default: break;
        }
        if (running != expect_running)
            fuzz::fail(running ? "the run went on after the script ended" : "the run ended before the script did");
        if (r.a != expected_a)
            fuzz::fail("request " + std::to_string(code) + " returned A=" + std::to_string(r.a) + " where " +
                       std::to_string(expected_a) + " was due");
        if (running && (r.pc != expected_pc || r.sp != std::uint16_t(stack - 2 * (expected_pc == 0))))
            fuzz::fail("a request returned elsewhere");
        if (!std::equal(expected_memory.begin(), expected_memory.end(), machine.processor.memory.begin()))
            fuzz::fail("request " + std::to_string(code) + " changed memory otherwise");
        return running && r.pc == return_address;
    }

private:
    enum class LineEnd { line, interrupted, script_ended };

    void set_memory(std::uint16_t address, std::uint8_t value) {
        machine.processor.memory[address] = value;
        expected_memory[address] = value;
    }

    // Console output as the functions that count the column write it.
    void write_console(std::uint8_t byte) {
        echoes += char(byte);
        if (byte == 0x0D)
            column = 0;
        else if (byte == 0x09)
            column = std::uint8_t((column | 7) + 1);
        else if (byte == 0x08)
            column -= column > 0;
        else if (byte >= 0x20 && byte != 0x7F)
            ++column;
    }
    void echo_line_character(std::uint8_t character) {
        if (character == 0x09) {
            for (unsigned blank = 0; blank < 8; ++blank)
                write_console(' ');
        } else if (character < 0x20) {
            write_console('^');
            write_console(character + 0x40);
        } else {
            write_console(character);
        }
    }
    void back_up() {
        echoes += "\b \b";
        column -= column > 0;
    }

    // What line input makes of the next keys in the buffer at buffer (in the
    // expected memory), with the result in line_result: Enter ends the line
    // unstored, DEL erases the last character (which stays in memory), ^X
    // erases the line back to its first column, ^U and ^R write '#' and start
    // the line again on a new screen line (^R retyping it), ^E starts a new
    // screen line, ^P is dropped (there is no printer), every other key is
    // stored; ^C on an empty line ends the run. The end of the script reads as
    // Enter.
    LineEnd type_line(std::uint16_t buffer) {
        auto at = [&](unsigned offset) -> std::uint8_t& { return expected_memory[std::uint16_t(buffer + offset)]; };
        const unsigned room = at(0);
        std::uint8_t start_column = column;
        const auto new_screen_line = [&] {
            write_console('#');
            write_console(0x0D);
            write_console(0x0A);
            while (column < start_column)
                write_console(' ');
        };
        unsigned count = 0;
        line_result = 0xFF;
        LineEnd end = LineEnd::line;
        while (count < room) {
            if (next_key == keys.size()) {
                line_result = 0x0D;
                end = LineEnd::script_ended;
                break;
            }
            const std::uint8_t key = keys[next_key++];
            if (key == 0x0D) {
                line_result = 0x0D;
                break;
            }
            if (key == 0x7F) {
                if (count > 0) {
                    const std::uint8_t erased = at(2 + --count);
                    const unsigned columns = erased == 0x09 ? 8 : erased < 0x20 ? 2 : 1;
                    for (unsigned erasure = 0; erasure < columns; ++erasure)
                        back_up();
                }
                continue;
            }
            if (key == 0x18) {
                while (column > start_column)
                    back_up();
                count = 0;
                continue;
            }
            if (key == 0x15 || key == 0x12) {
                new_screen_line();
                if (key == 0x15)
                    count = 0;
                for (unsigned index = 0; index < count; ++index)
                    echo_line_character(at(2 + index));
                continue;
            }
            if (key == 0x05) {
                write_console(0x0D);
                write_console(0x0A);
                start_column = 0;
                continue;
            }
            if (key == 0x10)
                continue;
            at(2 + count++) = key;
            line_result = key == 0x09 ? 0x08 : key < 0x20 ? key + 0x40 : key;
            echo_line_character(key);
            if (key == 0x03 && count == 1)
                return LineEnd::interrupted;
        }
        at(2 + count) = 0x00;
        at(1) = std::uint8_t(count);
        return end;
    }

    kavo::Machine& machine;
    std::span<const std::uint8_t> keys;
    std::size_t next_key = 0;
    std::array<std::uint8_t, 0x10000> expected_memory;
    std::uint8_t line_result = 0xFF;
    std::uint8_t column = 0;  // the console column the system counts
};

fuzz::Sandbox& sandbox() {
    static fuzz::Sandbox instance({});
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    fuzz::Sandbox& box = sandbox();
    output_file();  // opened before the descriptor check begins
    box.begin_input();
    const std::size_t call_count = std::min<std::size_t>(data[1], size - 2);
    const std::span<const std::uint8_t> calls(data + 2, call_count);
    const std::span<const std::uint8_t> text =
        std::span(data + 2 + call_count, size - 2 - call_count).first(std::min(size - 2 - call_count, script_limit));
    const std::vector<std::uint8_t> keys = script_keys(text);
    fuzz::script_on_standard_input(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
    dup2(output_file(), STDOUT_FILENO);
    const char* const terminal = terminal_names[data[0] % std::size(terminal_names)];
    std::string echoes;
    {
        fuzz::FreshMachine fresh;
        kavo::Machine& machine = fresh.machine;
        machine.options.terminal = terminal;
        machine.processor.registers.sp = kavo::address::stack;
        machine.bdos.dma_address = dma_address;
        machine.console.start(machine.options.terminal);
        Run run(machine, keys);
        for (std::uint8_t code : calls)
            if (!run.call(code))
                break;
        echoes = std::move(run.echoes);
    }
    // Every echo reaches standard output through the terminal's screen
    // translation, or with BEL dropped when it passes through.
    const host::TerminalModel model = *host::terminal_model_named(terminal);
    if (model == host::TerminalModel::ansi)
        std::erase(echoes, '\a');
    else
        echoes = host::translate_screen(model,
                                        std::span(reinterpret_cast<const std::uint8_t*>(echoes.data()), echoes.size()));
    if (take_output() != echoes)
        fuzz::fail("the console output differs from the echoes the keys call for");
    fuzz::null_on_standard_input();
    box.check_descriptors();
    return 0;
}
