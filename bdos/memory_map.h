// Fixed addresses of the CP/M system in memory: page zero, stack, disk tables and the BDOS and BIOS entries.
#pragma once

#include <cstdint>

#include "cpu/processor.h"

namespace kavo::address {

constexpr std::uint16_t program = 0x0100;
// The current drive (low four bits) and user number (high four bits), as the
// command processor leaves them for a program and takes them back after it.
constexpr std::uint16_t drive_and_user = 0x0004;
constexpr std::uint16_t fcb1 = 0x005C;
constexpr std::uint16_t fcb2 = 0x006C;
constexpr std::uint16_t command_tail = 0x0080;
constexpr std::uint16_t default_dma = 0x0080;
// From here up: the system's tables, then the trap area. A program image
// must end below it; the stack starts here and grows down.
constexpr std::uint16_t system_area = 0xFE80;
constexpr std::uint16_t stack = system_area;
constexpr std::uint16_t directory_buffer = system_area;
// The command processor's line buffer (room, count, 127 characters and a
// zero), below the stack, where CP/M's command processor lies below the BDOS.
constexpr std::uint16_t command_line = 0xFD80;
constexpr std::uint16_t check_vector = 0xFF00;
constexpr std::uint16_t allocation_vector = 0xFF40;
constexpr std::uint16_t disk_parameter_header = 0xFF60;
constexpr std::uint16_t disk_parameter_block = 0xFF70;
// The entries of the BDOS and the BIOS lie in the processor's trap area.
constexpr std::uint16_t bdos_entry = trap_area;
constexpr std::uint16_t bios_boot = 0xFFC3;
constexpr std::uint16_t bios_warm_boot = 0xFFC6;
constexpr std::uint16_t bios_last_entry = 0xFFF3;  // SECTRAN

}  // namespace kavo::address
