// Measures console output throughput: 10 MiB written through BDOS function 2 and through function 9 into a file.
//
// Usage: kavo_output_bench
// Each program runs in the real kavo with standard output on a file in a
// fresh temporary directory; the best of three runs counts, and the file must
// hold every byte. Both the wall time and the processor time kavo used are
// given: on a shared machine the second is the steadier figure.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::uintmax_t total_bytes = 10u << 20;

// 160 x 65,536 calls of function 2, each writing 'x'.
std::vector<std::uint8_t> character_program() {
    return {
        0x16, 0xA0,        // 0100 MVI D,160
        0x21, 0x00, 0x00,  // 0102 LXI H,0
        0xE5, 0xD5,        // 0105 loop: PUSH H; PUSH D
        0x0E, 0x02,        // MVI C,2
        0x1E, 'x',         // MVI E,'x'
        0xCD, 0x05, 0x00,  // CALL 5
        0xD1, 0xE1,        // POP D; POP H
        0x2B,              // DCX H
        0x7C, 0xB5,        // MOV A,H; ORA L
        0xC2, 0x05, 0x01,  // JNZ loop
        0x15,              // DCR D
        0xC2, 0x05, 0x01,  // JNZ loop
        0xC3, 0x00, 0x00,  // JMP 0
    };
}

// 10,240 calls of function 9, each writing a line of 1,024 bytes kept at 0x0200.
std::vector<std::uint8_t> string_program() {
    std::vector<std::uint8_t> program = {
        0x21, 0x00, 0x28,  // 0100 LXI H,10240
        0xE5,              // 0103 loop: PUSH H
        0x11, 0x00, 0x02,  // LXI D,0200h
        0x0E, 0x09,        // MVI C,9
        0xCD, 0x05, 0x00,  // CALL 5
        0xE1,              // POP H
        0x2B,              // DCX H
        0x7C, 0xB5,        // MOV A,H; ORA L
        0xC2, 0x03, 0x01,  // JNZ loop
        0xC3, 0x00, 0x00,  // JMP 0
    };
    program.resize(0x100, 0x00);
    program.insert(program.end(), 1022, 'y');
    program.insert(program.end(), {'\r', '\n', '$'});
    return program;
}

struct Times {
    double wall = 0;
    double processor = 0;  // user and system
};

// Runs kavo on program in directory with standard output on output_path, in a
// session of its own with standard input on /dev/null; its times in seconds.
Times run_into_file(const std::filesystem::path& directory, const std::string& program,
                    const std::filesystem::path& output_path) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int input = open("/dev/null", O_RDONLY);
        const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(input, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        if (chdir(directory.c_str()) == 0)
            execl(KAVO_EXECUTABLE, KAVO_EXECUTABLE, program.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    auto seconds = [](const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

}  // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kavo-output-bench-XXXXXX").string();
    const std::filesystem::path directory = mkdtemp(pattern.data());
    const struct {
        const char* name;
        const char* label;
        std::vector<std::uint8_t> code;
    } cases[] = {
        {"char", "function 2 (one byte a call)", character_program()},
        {"string", "function 9 (1,024-byte lines)", string_program()},
    };
    int status = 0;
    for (const auto& each : cases) {
        std::ofstream(directory / (std::string(each.name) + ".com"), std::ios::binary)
            .write(reinterpret_cast<const char*>(each.code.data()), std::streamsize(each.code.size()));
        const std::filesystem::path output = directory / "output.txt";
        Times best;
        for (int repetition = 0; repetition < 3; ++repetition) {
            const Times times = run_into_file(directory, each.name, output);
            if (best.wall == 0 || times.wall < best.wall)
                best.wall = times.wall;
            if (best.processor == 0 || times.processor < best.processor)
                best.processor = times.processor;
        }
        const std::uintmax_t size = std::filesystem::file_size(output);
        if (size != total_bytes) {
            std::printf("%-32s wrote %ju bytes instead of %ju\n", each.label, size, total_bytes);
            status = 1;
            continue;
        }
        std::printf("%-32s wall %6.3f s %7.1f MB/s   processor %6.3f s %7.1f MB/s\n", each.label, best.wall,
                    double(total_bytes) / best.wall / 1e6, best.processor, double(total_bytes) / best.processor / 1e6);
    }
    std::filesystem::remove_all(directory);
    return status;
}
