// The BDOS directory functions: searches with the disk's directory entries, delete, rename and file attributes.
#include "bdos/bdos.h"
#include "bdos/disk.h"
#include "bdos/fcb.h"

namespace kavo {

using namespace fcb_format;

// Search for first takes the files of the FCB's drive as they are now, with
// the blocks each takes on the disk, and reports the first that matches: the
// files of the current user area, or with '?' as the drive byte, as CP/M
// has it, every entry of every user area of the current drive, whatever its
// name.
void Bdos::search_for_first(FileSlot*) {
    const std::uint16_t address = registers.de();
    const std::uint8_t drive_byte = memory[address + fcb::drive];
    const bool every_user = drive_byte == wildcard;
    std::vector<DiskFile> files = disk_files(fcb_drive(every_user ? 0 : drive_byte));
    if (!every_user)
        std::erase_if(files, [&](const DiskFile& file) { return file.user != user_code; });
    search_handle = DirectorySearch{address, every_user, std::move(files), 0, 0};
    search_for_next(nullptr);
}

// Reports the next directory entry at the DMA address: after the file last
// reported, the next file on the disk whose name matches the 11 name bytes
// now at the FCB address search for first was given, as CP/M keeps that
// address. With EX = '?' there, every entry of a large file is reported,
// else only its first; a search of every user area reports every entry of
// every file. The call that finds nothing more ends the search.
void Bdos::search_for_next(FileSlot*) {
    if (!search_handle) {
        registers.a = 0xFF;
        return;
    }
    DirectorySearch& search = *search_handle;
    const std::string pattern = fcb_to_host_name(search.fcb_address + 1);
    const bool every_entry =
        search.every_user || memory[std::uint16_t(search.fcb_address + fcb::extent)] == wildcard;
    for (;;) {
        if (search.entries_sent > 0) {
            const DiskFile& file = search.files[search.file];
            if (every_entry && search.entries_sent < disk::directory_entries_of(file.entry.size)) {
                report_directory_entry(file, search.entries_sent++);
                return;
            }
            ++search.file;
            search.entries_sent = 0;
        }
        if (search.file >= search.files.size()) {
            search_handle.reset();
            registers.a = 0xFF;
            return;
        }
        const DiskFile& file = search.files[search.file];
        if (file.first_block && (search.every_user || host::pattern_matches(pattern, file.entry.name))) {
            report_directory_entry(file, search.entries_sent++);
            return;
        }
        ++search.file;
    }
}

// Writes the 32-byte directory entry number entry of a file on the disk at
// the DMA address and sets A = 0. Byte 0 is the file's user number. Entry k
// covers logical extents 2k and 2k + 1 (of those the file has): EX and S2
// name the last of them, RC counts its records, the allocation map names its
// blocks (the file's 8k-th on, as many as there are up to 8, the rest 0), and
// bit 7 of the first type byte marks a read-only file.
void Bdos::report_directory_entry(const DiskFile& disk_file, unsigned entry) {
    const host::DirectoryEntry& file = disk_file.entry;
    for (unsigned offset = 0; offset < 32; ++offset)
        memory[std::uint16_t(dma_address + offset)] = 0;
    host_name_to_fcb(file.name.c_str(), dma_address);
    memory[dma_address] = disk_file.user;
    const std::uint32_t records = records_of(file.size);
    const unsigned last_extent = records == 0 ? 0 : (records - 1) / records_per_extent;
    const unsigned extent = std::min(2 * entry + 1, last_extent);
    memory[std::uint16_t(dma_address + fcb::extent)] = std::uint8_t(extent % extents_per_module);
    memory[std::uint16_t(dma_address + fcb::module)] = std::uint8_t(extent / extents_per_module);
    memory[std::uint16_t(dma_address + fcb::record_count)] = records_in_extent(file.size, extent);
    const std::uint64_t blocks = disk::blocks_of(file.size);
    for (unsigned index = 0; index < disk::blocks_per_entry; ++index) {
        const std::uint64_t block = std::uint64_t(entry) * disk::blocks_per_entry + index;
        if (block < blocks)
            processor.write_word(dma_address + disk::allocation_map + 2 * index,
                                 std::uint16_t(*disk_file.first_block + block));
    }
    if (file.read_only)
        memory[std::uint16_t(dma_address + fcb::first_type)] |= read_only_attribute;
    registers.a = 0x00;
}

// Whether the open file of slot is the file of host name in directory.
bool Bdos::names_file(const FileSlot& slot, const host::Directory& directory, std::string_view host_name) {
    return &drive_directory(slot.drive) == &directory && host::equal_ignoring_case(slot.name, host_name);
}

// Deletes every visible file that matches in the FCB's drive, closing first
// the open files of its name. A read-only file among the matches ends
// the run before any is deleted; a deletion the host refuses stops the rest.
// Always ends a search in progress.
void Bdos::delete_file(FileSlot*) {
    search_handle.reset();
    const std::uint16_t address = registers.de();
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    if (!may_change(drive))
        return;
    const host::Directory& directory = drive_directory(drive);
    const std::vector<host::DirectoryEntry> matches = directory.find_files(fcb_to_host_name(address + 1));
    for (const host::DirectoryEntry& match : matches) {
        if (match.read_only) {
            registers.a = cpm_result({host::Outcome::read_only}, "delete", drive, match.name);
            return;
        }
    }
    std::uint8_t result = matches.empty() ? 0xFF : 0x00;
    for (const host::DirectoryEntry& match : matches) {
        std::erase_if(file_slots, [&](const auto& entry) { return names_file(entry.second, directory, match.name); });
        const host::Outcome deleted = directory.delete_file(match.name);
        if (!deleted) {
            result = cpm_result(deleted, "delete", drive, match.name);
            break;
        }
    }
    if (result == 0x00)
        note_batch_deletion();
    registers.a = result;
}

// Closes the open files of the old name first, as delete does (the new
// name lies where an opened FCB's marker would), then renames in the FCB's
// drive.
void Bdos::rename_file(FileSlot*) {
    const std::uint16_t address = registers.de();
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    if (!may_change(drive))
        return;
    const std::string name = fcb_to_host_name(address + 1);
    const std::string host_name = without_trailing_dot(name);
    const host::Directory& directory = drive_directory(drive);
    std::erase_if(file_slots, [&](const auto& entry) { return names_file(entry.second, directory, host_name); });
    const host::Outcome renamed = directory.rename_file(name, fcb_to_host_name(address + fcb::new_name));
    registers.a = cpm_result(renamed, "rename", drive, name);
}

// Sets or clears the read-only attribute (bit 7 of the first type byte) of
// every file that matches, read-only files too, as CP/M 2.2 allows; the
// other attribute bits are accepted and not kept. Streams open on a file
// are closed, so that their FCBs reopen it as it now is on their next use.
void Bdos::set_file_attributes(FileSlot*) {
    const std::uint16_t address = registers.de();
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    if (!may_change(drive))
        return;
    const host::Directory& directory = drive_directory(drive);
    const std::vector<host::DirectoryEntry> matches = directory.find_files(fcb_to_host_name(address + 1));
    const bool read_only = memory[std::uint16_t(address + fcb::first_type)] & read_only_attribute;
    std::uint8_t result = matches.empty() ? 0xFF : 0x00;
    for (const host::DirectoryEntry& match : matches) {
        for (auto& [number, slot] : file_slots) {
            if (names_file(slot, directory, match.name))
                slot.stream.close();
        }
        const host::Outcome changed = directory.set_read_only(match.name, read_only);
        if (!changed)
            result = cpm_result(changed, "change the attributes of", drive, match.name);
    }
    registers.a = result;
}

}  // namespace kavo
