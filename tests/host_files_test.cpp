// Tests of the host file layer: names, patterns and file behaviour in a fresh directory.
#include "host/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;

const host::Outcome missing{host::Outcome::missing};

struct PatternCase {
    std::string_view pattern;
    std::string_view name;
    bool matches;
};

TEST(HostPattern, MatchesLikeTheCpmDirectorySearch)
{
    const PatternCase cases[] = {
        {"????????.???", "README", true},
        {"????????.???", "A.B", true},
        {"????????.???", "ABCDEFGH.XYZ", true},
        {"????????.COM", "x.com", true},
        {"????????.COM", "x.cmd", false},
        {"A?.C", "A.C", true},
        {"A?.C", "AB.C", true},
        {"A?.C", "ABC.C", false},
        {"A?B.C", "AB.C", false},
        {"?.COM", "XY.COM", false},
        {"FOO.???", "FOO", true},
        {"FOO.?", "FOO.AB", false},
        {"readme.txt", "README.TXT", true},
        {"README.TXT", "README.TX", false},
        {"README.", "readme", true},
        {"README.", "README.TXT", false},
        {"README", "readme", true},
        {"README", "README.TXT", false},
        {"*.ASM", "hello.asm", true},
        {"*.ASM", "hello.asx", false},
        {"*.*", "x", true},
        {"H*O.A*", "HELLO.ASM", true},
        {"*X.*", "HELLO.X", false},
        {".COM", "X.COM", false},
        {"A$.$$$", "a$.$$$", true},
    };
    for (const auto& [pattern, name, matches] : cases)
        EXPECT_EQ(host::pattern_matches(pattern, name), matches) << pattern << " against " << name;
}

TEST(HostNames, SpellingDropsTheTrailingDotAndRefusesEscapes)
{
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"README.", "README"},
        {"A.B", "A.B"},
        {".COM", ".COM"},
        {"A B.C", "A B.C"},
        {"", std::nullopt},
        {".", std::nullopt},
        {"..", std::nullopt},
        {"...", std::nullopt},
        {"../X", std::nullopt},
        {"A/B", std::nullopt},
        {"/ETC/PASSWD", std::nullopt},
        {"..\\X", std::nullopt},
        {"A\x01.B", std::nullopt},
        {"A\x7F", std::nullopt},
        {std::string("A\0.B", 4), std::nullopt},
        {"A?.B", std::nullopt},
        {"*.B", std::nullopt},
    };
    for (const auto& [name, spelling] : cases)
        EXPECT_EQ(host::host_spelling(name), spelling) << '"' << name << '"';
}

TEST(HostNames, VisibleNamesFitEightPlusThree)
{
    const std::pair<std::string, bool> cases[] = {
        {"A", true},
        {"ABCDEFGH", true},
        {"A.B", true},
        {"ABCDEFGH.XYZ", true},
        {"a~!#$%&'.()", true},
        {"", false},
        {".", false},
        {"..", false},
        {".PROFILE", false},
        {"ABCDEFGHI", false},
        {"A.BCDE", false},
        {"A.", false},
        {"A.B.C", false},
        {"A B", false},
        {"A\x01", false},
        {"A\x7F", false},
        {"\xC3\xA9T\xC3\xA9", false},
        {"A*", false},
        {"A?", false},
        {"A:B", false},
        {"A<B", false},
        {"A>B", false},
        {"A|B", false},
        {"A\"B", false},
        {"A;B", false},
        {"A,B", false},
        {"A=B", false},
        {"A[B", false},
        {"A]B", false},
        {"A\\B", false},
        {"A/B", false},
    };
    for (const auto& [name, visible] : cases)
        EXPECT_EQ(host::is_visible_name(name), visible) << '"' << name << '"';
}

