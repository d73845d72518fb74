// Host files standing for CP/M files: case-insensitive names, 8 + 3 search and unbuffered descriptors on Linux.
#include "host/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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

// The entry of a directory whose name equals name without regard to case: the
// exact spelling when it exists, else the first such entry in byte order.
// Nothing when no entry fits or the directory cannot be read.
std::optional<std::string> find_entry(const std::string& directory_path, std::string_view name) {
    DirectoryHandle directory(opendir(directory_path.c_str()));
    if (!directory)
        return std::nullopt;
    std::optional<std::string> found;
    while (const dirent* entry = readdir(directory.get())) {
        const std::string_view entry_name = entry->d_name;
        if (entry_name == name)
            return std::string(entry_name);
        if (equal_ignoring_case(entry_name, name) && (!found || entry_name < *found))
            found = std::string(entry_name);
    }
    return found;
}

// Opens a path that must be a regular file (links followed). O_NONBLOCK keeps
// a FIFO from stalling the open; it changes nothing for a regular file.
int open_regular(const std::string& path, int access) {
    const int descriptor = open(path.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        return -1;
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
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

// Renames without ever replacing an existing entry. Filesystems that cannot
// promise that to renameat2 get a hard link and an unlink instead, which also
// fails on an existing target.
bool rename_without_replacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    if (unlink(from.c_str()) != 0) {
        unlink(to.c_str());
        return false;
    }
    return true;
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


File::File(File&& other) noexcept : descriptor(std::exchange(other.descriptor, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        descriptor = std::exchange(other.descriptor, -1);
    }
    return *this;
}

File::~File() { close(); }

std::optional<File> File::open_existing(std::string_view cpm_name) {
    const auto spelling = host_spelling(cpm_name);
    if (!spelling)
        return std::nullopt;
    const auto entry = find_entry(".", *spelling);
    if (!entry)
        return std::nullopt;
    const int descriptor = open_regular(*entry, O_RDWR);
    if (descriptor < 0)
        return std::nullopt;
    return File(descriptor);
}

std::optional<File> File::make(std::string_view cpm_name) {
    const auto spelling = host_spelling(cpm_name);
    if (!spelling)
        return std::nullopt;
    if (const auto entry = find_entry(".", *spelling)) {
        // Truncated only once it is known to be a regular file, so a name that
        // leads to anything else is left exactly as it was.
        File file(open_regular(*entry, O_RDWR));
        if (!file.is_open() || ftruncate(file.descriptor, 0) != 0)
            return std::nullopt;
        return file;
    }
    // O_EXCL never follows a link and never truncates an entry that appeared
    // since the lookup.
    const int descriptor = open(spelling->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return std::nullopt;
    return File(descriptor);
}

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

bool File::write_at(std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (!is_open() || !fits_offset(offset, data.size()))
        return false;
    std::size_t count = 0;
    while (count < data.size()) {
        const ssize_t result =
            pwrite(descriptor, data.data() + count, data.size() - count, static_cast<off_t>(offset + count));
        if (result < 0 && errno == EINTR)
            continue;
        // A write of nothing would repeat forever; a regular file only gives
        // it when it can take no more.
        if (result <= 0)
            return false;
        count += static_cast<std::size_t>(result);
    }
    return true;
}

std::uint64_t File::size() const {
    struct stat status {};
    if (!is_open() || fstat(descriptor, &status) != 0)
        return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

void File::close() {
    if (descriptor >= 0) {
        // On Linux the descriptor is gone even when close reports an error,
        // so there is nothing to retry.
        ::close(descriptor);
        descriptor = -1;
    }
}

std::vector<DirectoryEntry> find_files(std::string_view pattern) {
    std::vector<DirectoryEntry> matches;
    if (!stays_in_directory(pattern))
        return matches;
    DirectoryHandle directory(opendir("."));
    if (!directory)
        return matches;
    while (const dirent* entry = readdir(directory.get())) {
        const std::string_view name = entry->d_name;
        if (!is_visible_name(name) || !pattern_matches(pattern, name))
            continue;
        struct stat status {};
        if (stat(entry->d_name, &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        matches.push_back({std::string(name), static_cast<std::uint32_t>(status.st_size)});
    }
    std::sort(matches.begin(), matches.end(), [](const DirectoryEntry& left, const DirectoryEntry& right) {
        return sorts_before(left.name, right.name);
    });
    return matches;
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

bool delete_file(std::string_view host_name) {
    if (!is_visible_name(host_name))
        return false;
    return unlink(std::string(host_name).c_str()) == 0;
}

bool rename_file(std::string_view from_cpm_name, std::string_view to_cpm_name) {
    const auto from_spelling = host_spelling(from_cpm_name);
    const auto to_spelling = host_spelling(to_cpm_name);
    if (!from_spelling || !to_spelling)
        return false;
    const auto source = find_entry(".", *from_spelling);
    if (!source)
        return false;
    struct stat status {};
    if (stat(source->c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    // Any other entry that equals the new name without regard to case would
    // make two names that CP/M cannot tell apart.
    DirectoryHandle directory(opendir("."));
    if (!directory)
        return false;
    while (const dirent* entry = readdir(directory.get())) {
        if (equal_ignoring_case(entry->d_name, *to_spelling) && *source != entry->d_name)
            return false;
    }
    if (*source == *to_spelling)
        return true;
    return rename_without_replacing(*source, *to_spelling);
}

std::optional<std::vector<std::uint8_t>> read_program(const std::string& path, std::size_t limit) {
    int descriptor = open_regular(path, O_RDONLY);
    struct stat status {};
    if (descriptor < 0 && lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
        const auto slash = path.rfind('/');
        const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (const auto entry = find_entry(directory, base))
            descriptor = open_regular(slash == std::string::npos ? *entry : directory + "/" + *entry, O_RDONLY);
    }
    if (descriptor < 0)
        return std::nullopt;
    std::vector<std::uint8_t> contents(limit);
    std::size_t count = 0;
    while (count < limit) {
        const ssize_t result = read(descriptor, contents.data() + count, limit - count);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        count += static_cast<std::size_t>(result);
    }
    ::close(descriptor);
    contents.resize(count);
    return contents;
}

}  // namespace host
