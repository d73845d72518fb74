// Fuzz targets' surroundings: each input's run directory in a parent no input may change, and a fresh Machine.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"

extern "C" void __sanitizer_set_report_fd(void* descriptor);

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

// Standard input becomes a pipe that holds the script and is closed behind it.
inline void script_on_standard_input(std::string_view text) {
    int ends[2];
    if (pipe(ends) != 0)
        fail("no pipe");
    if (!text.empty() && write(ends[1], text.data(), text.size()) != ssize_t(text.size()))
        fail("the script did not fit in the pipe");
    close(ends[1]);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
}

inline void null_on_standard_input() {
    const int null_device = open("/dev/null", O_RDONLY);
    dup2(null_device, STDIN_FILENO);
    close(null_device);
}

// The lowest descriptor number free: a descriptor an input leaves open takes
// it, so a change over the input is a leak, found with two system calls.
inline int lowest_free_descriptor() {
    const int descriptor = dup(STDERR_FILENO);
    close(descriptor);
    return descriptor;
}

// The parent directory holds a sentinel file and the entries the target keeps
// beside it (the program file); every input runs in parent/run, which the
// sandbox makes once and enters. Its names are the same in every process, so
// that an input does the same wherever it is replayed. Standard input and
// output are /dev/null: no keys, and console output goes nowhere.
class Sandbox {
public:
    explicit Sandbox(std::vector<std::string> target_entries) : expected_entries(std::move(target_entries)) {
        // A memory file system where there is one: files made and removed
        // for every input cost milliseconds on a disk.
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "kavo-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            fail("no temporary directory");
        parent = pattern;
        write_file(parent / "SENTINEL", sentinel_content);
        expected_entries.push_back("SENTINEL");
        expected_entries.push_back("run");
        std::sort(expected_entries.begin(), expected_entries.end());
        for (const std::string& entry : expected_entries)
            if (entry != "SENTINEL" && entry != "run")
                write_file(parent / entry, "");
        fs::create_directory(run_directory());
        fs::current_path(run_directory());
        const int null_device = open("/dev/null", O_RDWR);
        dup2(null_device, STDIN_FILENO);
        dup2(null_device, STDOUT_FILENO);
        close(null_device);
    }
    ~Sandbox() {
        std::error_code ignored;
        fs::current_path(parent.parent_path(), ignored);
        fs::remove_all(parent, ignored);
    }

    // Before every input. (libFuzzer opens and closes files of its own
    // between inputs.)
    void begin_input() { free_descriptor = lowest_free_descriptor(); }

    // The check after every input: no descriptor stayed open.
    void check_descriptors() const {
        if (lowest_free_descriptor() != free_descriptor)
            fail("a descriptor stayed open");
    }

    // The check after an input that reached the file functions: no descriptor
    // stayed open, and the parent holds what it held; then the run directory
    // is emptied for the next input.
    void check_and_clear() const {
        check_descriptors();
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(parent))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        if (found != expected_entries)
            fail("the parent directory changed");
        if (read_file(parent / "SENTINEL") != sentinel_content)
            fail("the sentinel file changed");
        if (!fs::is_directory(run_directory()) || fs::current_path() != run_directory())
            fail("the run directory moved");
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(run_directory()))
            fs::remove_all(entry.path(), ignored);
    }

    fs::path run_directory() const { return parent / "run"; }

    fs::path parent;

private:
    static constexpr const char* sentinel_content = "outside the run directory";
    std::vector<std::string> expected_entries;
    int free_descriptor = 0;
};

// Messages on standard error (the option parser's complaints, the loader's
// refusals, the hint about an undefined opcode) would fill libFuzzer's log,
// which is standard error too: it is /dev/null while a QuietErrors lives, and
// sanitizer reports go to a copy of it. Both descriptors are opened once,
// before the first input.
struct ErrorDescriptors {
    int report;
    int null_device;
};

inline const ErrorDescriptors& error_descriptors() {
    static const ErrorDescriptors descriptors = [] {
        const int copy = dup(STDERR_FILENO);
        __sanitizer_set_report_fd(reinterpret_cast<void*>(std::intptr_t(copy)));
        return ErrorDescriptors{copy, open("/dev/null", O_WRONLY)};
    }();
    return descriptors;
}

class QuietErrors {
public:
    QuietErrors() { dup2(error_descriptors().null_device, STDERR_FILENO); }
    ~QuietErrors() { dup2(error_descriptors().report, STDERR_FILENO); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;
};

// A Machine made afresh in one static place for each use and ended with the
// use: the same as a new one, whatever state the last one came to hold, but
// without an allocation. (AddressSanitizer maps and unmaps a block of a
// Machine's size for each new one, and the page faults and unmapping took
// more than half of a file input's time.) Its end closes the files the
// program left open. One at a time.
class FreshMachine {
public:
    FreshMachine() : machine(*std::construct_at(reinterpret_cast<kavo::Machine*>(storage))) {}
    ~FreshMachine() { std::destroy_at(&machine); }
    FreshMachine(const FreshMachine&) = delete;
    FreshMachine& operator=(const FreshMachine&) = delete;

    kavo::Machine& machine;

private:
    alignas(kavo::Machine) static inline unsigned char storage[sizeof(kavo::Machine)];
};

}  // namespace fuzz