void write_file(const fs::path& path, std::string_view contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

std::string read_file(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

std::vector<std::string> listing(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string contents_of(host::File& file)
{
    std::vector<std::uint8_t> buffer(file.size());
    buffer.resize(file.read_at(0, buffer));
    return {buffer.begin(), buffer.end()};
}

std::vector<std::string> names_of(const std::vector<host::DirectoryEntry>& entries)
{
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.name);
    return names;
}

// Each test runs inside work/, a fresh directory whose parent holds a sentinel
// file that no name handed to the layer may reach.
class HostFiles : public testing::Test {
protected:
    void SetUp() override
    {
        std::string base_template = (fs::temp_directory_path() / "kavo-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(base_template.data()), nullptr);
        base = base_template;
        work = base / "work";
        fs::create_directory(work);
        write_file(base / "x", "sentinel");
        previous = fs::current_path();
        fs::current_path(work);
    }

    void TearDown() override
    {
        fs::current_path(previous);
        fs::remove_all(base);
    }

    fs::path previous;
    fs::path base;
    fs::path work;
    host::Directory directory;  // the current directory: work/
};

TEST_F(HostFiles, OpenFindsTheNameWithoutRegardToCase)
{
    write_file("Readme.txt", "mixed");
    write_file("readme.txt", "lower");
    write_file("notes", "no type");
    write_file("notes.txt", "typed");
    write_file("dup.dat", "lower");
    write_file("DUP.DAT", "upper");
    write_file("Dup.dat", "mixed");
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {"readme.txt", "mixed"},   // without an upper-case name, the first in byte order
        {"README.TXT", "mixed"},   // whatever the spelling asked for
        {"dup.dat", "upper"},      // the upper-case name stands for all its variants
        {"Dup.Dat", "upper"},
        {"NOTES.", "no type"},     // a trailing dot means no type
        {"Notes.Txt", "typed"},
        {"NOTES.T", std::nullopt},
        {"MISSING.", std::nullopt},
    };
    for (const auto& [name, contents] : cases) {
        auto file = directory.open_existing(name).file;
        ASSERT_EQ(file.has_value(), contents.has_value()) << name;
        if (file) {
            EXPECT_EQ(contents_of(*file), *contents) << name;
        }
    }
}

TEST_F(HostFiles, MakeTruncatesTheUpperCaseFileOrCreatesOne)
{
    write_file("OLD.TXT", "old contents");
    auto truncated = directory.make("old.txt.").file;
    ASSERT_TRUE(truncated);
    EXPECT_EQ(truncated->size(), 0u);
    EXPECT_EQ(read_file("OLD.TXT"), "");

    // A file in another case is never emptied: the new upper-case one hides it.
    write_file("readme", "old contents");
    auto made = directory.make("README.").file;
    ASSERT_TRUE(made);
    EXPECT_EQ(read_file("readme"), "old contents");
    EXPECT_TRUE(directory.make("new.txt").file);
    EXPECT_TRUE(directory.make("NOTYPE.").file);
    EXPECT_EQ(listing(work), (std::vector<std::string>{"NEW.TXT", "NOTYPE", "OLD.TXT", "README", "readme"}));
}

TEST_F(HostFiles, OpenAndMakeReachOnlyRegularFiles)
{
    fs::create_directory("sub");
    fs::create_directory_symlink("sub", "dirlink");
    fs::create_symlink("../outside", "dangle");
    write_file("target", "through the link");
    fs::create_symlink("target", "filelink");

    // No CP/M file to open; the host's reason why none can be made.
    const std::pair<std::string_view, int> cases[] = {{"SUB.", EISDIR}, {"DIRLINK.", EISDIR}, {"DANGLE.", ENOENT}};
    for (const auto& [name, error] : cases) {
        EXPECT_EQ(directory.open_existing(name).outcome, missing) << name;
        EXPECT_EQ(directory.make(name).outcome, (host::Outcome{host::Outcome::host_error, error})) << name;
    }
    EXPECT_TRUE(fs::is_directory("sub"));
    EXPECT_FALSE(fs::exists(base / "outside"));

    auto linked = directory.open_existing("FILELINK.").file;
    ASSERT_TRUE(linked);
    EXPECT_EQ(contents_of(*linked), "through the link");
}

TEST_F(HostFiles, RefusedNamesTouchNothing)
{
    write_file("KEEP.TXT", "kept");
    const std::string sentinel = (base / "x").string();
    const std::string refused[] = {
        "../x", "../X.", "..\\x", "A/B", sentinel, "/", "", ".", "..", "...",
        std::string("KEEP.TXT\0", 9), "KEEP\x01.TXT", "\x7F",
    };
    for (const auto& name : refused) {
        EXPECT_EQ(directory.open_existing(name).outcome, missing) << name;
        EXPECT_EQ(directory.make(name).outcome, missing) << name;
        EXPECT_TRUE(directory.find_files(name).empty()) << name;
        EXPECT_EQ(directory.rename_file(name, "STOLEN.TXT"), missing) << name;
        EXPECT_EQ(directory.rename_file("KEEP.TXT", name), missing) << name;
        EXPECT_EQ(directory.delete_file(name), missing) << name;
    }
    EXPECT_EQ(listing(work), std::vector<std::string>{"KEEP.TXT"});
    EXPECT_EQ(read_file("KEEP.TXT"), "kept");
    EXPECT_EQ(listing(base), (std::vector<std::string>{"work", "x"}));
    EXPECT_EQ(read_file(sentinel), "sentinel");
}

// User areas are subdirectories: one component, never through a link; one not
// made yet is a directory that finds nothing and takes nothing.
TEST_F(HostFiles, SubdirectoriesStayInsideAndAnAbsentOneTakesNothing)
{
    fs::create_directory_symlink("..", "5");
    write_file("6", "a file");
    for (const std::string_view name : {"5", "6", "..", ".", "", "3/..", "../work", "3."}) {
        EXPECT_FALSE(directory.make_subdirectory(name)) << name;
        EXPECT_FALSE(directory.open_subdirectory(name)) << name;
    }
    EXPECT_EQ(listing(base), (std::vector<std::string>{"work", "x"}));

    EXPECT_FALSE(directory.open_subdirectory("3"));
    const auto made = directory.make_subdirectory("3");
    ASSERT_TRUE(made);
    EXPECT_TRUE(made->make("IN.TXT").file);
    EXPECT_TRUE(fs::exists(work / "3" / "IN.TXT"));
    const auto opened = directory.open_subdirectory("3");
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->files().size(), 1u);

    const host::Directory absent = host::Directory::absent();
    EXPECT_TRUE(absent.files().empty());
    EXPECT_FALSE(absent.open_existing("IN.TXT").file);
    EXPECT_FALSE(absent.make("NEW.TXT").file);
    EXPECT_FALSE(absent.make_subdirectory("4"));
    EXPECT_EQ(listing(work), (std::vector<std::string>{"3", "5", "6"}));
}

TEST_F(HostFiles, FindFilesReportsVisibleRegularFilesInSortedOrder)
{
    write_file("b.com", "bbb");
    write_file("A.COM", "aaaaa");
    write_file("B1.X", "");
    write_file("a2.x", "");
    write_file("a1.x", "");
    write_file("c1", "c");
    for (const char* hidden : {".hidden", "TOOLONGNAME", "TWO.DOTS.X", "LONG.TYPE", "BAD NAME"})
        write_file(hidden, "");
    fs::create_directory("SUBDIR");
    fs::create_directory("DIR.COM");
    fs::create_symlink("A.COM", "LINK.COM");
    fs::create_directory_symlink("SUBDIR", "DLINK.COM");
    fs::create_symlink("missing", "GONE.COM");
    write_file("BIG.DAT", "");
    fs::resize_file("BIG.DAT", (std::uintmax_t{1} << 32) + 5);

    const auto everything = directory.find_files("????????.???");
    EXPECT_EQ(names_of(everything),
              (std::vector<std::string>{"A.COM", "a1.x", "a2.x", "b.com", "B1.X", "BIG.DAT", "c1", "LINK.COM"}));
    const std::pair<std::string_view, std::vector<std::string>> searches[] = {
        {"*.COM", {"A.COM", "b.com", "LINK.COM"}},
        {"C1.", {"c1"}},
        {"A?.X", {"a1.x", "a2.x"}},
        {".COM", {}},
        {"SUBDIR.", {}},
        {"NONE.X", {}},
    };
    for (const auto& [pattern, names] : searches)
        EXPECT_EQ(names_of(directory.find_files(pattern)), names) << pattern;

    const auto sizes = directory.find_files("*.COM");
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[0].size, 5u);
    EXPECT_EQ(sizes[1].size, 3u);
    EXPECT_EQ(sizes[2].size, 5u);  // the link's target
    EXPECT_EQ(directory.find_files("BIG.DAT").at(0).size, (std::uintmax_t{1} << 32) + 5);
}

