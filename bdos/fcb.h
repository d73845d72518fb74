// The FCB as the file functions read it: its fields and attribute bits, and the records and extents of a file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace kavo::fcb_format {

constexpr unsigned record_size = 128;
constexpr unsigned records_per_extent = 128;
constexpr unsigned extents_per_module = 32;
constexpr unsigned modules = 16;
constexpr std::uint32_t records_per_module = records_per_extent * extents_per_module;
// 65,536 records, 8 MiB: the most a CP/M 2.2 file holds.
constexpr std::uint32_t largest_file_records = records_per_module * modules;
constexpr std::uint8_t wildcard = '?';

// FCB fields by offset.
namespace fcb {
constexpr unsigned drive = 0, first_type = 9, extent = 12, module = 14, record_count = 15, marker = 16, new_name = 17,
                   current_record = 32, random_record = 33, random_overflow = 35;
}

// Bit 7 of an FCB's first type byte: the read-only attribute.
constexpr std::uint8_t read_only_attribute = 0x80;

// A CP/M-derived host name as the open-file table keeps it: "README." is README.
inline std::string without_trailing_dot(std::string name) {
    if (name.ends_with('.'))
        name.pop_back();
    return name;
}

inline std::uint32_t records_of(std::uint64_t size) {
    return std::uint32_t(std::min<std::uint64_t>((size + record_size - 1) / record_size, largest_file_records));
}

// The records of a file of size bytes inside the logical extent (0-511 over
// all modules): 0 to 128, a part record counting as one. CP/M's directory
// entry of that extent holds this count, and opening the extent copies it
// into RC.
inline std::uint8_t records_in_extent(std::uint64_t size, unsigned extent) {
    const std::uint32_t records = records_of(size);
    const std::uint32_t before = extent * records_per_extent;
    return std::uint8_t(std::min(records - std::min(records, before), records_per_extent));
}

}  // namespace kavo::fcb_format
