// Tests of the BDOS file functions: FCB names directly, everything else through the real executable.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "tests/assembler.h"
#include "tests/run.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::A;
using test::B;
using test::DE;
using test::E;
using test::HL;
using test::M;

using enum test::BdosFunction;
using test::default_dma;
constexpr std::uint8_t get_read_only_vector = 29;

// The 11 name bytes of "NAME.TYP": name and type padded with blanks to 8 + 3.
std::string name_field(std::string_view name) {
    const std::size_t dot = name.find('.');
    std::string base(name.substr(0, dot));
    std::string type(dot == std::string_view::npos ? "" : name.substr(dot + 1));
    base.resize(8, ' ');
    type.resize(3, ' ');
    return base + type;
}

// "41 42 43": the bytes in hex as the programs print them.
std::string hex_dump(std::string_view bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        if (!text.empty())
            text += ' ';
        text += digits;
    }
    return text;
}
std::string hex(std::initializer_list<int> bytes) {
    std::string raw;
    for (int byte : bytes)
        raw += char(byte);
    return hex_dump(raw);
}

// The output split at line ends, without the blanks at the end of each line.
std::vector<std::string> lines(const std::string& output) {
    std::vector<std::string> result;
    std::string line;
    for (char character : output) {
        if (character == '\n') {
            result.push_back(line);
            line.clear();
        } else if (character != '\r') {
            line += character;
        }
    }
    if (!line.empty())
        result.push_back(line);
    for (std::string& each : result)
        each.erase(each.find_last_not_of(' ') + 1);
    return result;
}

// A file of count records in which record n begins with n, low byte first.
std::string numbered_records(unsigned count) {
    std::string content;
    for (unsigned record = 0; record < count; ++record) {
        std::string bytes(128, char(0x40 + record % 32));
        bytes[0] = char(record & 0xFF);
        bytes[1] = char(record >> 8);
        content += bytes;
    }
    return content;
}

std::vector<std::string> listing(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The FCB fields a test program sets before its first call.
struct FcbFields {
    std::uint8_t drive = 0;  // 0 the current drive, 1-16 A-P
    std::uint8_t extent = 0;
    std::uint8_t module = 0;  // S2
    std::uint8_t record_count = 0;
    std::uint8_t current_record = 0;
    std::uint16_t random_record = 0;
    std::string new_name = "";  // the 11 name bytes that rename takes, if any
};

// A test program: code from 0x0100, FCBs and other data from data_origin on,
// so that data can be placed while the code is written.
class Program : public test::Assembler {
public:
    static constexpr std::uint16_t data_origin = 0x2000;

    std::uint16_t fcb(std::string_view name, const FcbFields& fields = {}) {
        return fcb_with_name_bytes(name_field(name), fields);
    }
    std::uint16_t fcb_with_name_bytes(const std::string& name_bytes, const FcbFields& fields = {}) {
        std::string bytes(36, '\0');
        bytes.replace(1, 11, name_bytes);
        bytes[0] = char(fields.drive);
        bytes[12] = char(fields.extent);
        bytes[14] = char(fields.module);
        bytes[15] = char(fields.record_count);
        if (!fields.new_name.empty())
            bytes.replace(17, 11, fields.new_name);
        bytes[32] = char(fields.current_record);
        bytes[33] = char(fields.random_record & 0xFF);
        bytes[34] = char(fields.random_record >> 8);
        return place(bytes);
    }
    std::uint16_t place(std::string_view bytes) {
        const std::uint16_t address = std::uint16_t(data_origin + data.size());
        data += bytes;
        return address;
    }

    // BDOS function with DE = parameter; prints A.
    Program& request(std::uint8_t function, std::uint16_t parameter = 0) {
        lxi(DE, parameter).bdos(function).call("hex");
        return *this;
    }
    Program& show(std::uint16_t address, std::uint8_t count) {
        dump(address, count);
        return *this;
    }
    // Prints EX and CR.
    Program& show_position(std::uint16_t fcb) { return show(fcb + 12, 1).show(fcb + 32, 1); }
    Program& show_record_count(std::uint16_t fcb) { return show(fcb + 15, 1); }
    Program& new_line() {
        mvi(E, '\r').bdos(2).mvi(E, '\n').bdos(2);
        return *this;
    }
    Program& store(std::uint16_t address, std::initializer_list<std::uint8_t> bytes) {
        lxi(HL, address);
        for (std::uint8_t byte : bytes)
            mvi(M, byte).inx(HL);
        return *this;
    }
    Program& store_random_record(std::uint16_t fcb, std::uint16_t record) {
        return store(fcb + 33, {std::uint8_t(record), std::uint8_t(record >> 8)});
    }
    Program& copy(std::uint16_t from, std::uint16_t to, std::uint8_t count) {
        const std::string loop = unique("copy");
        lxi(HL, from).lxi(DE, to).mvi(B, count);
        label(loop).mov(A, M).stax(DE).inx(HL).inx(DE).dcr(B).jnz(loop.c_str());
        return *this;
    }
    // count sequential writes through fcb; the first byte of each record is
    // the number of writes still to come, counting this one.
    Program& write_records(std::uint16_t fcb, std::uint8_t count) {
        const std::uint16_t counter = place(std::string(1, '\0'));
        const std::string loop = unique("write");
        mvi(A, count).sta(counter);
        label(loop).lda(counter).sta(default_dma).lxi(DE, fcb).bdos(write_sequential);
        lda(counter).dcr(A).sta(counter).jnz(loop.c_str());
        return *this;
    }
    // Search for first with pattern, then search for next until 0xFF: one
    // line per call, A and the 32 bytes of the entry at entry_address.
    Program& list_directory(std::uint16_t pattern, std::uint16_t entry_address = default_dma) {
        const std::string next = unique("next"), done = unique("done");
        lxi(DE, pattern).bdos(search_for_first);
        label(next).call("hex").cpi(0xFF).jz(done.c_str());
        show(entry_address, 32).new_line().bdos(search_for_next).jmp(next.c_str());
        label(done);
        new_line();
        return *this;
    }

    // Copies the file of one FCB into a new file of another, record by record;
    // prints the results of open, make and the two closes.
    Program& copy_file(std::uint16_t source, std::uint16_t destination) {
        const std::string loop = unique("copy_loop"), done = unique("copy_done");
        request(open_file, source).request(make_file, destination);
        label(loop).lxi(DE, source).bdos(read_sequential).ora(A).jnz(done.c_str());
        lxi(DE, destination).bdos(write_sequential).jmp(loop.c_str());
        label(done);
        return request(close_file, source).request(close_file, destination);
    }

    void write(const fs::path& path) {
        exit();
        hex_routine();
        if (here() > data_origin)
            throw std::length_error("test program runs into its data");
        ds(data_origin - here());
        db(data);
        test::Assembler::write(path);
    }

private:
    std::string unique(const std::string& stem) { return stem + std::to_string(++labels_made); }
    std::string data;
    unsigned labels_made = 0;
};

// Each test runs its program in work/, whose parent holds the program and
// nothing else the program should see.
class BdosFiles : public testing::Test {
protected:
    void SetUp() override { fs::create_directory(work); }

    fs::path install(Program& program) {
        const fs::path path = base / "T.COM";
        program.write(path);
        return path;
    }
    test::Result run(Program& program, std::chrono::seconds timeout = 60s) {
        return test::run_kavo(work, {install(program).string()}, "", timeout);
    }
    // Runs the program with kavo's options before it.
    test::Result run_with(std::vector<std::string> options, Program& program) {
        options.push_back(install(program).string());
        return test::run_kavo(work, options);
    }
    struct Outcome {
        std::vector<std::string> lines;  // of standard output
        std::string errors;              // standard error
        int status = -1;
    };
    // Runs the program with kavo's options before it, keeping standard error.
    Outcome run_keeping_errors(std::vector<std::string> options, Program& program) {
        options.push_back(install(program).string());
        const fs::path errors_path = errors_directory / "errors";
        const test::Result result = test::run_kavo(work, options, "", 60s, [&] {
            const int descriptor = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            return descriptor >= 0 && dup2(descriptor, STDERR_FILENO) >= 0;
        });
        return {lines(result.output), test::read_file(errors_path), result.status};
    }
    void create(const std::string& name, const std::string& content) { test::write_file(work / name, content); }
    void create_sized(const std::string& name, std::uintmax_t size) {
        create(name, "");
        fs::resize_file(work / name, size);
    }
    std::string contents(const std::string& name) { return test::read_file(work / name); }

    test::TemporaryDirectory base, errors_directory;
    fs::path work = base / "work";
};

constexpr auto read_only_permissions = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

// fcb_to_host_name on a machine of its own.

struct HostNameCase {
    std::uint16_t address;
    std::string name_bytes;  // the 11 bytes of name and type
    std::string host_name;
};

TEST(FcbNames, HostNameDropsBlanksAndBitSeven) {
    const HostNameCase cases[] = {
        {0x005C, "README     ", "README."},
        {0x005C, "LONGFILENAM", "LONGFILE.NAM"},
        {0x005C, "ABCDEFGHI  ", "ABCDEFGH.I"},
        {0x005C, "???????????", "????????.???"},
        {0x005C, "        COM", ".COM"},
        {0x005C, "           ", "."},
        {0x005C, "A B     T X", "A.T"},  // the first blank ends the part
        {0x005C, "readme  txt", "readme.txt"},
        {0x005C, "\xC1\xC2\xC3     \xC4\xC1\xD4", "ABC.DAT"},
        {0x005C, "A\xA0" "B     TXT", "A B.TXT"},  // 0xA0 is no blank until bit 7 is cleared
        {0xFFFA, "WRAPPED TXT", "WRAPPED.TXT"},  // the name runs through 0xFFFF into page zero
    };
    auto machine = std::make_unique<kavo::Machine>();
    for (const auto& [address, name_bytes, host_name] : cases) {
        for (std::size_t offset = 0; offset < name_bytes.size(); ++offset)
            machine->processor.memory[std::uint16_t(address + offset)] = std::uint8_t(name_bytes[offset]);
        EXPECT_EQ(machine->bdos.fcb_to_host_name(address), host_name) << '"' << name_bytes << '"';
    }
}

// Reading and writing records.

TEST_F(BdosFiles, SequentialReadPadsTheLastRecordAndLeavesTheBufferAtTheEnd) {
    std::string content;
    for (int byte = 0; byte < 200; ++byte)
        content += char(byte);
    create("DATA.BIN", content);
    create("EMPTY.BIN", "");
    Program program;
    const std::uint16_t data = program.fcb("DATA.BIN"), empty = program.fcb("EMPTY.BIN");
    program.request(open_file, data).new_line();
    for (int read = 0; read < 3; ++read)
        program.request(read_sequential, data).show_position(data).show(default_dma, 128).new_line();
    program.request(open_file, empty).request(read_sequential, empty).show_position(empty).show(default_dma, 128);

    const std::string second_record = content.substr(128) + std::string(56, '\x1A');
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              "00",
                                              "00 00 01 " + hex_dump(content.substr(0, 128)),
                                              "00 00 02 " + hex_dump(second_record),
                                              "01 00 02 " + hex_dump(second_record),
                                              "00 01 00 00 " + hex_dump(second_record),
                                          }));
}