TEST_F(HostFiles, DeleteRemovesOnlyVisibleNames)
{
    write_file("GONE.TXT", "");
    write_file(".hidden", "");
    write_file("TOOLONGNAME", "");
    EXPECT_TRUE(directory.delete_file("GONE.TXT"));
    EXPECT_FALSE(directory.delete_file("GONE.TXT"));
    EXPECT_FALSE(directory.delete_file(".hidden"));
    EXPECT_FALSE(directory.delete_file("TOOLONGNAME"));
    EXPECT_EQ(listing(work), (std::vector<std::string>{".hidden", "TOOLONGNAME"}));
}

TEST_F(HostFiles, RenameNeverReplacesAnotherFile)
{
    write_file("OLD.TXT", "old");
    write_file("other.txt", "other");
    write_file("lower.txt", "lower");
    fs::create_directory("sub");

    const host::Outcome taken{host::Outcome::name_taken};
    EXPECT_EQ(directory.rename_file("OLD.TXT", "OTHER.TXT"), taken);
    EXPECT_EQ(directory.rename_file("MISSING.TXT", "NEW.TXT"), missing);
    EXPECT_EQ(directory.rename_file("OLD.TXT", "SUB."), taken);
    EXPECT_EQ(directory.rename_file("SUB.", "MOVED."), missing);
    EXPECT_EQ(read_file("OLD.TXT"), "old");
    EXPECT_EQ(read_file("other.txt"), "other");

    EXPECT_TRUE(directory.rename_file("LOWER.TXT", "LOWER.TXT"));  // only the case changes
    EXPECT_TRUE(directory.rename_file("old.txt", "NEW."));
    EXPECT_EQ(listing(work), (std::vector<std::string>{"LOWER.TXT", "NEW", "other.txt", "sub"}));
    EXPECT_EQ(read_file("LOWER.TXT"), "lower");
    EXPECT_EQ(read_file("NEW"), "old");
}

