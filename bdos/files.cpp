// The open-file table, FCB names, drives, and the BDOS functions that open, close, read and write files over host files.
#include <algorithm>
#include <array>
#include <cstring>

#include "bdos/bdos.h"
#include "bdos/fcb.h"


namespace kavo {

using namespace fcb_format;

namespace {

std::uint8_t upper(std::uint8_t byte) { return byte >= 'a' && byte <= 'z' ? byte - 0x20 : byte; }

// Bit 7 of S2 is CP/M's own mark of a written file, not part of the module number.
constexpr std::uint8_t module_mask = 0x7F;

// The marker that open and make write where CP/M keeps a file's allocation
// map (FCB bytes 16-31), so that a copy of the FCB is the same open file as
// on CP/M: two signature bytes, the file's number (48 bits, low byte first)
// and a check of 64 bits computed from the number, so that other bytes
// hardly ever pass for a marker. The second signature byte is a control
// character, which no file name holds: a rename through an opened FCB
// whose new name was not stored again finds no file to rename to.
namespace marker {
constexpr unsigned size = 16, number = 2, number_bytes = 6, check = 8, check_bytes = 8;
constexpr std::uint8_t signature[] = {0xCB, 0x8F};

// splitmix64's finalizer: each bit of the number changes about half the bits
// of the check.
constexpr std::uint64_t check_of(std::uint64_t number) {
    std::uint64_t mixed = number + 0x9E3779B97F4A7C15;
    mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EB;
    return mixed ^ (mixed >> 31);
}
}  // namespace marker

}  // namespace

// --- Drives and the open-file table ---

unsigned Bdos::fcb_drive(std::uint8_t drive_byte) const {
    const unsigned drive = drive_byte == 0 ? current_drive : drive_byte - 1u;
    return drive < drive_directories.size() ? drive : 0;
}

// CP/M 2.2's ending on a disk error: a new line on the console, then "Bdos
// Err On X: " and what went wrong, then a warm boot (here without waiting
// for a key). The message goes to standard error.
void Bdos::end_with_disk_error(unsigned drive, const char* what) {
    console.console_out('\r');
    console.console_out('\n');
    console.error("Bdos Err On %c: %s\n", char('A' + drive), what);
    end_run(1);
    registers.a = 0xFF;
}

// CP/M ends a run with "R/O" when a program changes a write-protected disk;
// an unmapped drive is one, as it reaches the directory of A:.
bool Bdos::may_change(unsigned drive) {
    if (drive_exists(drive))
        return true;
    end_with_disk_error(drive, "R/O");
    console.error("kavo: drive %c: is not mapped; map it with --drive %c=DIR\n", char('A' + drive), char('A' + drive));
    return false;
}

std::string Bdos::host_path(unsigned drive, std::string_view name) const {
    std::string path(name.ends_with('.') ? name.substr(0, name.size() - 1) : name);
    const std::string& directory = drive_paths[drive_directories[drive] ? drive : 0];
    if (!directory.empty())
        path.insert(0, directory.ends_with('/') ? directory : directory + '/');
    return path;
}

// Every host outcome of a file function becomes its CP/M result here.
std::uint8_t Bdos::cpm_result(const host::Outcome& outcome, const char* action, unsigned drive,
                                 std::string_view name) {
    switch (outcome.kind) {
    case host::Outcome::done: return 0x00;
    case host::Outcome::missing:
    case host::Outcome::name_taken: return 0xFF;
    case host::Outcome::read_only:
        end_with_disk_error(drive, "File R/O");
        return 0xFF;
    case host::Outcome::host_error: {
        const std::string path = host_path(drive, name);
        if (reported_files.insert(path).second)
            console.error("kavo: cannot %s %s: %s\n", action, path.c_str(), std::strerror(outcome.error));
        return 0xFF;
    }
    }
    return 0xFF;
}

bool Bdos::open_drives(const std::array<std::string, 16>& paths) {
    drive_paths = paths;
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

bool Bdos::drive_exists(unsigned drive) const {
    return drive == 0 || (drive < drive_directories.size() && drive_directories[drive]);
}

host::Directory& Bdos::drive_root(unsigned drive) {
    if (drive < drive_directories.size() && drive_directories[drive])
        return *drive_directories[drive];
    return drive_directories[0] ? *drive_directories[0] : current_directory;
}

host::Directory& Bdos::user_area(unsigned drive, unsigned user) {
    host::Directory& root = drive_root(drive);
    if (user == 0)
        return root;
    UserArea& area = user_areas[drive % user_areas.size()];
    if (area.user != user || !area.directory) {
        area.user = user;
        area.directory = root.open_subdirectory(std::to_string(user));
    }
    return area.directory ? *area.directory : absent_area;
}

void Bdos::make_user_area(unsigned drive) {
    if (user_code == 0)
        return;
    UserArea& area = user_areas[drive % user_areas.size()];
    area.user = user_code;
    area.directory = drive_root(drive).make_subdirectory(std::to_string(user_code));
}

void Bdos::warm_boot() {
    file_slots.clear();
    search_handle.reset();
    dma_address = 0x0080;
    run_ending = false;
}

// The bytes win over the address: an FCB that holds a marker is the file
// the marker names or none, whatever was opened through its address. A
// marker never decides alone: the FCB must name the file's drive and name,
// and a file closed since is no longer in the table.
FileSlot* Bdos::find_file_slot(std::uint16_t fcb_address) {
    std::optional<std::uint64_t> number = marked_file(fcb_address + fcb::marker);
    if (!number) {
        const auto bound = bound_files.find(fcb_address);
        if (bound == bound_files.end())
            return nullptr;
        number = bound->second;
    }
    const auto found = file_slots.find(*number);
    if (found == file_slots.end())
        return nullptr;
    FileSlot& slot = found->second;
    const bool same_file = slot.drive == fcb_drive(memory[fcb_address + fcb::drive]) &&
                           host::equal_ignoring_case(slot.name, without_trailing_dot(fcb_to_host_name(fcb_address + 1)));
    return same_file ? &slot : nullptr;
}

// An FCB whose marker would lie in the trap area, where the BDOS and BIOS
// entries are, or run through 0xFFFF into page zero's jumps, gets none: it
// reaches its file through its address alone.
void Bdos::write_marker(std::uint16_t fcb_address, std::uint64_t number) {
    if (fcb_address + fcb::marker + marker::size > trap_area)
        return;
    std::uint8_t* bytes = &memory[fcb_address + fcb::marker];
    bytes[0] = marker::signature[0];
    bytes[1] = marker::signature[1];
    const std::uint64_t check = marker::check_of(number);
    for (unsigned index = 0; index < marker::number_bytes; ++index)
        bytes[marker::number + index] = std::uint8_t(number >> 8 * index);
    for (unsigned index = 0; index < marker::check_bytes; ++index)
        bytes[marker::check + index] = std::uint8_t(check >> 8 * index);
}

// The number of the file whose marker lies at address (addresses wrap), or
// nothing when the bytes there are no marker.
std::optional<std::uint64_t> Bdos::marked_file(std::uint16_t address) const {
    const auto at = [&](unsigned offset) { return memory[std::uint16_t(address + offset)]; };
    if (at(0) != marker::signature[0] || at(1) != marker::signature[1])
        return std::nullopt;
    std::uint64_t number = 0, check = 0;
    for (unsigned index = marker::number_bytes; index-- > 0;)
        number = number << 8 | at(marker::number + index);
    for (unsigned index = marker::check_bytes; index-- > 0;)
        check = check << 8 | at(marker::check + index);
    if (check != marker::check_of(number))
        return std::nullopt;
    return number;
}

// Programs open files they only read without closing them, often through
// one FCB again and again; the entries no FCB can reach any more (whose
// marker lies nowhere in memory, and to which no FCB address is bound) are
// forgotten, so that the table stays as small as the files in use. A file
// an FCB saved away still reaches is kept.
void Bdos::forget_unreachable_files() {
    std::set<std::uint64_t> reachable;
    for (std::size_t address = 0; address < memory.size(); ++address) {
        if (const auto number = marked_file(std::uint16_t(address)))
            reachable.insert(*number);
    }
    std::erase_if(bound_files, [&](const auto& bound) { return !file_slots.contains(bound.second); });
    for (const auto& [address, number] : bound_files)
        reachable.insert(number);
    std::erase_if(file_slots, [&](const auto& entry) { return !reachable.contains(entry.first); });
    files_to_collect_at = std::max(fewest_files_to_collect, 2 * file_slots.size());
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

std::array<std::uint8_t, 12> fcb_name_of_host(const char* name) {
    std::array<std::uint8_t, 12> bytes;
    const auto* current = reinterpret_cast<const std::uint8_t*>(name);
    bytes[0] = 0;
    if (current[0] != 0 && current[1] == ':') {
        bytes[0] = std::uint8_t(upper(current[0]) - 64);  // b: is B:, as the command processor reads it
        current += 2;
    }
    for (unsigned position = 0; position < 11; ++position) {
        std::uint8_t byte = ' ';
        if (*current != 0 && *current != '.')
            byte = *current++;
        bytes[1 + position] = upper(byte);
        if (position == 7 && *current == '.')
            ++current;
    }
    return bytes;
}

void Bdos::host_name_to_fcb(const char* name, std::uint16_t fcb) {
    const std::array<std::uint8_t, 12> bytes = fcb_name_of_host(name);
    for (unsigned offset = 0; offset < bytes.size(); ++offset)
        memory[std::uint16_t(fcb + offset)] = bytes[offset];
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
// existing file, or a made one) as a new entry of the table, binds the FCB's
// address to it and writes its marker into the FCB; RC becomes the records
// the file holds in the extent EX and S2 name (0 after make), as CP/M's open
// copies the directory entry. Nothing else in the FCB changes. The file
// the FCB was before stays open for its copies; the address is unbound
// first, whatever the outcome. Without a file, A is the CP/M result of the
// outcome, action naming what was refused.
FileSlot* Bdos::bind_file(Opener open, const char* action, unsigned drive) {
    const std::uint16_t address = registers.de();
    bound_files.erase(address);
    make_room_for_stream();
    const std::string name = fcb_to_host_name(address + 1);
    auto [file, outcome] = (drive_directory(drive).*open)(name);
    if (!file) {
        registers.a = cpm_result(outcome, action, drive, name);
        return nullptr;
    }
    const unsigned extent = memory[std::uint16_t(address + fcb::extent)];
    const unsigned module = memory[std::uint16_t(address + fcb::module)] & module_mask;
    memory[std::uint16_t(address + fcb::record_count)] =
        extent < extents_per_module && module < modules
            ? records_in_extent(file->size(), module * extents_per_module + extent)
            : 0;
    const std::uint64_t number = ++files_numbered;
    FileSlot& slot = file_slots[number];
    slot = FileSlot{std::move(*file), drive, without_trailing_dot(name), ++file_uses};
    bound_files[address] = number;
    write_marker(address, number);
    if (file_slots.size() >= files_to_collect_at)
        forget_unreachable_files();
    return &slot;
}

// Open files stay open: a program may go on with them, as it may on CP/M
// after a reset that found the same disks.
void Bdos::reset_disk_system(FileSlot*) {
    current_drive = 0;
    registers.a = 0x00;
}

// The name bytes open and make leave in the FCB at address, as CP/M copies
// the directory entry into it: the name and type the file was found by, in
// upper case, each ending at its first blank, with bit 7 of the first type
// byte the read-only attribute and no other attribute bit. Programs see a
// read-only file by that bit after open.
void Bdos::copy_found_name(std::uint16_t address, bool read_only) {
    for (const auto& [first, last] : {std::pair{1u, 9u}, std::pair{9u, 12u}}) {
        bool ended = false;
        for (unsigned position = first; position < last; ++position) {
            std::uint8_t& byte = memory[std::uint16_t(address + position)];
            const std::uint8_t character = byte & 0x7F;
            ended = ended || byte == ' ';
            byte = ended ? ' ' : character >= 'a' && character <= 'z' ? character - 'a' + 'A' : character;
        }
    }
    if (read_only)
        memory[std::uint16_t(address + fcb::first_type)] |= read_only_attribute;
}

// Open and make start at module 0, as CP/M's do.
void Bdos::open_file(FileSlot*) {
    const std::uint16_t address = registers.de();
    memory[std::uint16_t(address + fcb::module)] = 0;
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    if (FileSlot* bound = bind_file(&host::Directory::open_existing, "open", drive)) {
        copy_found_name(address, bound->stream.is_read_only());
        registers.a = 0x00;
    }
}

// Make on a read-only file ends the run, as a write to it would.
void Bdos::make_file(FileSlot*) {
    const std::uint16_t address = registers.de();
    memory[std::uint16_t(address + fcb::module)] = 0;
    const unsigned drive = fcb_drive(memory[address + fcb::drive]);
    if (may_change(drive)) {
        make_user_area(drive);
        if (bind_file(&host::Directory::make, "make", drive)) {
            copy_found_name(address, false);
            registers.a = 0x00;
        }
    }
}

// Closes the file the FCB is, through whichever copy of it; every FCB that
// carries its marker then reopens the file by name on its next record. 0xFF
// when the FCB is no open file (closed already, or never opened).
void Bdos::close_file(FileSlot* slot) {
    registers.a = slot ? 0x00 : 0xFF;
    std::erase_if(file_slots, [&](const auto& entry) { return &entry.second == slot; });
}

// --- Records ---

// The stream a record function works on. CP/M keeps a file's identity in its
// FCB, so an FCB that is no open file (closed, never opened, or carrying a
// marker that is not its own) opens the file it names as open file does;
// an open file whose stream made room for others reopens it by name.
// Without a stream, A is the CP/M result of the open.
FileSlot* Bdos::record_stream(FileSlot* slot) {
    if (!slot)
        return bind_file(&host::Directory::open_existing, "open", fcb_drive(memory[registers.de() + fcb::drive]));
    if (!slot->stream.is_open()) {
        make_room_for_stream();
        auto [file, outcome] = drive_directory(slot->drive).open_existing(slot->name);
        if (!file) {
            registers.a = cpm_result(outcome, "open", slot->drive, slot->name);
            std::erase_if(file_slots, [&](const auto& entry) { return &entry.second == slot; });
            return nullptr;
        }
        slot->stream = std::move(*file);
    }
    slot->last_use = ++file_uses;
    return slot;
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
// the host took all of it, and a read-only file ends the run. RC grows to
// cover the record.
bool Bdos::write_record(FileSlot& slot, std::uint32_t record) {
    std::array<std::uint8_t, record_size> bytes;
    for (unsigned offset = 0; offset < record_size; ++offset)
        bytes[offset] = memory[std::uint16_t(dma_address + offset)];
    const host::Outcome written = slot.stream.write_at(std::uint64_t(record) * record_size, bytes);
    if (!written) {
        registers.a = cpm_result(written, "write", slot.drive, fcb_to_host_name(registers.de() + 1));
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
// A write through an unmapped drive ends the run.
void Bdos::transfer_record(FileSlot* slot, Access access, Order order) {
    const std::uint16_t address = registers.de();
    if (order == Order::random && memory[std::uint16_t(address + fcb::random_overflow)] != 0) {
        registers.a = 0x06;
        return;
    }
    if (access == Access::write && !may_change(fcb_drive(memory[address + fcb::drive])))
        return;
    FileSlot* bound = record_stream(slot);
    if (!bound)
        return;
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

// Drives need no logging in here: nothing to forget, and open files stay
// open.
void Bdos::reset_drive(FileSlot*) { registers.a = 0x00; }

}  // namespace kavo
