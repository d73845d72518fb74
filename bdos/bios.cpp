// The system's part of memory (page zero, the BDOS page with the disk tables, the BIOS jump vector), and the BIOS entries.
#include <cstring>

#include "bdos/bdos.h"
#include "bdos/disk.h"
#include "bdos/memory_map.h"

namespace kavo {

namespace {

// IOBYTE as CP/M systems commonly set it: CON: = CRT:, RDR: = PTR:, PUN: =
// PTP:, LST: = LPT:. It routes nothing here.
constexpr std::uint8_t initial_iobyte = 0x95;

// The BIOS entries by their offset from the vector's base. BOOT (0x00) has
// no service, and WBOOT (0x03) ends the run in the supervisor.
namespace entry {
constexpr unsigned console_status = 0x06, console_input = 0x09, console_output = 0x0C, list = 0x0F, punch = 0x12,
                   reader = 0x15, home = 0x18, select_disk = 0x1B, set_track = 0x1E, set_sector = 0x21,
                   set_dma = 0x24, read = 0x27, write = 0x2A, list_status = 0x2D, sector_translate = 0x30;
}

}  // namespace

void Bdos::install() {
    const std::uint8_t page_zero[8] = {0xC3, std::uint8_t(address::bios_warm_boot), address::bios_warm_boot >> 8,
                                       initial_iobyte, 0x00, 0xC3, std::uint8_t(address::bdos_entry),
                                       address::bdos_entry >> 8};
    std::memcpy(&memory[0], page_zero, sizeof page_zero);
    memory[address::bdos_entry] = 0xC3;
    processor.write_word(address::bdos_entry + 1, address::bdos_trap);
    // The 17 BIOS entries each jump to themselves, so a program that reads a
    // target out of the vector and calls it lands on the entry it meant.
    for (unsigned entry = address::bios_vector; entry <= address::bios_last_entry; entry += 3) {
        memory[entry] = 0xC3;
        processor.write_word(entry + 1, std::uint16_t(entry));
    }
    const std::uint16_t header = address::disk_parameter_header;
    processor.write_word(header + 8, address::directory_buffer);
    processor.write_word(header + 10, address::disk_parameter_block);
    processor.write_word(header + 12, address::check_vector);
    processor.write_word(header + 14, address::allocation_vector);
    std::memcpy(&memory[address::disk_parameter_block], disk::parameter_block.data(), disk::parameter_block.size());
    // Until a program asks for it, the allocation vector marks the
    // directory's blocks alone, as AL0 and AL1 do.
    memory[address::allocation_vector] = disk::parameter_block[9];
    memory[address::allocation_vector + 1] = disk::parameter_block[10];
}

bool Bdos::bios_call(std::uint16_t address) {
    RegisterFile& r = registers;
    switch (unsigned(address - address::bios_vector)) {
    case entry::console_status: r.a = console.console_status(); return true;
    case entry::console_input: r.a = console.console_in(); return true;
    case entry::console_output: console.console_out(r.c); return true;
    case entry::list: console.list_out(r.c); return true;
    case entry::punch: console.punch_out(r.c); return true;
    case entry::reader: r.a = console.reader_in(); return true;
    case entry::home: return true;
    case entry::select_disk:  // the header of every drive that exists, with its allocation vector filled
        if (drive_exists(r.c)) {
            fill_allocation_vector(r.c);
            r.set_hl(address::disk_parameter_header);
        } else {
            r.set_hl(0x0000);
        }
        return true;
    case entry::set_track:
    case entry::set_sector: return true;
    case entry::set_dma: dma_address = r.bc(); return true;
    case entry::read:
    case entry::write: return true;                               // no data moves
    case entry::list_status: r.a = 0xFF; return true;             // always ready
    case entry::sector_translate: r.set_hl(r.bc()); return true;  // no translation
    default: return false;                                        // BOOT, and between entries
    }
}

}  // namespace kavo
