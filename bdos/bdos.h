// The CP/M system of a run: the BDOS's state and functions and the BIOS entries, on the processor's registers.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cpu/processor.h"
#include "host/console.h"
#include "host/files.h"

namespace kavo {

// One entry of the open-file table: the host file opened or made through an
// FCB address. Its stream is closed only while other files need the
// descriptor; the FCB's next use reopens it by name on the same drive.
struct FileSlot {
    host::File stream;
    unsigned drive = 0;          // 0-15 for A-P, as the file was opened
    std::uint64_t last_use = 0;  // the table's use count at its last use
};

// The one directory search a program may have going: the files of a drive as
// search for first found them, and how far search for next has come.
struct DirectorySearch {
    std::uint16_t fcb_address = 0;  // whose name and EX each call matches anew
    std::vector<host::DirectoryEntry> files;
    std::vector<std::optional<std::uint16_t>> first_blocks;  // by file: where it lies on the disk; nothing: not on it
    std::size_t file = 0;       // index of the file last reported, or to look at next
    unsigned entries_sent = 0;  // directory entries of that file reported so far
};

class Bdos {
public:
    // The system serves the requests of processor, on its registers and
    // memory, and reaches the terminal only through console.
    Bdos(Processor& processor, host::ConsoleDevice& console) : processor(processor), console(console) {}
    Bdos(const Bdos&) = delete;
    Bdos& operator=(const Bdos&) = delete;

    // Writes the system's part of a cleared memory: page zero's jumps to the
    // BIOS and the BDOS, their entries in the trap area, the disk tables.
    void install();

    // One BDOS request: function in C, parameter in DE, results in registers:
    // a byte in A and L with H and B zero, a word in HL and BA.
    void bdos_call();
    // One BIOS entry of the jump vector, by its trap address; false for an
    // address that has no service.
    bool bios_call(std::uint16_t address);

    // Opens the directory of every drive that paths maps (an empty path: not
    // mapped); false, after a message, when one cannot be opened.
    bool open_drives(const std::array<std::string, 16>& paths);

    // Writes the drive code and the 11 upper-cased name and type bytes of a
    // host file name into the FCB at fcb; addresses wrap.
    void host_name_to_fcb(const char* name, std::uint16_t fcb);

    // Ends the run after the request being served, as a warm boot does, with
    // status as its exit status unless one was chosen already.
    void end_run(int status) {
        run_ending = true;
        if (exit_status == 0)
            exit_status = status;
    }
    bool run_ending = false;
    int exit_status = 0;  // the exit status a run's requests chose; 0 for success

    // The state the system keeps on the host.
    std::map<std::uint16_t, FileSlot> file_slots;  // by FCB address
    std::uint64_t file_uses = 0;
    std::uint16_t dma_address = 0x0080;
    std::uint8_t user_code = 0;
    std::optional<DirectorySearch> search_handle;
    // Drives A-P: the host directory of each mapped drive; A: without one is
    // the current directory, and every other drive without one reaches A:'s.
    std::array<std::optional<host::Directory>, 16> drive_directories;
    host::Directory current_directory;
    std::uint8_t current_drive = 0;
    // The console as CP/M counts it: the column of console output, and
    // whether Ctrl+P has the printer echo it.
    std::uint8_t column = 0;
    bool printer_echo = false;

private:
    Processor& processor;
    std::array<std::uint8_t, 0x10000>& memory = processor.memory;
    RegisterFile& registers = processor.registers;
    host::ConsoleDevice& console;

    // The slot of the file opened through the FCB at fcb_address, or none.
    FileSlot* find_file_slot(std::uint16_t fcb_address);
    // The drive (0-15) whose directory serves an FCB's drive byte: 0 the
    // current drive, 1-16 drives A-P; a drive without a directory of its own,
    // and every other byte, get A:.
    unsigned fcb_drive(std::uint8_t drive_byte) const;
    const host::Directory& drive_directory(unsigned drive) const;
    // A: and every mapped drive exist.
    bool drive_exists(unsigned drive) const;
    // Writes the allocation vector of the drive (0-15) as its files and the
    // host's free space make it now.
    void fill_allocation_vector(unsigned drive);

public:
    // The host name or pattern of the 11 name bytes at address: name, dot,
    // type, blanks dropped, bit 7 cleared.
    std::string fcb_to_host_name(std::uint16_t address) const;

    // The BDOS functions, each given the slot that find_file_slot found for
    // DE; public for the one table of functions.
    void console_input(FileSlot*);
    void console_output(FileSlot*);
    void reader_input(FileSlot*);
    void punch_output(FileSlot*);
    void list_output(FileSlot*);
    void direct_console_io(FileSlot*);
    void get_io_byte(FileSlot*);
    void set_io_byte(FileSlot*);
    void print_string(FileSlot*);
    void read_console_buffer(FileSlot*);
    void get_console_status(FileSlot*);
    void return_version_number(FileSlot*);
    void reset_disk_system(FileSlot*);
    void select_disk(FileSlot*);
    void open_file(FileSlot* slot);
    void close_file(FileSlot* slot);
    void search_for_first(FileSlot*);
    void search_for_next(FileSlot*);
    void delete_file(FileSlot*);
    void read_sequential(FileSlot* slot);
    void write_sequential(FileSlot* slot);
    void make_file(FileSlot* slot);
    void rename_file(FileSlot* slot);
    void return_login_vector(FileSlot*);
    void return_current_disk(FileSlot*);
    void set_dma_address(FileSlot*);
    void get_allocation_vector(FileSlot*);
    void get_read_only_vector(FileSlot*);
    void set_file_attributes(FileSlot*);
    void get_disk_parameters(FileSlot*);
    void get_set_user_code(FileSlot*);
    void read_random(FileSlot* slot);
    void write_random(FileSlot* slot);
    void compute_file_size(FileSlot* slot);
    void set_random_record(FileSlot*);
    void reset_drive(FileSlot*);
    void write_random_with_zero_fill(FileSlot* slot);

private:
    void write_console(std::uint8_t byte);
    void look_for_pause();
    void echo_line_character(std::uint8_t character);
    void back_up();

    using Opener = std::optional<host::File> (host::Directory::*)(std::string_view) const;
    FileSlot* bind_file(Opener open, unsigned drive);
    void make_room_for_stream();
    enum class Access { read, write };
    enum class Order { sequential, random };
    void transfer_record(FileSlot* slot, Access access, Order order);
    FileSlot* record_stream(FileSlot* slot);
    bool read_record(FileSlot& slot, std::uint32_t record);
    bool write_record(FileSlot& slot, std::uint32_t record);
    std::optional<std::uint32_t> sequential_record() const;
    void advance_record();
    void seek_random_record();
    void report_directory_entry(const host::DirectoryEntry& file, std::uint16_t first_block, unsigned entry);
};

// The name of a BDOS function the system performs ("open file"), or nullptr.
const char* bdos_function_name(std::uint8_t number);

}  // namespace kavo
