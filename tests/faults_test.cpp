// Runs under faults and hostile input through the real executable: full and vanishing file systems, signals, memory edges and huge files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>

#include <memory>
#include <random>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bdos/memory_map.h"
#include "tests/assembler.h"
#include "tests/pty.h"
#include "tests/run.h"

// Covered elsewhere, and not repeated here:
//   program images of 0 bytes, of all the room and of more: LoaderSizes (loader_test.cpp);
//   a program file that is a directory: LoaderMessages.DirectoryIsNotAProgram;
//   a command line of 10,000 characters: LoaderImage.CommandTailLongerThanItsRoomIsRefused;
//   a write past the file size limit (RLIMIT_FSIZE, SIGXFSZ ignored):
//     BdosFiles.WriteThatTheHostRefusesKeepsThePosition;
//   FCB names with '/', '..', control bytes and bit 7: BdosFiles.HostileNamesTouchNothingOutsideTheDirectory;
//   17 files open: BdosFiles.SixteenFilesOpenAtOnce;
//   a string for function 9 through 0xFFFF: PrintString.StringWithoutDollarUpToTheTopWrapsThroughAddressZero;
//   bursts of 10,000 keys: TerminalTest.KeysTypedAheadAllArriveInOrder (terminal) and
//     TerminalTest.WithoutTerminalKeysComeFromStandardInput (pipe).

namespace {

using test::exited_with_zero;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::A;
using test::B;
using test::C;
using test::DE;
using test::E;
using test::HL;
using test::M;
using test::PSW;

using enum test::BdosFunction;
using test::default_dma;

// A test program that calls the BDOS at its trap, and not through page zero
// and the BDOS page, so that it goes on working when its FCBs or records
// overwrite them. Results are printed as hex bytes separated by blanks.
class Program : public test::Assembler {
public:
    Program& system(std::uint8_t function) {
        mvi(C, function).call(kavo::address::bdos_trap);
        return *this;
    }
    // The function with DE = parameter; prints A.
    Program& request(std::uint8_t function, std::uint16_t parameter = 0) {
        lxi(DE, parameter);
        system(function).call("hex");
        return *this;
    }
    Program& show(std::uint16_t address, std::uint8_t count) {
        const std::string loop = "show" + std::to_string(here());
        lxi(HL, address).mvi(B, count).label(loop).mov(A, M).call("hex").inx(HL).dcr(B).jnz(loop.c_str());
        return *this;
    }
    Program& store(std::uint16_t address, std::string_view bytes) {
        lxi(HL, address);
        for (char byte : bytes)
            mvi(M, std::uint8_t(byte)).inx(HL);
        return *this;
    }
    // An FCB of 36 bytes at address with the 11 name bytes, EX and CR; every
    // other byte 0. Addresses wrap past 0xFFFF.
    Program& fcb(std::uint16_t address, std::string_view name_bytes, std::uint8_t extent = 0,
                 std::uint8_t current_record = 0) {
        std::string bytes(36, '\0');
        bytes.replace(1, 11, name_bytes);
        bytes[12] = char(extent);
        bytes[32] = char(current_record);
        return store(address, bytes);
    }
    Program& say(std::string_view text) {
        for (char character : text) {
            mvi(E, std::uint8_t(character));
            system(2);
        }
        return *this;
    }

    void write(const fs::path& path) {
        system(0);
        label("hex").push(PSW).push(test::BC).push(DE).push(HL).push(PSW);
        rrc().rrc().rrc().rrc().call("digit").pop(PSW).call("digit");
        mvi(E, ' ');
        system(2).pop(HL).pop(DE).pop(test::BC).pop(PSW).ret();
        label("digit").ani(0x0F).cpi(10).jc("decimal").adi('A' - '0' - 10);
        label("decimal").adi('0').mov(E, A);
        system(2).ret();
        test::Assembler::write(path);
    }
};

// The output's words separated by single blanks.
std::string words(const std::string& output) {
    std::istringstream stream(output);
    std::string word, result;
    while (stream >> word)
        result += (result.empty() ? "" : " ") + word;
    return result;
}

// A sparse file of size bytes whose records begin with the given bytes.
void sparse_file(const fs::path& path, std::uintmax_t size, const std::vector<std::pair<std::uintmax_t, char>>& records) {
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, size);
    std::fstream stream(path, std::ios::binary | std::ios::in | std::ios::out);
    for (auto [record, byte] : records) {
        stream.seekp(std::streamoff(record * 128));
        stream.put(byte);
    }
}

