// The open-file table, FCB names and the BDOS file functions over host files.
#include <algorithm>
#include <array>

#include "cpu/machine.h"

namespace kavo {

namespace {

constexpr unsigned record_size = 128;
constexpr unsigned records_per_extent = 128;
constexpr std::uint32_t extent_size = record_size * records_per_extent;

// FCB fields by offset.
namespace fcb {
constexpr unsigned extent = 12, record_count = 15, new_name = 17, current_record = 32, random_record = 33;
}

// The records of a file of size bytes inside the logical extent: 0 to 128, a
// part record counting as one. CP/M's directory entry of that extent holds
// this count, and opening the extent copies it into RC.
std::uint8_t records_in_extent(std::uint64_t size, unsigned extent) {
    const std::uint64_t records = (size + record_size - 1) / record_size;
    const std::uint64_t before = std::uint64_t(extent) * records_per_extent;
    return std::uint8_t(std::min<std::uint64_t>(records - std::min(records, before), records_per_extent));
}

}  // namespace

FileSlot* Machine::find_file_slot(std::uint16_t fcb_address) {
    for (FileSlot& slot : file_slots)
        if (slot.fcb_address == fcb_address)
            return &slot;
    for (FileSlot& slot : file_slots)
        if (!slot.stream.is_open())
            return &slot;
    return nullptr;
}

std::string Machine::fcb_to_host_name(std::uint16_t address) const {
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

void Machine::reset_disk_system(FileSlot*) {
    for (FileSlot& slot : file_slots)
        slot.stream.close();
    registers.a = 0x00;
}

// Opens the file the FCB at DE names with open (an existing file, or a made
// one) into the slot and binds the slot to that address; RC becomes the
// records the file holds in the extent EX names (0 after make), as CP/M's
// open copies the directory entry. Nothing else in the FCB changes. A stream
// the slot held is closed first, whatever the outcome; no slot, no file.
bool Machine::bind_file(FileSlot* slot, std::optional<host::File> (*open)(std::string_view)) {
    const std::uint16_t address = registers.de();
    if (!slot)
        return false;
    slot->stream.close();
    auto file = open(fcb_to_host_name(address + 1));
    if (!file)
        return false;
    memory[std::uint16_t(address + fcb::record_count)] =
        records_in_extent(file->size(), memory[std::uint16_t(address + fcb::extent)]);
    slot->stream = std::move(*file);
    slot->fcb_address = address;
    return true;
}

void Machine::open_file(FileSlot* slot) { registers.a = bind_file(slot, host::File::open_existing) ? 0x00 : 0xFF; }

void Machine::make_file(FileSlot* slot) { registers.a = bind_file(slot, host::File::make) ? 0x00 : 0xFF; }

void Machine::close_file(FileSlot* slot) {
    if (!slot || !slot->stream.is_open()) {
        registers.a = 0xFF;
        return;
    }
    slot->stream.close();
    registers.a = 0x00;
}

void Machine::search_for_first(FileSlot*) {
    search_handle.reset();
    std::vector<host::DirectoryEntry> matches = host::find_files(fcb_to_host_name(registers.de() + 1));
    if (!matches.empty()) {
        search_remaining = matches.front().size;
        search_handle = DirectorySearch{std::move(matches), 0};
    }
    extent_counter = 0;
    search_for_next(nullptr);
}

// Reports the current match as a directory entry at the DMA address. Each
// entry covers up to two logical extents (32 KiB): full ones carry EX 1, 3,
// 5... and RC 128, the last one the number of its last extent and the records
// in it. The call that reports the last entry of the last match ends the
// search.
void Machine::search_for_next(FileSlot*) {
    if (!search_handle) {
        registers.a = 0xFF;
        return;
    }
    for (unsigned offset = 0; offset < 32; ++offset)
        memory[std::uint16_t(dma_address + offset)] = 0;
    const host::DirectoryEntry& match = search_handle->matches[search_handle->next];
    host_name_to_fcb(match.name.c_str(), dma_address);
    if (search_remaining > extent_size) {
        ++extent_counter;
        search_remaining -= extent_size;
    }
    memory[std::uint16_t(dma_address + fcb::extent)] = std::uint8_t(extent_counter);
    if (search_remaining > extent_size) {
        ++extent_counter;
        search_remaining -= extent_size;
        memory[std::uint16_t(dma_address + fcb::record_count)] = 0x80;
    } else {
        memory[std::uint16_t(dma_address + fcb::record_count)] =
            std::uint8_t((search_remaining + record_size - 1) / record_size);
        extent_counter = 0;
        if (++search_handle->next == search_handle->matches.size())
            search_handle.reset();
        else
            search_remaining = search_handle->matches[search_handle->next].size;
    }
    registers.a = 0x00;
}

// Deletes every visible file that matches, closing first the open stream
// whose FCB names it. Stops at the first deletion the host refuses. Always
// ends a search in progress.
void Machine::delete_file(FileSlot*) {
    search_handle.reset();
    const std::vector<host::DirectoryEntry> matches = host::find_files(fcb_to_host_name(registers.de() + 1));
    std::uint8_t result = matches.empty() ? 0xFF : 0x00;
    for (const host::DirectoryEntry& match : matches) {
        for (FileSlot& slot : file_slots) {
            if (!slot.stream.is_open())
                continue;
            std::string name = fcb_to_host_name(slot.fcb_address + 1);
            if (name.ends_with('.'))
                name.pop_back();
            if (host::equal_ignoring_case(name, match.name)) {
                slot.stream.close();
                break;
            }
        }
        if (!host::delete_file(match.name)) {
            result = 0xFF;
            break;
        }
    }
    registers.a = result;
}

void Machine::rename_file(FileSlot* slot) {
    const std::uint16_t address = registers.de();
    const bool closed = slot && slot->stream.is_open();
    if (closed)
        slot->stream.close();
    const bool renamed = host::rename_file(fcb_to_host_name(address + 1), fcb_to_host_name(address + fcb::new_name));
    registers.a = renamed || closed ? 0x00 : 0xFF;
}

// The stream a record function works on. CP/M keeps a file's identity in its
// FCB, so an FCB whose slot has no stream (closed, or a copy of an open FCB)
// opens the file it names as open file does.
host::File* Machine::record_stream(FileSlot* slot) {
    if (slot && !slot->stream.is_open() && !bind_file(slot, host::File::open_existing))
        return nullptr;
    return slot ? &slot->stream : nullptr;
}

// Reads the record EX and CR name into the DMA buffer. At the end of the file
// A = 1 and the buffer is left as it was; a part record is padded with 0x1A.
bool Machine::read_record(FileSlot* slot) {
    host::File* stream = record_stream(slot);
    if (!stream) {
        registers.a = 0xFF;
        return false;
    }
    const std::uint16_t address = registers.de();
    std::array<std::uint8_t, record_size> record;
    record.fill(0x1A);
    const std::uint64_t record_number = memory[std::uint16_t(address + fcb::extent)] * records_per_extent +
                                        memory[std::uint16_t(address + fcb::current_record)];
    if (stream->read_at(record_number * record_size, record) == 0) {
        registers.a = 0x01;
        return false;
    }
    for (unsigned offset = 0; offset < record_size; ++offset)
        memory[std::uint16_t(dma_address + offset)] = record[offset];
    registers.a = 0x00;
    return true;
}

// Writes the DMA buffer to the record EX and CR name; A = 0xFF and nothing
// advances unless the host took all of it. RC grows to cover the record.
bool Machine::write_record(FileSlot* slot) {
    host::File* stream = record_stream(slot);
    const std::uint16_t address = registers.de();
    std::array<std::uint8_t, record_size> record;
    for (unsigned offset = 0; offset < record_size; ++offset)
        record[offset] = memory[std::uint16_t(dma_address + offset)];
    const unsigned current = memory[std::uint16_t(address + fcb::current_record)];
    const std::uint64_t record_number = memory[std::uint16_t(address + fcb::extent)] * records_per_extent + current;
    if (!stream || !stream->write_at(record_number * record_size, record)) {
        registers.a = 0xFF;
        return false;
    }
    std::uint8_t& record_count = memory[std::uint16_t(address + fcb::record_count)];
    if (current < records_per_extent && record_count < current + 1)
        record_count = std::uint8_t(current + 1);
    registers.a = 0x00;
    return true;
}

// After a sequential transfer CR moves on, into the next extent after 127.
void Machine::advance_record() {
    const std::uint16_t address = registers.de();
    std::uint8_t& current = memory[std::uint16_t(address + fcb::current_record)];
    if (++current >= records_per_extent) {
        current = 0;
        ++memory[std::uint16_t(address + fcb::extent)];
    }
}

// Random transfers position CR and EX on the record R0 + 256 R1 and leave
// them there, so that a sequential call after them transfers the same record.
void Machine::seek_random_record() {
    const std::uint16_t address = registers.de();
    const unsigned record = read_word(address + fcb::random_record);
    memory[std::uint16_t(address + fcb::current_record)] = std::uint8_t(record % records_per_extent);
    memory[std::uint16_t(address + fcb::extent)] = std::uint8_t(record / records_per_extent);
}

// CP/M opens every extent that a record function moves into, so that RC
// then counts the records of the new extent, not those of the one left.
void Machine::follow_extent(const FileSlot* slot, std::uint8_t previous_extent) {
    const std::uint16_t address = registers.de();
    const std::uint8_t extent = memory[std::uint16_t(address + fcb::extent)];
    if (slot && slot->stream.is_open() && extent != previous_extent)
        memory[std::uint16_t(address + fcb::record_count)] = records_in_extent(slot->stream.size(), extent);
}

// The four record functions. A random transfer first places CR and EX on the
// random record and leaves them there; a sequential one moves on after a
// successful transfer. RC follows the FCB into whatever extent it ends in.
void Machine::transfer_record(FileSlot* slot, Access access, Order order) {
    const std::uint8_t extent = memory[std::uint16_t(registers.de() + fcb::extent)];
    if (order == Order::random && record_stream(slot))
        seek_random_record();
    const bool transferred = access == Access::read ? read_record(slot) : write_record(slot);
    if (transferred && order == Order::sequential)
        advance_record();
    follow_extent(slot, extent);
}

void Machine::read_sequential(FileSlot* slot) { transfer_record(slot, Access::read, Order::sequential); }
void Machine::write_sequential(FileSlot* slot) { transfer_record(slot, Access::write, Order::sequential); }
void Machine::read_random(FileSlot* slot) { transfer_record(slot, Access::read, Order::random); }
void Machine::write_random(FileSlot* slot) { transfer_record(slot, Access::write, Order::random); }

}  // namespace kavo
