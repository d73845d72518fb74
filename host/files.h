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
    static std::optional<File> open_existing(std::string_view cpm_name);
    // Creates the file, or truncates the one found without regard to case.
    static std::optional<File> make(std::string_view cpm_name);

    // Reads up to buffer.size() bytes at offset; returns the count (0 at or
    // past the end, and on any error).
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

// The pattern test alone, on one host name.
bool pattern_matches(std::string_view pattern, std::string_view name);

// Deletes the file of that exact host name (as find_files reported it).
bool delete_file(std::string_view host_name);

// Renames the file found by a CP/M-derived name to a new CP/M-derived name;
// fails when the new name exists in any case, unless it is the same file.
bool rename_file(std::string_view from_cpm_name, std::string_view to_cpm_name);

// Opens a program file for loading: the name as given, else a file in the same
// directory that equals it without regard to case. Returns its contents, up to
// limit bytes, or nothing when it cannot be opened or read as a file.
std::optional<std::vector<std::uint8_t>> read_program(const std::string& path, std::size_t limit);

}  // namespace host
