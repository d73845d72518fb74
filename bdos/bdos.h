// The CP/M system of a run: the BDOS's state and functions and the BIOS entries, on the processor's registers.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bdos/disk.h"
#include "cpu/processor.h"
#include "host/console.h"
#include "host/files.h"

namespace kavo {

// One entry of the open-file table: the host file that open or make (or a
// record function, for an FCB that was never opened) found by an FCB's name.
// Every FCB that names the same file and carries the entry's marker reaches
// it, wherever it lies. Its stream is closed only while other files need the
// descriptor; the next use reopens it by name.
struct FileSlot {
    host::File stream;
    unsigned drive = 0;          // 0-15 for A-P: the drive the FCB named
    std::string name;            // the host name the FCB named, without a trailing dot
    std::uint64_t last_use = 0;  // the table's use count at its last use
};

// The one directory search a program may have going: the files of a drive as
// search for first found them, and how far search for next has come.
struct DirectorySearch {
    std::uint16_t fcb_address = 0;  // whose name and EX each call matches anew
    bool every_user = false;        // '?' as the drive byte: every entry of every user area, names aside
    std::vector<DiskFile> files;
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

    // What a warm boot resets between programs: the open files are closed,
    // a directory search ends, the DMA address is 0x0080 again and a run
    // that was ending has ended. Drives and the user number stay.
    void warm_boot();

    // The host directory of a drive's user area: for user 0 the drive's own
    // directory (A:'s for a drive without one), for users 1-31 its
    // subdirectory named by the number ("3"), or, while that is not made, a
    // directory that holds nothing and takes nothing. Valid until the next
    // call for the same drive.
    host::Directory& user_area(unsigned drive, unsigned user);
    // The directory of a drive in the current user area.
    host::Directory& drive_directory(unsigned drive) { return user_area(drive, user_code); }
    // Makes the current user area's subdirectory of a drive when it is
    // missing, before a file is made there.
    void make_user_area(unsigned drive);

    // Ends the run after the request being served, as a warm boot does, with
    // status as its exit status unless one was chosen already.
    void end_run(int status) {
        run_ending = true;
        if (exit_status == 0)
            exit_status = status;
    }
    bool run_ending = false;
    int exit_status = 0;  // the exit status a run's requests chose; 0 for success
    std::optional<std::uint16_t> return_code;  // as function 108 set it

    // The state the system keeps on the host.
    // The open files by number, the number their FCBs' markers carry; numbers
    // are never used twice in a run.
    std::map<std::uint64_t, FileSlot> file_slots;
    std::uint64_t files_numbered = 0;
    // The file each FCB address was last opened through: how an FCB that
    // holds no marker (one too near the top of memory for it, or one whose
    // marker the program overwrote) reaches its file.
    std::map<std::uint16_t, std::uint64_t> bound_files;
    std::uint64_t file_uses = 0;
    // The table looks for the files no FCB reaches any more once it has this
    // many entries, and then at twice the entries it kept.
    static constexpr std::size_t fewest_files_to_collect = 64;
    std::size_t files_to_collect_at = fewest_files_to_collect;
    std::uint16_t dma_address = 0x0080;
    std::uint8_t user_code = 0;
    std::optional<DirectorySearch> search_handle;
    // Drives A-P: the host directory of each mapped drive; A: without one is
    // the current directory, and every other drive without one reaches A:'s.
    std::array<std::optional<host::Directory>, 16> drive_directories;
    host::Directory current_directory;
    std::uint8_t current_drive = 0;
    // The host paths of the drives as the options named them (empty: not
    // mapped), for messages.
    std::array<std::string, 16> drive_paths;
    // The host paths of the files whose refusal by the host has been reported.
    std::set<std::string> reported_files;
    // The console as CP/M counts it: the column of console output, and
    // whether Ctrl+P has the printer echo it.
    std::uint8_t column = 0;
    bool printer_echo = false;

private:
    Processor& processor;
    std::array<std::uint8_t, 0x10000>& memory = processor.memory;
    RegisterFile& registers = processor.registers;
    host::ConsoleDevice& console;

    // The open file the FCB at fcb_address is: the one its marker names, or,
    // when it holds none, the one last opened through its address; none
    // unless that file is open and has the FCB's name and drive.
    FileSlot* find_file_slot(std::uint16_t fcb_address);
    // The drive (0-15) an FCB's drive byte names: 0 the current drive, 1-16
    // drives A-P; every other byte is A:.
    unsigned fcb_drive(std::uint8_t drive_byte) const;
    // Whether a program may change files through a drive: A: and the mapped
    // drives. Any other ends the run with status 1 after CP/M's disk error
    // "Bdos Err On B: R/O" and a line naming the option that maps it.
    bool may_change(unsigned drive);
    // The host path of a CP/M-derived name (without its trailing dot) in a
    // drive's directory, as the user named that directory.
    std::string host_path(unsigned drive, std::string_view name) const;
    // The CP/M result (A) of a host outcome of a file function on the file of
    // name in drive: 0x00 when done, 0xFF otherwise. A read-only file ends the
    // run with status 1 after CP/M's "Bdos Err On A: File R/O"; a refusal by
    // the host gets one line on standard error naming the file and the
    // host's reason (action says what was refused), the first time for each
    // file.
    std::uint8_t cpm_result(const host::Outcome& outcome, const char* action, unsigned drive, std::string_view name);
    // A drive's own directory: user 0's area.
    host::Directory& drive_root(unsigned drive);

    // The subdirectory last opened for each drive's user area, and for which
    // user; kept only once it exists.
    struct UserArea {
        unsigned user = 0;
        std::optional<host::Directory> directory;
    };
    std::array<UserArea, 16> user_areas;
    host::Directory absent_area = host::Directory::absent();
    // A: and every mapped drive exist.
    bool drive_exists(unsigned drive) const;
    // The files of every user area of the drive (0-15) as they lie on its
    // disk: user 0's, then those of each user area that exists, in order.
    std::vector<DiskFile> disk_files(unsigned drive);
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
    void get_set_return_code(FileSlot*);

private:
    void write_console(std::uint8_t byte);
    void look_for_pause();
    void echo_line_character(std::uint8_t character);
    void back_up();

    // Function 19 that deleted $$$.SUB, with DE on its FCB: the exit status
    // becomes 1, unless function 108 set a return code. (SUBMIT itself
    // deletes a $$$.SUB that is not there before it writes its own.)
    void note_batch_deletion();
    void end_with_disk_error(unsigned drive, const char* what);
    using Opener = host::Opened (host::Directory::*)(std::string_view) const;
    FileSlot* bind_file(Opener open, const char* action, unsigned drive);
    void copy_found_name(std::uint16_t address, bool read_only);
    bool names_file(const FileSlot& slot, const host::Directory& directory, std::string_view host_name);
    void write_marker(std::uint16_t fcb_address, std::uint64_t number);
    std::optional<std::uint64_t> marked_file(std::uint16_t marker_address) const;
    void forget_unreachable_files();
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
    void report_directory_entry(const DiskFile& file, unsigned entry);
};

// The name of a BDOS function the system performs ("open file"), or nullptr.
const char* bdos_function_name(std::uint8_t number);
// Whether a BDOS function the system performs returns a word in HL rather
// than a byte in A.
bool bdos_function_returns_word(std::uint8_t number);

// The drive code and the 11 upper-cased name and type bytes of an FCB for a
// host file name ("b:x.txt": 2, "X       TXT").
std::array<std::uint8_t, 12> fcb_name_of_host(const char* name);

}  // namespace kavo
