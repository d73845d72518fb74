// The fuzz targets' surroundings: a fresh run directory per input inside a parent that no input may change.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fuzz {

namespace fs = std::filesystem;

// Ends the process as a finding, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "sandbox violated: %s\n", what.c_str());
    std::abort();
}

inline std::string read_file(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), {}};
}

inline void write_file(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::ptrdiff_t open_descriptor_count() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// The parent directory holds a sentinel file and whatever the target puts
// beside it (the program file); each input runs in parent/run, made afresh
// and removed afterwards. Standard input and output are /dev/null: no keys,
// and console output goes nowhere.
class Sandbox {
public:
    Sandbox() {
        // A memory file system where there is one: a directory made and
        // removed for every input costs milliseconds on a disk.
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "kavo-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            fail("no temporary directory");
        parent = pattern;
        write_file(parent / "SENTINEL", sentinel_content);
        const int null_device = open("/dev/null", O_RDWR);
        dup2(null_device, STDIN_FILENO);
        dup2(null_device, STDOUT_FILENO);
        close(null_device);
    }
    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(parent, ignored);
    }

    // Makes the run directory and enters it.
    void enter() {
        fs::create_directory(run_directory());
        fs::current_path(run_directory());
        descriptors_before = open_descriptor_count();
    }

    // Leaves and removes the run directory, then checks that the input left
    // the parent and the process as they were.
    void leave(const std::vector<std::string>& other_entries) {
        if (open_descriptor_count() != descriptors_before)
            fail("a descriptor stayed open");
        fs::current_path(parent);
        std::error_code ignored;
        fs::remove_all(run_directory(), ignored);
        std::vector<std::string> expected = other_entries;
        expected.push_back("SENTINEL");
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(parent))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        if (found != expected)
            fail("the parent directory changed");
        if (read_file(parent / "SENTINEL") != sentinel_content)
            fail("the sentinel file changed");
    }

    fs::path run_directory() const { return parent / "run"; }

    fs::path parent;

private:
    static constexpr const char* sentinel_content = "outside the run directory";
    std::ptrdiff_t descriptors_before = 0;
};

}  // namespace fuzz
