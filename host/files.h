// Host files standing for CP/M files: 8 + 3 names found without regard to case in a drive's directory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// How a host file operation ended: done, or why not. Only a refusal by the
// host itself carries a reason, its errno.
struct Outcome {
    enum Kind {
        done,
        missing,     // no file of the name: none there, a refused name, or an entry that is no regular file
        read_only,   // the file is read-only (see Directory)
        name_taken,  // another entry already has the new name
        host_error,  // the host refused; error says why
    };
    Kind kind = done;
    int error = 0;  // errno, for host_error only

    explicit operator bool() const { return kind == done; }
    bool operator==(const Outcome&) const = default;
};

// An open host file on an unbuffered descriptor: what a program wrote is in
// the file as soon as write_at returns, whether or not it ever closes it.
class File {
public:
    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // Reads up to buffer.size() bytes at offset, stopping early only at the
    // end of the file or at an error; returns the count (0 at or past the end).
    std::size_t read_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
    // Writes all of data at offset. Unless every byte was written the file is
    // cut back to the size it had before, and the outcome says why: a
    // read-only file takes nothing (read_only), the host's refusal (a full
    // disk, a size limit) is a host_error.
    Outcome write_at(std::uint64_t offset, std::span<const std::uint8_t> data);
    std::uint64_t size() const;
    // Cuts the file to size bytes (no more than it holds); false when it
    // cannot be cut, as for a read-only file.
    bool truncate(std::uint64_t size);

    bool is_open() const { return descriptor >= 0; }
    // Whether the file was opened for reading only (see Directory::open_existing).
    bool is_read_only() const { return read_only; }
    void close();

private:
    friend class Directory;
    File(int descriptor, bool read_only) : descriptor(descriptor), read_only(read_only) {}
    int descriptor = -1;
    bool read_only = false;
};

// A file opened or made; without one, the outcome says why.
struct Opened {
    std::optional<File> file;
    Outcome outcome;
};

// One visible file of a directory: a regular file whose name fits the 8 + 3
// form, under the one spelling that stands for its CP/M name.
struct DirectoryEntry {
    std::string name;
    std::uint64_t size = 0;  // in bytes
    bool read_only = false;
};

// What read_program found: the program's size in bytes, or why there is no
// program to load, as an errno value: the host's own reason (ENOENT when no
// entry stands for the name), EISDIR for a directory, ENODEV for any other
// file that is not a regular one, EFBIG for a file larger than its room.
struct ProgramRead {
    std::size_t size = 0;
    int error = 0;
};

// A host directory standing for one CP/M drive. Every name is looked up
// relative to the directory's own descriptor, never as a path, so no CP/M
// name reaches anything outside it.
//
// Among host names that differ only in case, exactly one is the CP/M file:
// the all-upper-case name if it exists, else the first in byte order; the
// others are invisible and never touched.
//
// A file is read-only when this process may not write it, or when its mode
// grants no write permission to anyone (so it holds for root as well): it
// opens for reading only, and make, delete and rename leave it alone.
class Directory {
public:
    // The current directory of the process.
    Directory() = default;
    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory();

    // The directory at path (links followed); nothing when it cannot be
    // opened as a directory.
    static std::optional<Directory> open(const std::string& path);
    // A directory that holds nothing and takes nothing: every lookup finds
    // nothing and every change fails. It stands for a subdirectory not made yet.
    static Directory absent() { return Directory(-1); }

    // The subdirectory of this directory named name (one path component, no
    // link followed); nothing when there is none. make_subdirectory creates it
    // first when it is missing.
    std::optional<Directory> open_subdirectory(std::string_view name) const;
    std::optional<Directory> make_subdirectory(std::string_view name) const;

    // The existing file named by a CP/M-derived name ("README." is README with
    // no type); opened for reading and writing, or for reading only when the
    // file is read-only. missing for a refused name (see host_spelling), a
    // missing file, or one that is not a regular file (links followed); a
    // file the host will not open even for reading is a host_error.
    Opened open_existing(std::string_view cpm_name) const;
    // Truncates the existing upper-case file of the name, or creates one
    // spelled as the name in upper case without its trailing dot (which then
    // hides a file of the name spelled otherwise, never emptied). missing for
    // a refused name, read_only for a read-only file; a name that leads to
    // anything but a regular file, and a directory or disk that takes no new
    // file, are host_errors.
    Opened make(std::string_view cpm_name) const;
    // The size in bytes of the existing regular file of the name.
    std::optional<std::uint64_t> size_of(std::string_view cpm_name) const;
    // The bytes the file system that holds the directory has free for this
    // process; nothing when the host cannot tell.
    std::optional<std::uint64_t> free_bytes() const;

    // Every visible file, one per CP/M name, sorted without regard to case.
    std::vector<DirectoryEntry> files() const;
    // The visible files that match a CP/M search pattern (see
    // pattern_matches), in the same order. A refused pattern (path
    // separators, control bytes, "." or "..") matches nothing.
    std::vector<DirectoryEntry> find_files(std::string_view pattern) const;

    // Deletes the file of that exact host name (as files() reported it); a
    // name that is not visible or not there is missing, a read-only file
    // read_only.
    Outcome delete_file(std::string_view host_name) const;
    // Renames the file of a CP/M-derived name to a new CP/M-derived name:
    // name_taken when another entry equals the new name without regard to
    // case, missing when either name is refused or the old name is missing
    // or not a regular file, read_only for a read-only file. Never replaces
    // an existing file.
    Outcome rename_file(std::string_view from_cpm_name, std::string_view to_cpm_name) const;
    // Makes the file of that exact host name read-only by taking every write
    // permission bit away, or writable by giving its owner the write bit back.
    Outcome set_read_only(std::string_view host_name, bool read_only) const;

private:
    friend ProgramRead read_program(const std::string& path, std::span<std::uint8_t> destination);
    explicit Directory(int descriptor) : descriptor(descriptor) {}
    std::optional<std::string> find_entry(std::string_view name) const;
    int descriptor = -100;  // AT_FDCWD: the current directory
};

// How many files a run may keep open at once, from the process's descriptor
// limit less a reserve for the console, the drives, the printer, punch and
// reader, and directory searches.
std::size_t stream_limit();

// One host name against a CP/M search pattern, both split into name and type
// at their last dot (no dot: no type). '?' matches one character, or none at
// the end of the name or type part; '*' matches any run within its part; a
// trailing dot matches names without a type.
bool pattern_matches(std::string_view pattern, std::string_view name);

// The host spelling of a CP/M-derived file name: the name without its trailing
// dot. Nothing when the name is refused: it holds '/', '\', a control byte or a
// wildcard ('?', '*'; a file so named could never be searched for), or it would
// be "", "." or "..".
std::optional<std::string> host_spelling(std::string_view cpm_name);

// Whether two names are the same without regard to the case of ASCII letters.
bool equal_ignoring_case(std::string_view left, std::string_view right);

// Whether Directory::files may report a host name: 1-8 name characters,
// optionally a dot and 1-3 type characters, all printable ASCII other than space and
// . / \ * ? : < > | " ; , = [ ].
bool is_visible_name(std::string_view name);

// Opens a program file for loading: the file of the path's directory that
// stands for its last component under the case rule of Directory. Reads its
// contents into destination when they fit (the rest of destination stays as
// it was); a file that does not fit is not read at all.
ProgramRead read_program(const std::string& path, std::span<std::uint8_t> destination);

}  // namespace host
