// The trace of a run: requests with their parameters and results decoded, instructions with the registers after them.
#include "machine/trace.h"

#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include "bdos/bdos.h"
#include "bdos/memory_map.h"
#include "cpu/disassembler_8080.h"
#include "cpu/disassembler_z80.h"
#include "cpu/trace_line.h"
#include "machine/machine.h"

namespace kavo {

namespace {

// What a BDOS function takes in E or DE, as its line shows it.
enum class Takes {
    nothing,
    character,  // E, a character to write
    direct,     // E: 0xFF reads a key, anything else is a character to write
    string,     // DE, a string up to '$', shown by its length
    line,       // DE, a line buffer (the DMA buffer when DE is 0), shown by its room
    drive,      // E, a drive number
    byte,       // E
    word,       // DE
    file,       // DE, an FCB
    records,    // DE, an FCB whose records or directory entries go to the DMA buffer
    random,     // DE, an FCB whose random record goes through the DMA buffer
    rename,     // DE, an FCB with the new name in its second half
    entry,      // nothing but the DMA buffer, which receives a directory entry
};

// What A holds after a BDOS function that returns a byte.
enum class Gives {
    code,       // a code, with its name when it is an error
    character,  // a key read
    line,       // the key that ended a line; the line's length follows
    position,   // a code; the random record the function set follows
};

struct TracedFunction {
    std::uint8_t number;
    Takes takes;
    Gives gives = Gives::code;
};

// The BDOS functions that take a parameter or give more than a code. Every
// other function takes nothing and gives a code, or a word when
// bdos_function_returns_word says so.
constexpr TracedFunction traced_functions[] = {
    {1, Takes::nothing, Gives::character},
    {2, Takes::character},
    {3, Takes::nothing, Gives::character},
    {4, Takes::character},
    {5, Takes::character},
    {6, Takes::direct, Gives::character},
    {7, Takes::nothing},
    {8, Takes::byte},
    {9, Takes::string},
    {10, Takes::line, Gives::line},
    {14, Takes::drive},
    {15, Takes::file},
    {16, Takes::file},
    {17, Takes::records},
    {18, Takes::entry},
    {19, Takes::file},
    {20, Takes::records},
    {21, Takes::records},
    {22, Takes::file},
    {23, Takes::rename},
    {26, Takes::word},
    {30, Takes::file},
    {32, Takes::byte},
    {33, Takes::random},
    {34, Takes::random},
    {35, Takes::file, Gives::position},
    {36, Takes::file, Gives::position},
    {37, Takes::word},
    {40, Takes::random},
};

// The codes in A that report an error, by function.
struct ErrorName {
    std::uint8_t function;
    std::uint8_t code;
    const char* name;
};
constexpr ErrorName error_names[] = {
    {14, 0xFF, "no such drive"},
    {15, 0xFF, "no file"},
    {16, 0xFF, "not open"},
    {17, 0xFF, "no file"},
    {18, 0xFF, "no more files"},
    {19, 0xFF, "no file"},
    {20, 0x01, "end of file"},
    {20, 0xFF, "no file"},
    {21, 0xFF, "error"},
    {22, 0xFF, "error"},
    {23, 0xFF, "no file"},
    {30, 0xFF, "no file"},
    {33, 0x01, "end of file"},
    {33, 0x06, "record number out of range"},
    {33, 0xFF, "no file"},
    {34, 0x06, "record number out of range"},
    {34, 0xFF, "error"},
    {35, 0xFF, "no file"},
    {40, 0x06, "record number out of range"},
    {40, 0xFF, "error"},
};

// A register the line of a BIOS entry shows, before or after the call.
enum class Shown { nothing, c_character, c_drive, bc, bc_and_de, a, a_character, hl };

struct BiosEntry {
    const char* name;
    Shown takes;
    Shown gives;
    bool served = true;  // false: the supervisor reports the call as one without service
};

// The BIOS jump vector, in its order from BOOT at address::bios_vector, three
// bytes an entry.
constexpr BiosEntry bios_entries[] = {
    {"BOOT", Shown::nothing, Shown::nothing, false},
    {"WBOOT", Shown::nothing, Shown::nothing},
    {"CONST", Shown::nothing, Shown::a},
    {"CONIN", Shown::nothing, Shown::a_character},
    {"CONOUT", Shown::c_character, Shown::nothing},
    {"LIST", Shown::c_character, Shown::nothing},
    {"PUNCH", Shown::c_character, Shown::nothing},
    {"READER", Shown::nothing, Shown::a_character},
    {"HOME", Shown::nothing, Shown::nothing},
    {"SELDSK", Shown::c_drive, Shown::hl},
    {"SETTRK", Shown::bc, Shown::nothing},
    {"SETSEC", Shown::bc, Shown::nothing},
    {"SETDMA", Shown::bc, Shown::nothing},
    {"READ", Shown::nothing, Shown::nothing},
    {"WRITE", Shown::nothing, Shown::nothing},
    {"LISTST", Shown::nothing, Shown::a},
    {"SECTRAN", Shown::bc_and_de, Shown::hl},
};
static_assert(address::bios_vector + 3 * (std::size(bios_entries) - 1) == address::bios_last_entry);

// FCB fields by offset.
namespace fcb {
constexpr unsigned drive = 0, name = 1, extent = 12, module = 14, renamed = 16, record = 32, random = 33;
}

std::string hex(unsigned value, int digits) {
    char text[12];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// A byte as a character: quoted when printable, else in hexadecimal.
std::string character_text(std::uint8_t byte) {
    if (byte >= 0x20 && byte < 0x7F)
        return std::string("'") + char(byte) + "'";
    return hex(byte, 2);
}

// A drive number with its letter ("01 B:").
std::string drive_text(std::uint8_t drive) {
    std::string text = hex(drive, 2);
    if (drive < 16)
        text += std::string(" ") + char('A' + drive) + ':';
    return text;
}

// The 8 name and 3 type bytes at address as a file name: blanks at the end
// of each part dropped, the attribute bits cleared, other bytes that are not
// printable as \xNN.
std::string file_name_text(const Processor& processor, std::uint16_t address) {
    std::string parts[2];
    for (unsigned index = 0; index < 11; ++index) {
        const std::uint8_t byte = processor.memory[std::uint16_t(address + index)] & 0x7F;
        std::string& part = parts[index < 8 ? 0 : 1];
        part += byte > 0x20 && byte < 0x7F ? std::string(1, char(byte)) : byte == ' ' ? " " : "\\x" + hex(byte, 2);
    }
    for (std::string& part : parts)
        part.erase(part.find_last_not_of(' ') + 1);
    if (parts[0].empty() && parts[1].empty())
        return "(blank)";
    return parts[1].empty() ? parts[0] : parts[0] + '.' + parts[1];
}

// "FCB=005C B:NAME.TYP EX=00 S2=00 CR=00": the drive is left out when the
// FCB names the current one.
std::string fcb_text(const Processor& processor, std::uint16_t address) {
    const auto at = [&](unsigned offset) { return processor.memory[std::uint16_t(address + offset)]; };
    std::string text = "FCB=" + hex(address, 4) + ' ';
    const std::uint8_t drive = at(fcb::drive);
    if (drive >= 1 && drive <= 16)
        text += std::string(1, char('A' + drive - 1)) + ':';
    else if (drive != 0)
        text += (drive == '?' ? std::string("?") : "\\x" + hex(drive, 2)) + ':';
    text += file_name_text(processor, std::uint16_t(address + fcb::name));
    text += " EX=" + hex(at(fcb::extent), 2) + " S2=" + hex(at(fcb::module), 2) + " CR=" + hex(at(fcb::record), 2);
    return text;
}

// "R=0003", R2 before R1 and R0 when it is not zero.
std::string random_record_text(const Processor& processor, std::uint16_t fcb_address) {
    const auto at = [&](unsigned offset) { return processor.memory[std::uint16_t(fcb_address + offset)]; };
    const unsigned record = at(fcb::random) | at(fcb::random + 1) << 8 | at(fcb::random + 2) << 16;
    return "R=" + hex(record, record > 0xFFFF ? 6 : 4);
}

const TracedFunction* traced_function(std::uint8_t number) {
    for (const TracedFunction& function : traced_functions)
        if (function.number == number)
            return &function;
    return nullptr;
}

// The part of a BDOS request's line known before it is served: "BDOS 15 open
// file  FCB=...".
std::string bdos_request_text(const Processor& processor, const Bdos& bdos) {
    const RegisterFile& registers = processor.registers;
    const std::uint8_t number = registers.c;
    char head[16];
    std::snprintf(head, sizeof head, "BDOS %2u ", number);
    std::string text = head;
    const char* name = number == 0 ? "system reset" : bdos_function_name(number);
    if (!name)
        return text + "unimplemented  DE=" + hex(registers.de(), 4);
    text += name;
    const TracedFunction* function = traced_function(number);
    if (!function)
        return text;
    const std::uint16_t de = registers.de();
    const std::string dma = " DMA=" + hex(bdos.dma_address, 4);
    std::string parameters;
    switch (function->takes) {
    case Takes::nothing: break;
    case Takes::character: parameters = "E=" + character_text(registers.e); break;
    case Takes::direct:
        parameters = registers.e == 0xFF ? "E=FF (read a key)" : "E=" + character_text(registers.e);
        break;
    case Takes::string: {
        unsigned length = 0;
        while (length < 0x10000 && processor.memory[std::uint16_t(de + length)] != '$')
            ++length;
        parameters = "DE=" + hex(de, 4) + " length=" + std::to_string(length);
        break;
    }
    case Takes::line: {
        const std::uint16_t buffer = de != 0 ? de : bdos.dma_address;
        parameters = "DE=" + hex(de, 4) + " room=" + std::to_string(processor.memory[buffer]);
        break;
    }
    case Takes::drive: parameters = "E=" + drive_text(registers.e); break;
    case Takes::byte: parameters = "E=" + hex(registers.e, 2); break;
    case Takes::word: parameters = "DE=" + hex(de, 4); break;
    case Takes::file: parameters = fcb_text(processor, de); break;
    case Takes::records: parameters = fcb_text(processor, de) + dma; break;
    case Takes::random: parameters = fcb_text(processor, de) + ' ' + random_record_text(processor, de) + dma; break;
    case Takes::rename:
        parameters = fcb_text(processor, de) + " to " + file_name_text(processor, std::uint16_t(de + fcb::renamed + 1));
        break;
    case Takes::entry: parameters = dma.substr(1); break;
    }
    return parameters.empty() ? text : text + "  " + parameters;
}

// The result of a BDOS request after it was served, by its number and the
// DE it was given: "A=01 end of file", "HL=0022".
std::string bdos_result_text(const Processor& processor, const Bdos& bdos, std::uint8_t number, std::uint16_t de) {
    const RegisterFile& registers = processor.registers;
    if (number == 0)
        return "";
    if (bdos_function_returns_word(number))
        return "HL=" + hex(registers.hl(), 4);
    const TracedFunction* function = traced_function(number);
    const Gives gives = function ? function->gives : Gives::code;
    if (gives == Gives::character)
        return "A=" + character_text(registers.a);
    std::string text = "A=" + hex(registers.a, 2);
    for (const ErrorName& error : error_names)
        if (error.function == number && error.code == registers.a)
            return text + ' ' + error.name;
    if (gives == Gives::line) {
        const std::uint16_t buffer = de != 0 ? de : bdos.dma_address;
        text += " length=" + std::to_string(processor.memory[std::uint16_t(buffer + 1)]);
    } else if (gives == Gives::position) {
        text += ' ' + random_record_text(processor, de);
    }
    return text;
}

// A register of a BIOS entry's line.
std::string shown_text(const RegisterFile& registers, Shown shown) {
    switch (shown) {
    case Shown::nothing: return "";
    case Shown::c_character: return "C=" + character_text(registers.c);
    case Shown::c_drive: return "C=" + drive_text(registers.c);
    case Shown::bc: return "BC=" + hex(registers.bc(), 4);
    case Shown::bc_and_de: return "BC=" + hex(registers.bc(), 4) + " DE=" + hex(registers.de(), 4);
    case Shown::a: return "A=" + hex(registers.a, 2);
    case Shown::a_character: return "A=" + character_text(registers.a);
    case Shown::hl: return "HL=" + hex(registers.hl(), 4);
    }
    return "";
}

// The entry of the BIOS jump vector at a trap address, or none between them.
const BiosEntry* bios_entry(std::uint16_t address) {
    const unsigned offset = unsigned(address - address::bios_vector);
    if (address < address::bios_vector || address > address::bios_last_entry || offset % 3 != 0)
        return nullptr;
    return &bios_entries[offset / 3];
}

}  // namespace

std::unique_ptr<Trace> Trace::open(Machine& machine) {
    const std::string& file = machine.options.trace.file;
    if (file.empty())
        return std::make_unique<Trace>(machine, host::LineOutput());
    std::string reason;
    std::optional<host::LineOutput> output = host::LineOutput::create(file, reason);
    if (!output) {
        machine.console.error("kavo: cannot write the trace to %s: %s\n", file.c_str(), reason.c_str());
        return nullptr;
    }
    return std::make_unique<Trace>(machine, std::move(*output));
}

Trace::Trace(Machine& machine, host::LineOutput output)
    : machine(machine), output(std::move(output)), options(machine.options.trace),
      z80(machine.options.instruction_set == InstructionSet::z80),
      read([&memory = machine.processor.memory](std::uint16_t address) { return memory[address]; }),
      started(!options.from),
      instructions_left(options.instructions ? options.count.value_or(std::numeric_limits<std::uint64_t>::max()) : 0) {}

void Trace::run() {
    const auto run = z80 ? &Processor::run_until_trap_z80 : &Processor::run_until_trap;
    for (;;) {
        const Stop stop = instructions_left > 0 ? execute() : (machine.processor.*run)();
        if (stop != Stop::none && !serve(stop))
            break;
    }
    const std::string failure = output.failure();
    if (!failure.empty())
        machine.console.error("kavo: the trace could not be written: %s\n", failure.c_str());
}

Stop Trace::execute() {
    Processor& processor = machine.processor;
    const std::uint16_t pc = processor.registers.pc;
    if (pc >= trap_area)
        return Stop::trap;
    if (!started && pc != *options.from)
        return z80 ? processor.step_z80() : processor.step();
    started = true;
    const Instruction instruction = z80 ? disassemble_z80(read, pc) : disassemble_8080(read, pc);
    const Stop stop = z80 ? processor.step_z80() : processor.step();
    write(z80 ? trace_line(instruction, processor.registers, processor.z80)
              : trace_line(instruction, processor.registers));
    --instructions_left;
    return stop;
}

// The line starts with the return address on the stack: the instruction
// after the CALL that made the request.
bool Trace::serve(Stop stop) {
    if (!options.requests || stop != Stop::trap)
        return machine.serve(stop);
    const Processor& processor = machine.processor;
    const RegisterFile& registers = processor.registers;
    const std::uint16_t pc = registers.pc;
    std::string line = hex(processor.read_word(registers.sp), 4) + "  ";
    std::string result;
    bool going_on;
    if (pc == address::bdos_trap) {
        const std::uint8_t number = registers.c;
        const std::uint16_t de = registers.de();
        line += bdos_request_text(processor, machine.bdos);
        going_on = machine.serve(stop);
        result = bdos_result_text(processor, machine.bdos, number, de);
    } else if (const BiosEntry* entry = bios_entry(pc)) {
        char head[24];
        std::snprintf(head, sizeof head, "BIOS %2u %s", unsigned(entry - bios_entries), entry->name);
        line += head;
        const std::string parameters = shown_text(registers, entry->takes);
        if (!parameters.empty())
            line += "  " + parameters;
        going_on = machine.serve(stop);
        result = entry->served ? shown_text(registers, entry->gives) : "no service";
    } else {
        line += "trap at " + hex(pc, 4);
        going_on = machine.serve(stop);
        result = "no service";
    }
    if (!going_on)
        result += result.empty() ? "the run ends" : ", the run ends";
    if (!result.empty())
        line += "  -> " + result;
    write(line);
    return going_on;
}

// Console output the program wrote before the line goes out first where both
// land in one place, so that the two stay in order.
void Trace::write(const std::string& line) {
    if (output.shares_standard_output())
        machine.console.terminal.flush();
    output.write_line(line);
}

}  // namespace kavo
