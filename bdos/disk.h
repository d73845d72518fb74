// The one disk every drive is: its geometry, its disk parameter block, and where the files of a drive lie on it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "host/files.h"

namespace kavo {

// A file on a drive's disk: its host entry, the user area it is in, and the
// first of its blocks (nothing: it does not fit on the disk).
struct DiskFile {
    host::DirectoryEntry entry;
    std::uint8_t user = 0;
    std::optional<std::uint16_t> first_block;
};

}  // namespace kavo

namespace kavo::disk {

// 2048 blocks of 4 KiB, 8 MiB, the most CP/M 2.2 gives a drive; 1024
// directory entries in the first 8 blocks. Block numbers take 16 bits, so a
// directory entry maps 8 blocks, 32 KiB: two logical extents of 16 KiB.
constexpr unsigned block_size = 4096;
constexpr unsigned blocks = 2048;
constexpr unsigned directory_entries = 1024;
constexpr unsigned directory_blocks = directory_entries * 32 / block_size;
constexpr unsigned blocks_per_entry = 8;
constexpr unsigned records_per_track = 128;
constexpr unsigned allocation_map = 16;  // the offset of a directory entry's block numbers
static_assert(directory_blocks <= 8, "AL0 alone marks the directory's blocks");

// SPT, BSH, BLM, EXM, DSM, DRM, AL0-AL1, CKS (0: a fixed disk) and OFF, as
// function 31 and the disk parameter header point to them.
constexpr std::array<std::uint8_t, 15> parameter_block = {
    records_per_track & 0xFF, records_per_track >> 8,
    5,                                    // BSH: 4096 = 128 << 5
    31,                                   // BLM: records per block, less one
    blocks_per_entry * block_size / 16384 - 1,  // EXM: logical extents per entry, less one
    (blocks - 1) & 0xFF, (blocks - 1) >> 8,
    (directory_entries - 1) & 0xFF, (directory_entries - 1) >> 8,
    std::uint8_t(0xFF00 >> directory_blocks), 0x00,  // the directory's blocks, from bit 7 of AL0 on
    0x00, 0x00,
    0x00, 0x00,
};

// The blocks a file of size bytes takes, and its directory entries (one at
// least, even when empty).
std::uint64_t blocks_of(std::uint64_t size);
std::uint64_t directory_entries_of(std::uint64_t size);

// Where a drive's files lie: each file, in order, takes the blocks after
// those of the files before it, and the directory entries it needs; its
// first block is set. A file that does not fit in what is left gets none and
// is not on the disk; the files after it still may be.
void lay_out(std::vector<DiskFile>& files);

}  // namespace kavo::disk
