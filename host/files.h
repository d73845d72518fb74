// Host files standing for CP/M files: 8 + 3 names found without regard to case in the current directory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

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

    // The existing file named by a CP/M-derived name ("README." is README with
    // no type), found without regard to case; opened for reading and writing.
    // Nothing for a refused name (see host_spelling), a missing file, one that
    // is not a regular file (links followed), or one the process may not write.
    static std::optional<File> open_existing(std::string_view cpm_name);
    // Truncates the regular file found without regard to case, or creates one
    // spelled as the name without its trailing dot. Nothing for a refused name
    // or when the name leads to anything but a regular file.
    static std::optional<File> make(std::string_view cpm_name);

    // Reads up to buffer.size() bytes at offset, stopping early only at the
    // end of the file or at an error; returns the count (0 at or past the end).
    std::size_t read_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
    // Writes all of data at offset; false unless every byte was written.
    bool write_at(std::uint64_t offset, std::span<const std::uint8_t> data);
    std::uint64_t size() const;

    bool is_open() const { return descriptor >= 0; }
    void close();

private:
    explicit File(int descriptor) : descriptor(descriptor) {}
    int descriptor = -1;
};

// One visible file of the current directory: a regular file whose name fits
// the 8 + 3 form.
struct DirectoryEntry {
    std::string name;
    std::uint32_t size = 0;  // low 32 bits of the size in bytes
};

// The visible files that match a CP/M search pattern, sorted without regard to
// case. '?' matches one character, or none at the end of the name or type part;
// '*' matches any run within its part; a trailing dot matches names without a
// type. A refused name (path separators, control bytes, "." or "..") matches
// nothing.
std::vector<DirectoryEntry> find_files(std::string_view pattern);

// The pattern test alone, on one host name; both split into name and type at
// their last dot (no dot: no type).
bool pattern_matches(std::string_view pattern, std::string_view name);

// The host spelling of a CP/M-derived file name: the name without its trailing
// dot. Nothing when the name is refused: it holds '/', '\', a control byte or a
// wildcard ('?', '*'; a file so named could never be searched for), or it would
// be "", "." or "..".
std::optional<std::string> host_spelling(std::string_view cpm_name);

// Whether two names are the same without regard to the case of ASCII letters.
bool equal_ignoring_case(std::string_view left, std::string_view right);

// Whether find_files may report a host name: 1-8 name characters, optionally a
// dot and 1-3 type characters, all printable ASCII other than space and
// . / \ * ? : < > | " ; , = [ ].
bool is_visible_name(std::string_view name);

// Deletes the file of that exact host name (as find_files reported it); a name
// that is not visible is refused.
bool delete_file(std::string_view host_name);

// Renames the file found by a CP/M-derived name to a new CP/M-derived name;
// fails when the new name exists in any case, unless it is the same file, when
// either name is refused, or when the old name is missing or not a regular
// file. Never replaces an existing file.
bool rename_file(std::string_view from_cpm_name, std::string_view to_cpm_name);

// Opens a program file for loading: the name as given, else a file in the same
// directory that equals it without regard to case. Returns its contents, up to
// limit bytes, or nothing when it cannot be opened or read as a file.
std::optional<std::vector<std::uint8_t>> read_program(const std::string& path, std::size_t limit);

}  // namespace host
