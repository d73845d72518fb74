// libFuzzer target: arbitrary 36-byte FCBs, FCB addresses and DMA addresses handed to each BDOS file and disk function.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "bdos/disk.h"
#include "bdos/memory_map.h"
#include "machine/machine.h"
#include "tests/fuzz/sandbox.h"

namespace {

// One operation of the input, 41 bytes:
//   0      the function, as an index into file_functions; with bit 7 set the
//          FCB bytes are not stored, so the FCB stays as earlier calls left it
//   1-2    the FCB address, low byte first
//   3-4    the DMA address, low byte first
//   5-40   the 36 FCB bytes, stored from the FCB address on (addresses wrap)
constexpr std::size_t operation_size = 41;

constexpr std::uint8_t file_functions[] = {13, 15, 16, 17, 18, 19, 20, 21, 22, 23, 30, 33, 34, 35, 36, 37, 40, 27, 31, 32};
constexpr std::uint8_t set_dma_address = 26;
constexpr std::uint8_t read_sequential = 20, read_random = 33, reset_disk_system = 13, write_random = 34,
                       set_random_record = 36, reset_drive = 37, write_random_with_zero_fill = 40,
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
            if (!(operation[0] & 0x80))
                for (unsigned index = 0; index < 36; ++index)
                    machine.processor.memory[std::uint16_t(fcb + index)] = operation[5 + index];
            call(machine, set_dma_address, dma);
            call(machine, function, fcb);
            if (!result_allowed(function, machine.processor.registers.a))
                fuzz::fail("function " + std::to_string(function) + " returned " + std::to_string(machine.processor.registers.a));
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