TEST_F(BdosFiles, SequentialWriteMovesIntoTheNextExtent) {
    Program program;
    const std::uint16_t file = program.fcb("NEW.BIN");
    program.request(make_file, file).write_records(file, 129).show_position(file);
    EXPECT_EQ(lines(run(program).output), std::vector<std::string>{"00 01 01"});

    const std::string written = contents("NEW.BIN");
    ASSERT_EQ(written.size(), 129u * 128);
    EXPECT_EQ(written[0], char(129));
    EXPECT_EQ(written[127 * 128], char(2));
    EXPECT_EQ(written[16384], char(1));
}

TEST_F(BdosFiles, RandomRecordsLeaveThePositionOnTheRecordTransferred) {
    create("RANDOM.BIN", numbered_records(320));
    Program program;
    const std::uint16_t file = program.fcb("RANDOM.BIN", {.random_record = 300});
    const std::uint16_t far = program.fcb("FAR.BIN", {.random_record = 1000});
    program.request(open_file, file).new_line();
    // Record 300 is the record at byte 38,400; a sequential read after it reads it again.
    program.request(read_random, file).show(default_dma, 2).show_position(file).show(file + 33, 3).new_line();
    program.request(read_sequential, file).show(default_dma, 2).show_position(file).new_line();
    program.request(read_sequential, file).show(default_dma, 2).show_position(file).new_line();
    // Record 32,768 is the first of module 8 (S2), past the end of this file.
    program.store_random_record(file, 32768).request(read_random, file).show(default_dma, 2).show_position(file);
    program.show(file + 14, 1).new_line();
    // Past the end: end of file, the buffer as it was, the position on the record asked for.
    program.store_random_record(file, 400).request(read_random, file).show(default_dma, 2).show_position(file).new_line();
    // A random write and a sequential write after it both go to record 300.
    program.store_random_record(file, 300).store(default_dma, {0xAA}).request(write_random, file).show_position(file);
    program.store(default_dma, {0xBB}).request(write_sequential, file).show_position(file).new_line();
    // Far past the end of a new file.
    program.request(make_file, far).store(default_dma, {0xCC}).request(write_random, far).show_position(far);

    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              "00",
                                              "00 2C 01 02 2C 2C 01 00",
                                              "00 2C 01 02 2D",
                                              "00 2D 01 02 2E",
                                              "01 2D 01 00 00 08",
                                              "01 2D 01 03 10",
                                              "00 02 2C 00 02 2D",
                                              "00 00 07 68",
                                          }));
    const std::string random = contents("RANDOM.BIN");
    ASSERT_EQ(random.size(), 320u * 128);
    EXPECT_EQ(random[300 * 128], '\xBB');
    EXPECT_EQ(random[301 * 128], char(301 & 0xFF));
    const std::string far_file = contents("FAR.BIN");
    ASSERT_EQ(far_file.size(), 1001u * 128);
    EXPECT_EQ(far_file[1000 * 128], '\xCC');
    EXPECT_EQ(far_file.find_first_not_of('\0'), 1000u * 128);
}

TEST_F(BdosFiles, OpenSetsTheRecordCountOfItsExtentAndMakeEmptiesTheFile) {
    create("EMPTY.BIN", "");
    create("SMALL.BIN", numbered_records(1) + std::string(72, 'x'));
    create_sized("FULL.BIN", 16384);
    create_sized("BIG.BIN", 40000);
    create("OLD.TXT", "old contents");
    struct Case {
        std::string name;
        std::uint8_t extent;
        int record_count;
    };
    const Case cases[] = {
        {"EMPTY.BIN", 0, 0x00}, {"SMALL.BIN", 0, 0x02}, {"FULL.BIN", 0, 0x80}, {"FULL.BIN", 1, 0x00},
        {"BIG.BIN", 1, 0x80},   {"BIG.BIN", 2, 0x39},   {"BIG.BIN", 3, 0x00},  {"BIG.BIN", 255, 0x00},
    };
    Program program;
    std::vector<std::string> expected;
    for (const Case& each : cases) {
        const std::uint16_t file = program.fcb(each.name, {.extent = each.extent, .record_count = 0x99});
        program.request(open_file, file).show_record_count(file).new_line();
        expected.push_back(hex({0x00, each.record_count}));
    }

    // Open writes RC, S2 (module 0) and its marker where CP/M keeps the
    // allocation map (16-31), and nothing else; the first read is of the
    // record CR names.
    std::string fcb_bytes(36, '\0');
    for (std::size_t offset = 12; offset < 36; ++offset)
        fcb_bytes[offset] = char(0x30 + offset);
    fcb_bytes.replace(1, 11, name_field("SMALL.BIN"));
    fcb_bytes[12] = 0;
    fcb_bytes[32] = 1;
    const std::uint16_t small = program.place(fcb_bytes);
    program.request(open_file, small).show(small, 16).show(small + 32, 4).new_line();
    program.request(read_sequential, small).show(default_dma, 1).new_line();
    fcb_bytes[14] = 0x00;
    fcb_bytes[15] = 0x02;
    expected.push_back("00 " + hex_dump(fcb_bytes.substr(0, 16)) + " " + hex_dump(fcb_bytes.substr(32)));
    expected.push_back("00 78");

    const std::uint16_t old_file = program.fcb("OLD.TXT", {.record_count = 0x55});
    const std::uint16_t new_file = program.fcb("NEW.DAT", {.record_count = 0x55});
    const std::uint16_t missing = program.fcb("MISSING.DAT");
    program.request(make_file, old_file).show_record_count(old_file).request(make_file, new_file).show_record_count(new_file);
    program.request(open_file, missing).new_line();
    expected.push_back("00 00 00 00 FF");

    // A failed reopen has already closed the stream of the FCB.
    const std::uint16_t reopened = program.fcb("SMALL.BIN");
    program.request(open_file, reopened).store(reopened + 1, {'M', 'I', 'S', 'S', 'I', 'N', 'G', ' '});
    program.request(open_file, reopened).request(close_file, reopened);
    expected.push_back("00 FF FF");

    EXPECT_EQ(lines(run(program).output), expected);
    EXPECT_EQ(contents("OLD.TXT"), "");
    EXPECT_TRUE(fs::exists(work / "NEW.DAT"));
    EXPECT_EQ(fs::file_size(work / "NEW.DAT"), 0u);
    EXPECT_FALSE(fs::exists(work / "MISSING.DAT"));
}

