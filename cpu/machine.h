// The one object of a run: 8080 memory and registers, opcode hooks, and the CP/M state kept on the host.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cpu/registers.h"
#include "cpu/z80_registers.h"
#include "host/files.h"
#include "host/screen.h"
#include "host/terminal.h"
#include "machine/options.h"

namespace kavo {

// Why the processor handed control back: PC reached the trap area, or a HLT
// ran; none when a single step simply executed an instruction, or when the
// fuzzing build's instruction budget is spent.
enum class Stop { trap, halt, none };

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
    std::size_t file = 0;       // index of the file last reported, or to look at next
    unsigned entries_sent = 0;  // directory entries of that file reported so far
};

class Machine {
public:
    Machine();
    virtual ~Machine() = default;
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The opcodes the 8080 leaves undefined. PC points past the opcode; a
    // hook that takes operand bytes reads them itself.
    virtual void nop_group(unsigned y);
    virtual void opcode_cb();
    virtual void opcode_d9();
    virtual void opcode_dd();
    virtual void opcode_ed();
    virtual void opcode_fd();

    // The run's choices from the command line.
    Options options;

    std::array<std::uint8_t, 0x10000> memory{};
    RegisterFile registers{};
    Z80Registers z80{};  // the Z80's own registers, beside the main set it shares with the 8080

    // Word and register access on memory and registers; every address wraps.
    std::uint16_t read_word(std::uint16_t address) const {
        return memory[address] | memory[std::uint16_t(address + 1)] << 8;
    }
    void write_word(std::uint16_t address, std::uint16_t value) {
        memory[address] = std::uint8_t(value);
        memory[std::uint16_t(address + 1)] = std::uint8_t(value >> 8);
    }
    std::uint8_t get_reg(unsigned code) const { return get(registers, code); }
    void set_reg(unsigned code, std::uint8_t value) { set(registers, code, value); }
    void push_word(std::uint16_t value) { push_on(registers.sp, value); }
    std::uint16_t pop_word() { return pop_from(registers.sp); }
    std::uint16_t fetch_word(std::uint16_t& counter) const {
        std::uint16_t value = read_word(counter);
        counter += 2;
        return value;
    }
    bool condition_met(unsigned code) const { return registers.condition_met(code); }
    void set_pc(std::uint16_t value) { registers.pc = value; }
    void reset() {
        registers.pc = 0;
        registers.f = 0x02;
    }

    // Executes from PC until PC reaches the trap area (tested before every
    // instruction, so it may execute nothing) or right after a HLT, with PC
    // one past the HLT byte. The fuzzing build also returns Stop::none, with
    // PC at the next instruction, when instruction_budget is spent.
    Stop run_until_trap();
    // One instruction, unless PC is already in the trap area.
    Stop step();
    // The same two on the Z80, whose main registers are registers and the
    // rest z80 (the fuzzing build's budget included). A prefix that does
    // nothing but hand over to another prefix is an instruction of its own,
    // and so is each repetition of a block instruction.
    Stop run_until_trap_z80();
    Stop step_z80();

    // One pass of the supervisor over a stop of the processor: ends the run
    // (false) on HLT, warm boot, BDOS function 0, a read past the end of the
    // input or output that cannot be written; otherwise serves the BDOS or
    // BIOS request at PC, or reports an address without service, and returns
    // to the caller.
    bool serve(Stop stop);

    // Builds the memory image from the command line and loads the program,
    // with PC and SP at their start. Prints the usage or missing-file message
    // instead and returns false when there is nothing to run.
    bool load(int argument_count, char** argument_vector);
    // Loads the program and runs it to its end on the console; the exit
    // status: 1 when output could not be written, else the status the
    // program's requests chose (exit_status).
    int run_program(int argument_count, char** argument_vector);

    // Ends the run after the request being served, as a warm boot does, with
    // status as its exit status unless one was chosen already.
    void end_run(int status) {
        run_ending = true;
        if (exit_status == 0)
            exit_status = status;
    }
    bool run_ending = false;
    int exit_status = 0;  // the exit status a run's requests chose; 0 for success

#ifdef KAVO_COUNTING
    // Kept only by the benchmark's counting build: instructions, and how
    // often each opcode ran right after each other (previous << 8 | next).
    std::uint64_t instructions_executed = 0;
    std::array<std::uint64_t, 0x10000> successions{};
    std::uint8_t last_opcode = 0;
#endif
#ifdef KAVO_FUZZING
    std::uint64_t instruction_budget = 0;  // instructions run_until_trap may still execute; fuzzing build only
#endif

    // Host-side CP/M state.
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

    // The console device: the program's only road to the terminal.
    std::uint8_t console_status();
    std::uint8_t console_in();
    void console_out(std::uint8_t byte);
    void list_out(std::uint8_t byte);
    // The terminal started for the terminal options.terminal names (its
    // screen translated, its keys sent) and the key profile options.keys.
    void start_console();

    // One BDOS request: function in C, parameter in DE, results in registers.
    void bdos_call();

    // The slot of the file opened through the FCB at fcb_address, or none.
    FileSlot* find_file_slot(std::uint16_t fcb_address);
    // The drive (0-15) whose directory serves an FCB's drive byte: 0 the
    // current drive, 1-16 drives A-P; a drive without a directory of its own,
    // and every other byte, get A:.
    unsigned fcb_drive(std::uint8_t drive_byte) const;
    // Opens the directory of every drive the options map; false, after a
    // message, when one cannot be opened.
    bool open_drives();
    const host::Directory& drive_directory(unsigned drive) const;
    // The host name or pattern of the 11 name bytes at address: name, dot,
    // type, blanks dropped, bit 7 cleared.
    std::string fcb_to_host_name(std::uint16_t address) const;

    // The BDOS functions, each given the slot that find_file_slot found for DE.
    void console_input(FileSlot*);
    void console_output(FileSlot*);
    void reader_input(FileSlot*);
    void punch_output(FileSlot*);
    void list_output(FileSlot*);
    void direct_console_io(FileSlot*);
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
    // One BIOS entry of the jump vector, by its trap address; false for an
    // address that has no service.
    bool bios_call(std::uint16_t address);

    // Writes the drive code and the 11 upper-cased name and type bytes of a
    // host file name into the FCB at fcb; addresses wrap.
    void host_name_to_fcb(const char* name, std::uint16_t fcb);

    // A system message on standard output, in order with console output.
    void message(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A message on standard error (one line, "kavo: ..." or CP/M's own), in
    // order with console output.
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

    host::Terminal terminal;

private:
    void push_on(std::uint16_t& sp, std::uint16_t value) {
        memory[--sp] = std::uint8_t(value >> 8);
        memory[--sp] = std::uint8_t(value);
    }
    std::uint16_t pop_from(std::uint16_t& sp) const {
        std::uint16_t value = read_word(sp);
        sp += 2;
        return value;
    }
    // Register code access on a register file, code 6 being memory at HL.
    std::uint8_t get(const RegisterFile& r, unsigned code) const { return code == 6 ? memory[r.hl()] : r.byte(code); }
    void set(RegisterFile& r, unsigned code, std::uint8_t value) {
        if (code == 6)
            memory[r.hl()] = value;
        else
            r.byte(code) = value;
    }
    bool load_image(int argument_count, char** argument_vector);
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
    void report_directory_entry(const host::DirectoryEntry& file, unsigned entry);
};

}  // namespace kavo
