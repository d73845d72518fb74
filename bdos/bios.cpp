// The system's part of memory (page zero, the BDOS and BIOS entries, the disk tables), and the BIOS entries.
#include <cstring>

#include "bdos/bdos.h"
#include "bdos/memory_map.h"

namespace kavo {

namespace {

// One drive of 200 blocks of 2 KiB with 128 directory entries and no reserved tracks.
constexpr std::uint8_t disk_parameter_block[15] = {0x28, 0x00, 0x04, 0x0F, 0x01, 0xC7, 0x00, 0x7F,
                                                   0x00, 0xC0, 0x00, 0x20, 0x00, 0x00, 0x00};

}  // namespace

void Bdos::install() {
    memory[address::allocation_vector] = 0xC0;  // blocks 0 and 1 hold the directory
    const std::uint8_t page_zero[8] = {0xC3, 0xC6, 0xFF, 0x00, 0x00, 0xC3, 0xC0, 0xFF};
    std::memcpy(&memory[0], page_zero, sizeof page_zero);
    // The BDOS entry and the 17 BIOS entries each jump to themselves, so a
    // program that reads a target out of the vector and calls it lands on
    // the entry it meant.
    for (unsigned entry = address::bdos_entry; entry <= address::bios_last_entry; entry += 3) {
        memory[entry] = 0xC3;
        processor.write_word(entry + 1, std::uint16_t(entry));
    }
    const std::uint16_t header = address::disk_parameter_header;
    processor.write_word(header + 8, address::directory_buffer);
    processor.write_word(header + 10, address::disk_parameter_block);
    processor.write_word(header + 12, address::check_vector);
    processor.write_word(header + 14, address::allocation_vector);
    std::memcpy(&memory[address::disk_parameter_block], disk_parameter_block, sizeof disk_parameter_block);
}

bool Bdos::bios_call(std::uint16_t address) {
    RegisterFile& r = registers;
    switch (address) {
    case 0xFFC9: r.a = console.console_status(); return true;  // CONST
    case 0xFFCC: r.a = console.console_in(); return true;      // CONIN
    case 0xFFCF: console.console_out(r.c); return true;        // CONOUT
    case 0xFFD2: console.list_out(r.c); return true;           // LIST
    case 0xFFD5: return true;                                  // PUNCH
    case 0xFFD8: r.a = 0x1A; return true;                      // READER: always at end of file
    case 0xFFDB: return true;                                  // HOME
    case 0xFFDE:                                               // SELDSK: drive A only
        r.set_hl(r.c == 0 ? address::disk_parameter_header : 0x0000);
        return true;
    case 0xFFE1:
    case 0xFFE4: return true;                        // SETTRK, SETSEC
    case 0xFFE7: dma_address = r.bc(); return true;  // SETDMA
    case 0xFFEA:
    case 0xFFED: return true;                    // READ, WRITE: no data moves
    case 0xFFF0: r.a = 0xFF; return true;        // LISTST: always ready
    case 0xFFF3: r.set_hl(r.bc()); return true;  // SECTRAN: no translation
    default: return false;                       // BOOT, and between entries
    }
}

}  // namespace kavo
