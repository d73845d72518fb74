// Fixed addresses of the CP/M system in memory: page zero, the BDOS page with the disk tables, and the BIOS jump vector.
#pragma once

#include <cstdint>

#include "cpu/processor.h"

namespace kavo::address {

constexpr std::uint16_t program = 0x0100;
constexpr std::uint16_t iobyte = 0x0003;
// The current drive (low four bits) and user number (high four bits), as the
// command processor leaves them for a program and takes them back after it.
constexpr std::uint16_t drive_and_user = 0x0004;
constexpr std::uint16_t fcb1 = 0x005C;
constexpr std::uint16_t fcb2 = 0x006C;
constexpr std::uint16_t command_tail = 0x0080;
constexpr std::uint16_t default_dma = 0x0080;

// The BDOS page: everything from here up is the system's, and a program owns
// the memory below it. 0x0006 holds the entry, at the page plus 6 as on every
// CP/M system (programs take the BDOS base from it); the entry jumps to the
// BDOS trap. The program's stack starts here, on the page's first word, 0x0000,
// so that a RET from the program is a warm boot.
constexpr std::uint16_t bdos_page = 0xFC00;
constexpr std::uint16_t bdos_entry = bdos_page + 6;
constexpr std::uint16_t stack = bdos_page;
// Everything from the BDOS page up is the system's: a program image must end
// below it.
constexpr std::uint16_t system_area = bdos_page;
// The disk tables, in the BDOS page above its entry, shared by every drive:
// one disk parameter block and header, the directory buffer, and the
// allocation vector of a drive's 2048 blocks. The disk is fixed, so its check
// vector has no bytes.
constexpr std::uint16_t disk_parameter_block = bdos_page + 0x10;   // 15 bytes
constexpr std::uint16_t disk_parameter_header = bdos_page + 0x20;  // 16 bytes
constexpr std::uint16_t check_vector = bdos_page + 0x30;
constexpr std::uint16_t directory_buffer = bdos_page + 0x80;   // 128 bytes
constexpr std::uint16_t allocation_vector = bdos_page + 0x100;  // 256 bytes
constexpr unsigned allocation_vector_size = 256;
// The command processor's line buffer (room, count, 127 characters and a
// zero), above the disk tables; it is used only between programs.
constexpr std::uint16_t command_line = bdos_page + 0x200;

// The BIOS jump vector starts the processor's trap area, on a page boundary:
// BOOT at its base, WBOOT (whose address 0x0001 holds) three bytes on, and
// every other entry at the offset CP/M 2.2 gives it. The BDOS trap, where the
// BDOS entry jumps, lies in the trap area too, on no entry.
constexpr std::uint16_t bios_vector = trap_area;
constexpr std::uint16_t bios_warm_boot = bios_vector + 0x03;
constexpr std::uint16_t bios_last_entry = bios_vector + 0x30;  // SECTRAN
constexpr std::uint16_t bdos_trap = trap_area + 0x40;

static_assert(bdos_page % 0x100 == 0 && bios_vector % 0x100 == 0, "the BDOS page and the BIOS vector start pages");
static_assert(allocation_vector + allocation_vector_size <= command_line && command_line + 131 <= trap_area,
              "the disk tables and the command line lie below the trap area");

}  // namespace kavo::address