TEST_F(BdosFiles, WritesRaiseTheRecordCountButNeverLowerIt) {
    Program program;
    const std::uint16_t file = program.fcb("NEW.BIN", {.random_record = 10});
    program.request(make_file, file).new_line();
    for (int write = 0; write < 3; ++write)
        program.request(write_sequential, file).show_record_count(file);
    program.new_line().store(file + 32, {1}).request(write_sequential, file).show_record_count(file);
    program.request(write_random, file).show_record_count(file);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{"00", "00 01 00 02 00 03", "00 03 00 0B"}));
    EXPECT_EQ(fs::file_size(work / "NEW.BIN"), 11u * 128);
}

TEST_F(BdosFiles, StaleRecordCountAfterMovingToAnotherExtent) {
    create_sized("BIG.BIN", 40000);  // 313 records: 128, 128 and 57 in extents 0 to 2
    Program program;
    const std::uint16_t written = program.fcb("NEW.BIN");
    const std::uint16_t read = program.fcb("BIG.BIN", {.extent = 1, .current_record = 127});
    // CP/M opens each extent it moves into and takes RC from it.
    program.request(make_file, written).write_records(written, 129).show_position(written).show_record_count(written).new_line();
    program.request(open_file, read).show_record_count(read);
    program.request(read_sequential, read).show_position(read).show_record_count(read).new_line();
    program.store_random_record(read, 10).request(read_random, read).show_position(read).show_record_count(read);
    program.store_random_record(read, 400).request(write_random, read).show_position(read).show_record_count(read);
    EXPECT_EQ(lines(run(program).output),
              (std::vector<std::string>{"00 01 01 01", "00 80 00 02 00 39", "00 00 0A 80 00 03 10 11"}));
}

TEST_F(BdosFiles, WriteThatTheHostRefusesKeepsThePosition) {
    Program program;
    const std::uint16_t file = program.fcb("FULL.BIN");
    program.request(make_file, file);
    for (int write = 0; write < 3; ++write)
        program.request(write_sequential, file);
    program.show_position(file).show_record_count(file);
    const fs::path path = install(program);

    // The limit and the ignored SIGXFSZ pass to kavo; the third record crosses 300 bytes.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limited{300, saved.rlim_max};
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    const test::Result result = test::run_kavo(work, {path.string()});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);

    EXPECT_EQ(lines(result.output), std::vector<std::string>{"00 00 00 FF 00 02 02"});
    // The part of the record that fitted under the limit is cut off again.
    EXPECT_EQ(fs::file_size(work / "FULL.BIN"), 256u);
}

TEST_F(BdosFiles, ReadAndWriteReachTheFileThroughAClosedOrCopiedFcb) {
    create("DATA.BIN", numbered_records(5));
    Program program;
    const std::uint16_t original = program.fcb("DATA.BIN");
    const std::uint16_t copy = program.place(std::string(36, '\0'));
    const std::uint16_t missing = program.fcb("MISSING.BIN");
    program.request(open_file, original).request(read_sequential, original).show(default_dma, 1).request(close_file, original);
    program.request(read_sequential, original).show(default_dma, 1).request(close_file, original).new_line();
    program.request(open_file, original).copy(original, copy, 36);
    program.request(read_sequential, copy).show(default_dma, 1).request(read_sequential, original).show(default_dma, 1);
    program.store(default_dma, {0xEE}).request(write_sequential, copy).request(read_sequential, original).show(default_dma, 1);
    program.new_line().request(read_sequential, missing).request(write_sequential, missing).request(close_file, missing);
    EXPECT_EQ(lines(run(program).output),
              (std::vector<std::string>{"00 00 00 00 00 01 00", "00 00 02 00 02 00 00 EE", "FF FF FF"}));
    EXPECT_EQ(contents("DATA.BIN")[3 * 128], '\xEE');
    EXPECT_FALSE(fs::exists(work / "MISSING.BIN"));
}

// As on CP/M, an open file is what its FCB's bytes say, wherever the FCB
// lies: a copy reads, writes and closes the file it copies. A copy over an
// address that another file was read through used to read that other file,
// and a close through a copy answered 0xFF. A file closed through one copy is
// closed for every other (0xFF), and a copy moved elsewhere is still open.
TEST_F(BdosFiles, CopiedFcbsReachTheFileTheyCopyNotTheOneTheirAddressHeld) {
    create("A.TXT", std::string(512, 'a'));
    create("B.TXT", std::string(512, 'b'));
    Program program;
    const std::uint16_t a = program.fcb("A.TXT"), b = program.fcb("B.TXT");
    const std::uint16_t third = program.place(std::string(36, '\0')), written = program.place(std::string(36, '\0'));
    const std::uint16_t moved = program.place(std::string(36, '\0')), closing = program.place(std::string(36, '\0'));
    const std::uint16_t zeros = program.place(std::string(36, '\0'));
    program.request(open_file, a).copy(a, third, 36).request(read_sequential, third).show(default_dma, 1);
    program.request(open_file, b).copy(b, third, 36).request(read_sequential, third).show(default_dma, 1).new_line();
    program.copy(a, written, 36).store_random_record(written, 2).store(default_dma, {'X'}).request(write_random, written);
    program.copy(b, written, 36).store_random_record(written, 3).store(default_dma, {'Y'}).request(write_random, written);
    program.new_line();
    program.copy(b, moved, 36).copy(zeros, b, 36).request(read_sequential, moved).show(default_dma, 1);
    program.request(close_file, moved).request(close_file, written).request(close_file, third).new_line();
    program.copy(a, closing, 36).request(close_file, closing).request(close_file, a);
    program.request(read_sequential, a).show(default_dma, 1).request(close_file, a);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              "00 00 61 00 00 62",
                                              "00 00",
                                              "00 62 00 FF FF",
                                              "00 FF 00 61 00",
                                          }));
    // The records written are the DMA buffer: B.TXT's record read before it.
    EXPECT_EQ(contents("A.TXT"), std::string(256, 'a') + 'X' + std::string(127, 'b') + std::string(128, 'a'));
    EXPECT_EQ(contents("B.TXT"), std::string(384, 'b') + 'Y' + std::string(127, 'b'));
}