char byte_at(const fs::path& path, std::uintmax_t offset) {
    std::ifstream stream(path, std::ios::binary);
    stream.seekg(std::streamoff(offset));
    return char(stream.get());
}


// ---------------------------------------------------------------------------
// File system faults.

using test::mount_small_file_system;

TEST(FileSystemFaults, WriteIntoAFullFileSystemFailsAndTheProgramGoesOn) {
    test::TemporaryDirectory base;
    const fs::path work = base / "work";
    fs::create_directory(work);
    Program program;
    program.fcb(0x3000, "FULL    DAT").fcb(0x3100, "OTHER   DAT");
    program.request(make_file, 0x3000);
    program.label("fill").lxi(DE, 0x3000);
    program.system(write_sequential).ora(A).jz("fill").call("hex");
    program.show(0x3000 + 12, 1).show(0x3000 + 32, 1).say("| ");
    program.store(0x3000 + 33, std::string(2, '\0')).request(write_random, 0x3000).request(close_file, 0x3000);
    program.request(make_file, 0x3100).request(write_sequential, 0x3100).say("| end");
    program.write(base / "T.COM");

    const test::Result result = test::run_kavo(work, {(base / "T.COM").string()}, "", 60s,
                                               [&] { return mount_small_file_system(work); });
    if (result.status == test::setup_failed)
        GTEST_SKIP() << "no mount namespace for a small file system here";
    // 512 records fill the 64 KiB: the 513th write fails at EX 4, CR 0; record
    // 0 can still be rewritten in place, and an empty file still be made.
    EXPECT_EQ(words(result.output), "00 FF 04 00 | 00 00 00 FF | end");
    EXPECT_EQ(result.status, 0);
}

// The file size limit with SIGXFSZ at its default action, as a shell leaves
// it: kavo used to die of the signal at the first write past the limit,
// leaving the terminal in raw mode. The write must fail with 0xFF instead.
TEST(FileSystemFaults, WritePastTheFileSizeLimitFailsInsteadOfKillingTheRun) {
    test::TemporaryDirectory directory;
    Program program;
    program.fcb(0x3000, "BIG     DAT").request(make_file, 0x3000);
    for (int write = 0; write < 3; ++write)
        program.request(write_sequential, 0x3000);
    program.say("end");
    program.write(directory.path() / "T.COM");

    // The third record crosses 300 bytes. The limit passes to kavo; the test
    // keeps it only while it starts kavo.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limited{300, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    test::PtyRun run(directory.path(), {"T"});
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, "00 00 00 \r\nkavo: cannot write BIG.DAT: File too large\r\nFF end\r\n");
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
    EXPECT_GE(fs::file_size(directory.path() / "BIG.DAT"), 256u);  // the two records written
}

// The test deletes the open file while the program waits for a key. Linux
// keeps the file for the open descriptor: reads and writes go on working on
// the vanished file, and what is written there is gone with it at the close.
// Opening the name again fails, and nothing brings the file back.
TEST(FileSystemFaults, FileDeletedWhileOpenStaysUsableUntilClosed) {
    test::TemporaryDirectory directory;
    sparse_file(directory.path() / "DATA.BIN", 4 * 128, {{0, 'a'}, {1, 'b'}, {2, 'c'}, {3, 'd'}});
    Program program;
    program.fcb(0x3000, "DATA    BIN").request(open_file, 0x3000).say("?").system(console_input);
    program.request(read_sequential, 0x3000).show(default_dma, 1);
    program.store(default_dma, "W").request(write_sequential, 0x3000);
    program.store(0x3000 + 33, std::string("\x01\x00", 2)).request(read_random, 0x3000).show(default_dma, 1);
    program.request(close_file, 0x3000).request(open_file, 0x3000).request(search_for_first, 0x3000).say("!");
    program.write(directory.path() / "T.COM");

    test::PtyRun run(directory.path(), {"T"});
    ASSERT_TRUE(run.wait_for("?"));
    fs::remove(directory.path() / "DATA.BIN");
    run.type("k");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(words(run.output), "00 ?k00 61 00 00 57 00 FF FF !");
    EXPECT_FALSE(fs::exists(directory.path() / "DATA.BIN"));
}

