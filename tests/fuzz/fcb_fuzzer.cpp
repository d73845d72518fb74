// libFuzzer target: arbitrary 36-byte FCBs, FCB addresses and DMA addresses handed to each BDOS file and disk function.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bdos/disk.h"
#include "bdos/memory_map.h"
#include "machine/machine.h"
#include "tests/fuzz/sandbox.h"

namespace {

// One operation of the input, 41 bytes:
//   0      the function, as an index into file_functions; with bit 7 set the
//          FCB bytes are not stored, so the FCB stays as earlier calls left
//          it or as byte 5 moves it there
//   1-2    the FCB address, low byte first
//   3-4    the DMA address, low byte first
//   5-40   the 36 FCB bytes, stored from the FCB address on (addresses wrap);
//          with bit 7 of byte 0 set, byte 5 bit 0 copies the 36 bytes at the
//          address in bytes 6-7 (low byte first) to the FCB address, as a
//          program copies an open FCB, and bit 1 then clears the 36 bytes
//          the copy came from that the copy did not cover (a move)
constexpr std::size_t operation_size = 41;
constexpr unsigned fcb_size = 36;

constexpr std::uint8_t file_functions[] = {13, 15, 16, 17, 18, 19, 20, 21, 22, 23, 30, 33, 34, 35, 36, 37, 40, 27, 31, 32};
constexpr std::uint8_t set_dma_address = 26;
constexpr std::uint8_t read_sequential = 20, write_sequential = 21, read_random = 33, reset_disk_system = 13,
                       write_random = 34, set_random_record = 36, reset_drive = 37, write_random_with_zero_fill = 40,
                       search_for_first = 17, search_for_next = 18, get_allocation_vector = 27,
                       get_disk_parameters = 31, get_set_user_code = 32;

fuzz::Sandbox& sandbox() {
    static fuzz::Sandbox instance({});
    return instance;
}

// Files of every kind a program may meet: with and without a type, in lower
// case, large, and names it must never reach or create through: a directory,
// a FIFO and a link that leads out of the directory to nothing.
void make_fixture(const fuzz::fs::path& directory) {
    fuzz::write_file(directory / "A.TXT", std::string(300, 'a'));
    fuzz::write_file(directory / "b", "");
    fuzz::write_file(directory / "lower.com", "\xC9");
    fuzz::write_file(directory / "LONG.DAT", "");
    fuzz::fs::resize_file(directory / "LONG.DAT", 40000);
    fuzz::fs::create_directory(directory / "DIR.SUB");
    fuzz::write_file(directory / "DIR.SUB" / "INNER.TXT", "inner");
    mkfifo((directory / "PIPE.TXT").c_str(), 0666);
    fuzz::fs::create_symlink("../OUTSIDE", directory / "DANGLE.TXT");
}

void call(kavo::Machine& machine, std::uint8_t function, std::uint16_t parameter) {
    machine.processor.registers.c = function;
    machine.processor.registers.set_de(parameter);
    machine.bdos.bdos_call();
}

// Copies the FCB at from to to, and for a move clears what the copy left of
// the FCB at from.
void copy_fcb(kavo::Machine& machine, std::uint16_t from, std::uint16_t to, bool move) {
    auto& memory = machine.processor.memory;
    std::array<std::uint8_t, fcb_size> bytes;
    for (unsigned index = 0; index < fcb_size; ++index)
        bytes[index] = memory[std::uint16_t(from + index)];
    if (move)
        for (unsigned index = 0; index < fcb_size; ++index)
            memory[std::uint16_t(from + index)] = 0;
    for (unsigned index = 0; index < fcb_size; ++index)
        memory[std::uint16_t(to + index)] = bytes[index];
}

// The record a write through the FCB at fcb transfers, if it can succeed:
// the sequential position, or the random record number.
std::optional<std::uint64_t> record_written(const kavo::Machine& machine, std::uint8_t function, std::uint16_t fcb) {
    const auto at = [&](unsigned offset) { return unsigned(machine.processor.memory[std::uint16_t(fcb + offset)]); };
    if (function == write_sequential) {
        if (at(12) >= 32 || (at(14) & 0x7F) >= 16 || at(32) >= 128)
            return std::nullopt;
        return ((at(14) & 0x7F) * 32 + at(12)) * 128 + at(32);
    }
    if (function == write_random || function == write_random_with_zero_fill)
        return at(33) | at(34) << 8;
    return std::nullopt;
}

// A record and the size of every regular file of the run directory.
struct FileRecord {
    std::string name;
    std::uintmax_t size;
    std::string bytes;
};

std::vector<FileRecord> records_at(const fuzz::fs::path& directory, std::uint64_t record) {
    std::vector<FileRecord> records;
    for (const auto& entry : fuzz::fs::directory_iterator(directory)) {
        if (!entry.is_regular_file() || entry.is_symlink())
            continue;
        std::ifstream stream(entry.path(), std::ios::binary);
        stream.seekg(std::streamoff(record * 128));
        std::string bytes(128, '\0');
        stream.read(bytes.data(), 128);
        bytes.resize(std::size_t(stream.gcount()));
        records.push_back({entry.path().filename().string(), entry.file_size(), bytes});
    }
    return records;
}

// A write never reaches a file other than the one the FCB names (in any
// case: a file made in upper case hides the lower-case one an FCB may have
// open): the record of every other file, and its size, stay.
void check_other_files_kept(const std::vector<FileRecord>& before, const std::vector<FileRecord>& after,
                            const std::string& fcb_name) {
    for (const FileRecord& file : before) {
        if (host::equal_ignoring_case(file.name, fcb_name))
            continue;
        for (const FileRecord& now : after) {
            if (now.name == file.name && (now.size != file.size || now.bytes != file.bytes))
                fuzz::fail("a write through an FCB of " + fcb_name + " changed " + file.name);
        }
    }
}

// The disk functions' results: the tables' addresses, and a user number of
// five bits, E's when E is not 0xFF.
void check_disk_result(const kavo::Machine& machine, std::uint8_t function, std::uint16_t parameter) {
    const kavo::RegisterFile& r = machine.processor.registers;
    if (function == get_allocation_vector && r.hl() != kavo::address::allocation_vector)
        fuzz::fail("function 27 returned another address");
    if (function == get_disk_parameters && r.hl() != kavo::address::disk_parameter_block)
        fuzz::fail("function 31 returned another address");
    const std::uint8_t e = std::uint8_t(parameter);
    if (function == get_set_user_code && (r.a > 31 || (e != 0xFF && r.a != (e & 0x1F))))
        fuzz::fail("function 32 returned user " + std::to_string(r.a));
}

// A directory entry a search reported maps blocks of the disk past the
// directory, or none.
void check_directory_entry(const kavo::Machine& machine, std::uint16_t dma) {
    for (unsigned index = 0; index < kavo::disk::blocks_per_entry; ++index) {
        const std::uint16_t block = machine.processor.read_word(dma + kavo::disk::allocation_map + 2 * index);
        if (block != 0 && (block < kavo::disk::directory_blocks || block >= kavo::disk::blocks))
            fuzz::fail("a search reported block " + std::to_string(block));
    }
}

bool result_allowed(std::uint8_t function, std::uint8_t result) {
    if (function == get_allocation_vector || function == get_disk_parameters || function == get_set_user_code)
        return true;  // checked by check_disk_result
    if (function == reset_disk_system || function == set_random_record || function == reset_drive)
        return result == 0x00;
    if (function == read_sequential)
        return result == 0x00 || result == 0x01 || result == 0xFF;
    if (function == read_random)
        return result == 0x00 || result == 0x01 || result == 0x06 || result == 0xFF;
    if (function == write_random || function == write_random_with_zero_fill)
        return result == 0x00 || result == 0x06 || result == 0xFF;
    return result == 0x00 || result == 0xFF;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Sandbox& box = sandbox();
    box.begin_input();
    make_fixture(box.run_directory());
    {
        fuzz::FreshMachine fresh;
        kavo::Machine& machine = fresh.machine;
        for (std::size_t offset = 0; offset + operation_size <= size; offset += operation_size) {
            const std::uint8_t* operation = data + offset;
            const std::uint8_t function = file_functions[(operation[0] & 0x7F) % std::size(file_functions)];
            const std::uint16_t fcb = std::uint16_t(operation[1] | operation[2] << 8);
            const std::uint16_t dma = std::uint16_t(operation[3] | operation[4] << 8);
            if (!(operation[0] & 0x80)) {
                for (unsigned index = 0; index < fcb_size; ++index)
                    machine.processor.memory[std::uint16_t(fcb + index)] = operation[5 + index];
            } else if (operation[5] & 0x01) {
                copy_fcb(machine, std::uint16_t(operation[6] | operation[7] << 8), fcb, operation[5] & 0x02);
            }
            call(machine, set_dma_address, dma);
            const std::optional<std::uint64_t> record = record_written(machine, function, fcb);
            std::string fcb_name = machine.bdos.fcb_to_host_name(fcb + 1);
            if (fcb_name.ends_with('.'))
                fcb_name.pop_back();
            const std::vector<FileRecord> before = record ? records_at(box.run_directory(), *record) : std::vector<FileRecord>{};
            call(machine, function, fcb);
            if (!result_allowed(function, machine.processor.registers.a))
                fuzz::fail("function " + std::to_string(function) + " returned " + std::to_string(machine.processor.registers.a));
            if (record && machine.processor.registers.a == 0x00)
                check_other_files_kept(before, records_at(box.run_directory(), *record), fcb_name);
            check_disk_result(machine, function, fcb);
            if ((function == search_for_first || function == search_for_next) && machine.processor.registers.a == 0)
                check_directory_entry(machine, dma);
            // A change to a read-only file or through an unmapped drive ends
            // the run, as the supervisor would.
            if (machine.bdos.run_ending)
                break;
        }
    }
    if (fuzz::read_file(box.run_directory() / "DIR.SUB" / "INNER.TXT") != "inner")
        fuzz::fail("a file inside a subdirectory changed");
    box.check_and_clear();
    return 0;
}
