// The BIOS jump vector's entries, served on the registers; disk entries do nothing.
#include "cpu/machine.h"
#include "machine/memory_map.h"

namespace kavo {

bool Machine::bios_call(std::uint16_t address) {
    RegisterFile& r = registers;
    switch (address) {
    case 0xFFC9: r.a = console_status(); return true;              // CONST
    case 0xFFCC: r.a = console_in(); return true;                  // CONIN
    case 0xFFCF: console_out(r.c); return true;                    // CONOUT
    case 0xFFD2: list_out(r.c); return true;                       // LIST
    case 0xFFD5: return true;                                        // PUNCH
    case 0xFFD8: r.a = 0x1A; return true;                          // READER: always at end of file
    case 0xFFDB: return true;                                        // HOME
    case 0xFFDE:                                                     // SELDSK: drive A only
        r.set_hl(r.c == 0 ? address::disk_parameter_header : 0x0000);
        return true;
    case 0xFFE1: case 0xFFE4: return true;                           // SETTRK, SETSEC
    case 0xFFE7: dma_address = r.bc(); return true;                  // SETDMA
    case 0xFFEA: case 0xFFED: return true;                           // READ, WRITE: no data moves
    case 0xFFF0: r.a = 0xFF; return true;                          // LISTST: always ready
    case 0xFFF3: r.set_hl(r.bc()); return true;                      // SECTRAN: no translation
    default: return false;                                           // BOOT, and between entries
    }
}

}  // namespace kavo
