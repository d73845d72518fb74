// Host files standing for CP/M files: 8 + 3 names and searches under directory descriptors, unbuffered files.
#include "host/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace host {
namespace {

char fold(char character) {
    return character >= 'a' && character <= 'z' ? static_cast<char>(character - 'a' + 'A') : character;
}

// Orders names without regard to case; names equal so are ordered by their
// bytes, so that the order is total and the same on every run.
bool sorts_before(std::string_view left, std::string_view right) {
    const auto folded_less = [](char a, char b) {
        return static_cast<unsigned char>(fold(a)) < static_cast<unsigned char>(fold(b));
    };
    if (std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(), folded_less))
        return true;
    if (std::lexicographical_compare(right.begin(), right.end(), left.begin(), left.end(), folded_less))
        return false;
    return left < right;
}

bool is_control(char character) {
    const auto byte = static_cast<unsigned char>(character);
    return byte < 0x20 || byte == 0x7F;
}

// A name may reach only an entry of the current directory: no separator, no
// control byte (NUL would cut the name short), and not the directory itself or
// its parent once the trailing dot is dropped.
std::optional<std::string_view> stays_in_directory(std::string_view cpm_name) {
    if (std::any_of(cpm_name.begin(), cpm_name.end(), [](char c) { return c == '/' || c == '\\' || is_control(c); }))
        return std::nullopt;
    std::string_view spelling = cpm_name;
    if (spelling.ends_with('.'))
        spelling.remove_suffix(1);
    if (spelling.empty() || spelling == "." || spelling == "..")
        return std::nullopt;
    return spelling;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryCloser>;

// A fresh stream over the entries of the directory of a descriptor.
DirectoryHandle read_directory(int directory_descriptor) {
    const int descriptor = openat(directory_descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return nullptr;
    DirectoryHandle directory(fdopendir(descriptor));
    if (!directory)
        ::close(descriptor);
    return directory;
}

bool is_upper_case(std::string_view name) {
    return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// Whether candidate rather than chosen stands for their common CP/M name: the
// all-upper-case spelling, else the first in byte order.
bool stands_before(std::string_view candidate, std::string_view chosen) {
    if (is_upper_case(candidate) != is_upper_case(chosen))
        return is_upper_case(candidate);
    return candidate < chosen;
}

// Read-only: no write permission for anyone in the mode, or none for this
// process (which also covers a read-only file system).
bool is_read_only(int directory_descriptor, const char* name, const struct stat& status) {
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
           faccessat(directory_descriptor, name, W_OK, AT_EACCESS) != 0;
}

// Opens an entry of a directory that must be a regular file (links followed);
// -1 with errno set when it cannot, EISDIR for a directory and EEXIST for
// any other entry that is no regular file. O_NONBLOCK keeps a FIFO from
// stalling the open; it changes nothing for a regular file.
int open_regular(int directory_descriptor, const std::string& name, int access) {
    const int descriptor = openat(directory_descriptor, name.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        return -1;
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : EEXIST;
        ::close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

Outcome refused(int error) { return {Outcome::host_error, error}; }

// An entry gone since it was looked up is missing; any other error the host's.
Outcome missing_or_refused(int error) { return error == ENOENT ? Outcome{Outcome::missing} : refused(error); }

// Whether an open's error means that no CP/M file of the name is there: no
// entry, a link to nothing or in a loop, or an entry that is no regular file.
bool means_missing(int error) {
    return error == ENOENT || error == ELOOP || error == EISDIR || error == EEXIST || error == ENXIO ||
           error == ENOTDIR;
}

std::pair<std::string_view, std::string_view> split_type(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return {name, {}};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

// One part of a pattern against one part of a name. '?' takes one character,
// or none once the name part is used up; '*' takes any run.
bool part_matches(std::string_view pattern, std::string_view name) {
    if (pattern.empty())
        return name.empty();
    const std::string_view rest = pattern.substr(1);
    switch (pattern.front()) {
    case '*':
        for (std::size_t taken = 0; taken <= name.size(); ++taken) {
            if (part_matches(rest, name.substr(taken)))
                return true;
        }
        return false;
    case '?': return part_matches(rest, name.empty() ? name : name.substr(1));
    default: return !name.empty() && fold(pattern.front()) == fold(name.front()) && part_matches(rest, name.substr(1));
    }
}

bool is_visible_character(char character) {
    constexpr std::string_view excluded = " ./\\*?:<>|\";,=[]";
    const auto byte = static_cast<unsigned char>(character);
    return byte > 0x20 && byte < 0x7F && excluded.find(character) == std::string_view::npos;
}

// Renames within a directory without ever replacing an existing entry; 0,
// or the errno that stopped it (EEXIST for an existing target). Filesystems
// that cannot promise that to renameat2 get a hard link and an unlink
// instead, which also fails on an existing target.
int rename_without_replacing(int directory_descriptor, const std::string& from, const std::string& to) {
    if (renameat2(directory_descriptor, from.c_str(), directory_descriptor, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (linkat(directory_descriptor, from.c_str(), directory_descriptor, to.c_str(), 0) != 0)
        return errno;
    if (unlinkat(directory_descriptor, from.c_str(), 0) != 0) {
        const int error = errno;
        unlinkat(directory_descriptor, to.c_str(), 0);
        return error;
    }
    return 0;
}

// Whether an offset and a length both fit the host's signed file offsets.
bool fits_offset(std::uint64_t offset, std::size_t length) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    return offset <= largest && length <= largest - offset;
}

}  // namespace

bool equal_ignoring_case(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) { return fold(a) == fold(b); });
}

File::File(File&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)), read_only(std::exchange(other.read_only, false)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        descriptor = std::exchange(other.descriptor, -1);
        read_only = std::exchange(other.read_only, false);
    }
    return *this;
}

File::~File() { close(); }

std::size_t File::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    if (!is_open() || !fits_offset(offset, buffer.size()))
        return 0;
    std::size_t count = 0;
    while (count < buffer.size()) {
        const ssize_t result =
            pread(descriptor, buffer.data() + count, buffer.size() - count, static_cast<off_t>(offset + count));
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        count += static_cast<std::size_t>(result);
    }
    return count;
}

Outcome File::write_at(std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (!is_open())
        return refused(EBADF);
    if (read_only)
        return {Outcome::read_only};
    if (!fits_offset(offset, data.size()))
        return refused(EFBIG);
    struct stat before {};
    if (fstat(descriptor, &before) != 0)
        return refused(errno);
    std::size_t count = 0;
    while (count < data.size()) {
        const ssize_t result =
            pwrite(descriptor, data.data() + count, data.size() - count, static_cast<off_t>(offset + count));
        if (result < 0 && errno == EINTR)
            continue;
        // A write of nothing would repeat forever; a regular file only gives
        // it when it can take no more.
        if (result <= 0) {
            const int error = result < 0 ? errno : ENOSPC;
            // A part of the record must not become part of the file.
            if (count > 0 && offset + count > static_cast<std::uint64_t>(before.st_size))
                static_cast<void>(ftruncate(descriptor, before.st_size));
            return refused(error);
        }
        count += static_cast<std::size_t>(result);
    }
    return {};
}

std::uint64_t File::size() const {
    struct stat status {};
    if (!is_open() || fstat(descriptor, &status) != 0)
        return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

bool File::truncate(std::uint64_t size) {
    if (!is_open() || read_only || size > this->size())
        return false;
    return ftruncate(descriptor, static_cast<off_t>(size)) == 0;
}

void File::close() {
    if (descriptor >= 0) {
        // On Linux the descriptor is gone even when close reports an error,
        // so there is nothing to retry.
        ::close(descriptor);
        descriptor = -1;
    }
}

Directory::Directory(Directory&& other) noexcept : descriptor(std::exchange(other.descriptor, AT_FDCWD)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = std::exchange(other.descriptor, AT_FDCWD);
    }
    return *this;
}

Directory::~Directory() {
    if (descriptor >= 0)
        ::close(descriptor);
}

std::optional<Directory> Directory::open(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return std::nullopt;
    return Directory(descriptor);
}

namespace {

// A subdirectory's name: one component that stays in the directory, spelled
// as it is (no trailing dot).
bool is_subdirectory_name(std::string_view name) {
    const auto spelling = stays_in_directory(name);
    return spelling && *spelling == name;
}

}  // namespace

// O_NOFOLLOW refuses a link.
std::optional<Directory> Directory::open_subdirectory(std::string_view name) const {
    if (!is_subdirectory_name(name))
        return std::nullopt;
    const int subdirectory =
        openat(descriptor, std::string(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (subdirectory < 0)
        return std::nullopt;
    return Directory(subdirectory);
}

std::optional<Directory> Directory::make_subdirectory(std::string_view name) const {
    if (auto existing = open_subdirectory(name))
        return existing;
    if (!is_subdirectory_name(name) ||
        (mkdirat(descriptor, std::string(name).c_str(), 0777) != 0 && errno != EEXIST))
        return std::nullopt;
    return open_subdirectory(name);
}

// The entry that stands for a name under the case rule; nothing when no entry
// equals it without regard to case or the directory cannot be read.
std::optional<std::string> Directory::find_entry(std::string_view name) const {
    DirectoryHandle directory = read_directory(descriptor);
    if (!directory)
        return std::nullopt;
    std::optional<std::string> found;
    while (const dirent* entry = readdir(directory.get())) {
        const std::string_view entry_name = entry->d_name;
        if (equal_ignoring_case(entry_name, name) && (!found || stands_before(entry_name, *found)))
            found = std::string(entry_name);
    }
    return found;
}

Opened Directory::open_existing(std::string_view cpm_name) const {
    const auto spelling = host_spelling(cpm_name);
    const auto entry = spelling ? find_entry(*spelling) : std::nullopt;
    if (!entry)
        return {std::nullopt, {Outcome::missing}};
    int file = open_regular(descriptor, *entry, O_RDWR);
    const bool read_only = file < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY);
    if (read_only)
        file = open_regular(descriptor, *entry, O_RDONLY);
    if (file < 0)
        return {std::nullopt, means_missing(errno) ? Outcome{Outcome::missing} : refused(errno)};
    struct stat status {};
    fstat(file, &status);
    return {File(file, read_only || is_read_only(descriptor, entry->c_str(), status)), {}};
}

Opened Directory::make(std::string_view cpm_name) const {
    const auto spelling = host_spelling(cpm_name);
    if (!spelling)
        return {std::nullopt, {Outcome::missing}};
    if (const auto entry = find_entry(*spelling)) {
        // Only a writable regular file is ever truncated or shadowed, so a
        // name that leads to anything else is left exactly as it was. Root
        // opens a file of no write permission for writing, so the mode is
        // looked at as well.
        File file(open_regular(descriptor, *entry, O_RDWR), false);
        const int open_error = errno;
        struct stat status {};
        if (fstatat(descriptor, entry->c_str(), &status, 0) == 0 && S_ISREG(status.st_mode) &&
            is_read_only(descriptor, entry->c_str(), status))
            return {std::nullopt, {Outcome::read_only}};
        if (!file.is_open())
            return {std::nullopt, refused(open_error)};
        if (is_upper_case(*entry)) {
            if (ftruncate(file.descriptor, 0) != 0)
                return {std::nullopt, refused(errno)};
            return {std::move(file), {}};
        }
    }
    // A new file gets the upper-case spelling, which then stands for its
    // name: a file that was spelled otherwise is never emptied, only hidden.
    // O_EXCL never follows a link and never truncates an entry that appeared
    // since the lookup.
    std::string upper_case = *spelling;
    std::transform(upper_case.begin(), upper_case.end(), upper_case.begin(), fold);
    const int file = openat(descriptor, upper_case.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0)
        return {std::nullopt, refused(errno)};
    return {File(file, false), {}};
}

std::optional<std::uint64_t> Directory::size_of(std::string_view cpm_name) const {
    const auto spelling = host_spelling(cpm_name);
    if (!spelling)
        return std::nullopt;
    const auto entry = find_entry(*spelling);
    struct stat status {};
    if (!entry || fstatat(descriptor, entry->c_str(), &status, 0) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

std::optional<std::uint64_t> Directory::free_bytes() const {
    struct statvfs status {};
    const int result = descriptor == AT_FDCWD ? statvfs(".", &status) : fstatvfs(descriptor, &status);
    if (result != 0)
        return std::nullopt;
    return std::uint64_t(status.f_bavail) * status.f_frsize;
}

std::vector<DirectoryEntry> Directory::files() const {
    std::vector<DirectoryEntry> files;
    DirectoryHandle directory = read_directory(descriptor);
    if (!directory)
        return files;
    // The spelling that stands for each CP/M name, whatever kind of entry it is.
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory.get())) {
        if (is_visible_name(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& left, const std::string& right) { return sorts_before(left, right); });
    for (std::size_t index = 0; index < names.size();) {
        std::size_t chosen = index, end = index + 1;
        for (; end < names.size() && equal_ignoring_case(names[end], names[index]); ++end) {
            if (stands_before(names[end], names[chosen]))
                chosen = end;
        }
        index = end;
        struct stat status {};
        if (fstatat(descriptor, names[chosen].c_str(), &status, 0) != 0 || !S_ISREG(status.st_mode))
            continue;
        files.push_back({names[chosen], static_cast<std::uint64_t>(status.st_size),
                         is_read_only(descriptor, names[chosen].c_str(), status)});
    }
    return files;
}

std::vector<DirectoryEntry> Directory::find_files(std::string_view pattern) const {
    std::vector<DirectoryEntry> matches;
    if (!stays_in_directory(pattern))
        return matches;
    for (DirectoryEntry& file : files()) {
        if (pattern_matches(pattern, file.name))
            matches.push_back(std::move(file));
    }
    return matches;
}

Outcome Directory::delete_file(std::string_view host_name) const {
    if (!is_visible_name(host_name))
        return {Outcome::missing};
    const std::string name(host_name);
    struct stat status {};
    if (fstatat(descriptor, name.c_str(), &status, 0) == 0 && is_read_only(descriptor, name.c_str(), status))
        return {Outcome::read_only};
    if (unlinkat(descriptor, name.c_str(), 0) != 0)
        return missing_or_refused(errno);
    return {};
}

Outcome Directory::rename_file(std::string_view from_cpm_name, std::string_view to_cpm_name) const {
    const auto from_spelling = host_spelling(from_cpm_name);
    const auto to_spelling = host_spelling(to_cpm_name);
    const auto source = from_spelling && to_spelling ? find_entry(*from_spelling) : std::nullopt;
    struct stat status {};
    if (!source || fstatat(descriptor, source->c_str(), &status, 0) != 0 || !S_ISREG(status.st_mode))
        return {Outcome::missing};
    if (is_read_only(descriptor, source->c_str(), status))
        return {Outcome::read_only};
    // Any other entry that equals the new name without regard to case would
    // make two names that CP/M cannot tell apart.
    DirectoryHandle directory = read_directory(descriptor);
    if (!directory)
        return refused(errno);
    while (const dirent* entry = readdir(directory.get())) {
        if (equal_ignoring_case(entry->d_name, *to_spelling) && *source != entry->d_name)
            return {Outcome::name_taken};
    }
    if (*source == *to_spelling)
        return {};
    const int error = rename_without_replacing(descriptor, *source, *to_spelling);
    if (error == EEXIST)
        return {Outcome::name_taken};
    return error == 0 ? Outcome{} : missing_or_refused(error);
}

Outcome Directory::set_read_only(std::string_view host_name, bool read_only) const {
    if (!is_visible_name(host_name))
        return {Outcome::missing};
    const std::string name(host_name);
    struct stat status {};
    if (fstatat(descriptor, name.c_str(), &status, 0) != 0)
        return missing_or_refused(errno);
    if (!S_ISREG(status.st_mode))
        return {Outcome::missing};
    const mode_t mode = read_only ? status.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH) : status.st_mode | S_IWUSR;
    if (fchmodat(descriptor, name.c_str(), mode & 07777, 0) != 0)
        return refused(errno);
    return {};
}

std::size_t stream_limit() {
    constexpr rlim_t reserve = 24;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1024;
    return limit.rlim_cur > reserve + 1 ? std::size_t(limit.rlim_cur - reserve) : 1;
}

bool pattern_matches(std::string_view pattern, std::string_view name) {
    const auto [pattern_name, pattern_type] = split_type(pattern);
    const auto [name_name, name_type] = split_type(name);
    return part_matches(pattern_name, name_name) && part_matches(pattern_type, name_type);
}

std::optional<std::string> host_spelling(std::string_view cpm_name) {
    const auto spelling = stays_in_directory(cpm_name);
    if (!spelling || spelling->find_first_of("?*") != std::string_view::npos)
        return std::nullopt;
    return std::string(*spelling);
}

bool is_visible_name(std::string_view name) {
    const auto [name_part, type_part] = split_type(name);
    const bool has_type = name_part.size() != name.size();
    return name_part.size() >= 1 && name_part.size() <= 8 &&
           (!has_type || (type_part.size() >= 1 && type_part.size() <= 3)) &&
           std::all_of(name_part.begin(), name_part.end(), is_visible_character) &&
           std::all_of(type_part.begin(), type_part.end(), is_visible_character);
}

ProgramRead read_program(const std::string& path, std::span<std::uint8_t> destination) {
    const auto slash = path.rfind('/');
    const std::string directory_path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto directory = Directory::open(directory_path);
    if (!directory)
        return {.error = errno};
    const auto entry = directory->find_entry(base);
    if (!entry)
        return {.error = ENOENT};
    const int descriptor = open_regular(directory->descriptor, *entry, O_RDONLY);
    struct stat status {};
    if (descriptor < 0) {
        // A dangling link, a directory or another file that is not a
        // regular one, or a regular file that may not be read.
        const int open_error = errno;
        if (fstatat(directory->descriptor, entry->c_str(), &status, 0) != 0)
            return {.error = errno};
        return {.error = S_ISDIR(status.st_mode) ? EISDIR : S_ISREG(status.st_mode) ? open_error : ENODEV};
    }
    ProgramRead result;
    if (fstat(descriptor, &status) != 0) {
        result.error = errno;
    } else if (std::uint64_t(status.st_size) > destination.size()) {
        result = {.size = std::size_t(status.st_size), .error = EFBIG};
    } else {
        // The file may still grow or shrink while it is read: what there is
        // up to the room is the program.
        while (result.size < destination.size()) {
            const ssize_t count = read(descriptor, destination.data() + result.size, destination.size() - result.size);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                result.error = errno;
            if (count <= 0)
                break;
            result.size += static_cast<std::size_t>(count);
        }
    }
    ::close(descriptor);
    return result;
}

}  // namespace host
