// The disk of a drive as programs measure it: the layout of its files, the allocation vector and the disk parameters.
#include "bdos/disk.h"

#include <algorithm>
#include <string>

#include "bdos/bdos.h"
#include "bdos/memory_map.h"

namespace kavo {

namespace disk {

std::uint64_t blocks_of(std::uint64_t size) { return size / block_size + (size % block_size != 0); }

std::uint64_t directory_entries_of(std::uint64_t size) {
    return std::max<std::uint64_t>(1, (blocks_of(size) + blocks_per_entry - 1) / blocks_per_entry);
}

void lay_out(std::vector<DiskFile>& files) {
    unsigned blocks_in_use = directory_blocks, entries_in_use = 0;
    for (DiskFile& file : files) {
        const std::uint64_t file_blocks = blocks_of(file.entry.size);
        const std::uint64_t file_entries = directory_entries_of(file.entry.size);
        if (file_blocks > blocks - blocks_in_use || file_entries > directory_entries - entries_in_use)
            continue;
        file.first_block = std::uint16_t(blocks_in_use);
        blocks_in_use += unsigned(file_blocks);
        entries_in_use += unsigned(file_entries);
    }
}

}  // namespace disk

// User areas share the disk, as on CP/M: their files lie after user 0's.
// User area n is the subdirectory n (1-31) of the drive's directory.
std::vector<DiskFile> Bdos::disk_files(unsigned drive) {
    std::vector<DiskFile> files;
    const host::Directory& root = drive_root(drive);
    for (unsigned user = 0; user < 32; ++user) {
        const std::optional<host::Directory> area =
            user == 0 ? std::nullopt : root.open_subdirectory(std::to_string(user));
        if (user != 0 && !area)
            continue;
        for (host::DirectoryEntry& entry : (user == 0 ? root : *area).files())
            files.push_back({std::move(entry), std::uint8_t(user), std::nullopt});
    }
    disk::lay_out(files);
    return files;
}

// The blocks of the files that lie on the disk, of every user area, are in
// use, as lay_out places them; so are as many of the last blocks as the host
// file system has no room for, so that the free blocks are what the drive
// can still take.
void Bdos::fill_allocation_vector(unsigned drive) {
    unsigned in_use = disk::directory_blocks;
    for (const DiskFile& file : disk_files(drive)) {
        if (file.first_block)
            in_use += unsigned(disk::blocks_of(file.entry.size));
    }
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