TEST_F(HostFiles, ReadsAndWritesAtOffsets)
{
    auto file = directory.make("DATA.BIN").file;
    ASSERT_TRUE(file);
    const std::vector<std::uint8_t> ones(128, 1);
    const std::vector<std::uint8_t> twos(10, 2);
    EXPECT_TRUE(file->write_at(0, ones));
    EXPECT_TRUE(file->write_at(300, twos));  // past the end: the gap reads as zeros
    EXPECT_EQ(file->size(), 310u);

    // Another descriptor sees the data at once: nothing waits in a buffer.
    auto reader = directory.open_existing("data.bin").file;
    ASSERT_TRUE(reader);
    std::vector<std::uint8_t> buffer(200, 0xEE);
    ASSERT_EQ(reader->read_at(128, buffer), 182u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 172, [](auto byte) { return byte == 0; }));
    EXPECT_TRUE(std::all_of(buffer.begin() + 172, buffer.begin() + 182, [](auto byte) { return byte == 2; }));
    EXPECT_EQ(buffer[182], 0xEE);
    EXPECT_EQ(reader->read_at(310, buffer), 0u);
    EXPECT_EQ(reader->read_at(100000, buffer), 0u);

    host::File moved = std::move(*reader);
    EXPECT_FALSE(reader->is_open());
    EXPECT_EQ(moved.read_at(0, buffer), 200u);
    moved.close();
    EXPECT_EQ(moved.read_at(0, buffer), 0u);
    EXPECT_FALSE(moved.write_at(0, ones));
}