// Markers are checked against the FCB's name and drive and the table, never
// trusted alone: an FCB that carries the marker of another file (copied from
// an unrelated FCB, or of a file closed since, or renamed since) writes into
// the file its name names, or fails, and a marker one byte off is no marker.
TEST_F(BdosFiles, StaleAndForeignMarkersNeverWriteIntoTheirFile) {
    for (const char letter : {'A', 'B', 'C', 'R'})
        create(letter + std::string(".TXT"), std::string(256, char(letter - 'A' + 'a')));
    Program program;
    const std::uint16_t a = program.fcb("A.TXT"), foreign = program.fcb("B.TXT");
    const std::uint16_t c = program.fcb("C.TXT"), corrupted = program.place(std::string(36, '\0'));
    const std::uint16_t stale = program.place(std::string(36, '\0'));
    const std::uint16_t renamed = program.fcb("R.TXT"), rename = program.fcb("R.TXT", {.new_name = name_field("D.TXT")});
    // B.TXT's FCB with A.TXT's marker.
    program.request(open_file, a).copy(a + 16, foreign + 16, 16).store(default_dma, {'1'});
    program.request(write_sequential, foreign).request(close_file, foreign).request(close_file, a).new_line();
    // A marker whose last check byte changed: the close finds no open file.
    program.request(open_file, c).copy(c, corrupted, 36).lda(corrupted + 31).adi(1).sta(corrupted + 31);
    program.request(close_file, corrupted).request(close_file, c).new_line();
    // A.TXT closed, then C.TXT opened through the same FCB: the copy made
    // before writes into A.TXT.
    program.request(open_file, a).copy(a, stale, 36).request(close_file, a).copy(c, a, 36).request(open_file, a);
    program.store_random_record(stale, 1).store(default_dma, {'2'}).request(write_random, stale);
    program.request(close_file, stale).request(close_file, a).new_line();
    // R.TXT renamed to D.TXT while open: its FCB no longer reaches it.
    program.request(open_file, renamed).request(rename_file, rename).store(default_dma, {'3'});
    program.request(write_sequential, renamed).request(close_file, renamed);
    EXPECT_EQ(lines(run(program).output),
              (std::vector<std::string>{"00 00 00 00", "00 FF 00", "00 00 00 00 00 00", "00 00 FF FF"}));
    const std::string zeros(127, '\0');
    EXPECT_EQ(contents("A.TXT"), std::string(128, 'a') + '2' + zeros);
    EXPECT_EQ(contents("B.TXT"), '1' + zeros + std::string(128, 'b'));
    EXPECT_EQ(contents("C.TXT"), std::string(256, 'c'));
    EXPECT_EQ(contents("D.TXT"), std::string(256, 'r'));
    EXPECT_EQ(listing(work), (std::vector<std::string>{"A.TXT", "B.TXT", "C.TXT", "D.TXT"}));
}

// A program that opens one FCB again and again without closing it leaves
// entries behind, which the table forgets; a file that a copy of an FCB
// still carries, or that an FCB without room for a marker (at the top of
// memory) was opened through, stays open, and closes with 0.
TEST_F(BdosFiles, FilesStayOpenWhileAnFcbStillReachesThem) {
    create("A.TXT", std::string(128, 'a'));
    create("B.TXT", std::string(128, 'b'));
    constexpr std::uint16_t top = 0xFFE0;
    Program program;
    const std::uint16_t a = program.fcb("A.TXT"), b = program.fcb("B.TXT");
    const std::uint16_t kept = program.place(std::string(36, '\0')), counter = program.place(std::string(1, '\0'));
    program.request(open_file, a).copy(a, kept, 36).copy(a, top, 16).request(open_file, top);
    program.copy(b, a, 36).mvi(A, 200).sta(counter);
    program.label("reopen").lxi(DE, a).bdos(open_file).lda(counter).dcr(A).sta(counter).jnz("reopen");
    program.request(read_sequential, kept).show(default_dma, 1).request(read_sequential, a).show(default_dma, 1);
    program.request(close_file, kept).request(close_file, top).request(close_file, a).request(close_file, a);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{"00 00 00 61 00 62 00 00 00 FF"}));
}

// Programs keep as many files open as they open: 30 files through 30 FCBs,
// made, written and read back in turn, and closed. Under a small descriptor
// limit the streams used least recently make room, and each reopens by name
// on its FCB's next use.
TEST_F(BdosFiles, ThirtyFilesOpenAtOnceUnderAnyDescriptorLimit) {
    constexpr int files = 30;
    Program program;
    std::vector<std::uint16_t> fcbs;
    for (int index = 0; index < files; ++index) {
        fcbs.push_back(program.fcb("F" + std::to_string(index) + ".DAT"));
        program.request(make_file, fcbs.back());
    }
    program.new_line();
    for (std::uint8_t round = 0; round < 2; ++round) {
        for (int index = 0; index < files; ++index)
            program.store(default_dma, {std::uint8_t(0x40 + index), round}).request(write_sequential, fcbs[index]);
    }
    program.new_line();
    for (int index = 0; index < files; ++index)
        program.store(fcbs[index] + 32, {0});
    for (int round = 0; round < 2; ++round) {
        for (int index = 0; index < files; ++index)
            program.request(read_sequential, fcbs[index]).show(default_dma, 2);
    }
    program.new_line();
    for (int index = 0; index < files; ++index)
        program.request(close_file, fcbs[index]);
    const fs::path path = install(program);

    std::string all_done = "00", records;
    for (int index = 1; index < files; ++index)
        all_done += " 00";
    for (int round = 0; round < 2; ++round) {
        for (int index = 0; index < files; ++index)
            records += (records.empty() ? "" : " ") + hex({0x00, 0x40 + index, round});
    }
    const std::vector<std::string> expected{all_done, all_done + " " + all_done, records, all_done};
    const test::ChildSetup few_descriptors = [] {
        const rlimit limit{40, 40};
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    };
    for (const test::ChildSetup& setup : {test::ChildSetup{}, few_descriptors}) {
        const test::Result result = test::run_kavo(work, {path.string()}, "", 60s, setup);
        EXPECT_EQ(lines(result.output), expected);
        EXPECT_EQ(contents("F29.DAT").substr(127, 3), std::string("\0\x5D\x01", 3));
    }
}

TEST_F(BdosFiles, DataWrittenWithoutCloseSurvivesTheKill) {
    Program program;
    const std::uint16_t file = program.fcb("KEPT.DAT", {.random_record = 5});
    program.request(make_file, file).store(default_dma, {'A'}).request(write_sequential, file);
    program.store(default_dma, {'B'}).request(write_sequential, file);
    // The status check writes out the output held so far, as a loop that
    // never ends would not.
    program.store(default_dma, {'C'}).request(write_random, file).new_line().bdos(11);
    program.label("forever").jmp("forever");

    const test::Result result = run(program, 2s);
    EXPECT_EQ(result.status, -1) << "the program was still looping when it was killed";
    EXPECT_EQ(lines(result.output), std::vector<std::string>{"00 00 00 00"});
    const std::string kept = contents("KEPT.DAT");
    ASSERT_EQ(kept.size(), 6u * 128);
    EXPECT_EQ(kept[0], 'A');
    EXPECT_EQ(kept[128], 'B');
    EXPECT_EQ(kept[5 * 128], 'C');
}

// The directory.

// Each entry maps the file's blocks of 4 KiB, 8 an entry; the files take the
// blocks after the directory's 8 one after another, in the directory's order.
TEST_F(BdosFiles, SearchReportsLargeFilesInEntriesOfTwoExtents) {
    struct Size {
        std::uintmax_t bytes;
        std::vector<std::pair<int, int>> entries;  // EX, RC
    };
    const Size sizes[] = {
        {0, {{0, 0}}},
        {1, {{0, 1}}},
        {128, {{0, 1}}},
        {10000, {{0, 79}}},
        {16384, {{0, 128}}},
        {16385, {{1, 1}}},
        {20000, {{1, 29}}},
        {32768, {{1, 128}}},
        {32769, {{1, 128}, {2, 1}}},
        {40000, {{1, 128}, {2, 57}}},
        {49152, {{1, 128}, {2, 128}}},
        {65536, {{1, 128}, {3, 128}}},
        {100000, {{1, 128}, {3, 128}, {5, 128}, {6, 14}}},
    };
    std::vector<std::string> expected;
    unsigned next_block = 8;
    for (std::size_t index = 0; index < std::size(sizes); ++index) {
        std::string name = std::to_string(100 + index);
        name += ".DAT";
        create_sized(name, sizes[index].bytes);
        const unsigned blocks = unsigned((sizes[index].bytes + 4095) / 4096);
        unsigned mapped = 0;
        for (auto [extent, record_count] : sizes[index].entries) {
            std::string entry(32, '\0');
            entry.replace(1, 11, name_field(name));
            entry[12] = char(extent);
            entry[15] = char(record_count);
            for (unsigned slot = 0; slot < 8 && mapped < blocks; ++slot, ++mapped)
                entry[16 + 2 * slot] = char(next_block + mapped);
            expected.push_back("00 " + hex_dump(entry));
        }
        next_block += blocks;
    }
    expected.push_back("FF");
    Program program;
    program.list_directory(program.fcb_with_name_bytes("???????????", {.extent = '?'}));
    EXPECT_EQ(lines(run(program).output), expected);
}