// In the child: standard error into a file, so that the test can read it.
bool errors_into(const fs::path& file) {
    const int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return descriptor >= 0 && dup2(descriptor, STDERR_FILENO) >= 0;
}

// In the child: the user nobody when root, for whom permissions hold.
bool as_nobody() {
    constexpr uid_t nobody = 65534;
    return geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0);
}

// Files the process may not read, or only read: an unreadable file cannot be
// opened, and kavo names the host's reason; a read-only one opens for
// reading. The directory lists both as read-only (neither grants anyone
// write permission), and make on one ends the run, the file as it was. As
// root the run drops to nobody, for whom the permissions hold.
TEST(FileSystemFaults, UnreadableFilesCannotBeOpenedAndReadOnlyFilesOnlyRead) {
    test::TemporaryDirectory directory, errors;
    fs::permissions(directory.path(), fs::perms::all);
    test::write_file(directory / "SECRET.TXT", "secret");
    test::write_file(directory / "RO.TXT", "read only");
    test::write_file(directory / "p.com", "\xC9");
    fs::permissions(directory / "SECRET.TXT", fs::perms::none);
    fs::permissions(directory / "RO.TXT", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(directory / "p.com", fs::perms::none);
    Program program;
    program.fcb(0x3000, "SECRET  TXT").fcb(0x3100, "RO      TXT");
    for (std::uint16_t fcb : {0x3000, 0x3100}) {
        program.request(open_file, fcb).request(read_sequential, fcb).request(open_file, fcb);
        program.request(search_for_first, fcb).show(default_dma + 1, 1).show(default_dma + 9, 1).say("| ");
    }
    program.request(make_file, 0x3000).say("!");
    program.write(directory / "T.COM");

    test::Result result =
        test::run_kavo(directory.path(), {"T"}, "", 60s, [&] { return errors_into(errors / "errors") && as_nobody(); });
    EXPECT_EQ(words(result.output), "FF FF FF 00 53 D4 | 00 00 00 00 52 D4 |");
    EXPECT_EQ(test::read_file(errors / "errors"), "kavo: cannot open SECRET.TXT: Permission denied\n"
                                                  "Bdos Err On A: File R/O\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(test::read_file(directory / "RO.TXT"), "read only");
    fs::permissions(directory / "SECRET.TXT", fs::perms::owner_read);
    EXPECT_EQ(test::read_file(directory / "SECRET.TXT"), "secret");

    result = test::run_kavo(directory.path(), {"p"}, "", 60s, as_nobody);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.status, 1);
}

// A directory where a change is refused by the host, set up in the child
// before the run; the program's results and standard error after it.
struct HostRefusal {
    const char* name;
    std::function<bool(const fs::path& directory)> setup;
    std::string output;
    std::string errors;
    int status = 0;
};

// In the child: a small file system over directory with OLD.TXT on it, then
// made read-only.
bool read_only_file_system(const fs::path& directory) {
    if (!mount_small_file_system(directory))
        return false;
    test::write_file(directory / "OLD.TXT", "old");
    return mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

const HostRefusal host_refusals[] = {
    // OLD.TXT may be written, but not the directory.
    {"DirectoryWithoutWritePermission",
     [](const fs::path& directory) {
         test::write_file(directory / "OLD.TXT", "old");
         fs::permissions(directory / "OLD.TXT", fs::perms::all);
         fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
         return as_nobody();
     },
     "FF FF FF FF | FF FF end",
     "kavo: cannot make NEW.DAT: Permission denied\nkavo: cannot delete OLD.TXT: Permission denied\n"},
    {"FullDisk",
     [](const fs::path& directory) {
         if (!mount_small_file_system(directory))
             return false;
         test::write_file(directory / "OLD.TXT", "old");
         return true;
     },
     "00 00 FF FF | 00 FF end", "kavo: cannot write NEW.DAT: No space left on device\n"},
    // Its files are read-only files: the delete ends the run.
    {"ReadOnlyFileSystem", read_only_file_system, "FF FF FF FF |",
     "kavo: cannot make NEW.DAT: Read-only file system\nBdos Err On A: File R/O\n", 1},
};

void PrintTo(const HostRefusal& refusal, std::ostream* stream) { *stream << refusal.name; }

class HostRefusals : public testing::TestWithParam<HostRefusal> {};

// When the host refuses a change, the program gets its CP/M error and goes
// on, and kavo writes one line on standard error naming the file and the
// host's reason, once for each file: the program makes NEW.DAT twice and
// writes it until a write fails and once more, then deletes and renames
// OLD.TXT. Before, the program's own message ("NO DIRECTORY SPACE") was all
// the user saw.
TEST_P(HostRefusals, NameTheFileAndTheReasonOnce) {
    const HostRefusal& refusal = GetParam();
    test::TemporaryDirectory base, errors;
    fs::permissions(base.path(), fs::perms::all);
    const fs::path work = base / "work";
    fs::create_directory(work);
    Program program;
    program.fcb(0x3000, "NEW     DAT").fcb(0x3100, "OLD     TXT").store(0x3100 + 17, "MOVED   TXT");
    program.request(make_file, 0x3000).request(make_file, 0x3000);
    program.label("fill").lxi(DE, 0x3000);
    program.system(write_sequential).ora(A).jz("fill").call("hex");
    program.request(write_sequential, 0x3000).say("| ");
    program.request(delete_file, 0x3100).request(rename_file, 0x3100).say("end");
    program.write(base / "T.COM");

    const test::Result result = test::run_kavo(work, {(base / "T.COM").string()}, "", 60s,
                                               [&] { return errors_into(errors / "errors") && refusal.setup(work); });
    if (result.status == test::setup_failed)
        GTEST_SKIP() << "no mount namespace for a small file system here";
    EXPECT_EQ(words(result.output), refusal.output);
    EXPECT_EQ(test::read_file(errors / "errors"), refusal.errors);
    EXPECT_EQ(result.status, refusal.status);
    fs::permissions(work, fs::perms::all);
}

INSTANTIATE_TEST_SUITE_P(Table, HostRefusals, testing::ValuesIn(host_refusals),
                         [](const testing::TestParamInfo<HostRefusal>& info) { return info.param.name; });

// The test removes the current directory while the program waits for a key.
// Files already open go on working on their vanished files; everything that
// needs the directory fails with 0xFF, and the run ends normally.
TEST(FileSystemFaults, DirectoryRemovedDuringTheRunFailsFileFunctionsCleanly) {
    test::TemporaryDirectory base;
    const fs::path work = base.path() / "work";
    fs::create_directory(work);
    sparse_file(work / "A.DAT", 128, {{0, 'a'}});
    Program program;
    program.fcb(0x3000, "A       DAT").fcb(0x3040, "B       DAT").fcb(0x3080, "???????????").fcb(0x30C0, "C       DAT");
    program.store(0x3040 + 17, "D       DAT");
    program.request(open_file, 0x3000).request(make_file, 0x3040).say("?").system(console_input);
    program.store(default_dma, "b").request(write_sequential, 0x3040);
    program.request(read_sequential, 0x3000).show(default_dma, 1);
    program.request(close_file, 0x3000).request(close_file, 0x3040).say("| ");
    program.request(open_file, 0x3000).request(make_file, 0x30C0).request(search_for_first, 0x3080);
    program.request(delete_file, 0x3080).request(rename_file, 0x3040).request(write_sequential, 0x3080).say("!");
    program.write(base.path() / "T.COM");

    test::PtyRun run(work, {(base.path() / "T.COM").string()});
    ASSERT_TRUE(run.wait_for("?"));
    fs::remove_all(work);
    run.type("k");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(words(run.output),
              "00 00 ?k00 00 61 00 00 | FF kavo: cannot make C.DAT: No such file or directory FF FF FF FF FF !");
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
}

// A disk that fills in the middle of a program's writes: a tmpfs of 64 KiB,
// or, where no file system can be mounted, a file size limit that ends in the
// middle of a record. The program writes records numbered by their bytes
// until a write fails: it must get the failure, every record in the file must
// be whole and in its place, and the terminal must be restored at the end.
TEST(FileSystemFaults, FullDiskFailsTheWriteKeepsWholeRecordsAndRestoresTheTerminal) {
    test::TemporaryDirectory base;
    const fs::path work = base / "work";
    fs::create_directory(work);
    Program program;
    program.fcb(0x3000, "FULL    DAT").request(make_file, 0x3000);
    program.mvi(A, 0).sta(0x2F00);
    program.label("fill").lda(0x2F00).inr(A).sta(0x2F00);
    program.lxi(HL, default_dma).mvi(B, 128).label("byte").mov(M, A).inx(HL).dcr(B).jnz("byte");
    program.lxi(DE, 0x3000);
    program.system(write_sequential).ora(A).jz("fill").call("hex");
    program.request(close_file, 0x3000).say("| end");
    program.write(base / "T.COM");

    // The test itself enters the mount namespace (the test process is its
    // own), so that it can read the file on the tmpfs after the run.
    const bool mounted = mount_small_file_system(work);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    if (!mounted) {
        // No mount here: 64 KiB and 44 bytes, so the last write fits only in part.
        const rlimit limited{64 * 1024 + 44, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    auto run = std::make_unique<test::PtyRun>(work, std::vector<std::string>{(base / "T.COM").string()});
    setrlimit(RLIMIT_FSIZE, &saved);
    run->wait_exit(60s);
    EXPECT_TRUE(exited_with_zero(run->status));
    EXPECT_TRUE(test::same_settings(run->settings(), run->settings_before));
    const std::string output = words(run->output);
    ASSERT_EQ(output.substr(0, 3), "00 ") << output;
    EXPECT_NE(output.substr(3, 3), "00 ") << "the failed write reported success: " << output;
    EXPECT_EQ(output.substr(output.size() - 5), "| end") << output;

    const std::string written = test::read_file(work / "FULL.DAT");
    ASSERT_GE(written.size(), 128u * 400);  // the disk filled, not something else
    EXPECT_EQ(written.size() % 128, 0u);
    for (std::size_t offset = 0; offset < written.size(); ++offset)
        ASSERT_EQ(std::uint8_t(written[offset]), std::uint8_t(offset / 128 + 1)) << "at byte " << offset;
    if (mounted)
        umount2(work.c_str(), MNT_DETACH);
}

// ---------------------------------------------------------------------------
// A run killed with SIGKILL: nothing of kavo's can run any more, so what the
// program wrote must already be in its files as whole records.

// A copying program killed at moments drawn from a fixed seed, each when the
// copy has reached that many records: the copy left is always a prefix of the
// source that ends at a record boundary, and the source is untouched.
TEST(KilledRun, CopyKilledAtAnyMomentLeavesARecordAlignedPrefixOfTheSource) {
    constexpr std::size_t records = 2400;
    std::mt19937 random(15);
    std::string source(records * 128, '\0');
    for (char& byte : source)
        byte = char(random());
    Program program;
    program.fcb(0x3000, "SRC     DAT").fcb(0x3100, "DST     DAT");
    program.request(open_file, 0x3000).request(make_file, 0x3100);
    program.label("copy").lxi(DE, 0x3000);
    program.system(read_sequential).ora(A).jnz("done").lxi(DE, 0x3100);
    program.system(write_sequential).ora(A).jnz("done");
    // Some work between records, as a real program does: the kill may come
    // anywhere, in the executor or in a request.
    program.lxi(HL, 3000).label("work").dcx(HL).mov(A, test::H).ora(test::L).jnz("work").jmp("copy");
    program.label("done");
    program.request(close_file, 0x3100);

    for (int kill_number = 0; kill_number < 4; ++kill_number) {
        const std::size_t kill_at = 100 + random() % (records * 3 / 4);
        SCOPED_TRACE("killed after record " + std::to_string(kill_at));
        test::TemporaryDirectory directory;
        test::write_file(directory / "SRC.DAT", source);
        program.write(directory / "T.COM");
        std::vector<std::string> arguments{"T"};
        std::vector<char*> argument_vector = test::kavo_argument_vector(arguments);
        const pid_t child = fork();
        if (child == 0) {
            setsid();
            const int null_device = open("/dev/null", O_RDWR);
            dup2(null_device, STDIN_FILENO);
            dup2(null_device, STDOUT_FILENO);
            test::execute_kavo(directory.path(), argument_vector.data());
        }
        std::error_code missing;
        int status = 0;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (fs::file_size(directory / "DST.DAT", missing) >= kill_at * 128 && !missing) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            usleep(100);
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the copy ended before the kill";
        const std::string copy = test::read_file(directory / "DST.DAT");
        EXPECT_EQ(copy.size() % 128, 0u) << copy.size() << " bytes";
        EXPECT_GE(copy.size(), kill_at * 128);
        EXPECT_TRUE(source.compare(0, copy.size(), copy) == 0) << "the copy is not the source's beginning";
        EXPECT_EQ(test::read_file(directory / "SRC.DAT"), source);
    }
}

// ---------------------------------------------------------------------------
// Standard streams closed by the caller.

// kavo used to leave them closed, so the program's first file took the free
// number: console output and messages were written into the file over the
// program's records, and keys were read out of it.
TEST(StandardStreams, ClosedStreamsNeverReachTheProgramsFiles) {
    const std::vector<std::vector<int>> closed_sets = {{STDIN_FILENO}, {STDOUT_FILENO}, {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}};
    for (const std::vector<int>& closed : closed_sets) {
        SCOPED_TRACE("closed: " + testing::PrintToString(closed));
        test::TemporaryDirectory directory;
        Program program;
        program.fcb(0x3000, "OUT     DAT").request(make_file, 0x3000);
        program.store(default_dma, std::string(128, 'R')).request(write_sequential, 0x3000);
        program.say("hello").system(console_input).say("key");
        program.write(directory / "T.COM");
        const test::Result result = test::run_kavo(directory.path(), {"T"}, "", 60s, [&] {
            for (int descriptor : closed)
                close(descriptor);
            return true;
        });
        EXPECT_EQ(test::read_file(directory / "OUT.DAT"), std::string(128, 'R'));
        if (closed.size() == 1 && closed.front() == STDIN_FILENO) {
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.output, "00 00 hello");  // the end of the input ends the run
        } else {
            EXPECT_EQ(result.status, 1) << "output to a closed stream is a failure";
        }
    }
}

// ---------------------------------------------------------------------------
// Signals: whatever the program is doing, the run ends with the terminal
// restored and the records written so far in the file.

struct Phase {
    const char* name;
    std::function<void(Program&)> code;
};

struct Stop {
    const char* name;
    std::function<void(test::PtyRun&)> send;
    int dies_of;  // 0: exits with status
    int status = 0;
};

TEST(SignalsDuringARun, EachEndsCleanlyWithTheTerminalRestoredAndTheWritesKept) {
    const Phase phases[] = {
        {"output", [](Program& program) { program.label("loop").mvi(C, 'x').call(kavo::address::bios_vector + 0x0C).jmp("loop"); }},
        {"key wait", [](Program& program) { program.system(console_input).say("unreached"); }},
        {"compute", [](Program& program) { program.label("loop").inx(HL).jmp("loop"); }},
    };
    const Stop stops[] = {
        {"SIGTERM", [](test::PtyRun& run) { kill(run.pid, SIGTERM); }, SIGTERM},
        {"SIGHUP", [](test::PtyRun& run) { kill(run.pid, SIGHUP); }, SIGHUP},
        {"SIGQUIT", [](test::PtyRun& run) { kill(run.pid, SIGQUIT); }, 0, 131},
        {"Ctrl+\\", [](test::PtyRun& run) { run.type("\x1c"); }, 0, 130},
    };
    for (const Phase& phase : phases) {
        for (const Stop& stop : stops) {
            SCOPED_TRACE(std::string(stop.name) + " during " + phase.name);
            test::TemporaryDirectory directory;
            Program program;
            program.fcb(0x3000, "SIG     DAT").request(make_file, 0x3000);
            program.store(default_dma, "1").request(write_sequential, 0x3000);
            program.store(default_dma, "2").request(write_sequential, 0x3000).say("go");
            phase.code(program);
            program.write(directory.path() / "T.COM");

            test::PtyRun run(directory.path(), {"T"});
            ASSERT_TRUE(run.wait_for("go"));
            stop.send(run);
            const std::optional<int> status = run.wait_exit();
            ASSERT_TRUE(status);
            if (stop.dies_of)
                EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == stop.dies_of);
            else
                EXPECT_TRUE(test::exited_with(status, stop.status));
            EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
            const fs::path file = directory.path() / "SIG.DAT";
            EXPECT_EQ(fs::file_size(file), 256u);
            EXPECT_EQ(byte_at(file, 0), '1');
            EXPECT_EQ(byte_at(file, 128), '2');
        }
    }
}

// ---------------------------------------------------------------------------
// Hostile input: FCBs and records at the top of memory, files beyond what
// CP/M can address.

// Every file function once on TOP.DAT, with the FCB and the DMA buffer where
// the case puts them; both may run through 0xFFFF into page zero.
void file_functions_at(Program& program, std::uint16_t fcb, std::uint16_t dma) {
    auto at = [](std::uint16_t address, unsigned offset) { return std::uint16_t(address + offset); };
    program.lxi(DE, dma);
    program.system(set_dma_address).fcb(fcb, "TOP     DAT");
    program.request(make_file, fcb);
    program.store(dma, "A").request(write_sequential, fcb).store(dma, "B").request(write_sequential, fcb);
    program.show(at(fcb, 12), 1).show(at(fcb, 32), 1).show(at(fcb, 15), 1).say("| ");
    program.store(at(fcb, 33), std::string("\x05\x00", 2)).store(dma, "C").request(write_random, fcb);
    program.request(close_file, fcb).request(open_file, fcb).show(at(fcb, 15), 1).say("| ");
    program.store(at(fcb, 32), std::string(1, '\0')).request(read_sequential, fcb).show(dma, 1);
    program.request(read_random, fcb).show(dma, 1).say("| ");
    program.request(search_for_first, fcb).show(at(dma, 1), 11).show(at(dma, 12), 1).show(at(dma, 15), 1).say("| ");
    program.store(at(fcb, 17), "NEW     DAT").request(rename_file, fcb).request(search_for_next);
}
const std::string file_functions_output =
    "00 00 00 00 02 02 | 00 00 00 06 | 00 41 00 43 | 00 54 4F 50 20 20 20 20 20 44 41 54 00 06 | 00 FF";

void check_new_file(const fs::path& directory) {
    const fs::path file = directory / "NEW.DAT";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 6u * 128);
    EXPECT_EQ(byte_at(file, 0), 'A');
    EXPECT_EQ(byte_at(file, 128), 'B');
    EXPECT_EQ(byte_at(file, 5 * 128), 'C');
    EXPECT_FALSE(fs::exists(directory / "TOP.DAT"));
}

constexpr std::uintmax_t four_mebibytes = 4u << 20;
constexpr std::uintmax_t eight_mebibytes = 8u << 20;

// BIG.DAT: 4 MiB and one record more. Records 0, 32,767 (the last of module
// 7) and 32,768 (the first of module 8) begin with Z, Y and X.
void make_big_file(const fs::path& directory) {
    sparse_file(directory / "BIG.DAT", four_mebibytes + 128, {{0, 'Z'}, {32767, 'Y'}, {32768, 'X'}});
}

// Sequential reads move from the last record of a module into the next
// module (S2), with RC following into each extent; the last record of the
// largest CP/M file (65,535, 8 MiB) can be written, and nothing after it.
void across_modules(Program& program) {
    program.fcb(0x3000, "BIG     DAT", 31, 127).request(open_file, 0x3000).show(0x3000 + 15, 1).say("| ");
    program.store(0x3000 + 14, "\x07").request(read_sequential, 0x3000).show(default_dma, 1);
    program.show(0x3000 + 12, 1).show(0x3000 + 32, 1).show(0x3000 + 14, 1).show(0x3000 + 15, 1).say("| ");
    program.request(read_sequential, 0x3000).show(default_dma, 1).say("| ");
    program.store(0x3000 + 12, "\x1F").store(0x3000 + 14, "\x0F").store(0x3000 + 32, "\x7F").store(default_dma, "W");
    program.request(write_sequential, 0x3000).show(0x3000 + 12, 1).show(0x3000 + 32, 1).show(0x3000 + 14, 1);
    program.request(write_sequential, 0x3000).request(read_sequential, 0x3000);
}

void check_big_file_written_at_its_last_record(const fs::path& directory) {
    const fs::path file = directory / "BIG.DAT";
    EXPECT_EQ(fs::file_size(file), eight_mebibytes);
    EXPECT_EQ(byte_at(file, 0), 'Z');
    EXPECT_EQ(byte_at(file, four_mebibytes), 'X');
    EXPECT_EQ(byte_at(file, eight_mebibytes - 128), 'W');
}

// Counts every directory entry (EX = '?') of the file named and prints the
// count, then EX, S2 and RC of the last entry, which stays in the buffer
// after the 0xFF.
std::function<void(Program&)> count_entries(std::string name_bytes) {
    return [name_bytes](Program& program) {
        program.fcb(0x3000, name_bytes, '?').store(0x3100, std::string(1, '\0'));
        program.lxi(DE, 0x3000);
        program.system(search_for_first).label("entry").cpi(0xFF).jz("counted").lda(0x3100).inr(A).sta(0x3100);
        program.system(search_for_next).jmp("entry").label("counted");
        program.show(0x3100, 1).show(default_dma + 12, 1).show(default_dma + 14, 1).show(default_dma + 15, 1);
    };
}

struct HostileInput {
    const char* name;
    std::function<void(const fs::path&)> files;  // made before the run
    std::function<void(Program&)> code;
    std::string output;
    std::function<void(const fs::path&)> check;  // of the files after the run
};

void nothing(const fs::path&) {}

const HostileInput hostile_inputs[] = {
    {"FcbAt0xFFE0", nothing, [](Program& p) { file_functions_at(p, 0xFFE0, 0x4000); }, file_functions_output, check_new_file},
    {"FcbAt0xFFF0", nothing, [](Program& p) { file_functions_at(p, 0xFFF0, 0x4000); }, file_functions_output, check_new_file},
    {"FcbAt0xFFFF", nothing, [](Program& p) { file_functions_at(p, 0xFFFF, 0x4000); }, file_functions_output, check_new_file},
    {"DmaAt0xFFE0", nothing, [](Program& p) { file_functions_at(p, 0x4000, 0xFFE0); }, file_functions_output, check_new_file},
    {"DmaAt0xFFFF", nothing, [](Program& p) { file_functions_at(p, 0x4000, 0xFFFF); }, file_functions_output, check_new_file},
    {"SequentialRecordsCrossModulesUpTo8MiB", make_big_file, across_modules,
     "00 80 | 00 59 00 00 08 01 | 00 58 | 00 00 00 10 FF 01", check_big_file_written_at_its_last_record},
    // 128 entries of two full extents each, then the last record in extent
    // 256: EX 0 of module 8.
    {"SearchReportsExtentsBeyond512KiBWithTheirModule", make_big_file, count_entries("BIG     DAT"), "81 00 08 01",
     nothing},
    // A file past the 8 MiB of the disk is not on it: searches leave it out
    // and report the file after it, which fits: one entry of 2 records.
    {"SearchLeavesOutAFileLargerThanTheDiskAndReportsTheRest",
     [](const fs::path& directory) {
         sparse_file(directory / "HUGE.DAT", (std::uintmax_t(1) << 32) + 200, {});
         sparse_file(directory / "SMALL.DAT", 200, {});
     },
     count_entries("???????????"), "01 00 00 02", nothing},
};

void PrintTo(const HostileInput& input, std::ostream* stream) { *stream << input.name; }

class HostileInputs : public testing::TestWithParam<HostileInput> {};

TEST_P(HostileInputs, RunToTheirExpectedEnd) {
    const HostileInput& input = GetParam();
    test::TemporaryDirectory base;
    const fs::path work = base / "work";
    fs::create_directory(work);
    input.files(work);
    Program program;
    input.code(program);
    program.write(base / "T.COM");
    const test::Result result = test::run_kavo(work, {(base / "T.COM").string()});
    EXPECT_EQ(words(result.output), input.output);
    EXPECT_EQ(result.status, 0);
    input.check(work);
}

INSTANTIATE_TEST_SUITE_P(Table, HostileInputs, testing::ValuesIn(hostile_inputs),
                         [](const testing::TestParamInfo<HostileInput>& info) { return info.param.name; });

}  // namespace
