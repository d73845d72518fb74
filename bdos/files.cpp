// The open-file table, FCB names, drives and the BDOS file functions over host files.
#include <algorithm>
#include <array>

#include "bdos/bdos.h"
#include "bdos/disk.h"

namespace kavo {

namespace {

constexpr unsigned record_size = 128;
constexpr unsigned records_per_extent = 128;
constexpr unsigned extents_per_module = 32;
constexpr unsigned modules = 16;
constexpr std::uint32_t records_per_module = records_per_extent * extents_per_module;
// 65,536 records, 8 MiB: the most a CP/M 2.2 file holds.
constexpr std::uint32_t largest_file_records = records_per_module * modules;
constexpr std::uint8_t wildcard = '?';

std::uint8_t upper(std::uint8_t byte) { return byte >= 'a' && byte <= 'z' ? byte - 0x20 : byte; }

// FCB fields by offset.
namespace fcb {
constexpr unsigned drive = 0, first_type = 9, extent = 12, module = 14, record_count = 15, new_name = 17,
                   current_record = 32, random_record = 33, random_overflow = 35;
}
// Bit 7 of an FCB's first type byte: the read-only attribute.
constexpr std::uint8_t read_only_attribute = 0x80;
// Bit 7 of S2 is CP/M's own mark of a written file, not part of the module number.
constexpr std::uint8_t module_mask = 0x7F;

std::uint32_t records_of(std::uint64_t size) {
    return std::uint32_t(std::min<std::uint64_t>((size + record_size - 1) / record_size, largest_file_records));
}

// The records of a file of size bytes inside the logical extent (0-511 over
// all modules): 0 to 128, a part record counting as one. CP/M's directory
// entry of that extent holds this count, and opening the extent copies it
// into RC.
std::uint8_t records_in_extent(std::uint64_t size, unsigned extent) {
    const std::uint32_t records = records_of(size);
    const std::uint32_t before = extent * records_per_extent;
    return std::uint8_t(std::min(records - std::min(records, before), records_per_extent));
}

}  // namespace

// --- Drives and the open-file table ---

unsigned Bdos::fcb_drive(std::uint8_t drive_byte) const {
    const unsigned drive = drive_byte == 0 ? current_drive : drive_byte - 1u;
    return drive < drive_directories.size() && drive_directories[drive] ? drive : 0;
}

bool Bdos::open_drives(const std::array<std::string, 16>& paths) {
    for (unsigned drive = 0; drive < drive_directories.size(); ++drive) {
        const std::string& path = paths[drive];
        if (path.empty())
            continue;
        drive_directories[drive] = host::Directory::open(path);
        if (!drive_directories[drive]) {
            console.message("Drive %c: %s is not a directory.\n", char('A' + drive), path.c_str());
            return false;
        }
    }
    return true;
}

const host::Directory& Bdos::drive_directory(unsigned drive) const {
    if (drive < drive_directories.size() && drive_directories[drive])
        return *drive_directories[drive];
    return drive_directories[0] ? *drive_directories[0] : current_directory;
}

FileSlot* Bdos::find_file_slot(std::uint16_t fcb_address) {
    const auto found = file_slots.find(fcb_address);
    return found == file_slots.end() ? nullptr : &found->second;
}

std::string Bdos::fcb_to_host_name(std::uint16_t address) const {
    std::string name;
    auto append_part = [&](unsigned first, unsigned last) {
        for (unsigned position = first; position < last; ++position) {
            const std::uint8_t byte = memory[std::uint16_t(address + position)];
            if (byte == ' ')
                break;
            name += char(byte & 0x7F);
        }
    };
    append_part(0, 8);
    name += '.';
    append_part(8, 11);
    return name;
}

void Bdos::host_name_to_fcb(const char* name, std::uint16_t fcb) {
    const auto* current = reinterpret_cast<const std::uint8_t*>(name);
    std::uint8_t drive = 0;
    if (current[0] != 0 && current[1] == ':') {
        drive = std::uint8_t(current[0] - 64);
        current += 2;
    }
    memory[fcb] = drive;
    for (unsigned position = 0; position < 11; ++position) {
        std::uint8_t byte = ' ';
        if (*current != 0 && *current != '.')
            byte = *current++;
        memory[std::uint16_t(fcb + 1 + position)] = upper(byte);
        if (position == 7 && *current == '.')
            ++current;
    }
}

// Programs may keep any number of files open; when the host's descriptors
// run short, the stream used least recently is closed, and its FCB reopens
// it by name on its next use.
void Bdos::make_room_for_stream() {
    const std::size_t limit = host::stream_limit();
    for (;;) {
        std::size_t open = 0;
        FileSlot* least_recent = nullptr;
        for (auto& [address, slot] : file_slots) {
            if (!slot.stream.is_open())
                continue;
            ++open;
            if (!least_recent || slot.last_use < least_recent->last_use)
                least_recent = &slot;
        }
        if (open < limit || !least_recent)
            return;
        least_recent->stream.close();
    }
}

// Opens the file the FCB at DE names in the drive's directory with open (an
// existing file, or a made one) and binds it to that address; RC becomes the
// records the file holds in the extent EX and S2 name (0 after make), as
// CP/M's open copies the directory entry. Nothing else in the FCB changes. A
// stream the address held is closed first, whatever the outcome.
FileSlot* Bdos::bind_file(Opener open, unsigned drive) {
    const std::uint16_t address = registers.de();
    file_slots.erase(address);
    make_room_for_stream();
    auto file = (drive_directory(drive).*open)(fcb_to_host_name(address + 1));
    if (!file)
        return nullptr;
    const unsigned extent = memory[std::uint16_t(address + fcb::extent)];
    const unsigned module = memory[std::uint16_t(address + fcb::module)] & module_mask;
    memory[std::uint16_t(address + fcb::record_count)] =
        extent < extents_per_module && module < modules
            ? records_in_extent(file->size(), module * extents_per_module + extent)
            : 0;
    FileSlot& slot = file_slots[address];
    slot = FileSlot{std::move(*file), drive, ++file_uses};
    return &slot;
}

void Bdos::reset_disk_system(FileSlot*) {
    file_slots.clear();
    current_drive = 0;
    registers.a = 0x00;
}

// Open and make start at module 0, as CP/M's do.
void Bdos::open_file(FileSlot*) {
    const std::uint16_t address = registers.de();
    memory[std::uint16_t(address + fcb::module)] = 0;
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    registers.a = bind_file(&host::Directory::open_existing, drive) ? 0x00 : 0xFF;
}

void Bdos::make_file(FileSlot*) {
    const std::uint16_t address = registers.de();
    memory[std::uint16_t(address + fcb::module)] = 0;
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    registers.a = bind_file(&host::Directory::make, drive) ? 0x00 : 0xFF;
}

void Bdos::close_file(FileSlot* slot) {
    registers.a = slot ? 0x00 : 0xFF;
    file_slots.erase(registers.de());
}

// --- Directory searches ---

// Search for first takes the files of the FCB's drive as they are now ('?'
// as the drive byte is the current drive), with the blocks each takes on the
// disk, and reports the first that matches.
void Bdos::search_for_first(FileSlot*) {
    const std::uint16_t address = registers.de();
    const std::uint8_t drive_byte = memory[address + fcb::drive];
    const unsigned drive = fcb_drive(drive_byte == wildcard ? 0 : drive_byte);
    std::vector<host::DirectoryEntry> files = drive_directory(drive).files();
    std::vector<std::optional<std::uint16_t>> first_blocks = disk::lay_out(files).first_blocks;
    search_handle = DirectorySearch{address, std::move(files), std::move(first_blocks), 0, 0};
    search_for_next(nullptr);
}

// Reports the next directory entry at the DMA address: after the file last
// reported, the next file on the disk whose name matches the 11 name bytes
// now at the FCB address search for first was given, as CP/M keeps that
// address. With EX = '?' there, every entry of a large file is reported,
// else only its first. The call that finds nothing more ends the search.
void Bdos::search_for_next(FileSlot*) {
    if (!search_handle) {
        registers.a = 0xFF;
        return;
    }
    DirectorySearch& search = *search_handle;
    const std::string pattern = fcb_to_host_name(search.fcb_address + 1);
    const bool every_entry = memory[std::uint16_t(search.fcb_address + fcb::extent)] == wildcard;
    for (;;) {
        if (search.entries_sent > 0) {
            const host::DirectoryEntry& file = search.files[search.file];
            if (every_entry && search.entries_sent < disk::directory_entries_of(file.size)) {
                report_directory_entry(file, *search.first_blocks[search.file], search.entries_sent++);
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
        const host::DirectoryEntry& file = search.files[search.file];
        const std::optional<std::uint16_t> first_block = search.first_blocks[search.file];
        if (first_block && host::pattern_matches(pattern, file.name)) {
            report_directory_entry(file, *first_block, search.entries_sent++);
            return;
        }
        ++search.file;
    }
}

// Writes the 32-byte directory entry number entry of a file whose blocks
// start at first_block at the DMA address and sets A = 0. Entry k covers
// logical extents 2k and 2k + 1 (of those the file has): EX and S2 name the
// last of them, RC counts its records, the allocation map names its blocks
// (the file's 8k-th on, as many as there are up to 8, the rest 0), and bit 7
// of the first type byte marks a read-only file.
void Bdos::report_directory_entry(const host::DirectoryEntry& file, std::uint16_t first_block, unsigned entry) {
    for (unsigned offset = 0; offset < 32; ++offset)
        memory[std::uint16_t(dma_address + offset)] = 0;
    host_name_to_fcb(file.name.c_str(), dma_address);
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
            processor.write_word(dma_address + disk::allocation_map + 2 * index, std::uint16_t(first_block + block));
    }
    if (file.read_only)
        memory[std::uint16_t(dma_address + fcb::first_type)] |= read_only_attribute;
    registers.a = 0x00;
}

// Deletes every visible file that matches in the FCB's drive, closing first
// the streams whose FCBs name it. Stops at the first deletion refused (a
// read-only file, or by the host). Always ends a search in progress.
void Bdos::delete_file(FileSlot*) {
    search_handle.reset();
    const std::uint16_t address = registers.de();
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    const host::Directory& directory = drive_directory(drive);
    const std::vector<host::DirectoryEntry> matches = directory.find_files(fcb_to_host_name(address + 1));
    std::uint8_t result = matches.empty() ? 0xFF : 0x00;
    for (const host::DirectoryEntry& match : matches) {
        if (match.read_only) {
            result = 0xFF;
            break;
        }
        std::erase_if(file_slots, [&](const auto& bound) {
            std::string name = fcb_to_host_name(bound.first + 1);
            if (name.ends_with('.'))
                name.pop_back();
            return bound.second.drive == drive && host::equal_ignoring_case(name, match.name);
        });
        if (!directory.delete_file(match.name)) {
            result = 0xFF;
            break;
        }
    }
    registers.a = result;
}

// Closes the FCB's own stream first, then renames in the FCB's drive.
void Bdos::rename_file(FileSlot*) {
    const std::uint16_t address = registers.de();
    file_slots.erase(address);
    const host::Directory& directory = drive_directory(fcb_drive(memory[address + fcb::drive]));
    const bool renamed =
        directory.rename_file(fcb_to_host_name(address + 1), fcb_to_host_name(address + fcb::new_name));
    registers.a = renamed ? 0x00 : 0xFF;
}

// Sets or clears the read-only attribute (bit 7 of the first type byte) of
// every file that matches; the other attribute bits are accepted and not
// kept.
void Bdos::set_file_attributes(FileSlot*) {
    const std::uint16_t address = registers.de();
    const host::Directory& directory = drive_directory(fcb_drive(memory[address + fcb::drive]));
    const std::vector<host::DirectoryEntry> matches = directory.find_files(fcb_to_host_name(address + 1));
    const bool read_only = memory[std::uint16_t(address + fcb::first_type)] & read_only_attribute;
    std::uint8_t result = matches.empty() ? 0xFF : 0x00;
    for (const host::DirectoryEntry& match : matches) {
        if (!directory.set_read_only(match.name, read_only))
            result = 0xFF;
    }
    registers.a = result;
}

// --- Records ---

// The stream a record function works on. CP/M keeps a file's identity in its
// FCB, so an FCB without an open stream (closed, a copy of an open FCB, or
// one whose stream made room for others) opens the file it names as open
// file does, on the drive it was opened on if it was.
FileSlot* Bdos::record_stream(FileSlot* slot) {
    if (slot && slot->stream.is_open()) {
        slot->last_use = ++file_uses;
        return slot;
    }
    const unsigned drive = slot ? slot->drive : fcb_drive(memory[registers.de() + fcb::drive]);
    return bind_file(&host::Directory::open_existing, drive);
}

// The record the FCB's EX, S2 and CR name: (S2 x 32 + EX) x 128 + CR.
// Nothing when EX, S2 or CR lies outside CP/M's ranges (0-31, 0-15, 0-127;
// bit 7 of S2 is not looked at).
std::optional<std::uint32_t> Bdos::sequential_record() const {
    const std::uint16_t address = registers.de();
    const unsigned extent = memory[std::uint16_t(address + fcb::extent)];
    const unsigned module = memory[std::uint16_t(address + fcb::module)] & module_mask;
    const unsigned current = memory[std::uint16_t(address + fcb::current_record)];
    if (extent >= extents_per_module || module >= modules || current >= records_per_extent)
        return std::nullopt;
    return (module * extents_per_module + extent) * records_per_extent + current;
}

// Reads the record into the DMA buffer. At the end of the file A = 1 and the
// buffer is left as it was; a part record is padded with 0x1A.
bool Bdos::read_record(FileSlot& slot, std::uint32_t record) {
    std::array<std::uint8_t, record_size> bytes;
    bytes.fill(0x1A);
    if (slot.stream.read_at(std::uint64_t(record) * record_size, bytes) == 0) {
        registers.a = 0x01;
        return false;
    }
    for (unsigned offset = 0; offset < record_size; ++offset)
        memory[std::uint16_t(dma_address + offset)] = bytes[offset];
    registers.a = 0x00;
    return true;
}

// Writes the DMA buffer to the record; A = 0xFF and nothing advances unless
// the host took all of it (never for a read-only file). RC grows to cover
// the record.
bool Bdos::write_record(FileSlot& slot, std::uint32_t record) {
    std::array<std::uint8_t, record_size> bytes;
    for (unsigned offset = 0; offset < record_size; ++offset)
        bytes[offset] = memory[std::uint16_t(dma_address + offset)];
    if (!slot.stream.write_at(std::uint64_t(record) * record_size, bytes)) {
        registers.a = 0xFF;
        return false;
    }
    const std::uint16_t address = registers.de();
    const unsigned current = record % records_per_extent;
    std::uint8_t& record_count = memory[std::uint16_t(address + fcb::record_count)];
    if (record_count < current + 1)
        record_count = std::uint8_t(current + 1);
    registers.a = 0x00;
    return true;
}

// After a sequential transfer CR moves on, into the next extent after 127,
// and into the next module (S2) after extent 31.
void Bdos::advance_record() {
    const std::uint16_t address = registers.de();
    std::uint8_t& current = memory[std::uint16_t(address + fcb::current_record)];
    if (++current < records_per_extent)
        return;
    current = 0;
    std::uint8_t& extent = memory[std::uint16_t(address + fcb::extent)];
    if (++extent < extents_per_module)
        return;
    extent = 0;
    ++memory[std::uint16_t(address + fcb::module)];
}

// Random transfers position CR, EX and S2 on the record R0 + 256 R1 and leave
// them there, so that a sequential call after them transfers the same record.
void Bdos::seek_random_record() {
    const std::uint16_t address = registers.de();
    const unsigned record = processor.read_word(address + fcb::random_record);
    memory[std::uint16_t(address + fcb::current_record)] = std::uint8_t(record % records_per_extent);
    memory[std::uint16_t(address + fcb::extent)] = std::uint8_t(record / records_per_extent % extents_per_module);
    memory[std::uint16_t(address + fcb::module)] = std::uint8_t(record / records_per_module);
}

// The record functions. A random transfer refuses a record number past 65,535
// (R2 not 0) with error 6, then places CR, EX and S2 on the random record and
// leaves them there; a sequential one moves on after a successful transfer,
// and at a position outside the file's ranges reads the end of the file or
// fails to write. As CP/M opens every extent a record function moves into,
// RC then counts the records of the new extent, not those of the one left.
void Bdos::transfer_record(FileSlot* slot, Access access, Order order) {
    const std::uint16_t address = registers.de();
    if (order == Order::random && memory[std::uint16_t(address + fcb::random_overflow)] != 0) {
        registers.a = 0x06;
        return;
    }
    FileSlot* bound = record_stream(slot);
    if (!bound) {
        registers.a = 0xFF;
        return;
    }
    const auto extent_of = [&] {
        return std::pair(memory[std::uint16_t(address + fcb::extent)], memory[std::uint16_t(address + fcb::module)]);
    };
    const auto extent_before = extent_of();
    if (order == Order::random)
        seek_random_record();
    const auto record = sequential_record();
    bool transferred = false;
    if (!record)
        registers.a = access == Access::read ? 0x01 : 0xFF;
    else
        transferred = access == Access::read ? read_record(*bound, *record) : write_record(*bound, *record);
    if (transferred && order == Order::sequential)
        advance_record();
    const auto [extent, module] = extent_of();
    if (extent_of() != extent_before) {
        const unsigned logical = (module & module_mask) * extents_per_module + extent;
        memory[std::uint16_t(address + fcb::record_count)] =
            extent < extents_per_module && (module & module_mask) < modules
                ? records_in_extent(bound->stream.size(), logical)
                : 0;
    }
}

void Bdos::read_sequential(FileSlot* slot) { transfer_record(slot, Access::read, Order::sequential); }
void Bdos::write_sequential(FileSlot* slot) { transfer_record(slot, Access::write, Order::sequential); }
void Bdos::read_random(FileSlot* slot) { transfer_record(slot, Access::read, Order::random); }
void Bdos::write_random(FileSlot* slot) { transfer_record(slot, Access::write, Order::random); }
// The host file reads zeros in any gap a write leaves.
void Bdos::write_random_with_zero_fill(FileSlot* slot) { transfer_record(slot, Access::write, Order::random); }

// Sets R0-R2 to the size of the file in records: its open stream's, else the
// named file's in the FCB's drive. R2 = 1 only for a file of 8 MiB or more.
// A = 0xFF and R0-R2 zero when there is no such file.
void Bdos::compute_file_size(FileSlot* slot) {
    const std::uint16_t address = registers.de();
    std::optional<std::uint64_t> size;
    if (slot && slot->stream.is_open())
        size = slot->stream.size();
    else
        size = drive_directory(fcb_drive(memory[address + fcb::drive])).size_of(fcb_to_host_name(address + 1));
    const std::uint32_t records = size ? records_of(*size) : 0;
    processor.write_word(address + fcb::random_record, std::uint16_t(records));
    memory[std::uint16_t(address + fcb::random_overflow)] = std::uint8_t(records >> 16);
    registers.a = size ? 0x00 : 0xFF;
}

// Sets R0-R2 to the record the FCB's sequential position names, as CP/M
// computes it: S2 (its low five bits) x 4096 + EX (its low five bits) x 128
// + CR.
void Bdos::set_random_record(FileSlot*) {
    const std::uint16_t address = registers.de();
    const std::uint32_t record = (memory[std::uint16_t(address + fcb::module)] & 0x1Fu) * records_per_module +
                                 (memory[std::uint16_t(address + fcb::extent)] & 0x1Fu) * records_per_extent +
                                 memory[std::uint16_t(address + fcb::current_record)];
    processor.write_word(address + fcb::random_record, std::uint16_t(record));
    memory[std::uint16_t(address + fcb::random_overflow)] = std::uint8_t(record >> 16);
    registers.a = 0x00;
}

// Drives need no logging in here: nothing to forget.
void Bdos::reset_drive(FileSlot*) { registers.a = 0x00; }

}  // namespace kavo