// A file no one may write: it opens for reading only and takes no write;
// make, delete and rename say it is read-only and leave it as it was, while
// its attribute may still be changed.
TEST_F(HostFiles, ReadOnlyFilesRefuseEveryChangeButTheirAttribute)
{
    write_file("RO.TXT", "kept");
    fs::permissions("RO.TXT", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const host::Outcome read_only{host::Outcome::read_only};
    auto file = directory.open_existing("ro.txt").file;
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->is_read_only());
    EXPECT_EQ(file->write_at(0, std::vector<std::uint8_t>(128, 1)), read_only);
    EXPECT_EQ(directory.make("RO.TXT").outcome, read_only);
    EXPECT_EQ(directory.delete_file("RO.TXT"), read_only);
    EXPECT_EQ(directory.rename_file("RO.TXT", "NEW.TXT"), read_only);
    EXPECT_EQ(listing(work), std::vector<std::string>{"RO.TXT"});
    EXPECT_EQ(read_file("RO.TXT"), "kept");

    EXPECT_TRUE(directory.set_read_only("RO.TXT", false));
    EXPECT_TRUE(directory.delete_file("RO.TXT"));
}

// Run in a child process, so that the limit and the ignored SIGXFSZ stay there.
bool writes_fail_beyond_a_size_limit()
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    auto file = host::Directory().make("FULL.BIN").file;
    const std::vector<std::uint8_t> record(128, 7);
    const host::Outcome too_large{host::Outcome::host_error, EFBIG};
    const bool partly_written = file->write_at(0, record) != too_large;
    const bool written_past_limit = file->write_at(200, std::span(record).first(1)) != too_large;
    const bool written_within_limit = bool(file->write_at(0, std::span(record).first(50)));
    return !partly_written && !written_past_limit && written_within_limit;
}

TEST_F(HostFiles, WriteBeyondTheFileSizeLimitFails)
{
    EXPECT_EXIT(std::exit(writes_fail_beyond_a_size_limit() ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST_F(HostFiles, ReadProgramFindsTheFileWithoutRegardToCase)
{
    std::string program(300, '\0');
    for (std::size_t index = 0; index < program.size(); ++index)
        program[index] = static_cast<char>(index);
    write_file("HELLO.COM", program);
    fs::create_directory("bin");
    write_file("bin/Tool.com", "tool");

    // The contents read, or the reason there is no program; a file larger
    // than the room is not read at all.
    const std::string absolute = (work / "HELLO.COM").string();
    const std::tuple<std::string, std::size_t, std::string, int> cases[] = {
        {"HELLO.COM", 1000, program, 0},
        {"hello.com", 1000, program, 0},
        {absolute, 1000, program, 0},
        {"HELLO.COM", 300, program, 0},
        {"HELLO.COM", 299, "", EFBIG},
        {"HELLO.COM", 0, "", EFBIG},
        {"bin/TOOL.COM", 1000, "tool", 0},
        {"./bin/tool.COM", 1000, "tool", 0},
        {"MISSING.COM", 1000, "", ENOENT},
        {"bin", 1000, "", EISDIR},
        {"BIN", 1000, "", EISDIR},
        {"nowhere/HELLO.COM", 1000, "", ENOENT},
    };
    for (const auto& [path, limit, expected, error] : cases) {
        SCOPED_TRACE(path + " in " + std::to_string(limit) + " bytes");
        std::vector<std::uint8_t> memory(limit + 1, 0xEE);
        const host::ProgramRead read = host::read_program(path, std::span(memory).first(limit));
        EXPECT_EQ(read.error, error);
        EXPECT_EQ(read.size, error == EFBIG ? program.size() : expected.size());
        EXPECT_EQ(std::string(memory.begin(), memory.begin() + std::ptrdiff_t(expected.size())), expected);
        EXPECT_TRUE(std::all_of(memory.begin() + std::ptrdiff_t(expected.size()), memory.end(),
                                [](std::uint8_t byte) { return byte == 0xEE; }))
            << "bytes past the program changed";
    }
}

}  // namespace
