// Measures the interpreter on the 8080 exerciser: instructions per second, and host instructions per emulated one.
//
// Usage: kavo_bench [--z80] [PROGRAM.COM] [--callgrind]
// With --z80 the processor is the Z80 and the program ZEXDOC unless named.
// The emulated instruction count comes from this counting build; the time
// from the real kavo; with --callgrind, valgrind counts the host
// instructions of the real kavo on the same run.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "cpu/machine.h"

namespace {

// Runs command in its own session with the standard streams on /dev/null
// (standard error to error_path when given); returns the wall time in seconds.
double run_detached(const std::filesystem::path& directory, std::vector<std::string> command,
                    const std::string& error_path = "/dev/null") {
    const auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        int error = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(null, 1);
        dup2(error, 2);
        if (chdir(directory.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv;
        for (std::string& word : command)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The emulated instruction count of one run, in-process on the counting build.
std::uint64_t count_instructions(const std::filesystem::path& program, kavo::Processor processor) {
    const int saved_output = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    auto machine = std::make_unique<kavo::Machine>();
    machine->options.processor = processor;
    std::string name = program.string();
    char argument0[] = "kavo";
    char* arguments[] = {argument0, name.data(), nullptr};
    machine->run_program(2, arguments);
    dup2(saved_output, 1);
    return machine->instructions_executed;
}

}  // namespace

int main(int argument_count, char** argument_vector) {
    std::filesystem::path program;
    bool callgrind = false;
    kavo::Processor processor = kavo::Processor::intel_8080;
    for (int index = 1; index < argument_count; ++index) {
        if (std::strcmp(argument_vector[index], "--callgrind") == 0)
            callgrind = true;
        else if (std::strcmp(argument_vector[index], "--z80") == 0)
            processor = kavo::Processor::z80;
        else
            program = argument_vector[index];
    }
    const bool z80 = processor == kavo::Processor::z80;
    if (program.empty())
        program = std::filesystem::path(KAVO_SHARED_DIR) / (z80 ? "cpm/cputest/ZEXDOC.COM" : "cpm/cputest/8080EX1.COM");
    if (!std::filesystem::exists(program)) {
        std::fprintf(stderr, "kavo_bench: %s not found\n", program.c_str());
        return 1;
    }
    program = std::filesystem::absolute(program);
    const std::filesystem::path directory = std::filesystem::temp_directory_path();

    const std::uint64_t instructions = count_instructions(program, processor);
    std::vector<std::string> kavo_command = {KAVO_EXECUTABLE, program.string()};
    if (z80)
        kavo_command.insert(kavo_command.begin() + 1, "--z80");
    double best = 0;
    for (int repetition = 0; repetition < 3; ++repetition) {
        double seconds = run_detached(directory, kavo_command);
        if (best == 0 || seconds < best)
            best = seconds;
    }
    std::printf("program:                      %s%s\n", program.filename().c_str(), z80 ? " on the Z80" : "");
    std::printf("emulated instructions:        %llu\n", static_cast<unsigned long long>(instructions));
    std::printf("best of 3 runs:               %.3f s\n", best);
    std::printf("emulated instructions/second: %.0f million\n", instructions / best / 1e6);

    if (!callgrind)
        std::printf("host instructions/emulated:   run with --callgrind (valgrind, a few minutes)\n");
    if (callgrind) {
        const std::string log = (directory / "kavo_bench_callgrind.log").string();
        std::vector<std::string> command = {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"};
        command.insert(command.end(), kavo_command.begin(), kavo_command.end());
        run_detached(directory, command, log);
        std::ifstream stream(log);
        std::stringstream text;
        text << stream.rdbuf();
        std::smatch match;
        std::string content = text.str();
        if (std::regex_search(content, match, std::regex(R"(Collected : (\d+))"))) {
            const double host = std::stod(match[1]);
            std::printf("host instructions:            %.0f\n", host);
            std::printf("host instructions/emulated:   %.2f\n", host / instructions);
        } else {
            std::printf("callgrind: no result (is valgrind installed?)\n");
        }
    }
    return 0;
}