TEST_F(BdosFiles, SearchMatchesPatternsAndEnds) {
    create("b.TXT", "");
    create("notes.txt", "");
    create("README", "");
    create("zeta.dat", "");
    auto entry = [](std::string_view name) {
        std::string bytes(32, '\0');
        bytes.replace(1, 11, name_field(name));
        return "00 " + hex_dump(bytes);
    };
    Program program;
    program.request(search_for_next).new_line();
    program.list_directory(program.fcb_with_name_bytes("???????????"));
    program.request(search_for_next).new_line();
    program.list_directory(program.fcb_with_name_bytes("*       TXT"));
    program.list_directory(program.fcb_with_name_bytes("????????   "));
    program.store(default_dma, {0x11, 0x22}).list_directory(program.fcb("NOMATCH?.*")).show(default_dma, 2);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              "FF",
                                              entry("B.TXT"),
                                              entry("NOTES.TXT"),
                                              entry("README"),
                                              entry("ZETA.DAT"),
                                              "FF",
                                              "FF",
                                              entry("B.TXT"),
                                              entry("NOTES.TXT"),
                                              "FF",
                                              entry("README"),
                                              "FF",
                                              "FF",
                                              "11 22",
                                          }));
}

TEST_F(BdosFiles, DeleteRemovesEveryMatchAndEndsTheSearch) {
    for (const char* name : {"A.TXT", "b.txt", "C.DAT", "D.DAT", "E.DAT"})
        create(name, "x");
    Program program;
    const std::uint16_t everything = program.fcb_with_name_bytes("???????????");
    const std::uint16_t texts = program.fcb_with_name_bytes("????????TXT");
    const std::uint16_t opened = program.fcb("D.DAT");
    program.request(search_for_first, everything).request(delete_file, program.fcb("E.DAT")).request(search_for_next).new_line();
    program.request(delete_file, texts).request(delete_file, texts).new_line();
    program.request(open_file, opened).request(delete_file, opened).request(close_file, opened);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{"00 00 FF", "00 FF", "00 00 FF"}));
    EXPECT_EQ(listing(work), std::vector<std::string>{"C.DAT"});
}

// A rename that fails reports 0xFF even when it closed the file of the
// FCB's name; after open, the new name is stored again over the marker.
TEST_F(BdosFiles, RenameNeverReplacesAndClosesTheRenamedFcb) {
    create("old.txt", "old");
    create("first.txt", "1");
    create("second.txt", "2");
    Program program;
    const std::uint16_t renamed = program.fcb("OLD.TXT", {.new_name = name_field("NEW.TXT")});
    const std::uint16_t clash = program.fcb("FIRST.TXT", {.new_name = name_field("SECOND.TXT")});
    const std::uint16_t open_clash = program.fcb("FIRST.TXT", {.new_name = name_field("SECOND.TXT")});
    const std::uint16_t missing = program.fcb("MISSING.TXT", {.new_name = name_field("OTHER.TXT")});
    program.request(rename_file, renamed).request(rename_file, clash).new_line();
    program.request(open_file, open_clash).copy(program.place(name_field("SECOND.TXT")), open_clash + 17, 11);
    program.request(rename_file, open_clash).request(close_file, open_clash).new_line();
    program.request(rename_file, missing);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{"00 FF", "00 FF FF", "FF"}));
    EXPECT_EQ(listing(work), (std::vector<std::string>{"NEW.TXT", "first.txt", "second.txt"}));
    EXPECT_EQ(contents("NEW.TXT"), "old");
    EXPECT_EQ(contents("first.txt"), "1");
    EXPECT_EQ(contents("second.txt"), "2");
}

// Files open before a disk reset (13) or a drive reset (37) stay open: they
// close with 0, and a file made and written before the reset takes more
// records after it, nothing lost. The reset closed them, so that WordStar
// stopped with "Close failure" after changing the logged disk. The DMA
// address and a search in progress stay as well.
TEST_F(BdosFiles, DiskResetKeepsOpenFilesTheDmaAddressAndTheSearch) {
    create("A.BIN", numbered_records(1));
    create("B.BIN", "");
    constexpr std::uint16_t buffer = 0x6000;
    Program program;
    const std::uint16_t first = program.fcb("A.BIN"), second = program.fcb("B.BIN");
    program.request(set_dma_address, buffer).request(open_file, first).request(open_file, second);
    program.request(search_for_first, program.fcb_with_name_bytes("???????????")).show(buffer + 1, 1).new_line();
    program.request(reset_disk_system).request(close_file, first).request(close_file, second).new_line();
    program.request(search_for_next).show(buffer + 1, 1).store(buffer, {0x99});
    program.request(read_sequential, first).show(buffer, 1).new_line();
    for (const auto& [reset, name] : {std::pair{reset_disk_system, "RESET.BIN"}, std::pair{reset_drive, "DRIVE.BIN"}}) {
        const std::uint16_t made = program.fcb(name);
        program.request(make_file, made).store(buffer, {'1'}).request(write_sequential, made);
        program.request(reset, 0x0001).store(buffer, {'2'}).request(write_sequential, made);
        program.request(close_file, made).new_line();
    }
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{"FF 00 00 00 41", "00 00 00", "00 42 00 00",
                                                                    "00 00 00 00 00", "00 00 00 00 00"}));
    for (const char* name : {"RESET.BIN", "DRIVE.BIN"}) {
        const std::string written = contents(name);
        ASSERT_EQ(written.size(), 256u) << name;
        EXPECT_EQ(written[0], '1') << name;
        EXPECT_EQ(written[128], '2') << name;
    }
}

TEST_F(BdosFiles, HostileNamesTouchNothingOutsideTheDirectory) {
    test::write_file(base / "x", "sentinel");
    create("KEEP.TXT", "kept");
    create("A", "a");
    const std::string hostile_names[] = {
        "..         ",
        "\xAE\xAE         ",  // ".." with bit 7 set
        "../X       ",
        "..\xAFX       ",  // '/' with bit 7 set
        "..\\X       ",
        "A/B        ",
        "/ETC/PASSWD",
        std::string("A\0      TXT", 11),
        "A\x01         ",
    };
    Program program;
    for (const std::string& name : hostile_names) {
        const std::uint16_t hostile = program.fcb_with_name_bytes(name, {.new_name = name_field("STOLEN")});
        const std::uint16_t keep = program.fcb("KEEP.TXT", {.new_name = name});
        for (test::BdosFunction function : {open_file, make_file, search_for_first, delete_file, read_sequential, write_sequential, rename_file})
            program.request(function, hostile);
        program.request(rename_file, keep).new_line();
    }
    const std::vector<std::string> refused(std::size(hostile_names), "FF FF FF FF FF FF FF FF");
    EXPECT_EQ(lines(run(program).output), refused);
    EXPECT_EQ(listing(work), (std::vector<std::string>{"A", "KEEP.TXT"}));
    EXPECT_EQ(listing(base.path()), (std::vector<std::string>{"T.COM", "work", "x"}));
    EXPECT_EQ(contents("KEEP.TXT"), "kept");
    EXPECT_EQ(contents("A"), "a");
    EXPECT_EQ(test::read_file(base / "x"), "sentinel");
}

// A directory entry as a search reports it: name, EX, S2, RC, and the
// allocation map of blocks blocks from first_block on (all below 256 here).
std::string directory_entry(std::string_view name, int extent = 0, int record_count = 0, int module = 0,
                            bool read_only = false, unsigned first_block = 0, unsigned blocks = 0) {
    std::string bytes(32, '\0');
    bytes.replace(1, 11, name_field(name));
    if (read_only)
        bytes[9] = char(bytes[9] | 0x80);
    bytes[12] = char(extent);
    bytes[14] = char(module);
    bytes[15] = char(record_count);
    for (unsigned block = 0; block < blocks; ++block)
        bytes[16 + 2 * block] = char(first_block + block);
    return "00 " + hex_dump(bytes);
}

