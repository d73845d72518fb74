// The disk of a drive as programs measure it: the layout of its files, the allocation vector and the disk parameters.
#include "bdos/disk.h"

#include <algorithm>

#include "bdos/bdos.h"
#include "bdos/memory_map.h"

namespace kavo {

namespace disk {

std::uint64_t blocks_of(std::uint64_t size) { return size / block_size + (size % block_size != 0); }

std::uint64_t directory_entries_of(std::uint64_t size) {
    return std::max<std::uint64_t>(1, (blocks_of(size) + blocks_per_entry - 1) / blocks_per_entry);
}

Layout lay_out(const std::vector<host::DirectoryEntry>& files) {
    Layout layout;
    layout.first_blocks.reserve(files.size());
    unsigned entries_in_use = 0;
    for (const host::DirectoryEntry& file : files) {
        const std::uint64_t file_blocks = blocks_of(file.size);
        const std::uint64_t file_entries = directory_entries_of(file.size);
        if (file_blocks > blocks - layout.blocks_in_use || file_entries > directory_entries - entries_in_use) {
            layout.first_blocks.push_back(std::nullopt);
            continue;
        }
        layout.first_blocks.push_back(std::uint16_t(layout.blocks_in_use));
        layout.blocks_in_use += unsigned(file_blocks);
        entries_in_use += unsigned(file_entries);
    }
    return layout;
}

}  // namespace disk

bool Bdos::drive_exists(unsigned drive) const {
    return drive == 0 || (drive < drive_directories.size() && drive_directories[drive]);
}

// The blocks of the files that lie on the disk are in use, as lay_out places
// them; so are as many of the last blocks as the host file system has no
// room for, so that the free blocks are what the drive can still take. The
// files are the current user area's; the free space is that of the drive's
// own directory, which a user area not yet made does not have.
void Bdos::fill_allocation_vector(unsigned drive) {
    const unsigned in_use = disk::lay_out(drive_directory(drive).files()).blocks_in_use;
    unsigned free = disk::blocks - in_use;
    if (const std::optional<std::uint64_t> host_free = drive_root(drive).free_bytes())
        free = unsigned(std::min<std::uint64_t>(free, *host_free / disk::block_size));
    std::uint8_t* vector = &memory[address::allocation_vector];
    std::fill_n(vector, address::allocation_vector_size, 0);
    for (unsigned block = 0; block < disk::blocks; ++block) {
        if (block < in_use || block >= in_use + free)
            vector[block / 8] |= std::uint8_t(0x80 >> block % 8);
    }
}

void Bdos::get_allocation_vector(FileSlot*) {
    fill_allocation_vector(current_drive);
    registers.set_hl(address::allocation_vector);
}

void Bdos::get_disk_parameters(FileSlot*) {
    registers.set_hl(address::disk_parameter_block);
}

}  // namespace kavo