// Of host names that differ only in case, one is the CP/M file (the
// upper-case one, else the first in byte order): delete, search and open
// reach that one and never the others, and make, like MBASIC's OPEN "O" after
// its delete, writes an upper-case file rather than empty a lower-case one.
TEST_F(BdosFiles, CaseVariantsOfANameAreOneFile) {
    create("numbers.dat", "lower");
    create("NUMBERS.DAT", "upper");
    create("a.txt", "a");
    create("A.TXT", "A");
    create("b.Txt", "second");
    create("B.tXT", "first");
    create_sized("dup.txt", 20000);
    create_sized("DUP.TXT", 100);
    Program program;
    const std::uint16_t numbers = program.fcb("NUMBERS.DAT"), a = program.fcb("A.TXT"), b = program.fcb("B.TXT");
    program.request(delete_file, numbers).request(make_file, numbers).request(write_sequential, numbers).new_line();
    program.request(delete_file, a).new_line();
    program.list_directory(program.fcb_with_name_bytes("???????????", {.extent = '?'}));
    program.request(open_file, b).request(read_sequential, b).show(default_dma, 5);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              "00 00 00",
                                              "00",
                                              directory_entry("A.TXT", 0, 1, 0, false, 8, 1),
                                              directory_entry("B.TXT", 0, 1, 0, false, 9, 1),
                                              directory_entry("DUP.TXT", 0, 1, 0, false, 10, 1),
                                              directory_entry("NUMBERS.DAT", 0, 1, 0, false, 11, 1),
                                              "FF",
                                              "00 00 " + hex_dump("first"),
                                          }));
    EXPECT_EQ(listing(work), (std::vector<std::string>{"B.tXT", "DUP.TXT", "NUMBERS.DAT", "a.txt", "b.Txt", "dup.txt",
                                                       "numbers.dat"}));
    EXPECT_EQ(contents("numbers.dat"), "lower");
    EXPECT_EQ(contents("NUMBERS.DAT").size(), 128u);
    EXPECT_EQ(contents("a.txt"), "a");
    EXPECT_EQ(fs::file_size(work / "dup.txt"), 20000u);
}

// Open copies the name as the directory has it into the FCB: in upper case,
// with bit 7 of the first type byte set for a read-only file (PIP looks at
// it to ask before replacing one) and no other attribute bit; make copies
// the name of the file it made. A read-only file reads and closes as any
// other. Function 30 sets and clears the attribute through the write
// permission bits, of a read-only file too, as on CP/M 2.2.
TEST_F(BdosFiles, OpenAndMakeCopyTheNameWithTheReadOnlyAttribute) {
    create("RO.TXT", "read only");
    create("RW.TXT", "rw");
    fs::permissions(work / "RO.TXT", read_only_permissions);
    Program program;
    const std::uint16_t opened = program.fcb_with_name_bytes("r\xCF      t\xF8t");  // the program's own bit 7s
    const std::uint16_t made = program.fcb_with_name_bytes("n\xC5w     d\xE1t");
    const std::uint16_t read_only = program.fcb("RO.TXT");
    const std::uint16_t make_read_only = program.fcb_with_name_bytes("RW      \xD4XT");
    const std::uint16_t writable = program.fcb("RW.TXT");
    program.request(open_file, opened).show(opened + 1, 11).new_line();
    program.request(read_sequential, opened).show(default_dma, 1).request(close_file, opened).new_line();
    program.request(make_file, made).show(made + 1, 11).new_line();
    program.request(search_for_first, read_only).show(default_dma + 9, 1);
    program.request(set_file_attributes, make_read_only).request(search_for_first, writable).show(default_dma + 9, 1);
    program.request(set_file_attributes, read_only).request(search_for_first, read_only).show(default_dma + 9, 1);
    program.request(set_file_attributes, program.fcb("MISSING.TXT"));
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              "00 " + hex_dump("RO      \xD4XT"),
                                              "00 72 00",
                                              "00 " + hex_dump("NEW     DAT"),
                                              "00 D4 00 00 D4 00 00 54 FF",
                                          }));
    EXPECT_EQ(contents("RO.TXT"), "read only");
    EXPECT_EQ(listing(work), (std::vector<std::string>{"NEW.DAT", "RO.TXT", "RW.TXT"}));
    constexpr auto write_permissions = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    EXPECT_EQ(fs::status(work / "RW.TXT").permissions() & write_permissions, fs::perms::none);
    EXPECT_EQ(fs::status(work / "RO.TXT").permissions() & write_permissions, fs::perms::owner_write);
}

// A change aimed at a read-only file, and what the program printed before
// the run ended.
struct ReadOnlyChange {
    const char* name;
    std::function<void(Program&)> change;
    std::string printed;
    std::vector<std::string> options = {};
    char drive = 'A';
};

// Opens the file of fcb, then runs function on it.
std::function<void(Program&)> after_open(test::BdosFunction function, std::string name, FcbFields fields = {}) {
    return [=](Program& p) {
        const std::uint16_t file = p.fcb(name, fields);
        p.request(open_file, file).request(function, file);
    };
}

const ReadOnlyChange read_only_changes[] = {
    {"SequentialWriteThroughAnUnopenedFcb", [](Program& p) { p.request(write_sequential, p.fcb("RO.TXT")); }, ""},
    {"SequentialWrite", after_open(write_sequential, "RO.TXT"), "00"},
    {"RandomWrite", after_open(write_random, "RO.TXT", {.random_record = 3}), "00"},
    {"RandomWriteWithZeroFill", after_open(write_random_with_zero_fill, "RO.TXT", {.random_record = 3}), "00"},
    {"Make", [](Program& p) { p.request(make_file, p.fcb("RO.TXT")); }, ""},
    {"Delete", [](Program& p) { p.request(delete_file, p.fcb("RO.TXT")); }, ""},
    // A.TXT comes first, and stays: nothing is deleted.
    {"DeleteOfSeveralFiles", [](Program& p) { p.request(delete_file, p.fcb_with_name_bytes("????????TXT")); }, ""},
    {"Rename", [](Program& p) { p.request(rename_file, p.fcb("RO.TXT", {.new_name = name_field("NEW.TXT")})); }, ""},
    // Function 30 makes a file read-only while the program has it open.
    {"WriteToAFileMadeReadOnlyWhileOpen",
     [](Program& p) {
         const std::uint16_t file = p.fcb("A.TXT");
         p.request(open_file, file).request(set_file_attributes, p.fcb_with_name_bytes("A       \xD4XT"));
         p.request(write_sequential, file);
     },
     "00 00"},
    {"WriteThroughMappedDriveB", after_open(write_sequential, "RO.TXT", {.drive = 2}), "00", {"--drive", "B=."}, 'B'},
};

void PrintTo(const ReadOnlyChange& change, std::ostream* stream) { *stream << change.name; }

class ReadOnlyChanges : public BdosFiles, public testing::WithParamInterface<ReadOnlyChange> {};

// A change aimed at a read-only file ends the run as CP/M 2.2 ends it:
// "Bdos Err On A: File R/O" on standard error and exit status 1, the file as
// it was, and what the program wrote to other files before it kept. The
// change used to fail with 0xFF and the program went on, so that an editor
// reported success with the edit left in its temporary file, and a delete of
// several files stopped halfway.
TEST_P(ReadOnlyChanges, EndTheRunAndChangeNothing) {
    const ReadOnlyChange& change = GetParam();
    create("A.TXT", "a");
    create("RO.TXT", "read only");
    fs::permissions(work / "RO.TXT", read_only_permissions);
    Program program;
    const std::uint16_t other = program.fcb("OTHER.DAT");
    program.store(default_dma, {'o'}).request(make_file, other).request(write_sequential, other).new_line();
    change.change(program);
    program.new_line().request(return_current_disk);  // never reached

    // The run ends in the change's last request, after CP/M's new line.
    const Outcome outcome = run_keeping_errors(change.options, program);
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{"00 00", change.printed}));
    EXPECT_EQ(outcome.errors, std::string("Bdos Err On ") + change.drive + ": File R/O\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(listing(work), (std::vector<std::string>{"A.TXT", "OTHER.DAT", "RO.TXT"}));
    EXPECT_EQ(contents("RO.TXT"), "read only");
    EXPECT_EQ(contents("A.TXT"), "a");
    EXPECT_EQ(contents("OTHER.DAT").substr(0, 1), "o");
}

INSTANTIATE_TEST_SUITE_P(Table, ReadOnlyChanges, testing::ValuesIn(read_only_changes),
                         [](const testing::TestParamInfo<ReadOnlyChange>& info) { return info.param.name; });

// Unless EX is '?', a search reports one entry per file. Search for next
// goes on after the file last reported and matches the name bytes found now
// at the address search for first was given, as CRC does with its own name
// and then "*.*" in the same FCB.
TEST_F(BdosFiles, SearchesReportOneEntryPerFileAndFollowTheFcbsNameBytes) {
    create_sized("BIG.DAT", 40000);
    create("CRC.COM", "");
    create("ONE.TXT", "");
    create("TWO.TXT", "");
    Program program;
    program.list_directory(program.fcb("BIG.DAT"));
    const std::uint16_t own_name = program.fcb("CRC.COM");
    program.request(search_for_first, own_name).show(default_dma + 1, 3).new_line();
    program.copy(program.place("???????????"), own_name + 1, 11);
    program.request(search_for_next).show(default_dma + 1, 3).request(search_for_next).show(default_dma + 1, 3);
    program.request(search_for_next);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              directory_entry("BIG.DAT", 1, 128, 0, false, 8, 8),
                                              "FF",
                                              "00 43 52 43",
                                              "00 4F 4E 45 00 54 57 4F FF",
                                          }));
}

// Records past 4 MiB have S2 as their module: records 0 and 32,768 are two
// records. A random record number past 65,535 (R2 not 0) gives error 6 and
// transfers nothing.
TEST_F(BdosFiles, RecordsPast4MiBAreTheirOwnAndR2GivesError6) {
    Program program;
    const std::uint16_t file = program.fcb("BIG.DAT");
    program.request(make_file, file);
    program.store_random_record(file, 0).store(default_dma, {'A'}).request(write_random, file);
    program.store_random_record(file, 32768).store(default_dma, {'B'}).request(write_random, file);
    program.show_position(file).show(file + 14, 1).new_line();
    program.store(default_dma, {0}).request(read_random, file).show(default_dma, 1);
    program.store_random_record(file, 0).request(read_random, file).show(default_dma, 1).new_line();
    program.store(file + 35, {1}).store(default_dma, {'C'});
    for (auto function : {read_random, write_random, write_random_with_zero_fill})
        program.request(function, file);
    program.show_position(file).show(file + 14, 1).show(default_dma, 1);
    EXPECT_EQ(lines(run(program).output),
              (std::vector<std::string>{"00 00 00 00 00 08", "00 42 00 41", "06 06 06 00 00 00 43"}));
    const std::string big = contents("BIG.DAT");
    ASSERT_EQ(big.size(), 32769u * 128);
    EXPECT_EQ(big[0], 'A');
    EXPECT_EQ(big[32768u * 128], 'B');
    EXPECT_EQ(big.find('C'), std::string::npos);
}

// Function 35 gives the size in records (R2 = 1 at exactly 8 MiB); 36 the
// record the sequential position names, across extents and modules; 40
// writes like 34, the gap reading as zeros.
TEST_F(BdosFiles, FileSizeAndRandomRecordFromThePosition) {
    create("EMPTY.DAT", "");
    create("ONE.DAT", std::string(100, 'x'));
    create_sized("PART.DAT", 300 * 1024);
    create_sized("EIGHT.DAT", 8 << 20);
    Program program;
    for (const char* name : {"EMPTY.DAT", "ONE.DAT", "PART.DAT", "EIGHT.DAT", "MISSING.DAT"}) {
        const std::uint16_t file = program.fcb(name, {.random_record = 0x5555});
        program.request(compute_file_size, file).show(file + 33, 3);
    }
    program.new_line();
    const std::uint16_t part = program.fcb("PART.DAT", {.extent = 1, .current_record = 5});
    const std::uint16_t eight = program.fcb("EIGHT.DAT");
    program.request(open_file, part).request(read_sequential, part).request(set_random_record, part).show(part + 33, 3);
    program.request(open_file, eight).store(eight + 12, {3}).store(eight + 14, {2}).store(eight + 32, {127});
    program.request(read_sequential, eight).request(set_random_record, eight).show(eight + 33, 3);
    program.store(eight + 12, {31}).store(eight + 14, {15}).store(eight + 32, {127});
    program.request(read_sequential, eight).request(set_random_record, eight).show(eight + 33, 3).new_line();
    // Written sequentially, then read back at random from the record 36 gives.
    const std::uint16_t verify = program.fcb("VERIFY.DAT");
    program.request(make_file, verify).write_records(verify, 3).request(set_random_record, verify).show(verify + 33, 3);
    program.store_random_record(verify, 0).request(read_random, verify).show(default_dma, 1);
    program.store_random_record(verify, 2).request(read_random, verify).show(default_dma, 1);
    program.store_random_record(verify, 3).request(read_random, verify).new_line();
    const std::uint16_t zero_filled = program.fcb("ZERO.DAT", {.random_record = 10});
    program.request(make_file, zero_filled).store(default_dma, {0xEE}).request(write_random_with_zero_fill, zero_filled);
    program.store_random_record(zero_filled, 5).request(read_random, zero_filled).show(default_dma, 1);
    program.request(compute_file_size, zero_filled).show(zero_filled + 33, 3);
    EXPECT_EQ(lines(run(program).output), (std::vector<std::string>{
                                              "00 00 00 00 00 01 00 00 00 60 09 00 00 00 00 01 FF 00 00 00",
                                              "00 00 00 86 00 00 00 00 00 00 22 00 00 00 00 00 01",
                                              "00 00 03 00 00 00 03 00 01 01",
                                              "00 00 00 00 00 0B 00 00",
                                          }));
    EXPECT_EQ(fs::file_size(work / "ZERO.DAT"), 11u * 128);
}

// FCBs with positions outside CP/M's ranges (EX past 31, S2 past 15, CR past
// 127) read the end of the file and fail to write; open still works and
// gives RC 0. Nothing changes in the file.
TEST_F(BdosFiles, PositionsOutsideTheRangesTransferNothing) {
    create("DATA.BIN", numbered_records(2));
    struct Position {
        std::uint8_t extent, module, current_record;
        std::string output;
    };
    const Position positions[] = {
        {32, 0, 0, "00 00 01 FF"}, {0, 16, 0, "00 02 01 FF"}, {0, 0, 128, "00 02 01 FF"}, {255, 0x7F, 255, "00 00 01 FF"}};
    Program program;
    std::vector<std::string> expected;
    for (const Position& position : positions) {
        const std::uint16_t file = program.fcb("DATA.BIN", {.extent = position.extent, .record_count = 0x55});
        program.request(open_file, file).show_record_count(file);
        program.store(file + 14, {position.module}).store(file + 32, {position.current_record});
        program.request(read_sequential, file).request(write_sequential, file).new_line();
        expected.push_back(position.output);
    }
    EXPECT_EQ(lines(run(program).output), expected);
    EXPECT_EQ(contents("DATA.BIN"), numbered_records(2));
}

// Drives.

// A copying program copies A:SRC.DAT to B:, selects B: and copies the copy
// back to A: through the current drive (drive byte 0). B: has every rule of
// A:: a search with '?' as the drive byte lists every entry of the current
// drive, and its read-only file stays, the run ending with B:'s letter.
TEST_F(BdosFiles, CopyingBetweenDrivesAToBAndBack) {
    test::TemporaryDirectory drive_b;
    create("SRC.DAT", numbered_records(300));
    test::write_file(drive_b / "ro.txt", "r");
    fs::permissions(drive_b / "ro.txt", fs::perms::owner_read);
    Program program;
    program.copy_file(program.fcb("SRC.DAT", {.drive = 1}), program.fcb("COPY.DAT", {.drive = 2})).new_line();
    program.request(select_disk, 1).request(return_current_disk);
    program.copy_file(program.fcb("COPY.DAT"), program.fcb("BACK.DAT", {.drive = 1})).new_line();
    program.list_directory(program.fcb_with_name_bytes("???????????", {.drive = '?'}));
    program.request(delete_file, program.fcb("RO.TXT"));
    const Outcome outcome = run_keeping_errors({"--drive", "B=" + drive_b.path().string()}, program);
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{
                                 "00 00 00 00",
                                 "00 01 00 00 00 00",
                                 directory_entry("COPY.DAT", 1, 128, 0, false, 8, 8),
                                 directory_entry("COPY.DAT", 2, 44, 0, false, 16, 2),
                                 directory_entry("RO.TXT", 0, 1, 0, true, 18, 1),
                                 "FF",
                                 "",
                             }));
    EXPECT_EQ(outcome.errors, "Bdos Err On B: File R/O\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(test::read_file(drive_b / "COPY.DAT"), numbered_records(300));
    EXPECT_EQ(contents("BACK.DAT"), numbered_records(300));
    EXPECT_EQ(listing(work), (std::vector<std::string>{"BACK.DAT", "SRC.DAT"}));
    EXPECT_EQ(listing(drive_b.path()), (std::vector<std::string>{"COPY.DAT", "ro.txt"}));
}

// Select disk makes any drive A: to P: current (drive 18 answers 0xFF and
// leaves the current drive); the login vector has A: and the mapped drives,
// the read-only vector the others; reset selects A: again. An FCB of the
// current drive then names the drive selected: a mapped drive's directory,
// or for an unmapped one A:'s, to read but not to change. Selecting an
// unmapped drive used to fail and leave A: current, so that PIP B:=*.*, which
// does not look at the answer, rewrote the files of A: in place.
TEST_F(BdosFiles, SelectDiskAndCurrentDiskWithMappedAndUnmappedDrives) {
    test::TemporaryDirectory drive_c;
    create("ON.A", "a");
    Program program;
    program.request(select_disk, 2).request(return_current_disk).request(select_disk, 18).request(return_current_disk);
    program.request(make_file, program.fcb("ON.C")).new_line();
    program.lxi(DE, std::uint16_t(0)).bdos(return_login_vector).shld(0x1F00).bdos(get_read_only_vector).shld(0x1F02);
    program.show(0x1F00, 4).new_line();
    program.request(reset_disk_system).request(return_current_disk).request(select_disk, 1).request(return_current_disk);
    const std::uint16_t on_a = program.fcb("ON.A");
    program.request(open_file, on_a).request(read_sequential, on_a).show(default_dma, 1).new_line();
    program.request(make_file, program.fcb("ON.B"));
    program.request(return_current_disk);  // never reached
    const Outcome outcome = run_keeping_errors({"--drive", "C=" + drive_c.path().string()}, program);
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{"00 02 FF 02 00", "05 00 FA FF", "00 00 00 01 00 00 61", ""}));
    EXPECT_EQ(outcome.errors, "Bdos Err On B: R/O\nkavo: drive B: is not mapped; map it with --drive B=DIR\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(listing(work), std::vector<std::string>{"ON.A"});
    EXPECT_EQ(listing(drive_c.path()), std::vector<std::string>{"ON.C"});
}

// A change through a drive that no --drive maps, and what the program printed
// before the run ended.
struct UnmappedChange {
    const char* name;
    std::function<void(Program&)> change;
    std::string printed;
    char drive = 'B';
};

const UnmappedChange unmapped_changes[] = {
    {"Make", [](Program& p) { p.request(make_file, p.fcb("NEW.TXT", {.drive = 2})); }, ""},
    // It reads A:'s file, and writes nothing there.
    {"WriteAfterRead",
     [](Program& p) {
         const std::uint16_t file = p.fcb("KEEP.TXT", {.drive = 2});
         p.request(open_file, file).request(read_sequential, file).show(default_dma, 1).request(write_sequential, file);
     },
     "00 00 6B"},
    {"RandomWrite", after_open(write_random, "KEEP.TXT", {.drive = 2}), "00"},
    {"Delete", [](Program& p) { p.request(delete_file, p.fcb("KEEP.TXT", {.drive = 2})); }, ""},
    {"DeleteOfNothing", [](Program& p) { p.request(delete_file, p.fcb("NONE.TXT", {.drive = 2})); }, ""},
    {"Rename",
     [](Program& p) { p.request(rename_file, p.fcb("KEEP.TXT", {.drive = 2, .new_name = name_field("NEW.TXT")})); },
     ""},
    {"SetAttributes",
     [](Program& p) { p.request(set_file_attributes, p.fcb_with_name_bytes("KEEP    \xD4XT", {.drive = 2})); }, ""},
    // PIP's way: select the drive, then name the current drive.
    {"MakeOnTheSelectedDrive", [](Program& p) { p.request(select_disk, 1).request(make_file, p.fcb("NEW.TXT")); }, "00"},
    {"MakeOnDriveP", [](Program& p) { p.request(make_file, p.fcb("NEW.TXT", {.drive = 16})); }, "", 'P'},
};

void PrintTo(const UnmappedChange& change, std::ostream* stream) { *stream << change.name; }

class UnmappedDrives : public BdosFiles, public testing::WithParamInterface<UnmappedChange> {};

// A drive that no --drive maps reaches A:'s directory to read, and a change
// through it ends the run with CP/M's error for a read-only disk, a line
// naming the option and exit status 1, nothing changed. It used to change
// the files of A:.
TEST_P(UnmappedDrives, EndTheRunOnAnyChange) {
    const UnmappedChange& change = GetParam();
    create("KEEP.TXT", "keep");
    Program program;
    change.change(program);
    program.new_line().request(return_current_disk);  // never reached
    const Outcome outcome = run_keeping_errors({}, program);
    EXPECT_EQ(outcome.lines, std::vector<std::string>{change.printed});
    const std::string letter(1, change.drive);
    EXPECT_EQ(outcome.errors, "Bdos Err On " + letter + ": R/O\nkavo: drive " + letter +
                                  ": is not mapped; map it with --drive " + letter + "=DIR\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(listing(work), std::vector<std::string>{"KEEP.TXT"});
    EXPECT_EQ(contents("KEEP.TXT"), "keep");
    EXPECT_NE(fs::status(work / "KEEP.TXT").permissions() & fs::perms::owner_write, fs::perms::none);
}

INSTANTIATE_TEST_SUITE_P(Table, UnmappedDrives, testing::ValuesIn(unmapped_changes),
                         [](const testing::TestParamInfo<UnmappedChange>& info) { return info.param.name; });

// FCB drive bytes past P: (0x11-0xFF) are no drive: like an unmapped drive
// they reach A:'s directory and nothing else, whatever the function. (The
// new name goes in after make, which left its marker there.)
TEST_F(BdosFiles, HostileDriveBytesReachOnlyTheDirectoryOfA) {
    test::TemporaryDirectory drive_b;
    test::write_file(drive_b / "KEEP.TXT", "b");
    create("KEEP.TXT", "a");
    Program program;
    const std::uint16_t new_name = program.place(name_field("MOVED.TXT"));
    for (const int drive : {0x11, 0x12, 0x1F, 0x20, 0x22, 0x3F, 0x80, 0x82, 0xFF}) {
        const std::uint16_t file = program.fcb("NEW.TXT", {.drive = std::uint8_t(drive)});
        const std::uint16_t kept = program.fcb("KEEP.TXT", {.drive = std::uint8_t(drive)});
        program.request(make_file, file).request(write_sequential, file).copy(new_name, file + 17, 11);
        program.request(rename_file, file);
        program.request(delete_file, program.fcb("MOVED.TXT", {.drive = std::uint8_t(drive)}));
        program.request(open_file, kept).request(read_sequential, kept).show(default_dma, 1).new_line();
    }
    const test::Result result = run_with({"--drive", "B=" + drive_b.path().string()}, program);
    EXPECT_EQ(lines(result.output), std::vector<std::string>(9, "00 00 00 00 00 00 61"));
    EXPECT_EQ(listing(work), std::vector<std::string>{"KEEP.TXT"});
    EXPECT_EQ(listing(drive_b.path()), std::vector<std::string>{"KEEP.TXT"});
    EXPECT_EQ(listing(base.path()), (std::vector<std::string>{"T.COM", "work"}));
}

}  // namespace
