// Measures kavo: the exerciser, two BASIC programs and the assembler in emulated instructions per second, and start-up time.
//
// Usage: kavo_bench [--z80] [--callgrind] [--successions]
// With --z80, ZEXDOC on the Z80 is measured as well. With --successions,
// nothing is timed: the counting build's opcode successions on the four
// workloads are printed as the 8080 executor's table of likely successions.
// Emulated instruction counts come from this counting build of the sources,
// run in a child; times are the best of several runs of the real kavo, since
// other work on the machine only ever adds time. With --callgrind, valgrind
// also counts the host instructions of the real kavo on both programs, the
// figure that shows a fall in the generated code whatever the load.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "tests/assembler.h"

namespace {

namespace fs = std::filesystem;

const fs::path shared = fs::path(KAVO_SHARED_DIR) / "cpm";

// Runs command in directory in its own session, standard input on /dev/null,
// standard output to output_path and standard error to error_path; returns
// the wall time in seconds.
double run_detached(const fs::path& directory, std::vector<std::string> command,
                    const std::string& output_path = "/dev/null", const std::string& error_path = "/dev/null") {
    const auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int error = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(output, 1);
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

double best_of(int runs, const fs::path& directory, const std::vector<std::string>& command,
               const std::string& output_path = "/dev/null") {
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        const double seconds = run_detached(directory, command, output_path);
        if (best == 0 || seconds < best)
            best = seconds;
    }
    return best;
}

// What the counting build counts in one run: the instructions, and how often
// each opcode ran right after each other (previous << 8 | next).
struct Counts {
    std::uint64_t instructions = 0;
    std::vector<std::uint64_t> successions = std::vector<std::uint64_t>(0x10000);
};

// Reads or writes all of size bytes at data through descriptor; false when it
// cannot.
bool transfer(int descriptor, void* data, std::size_t size, bool writing) {
    for (std::size_t done = 0; done < size;) {
        char* position = static_cast<char*>(data) + done;
        const ssize_t moved = writing ? write(descriptor, position, size - done) : read(descriptor, position, size - done);
        if (moved <= 0)
            return false;
        done += std::size_t(moved);
    }
    return true;
}

// The counts of one run of kavo with arguments in directory, on the counting
// build in a child with no terminal; zero when the child gives none.
Counts count_instructions(const fs::path& directory, std::vector<std::string> arguments, kavo::InstructionSet instruction_set) {
    Counts counts;
    int channel[2];
    if (pipe(channel) != 0)
        return counts;
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        if (chdir(directory.c_str()) != 0)
            _exit(127);
        auto machine = std::make_unique<kavo::Machine>();
        machine->options.instruction_set = instruction_set;
        arguments.insert(arguments.begin(), "kavo");
        std::vector<char*> argv;
        for (std::string& word : arguments)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        machine->run_program(int(arguments.size()), argv.data());
        const bool sent =
            transfer(channel[1], &machine->processor.instructions_executed, sizeof machine->processor.instructions_executed, true) &&
            transfer(channel[1], machine->processor.successions.data(), sizeof machine->processor.successions, true);
        _exit(sent ? 0 : 1);
    }
    close(channel[1]);
    if (!transfer(channel[0], &counts.instructions, sizeof counts.instructions, false) ||
        !transfer(channel[0], counts.successions.data(), counts.successions.size() * sizeof(std::uint64_t), false))
        counts = Counts{};
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return counts;
}

// Host instructions of one run of the real kavo under callgrind, 0 when
// valgrind gives none.
double host_instructions(const fs::path& directory, const std::vector<std::string>& arguments) {
    const std::string log = (directory / "callgrind.log").string();
    std::vector<std::string> command = {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                        KAVO_EXECUTABLE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    run_detached(directory, command, "/dev/null", log);
    std::ifstream stream(log);
    std::stringstream text;
    text << stream.rdbuf();
    const std::string content = text.str();
    std::smatch match;
    return std::regex_search(content, match, std::regex(R"(Collected : (\d+))")) ? std::stod(match[1]) : 0;
}

// One program run for speed: its emulated instructions, its best time, and
// with --callgrind its host instructions per emulated one.
void measure_speed(const char* title, const fs::path& directory, std::vector<std::string> arguments, bool callgrind,
                   kavo::InstructionSet instruction_set = kavo::InstructionSet::intel_8080) {
    const std::uint64_t instructions = count_instructions(directory, arguments, instruction_set).instructions;
    if (instruction_set == kavo::InstructionSet::z80)
        arguments.insert(arguments.begin(), "--z80");
    std::vector<std::string> command = {KAVO_EXECUTABLE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const double seconds = best_of(3, directory, command);
    std::printf("%-16s %llu emulated instructions, best of 3 runs %.3f s: %.0f million/s", title,
                static_cast<unsigned long long>(instructions), seconds, instructions / seconds / 1e6);
    if (callgrind) {
        const double host = host_instructions(directory, arguments);
        if (host > 0)
            std::printf(", %.2f host instructions per emulated one", host / instructions);
        else
            std::printf(", callgrind gave no result (is valgrind installed?)");
    }
    std::printf("\n");
}

void write_file(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A loop-heavy BASIC program: thirty passes of the sieve of Eratosthenes over
// 8191 flags, then SYSTEM.
constexpr const char* sieve_program =
    "10 DEFINT A-Z\r\n"
    "20 DIM F(8190)\r\n"
    "30 FOR K=1 TO 30\r\n"
    "40 C=0\r\n"
    "50 FOR I=0 TO 8190: F(I)=1: NEXT I\r\n"
    "60 FOR I=0 TO 8190\r\n"
    "70 IF F(I)=0 THEN 110\r\n"
    "80 P=I+I+3: C=C+1\r\n"
    "90 FOR J=I+P TO 8190 STEP P: F(J)=0: NEXT J\r\n"
    "110 NEXT I\r\n"
    "120 NEXT K\r\n"
    "130 PRINT C\r\n"
    "140 SYSTEM\r\n"
    "\x1A";

// BASIC on floating point and strings: square roots, STR$ and LEN in a loop
// of 40,000 passes, then SYSTEM.
constexpr const char* float_program =
    "10 S=0: FOR I=1 TO 40000: S=S+SQR(I)*1.5: A$=STR$(I)+\"X\": B=LEN(A$): NEXT I\r\n"
    "20 PRINT S\r\n"
    "30 SYSTEM\r\n"
    "\x1A";

// A long source for ASM: 60,000 lines of instructions, data and comments,
// the same on every run, with a label on every hundredth line.
std::string assembler_source() {
    static const char* const registers[] = {"B", "C", "D", "E", "H", "L", "A"};
    std::uint32_t random = 7;
    const auto next = [&random](unsigned limit) {
        random = random * 1103515245 + 12345;
        return (random >> 8) % limit;
    };
    std::string source = "\tORG\t100H\r\n";
    char line[64];
    for (unsigned number = 0; number < 60000; ++number) {
        if (number % 100 == 0) {
            std::snprintf(line, sizeof line, "L%u:", number);
            source += line;
        }
        switch (next(9)) {
        case 0: std::snprintf(line, sizeof line, "\tMVI\t%s,%u", registers[next(7)], next(256)); break;
        case 1: std::snprintf(line, sizeof line, "\tMOV\t%s,%s", registers[next(7)], registers[next(7)]); break;
        case 2: std::snprintf(line, sizeof line, "\tLXI\tH,%u", next(65536)); break;
        case 3: std::snprintf(line, sizeof line, "\tADI\t%u", next(256)); break;
        case 4: std::snprintf(line, sizeof line, "\tDB\t'HELLO',%u,%u", next(256), next(256)); break;
        case 5: std::snprintf(line, sizeof line, "\tDW\t%u*2+%u", next(1000), next(100)); break;
        case 6: std::snprintf(line, sizeof line, "\tCPI\t'A'"); break;
        case 7: std::snprintf(line, sizeof line, "\tDAD\tD\t; comment number %u", number); break;
        default: std::snprintf(line, sizeof line, "\tXRA\tA"); break;
        }
        source += line;
        source += "\r\n";
    }
    return source + "\tEND\r\n\x1A";
}

// The likely successions of the workloads, as the 8080 executor's table
// lists them: each opcode's successors, at most three, likeliest first, that
// follow it at least a tenth of the time and make at least one in 10,000 of
// the instructions, with each workload weighing the same.
void print_successions(const std::vector<Counts>& workloads) {
    std::vector<double> share(0x10000);
    for (const Counts& counts : workloads)
        for (unsigned pair = 0; pair < 0x10000; ++pair)
            share[pair] += double(counts.successions[pair]) / double(counts.instructions) / double(workloads.size());
    unsigned printed = 0;
    for (unsigned opcode = 0; opcode < 256; ++opcode) {
        if (opcode == 0x76)
            continue;  // HLT ends the run
        double runs = 0;
        std::vector<unsigned> successors(256);
        for (unsigned successor = 0; successor < 256; ++successor) {
            runs += share[opcode << 8 | successor];
            successors[successor] = successor;
        }
        std::stable_sort(successors.begin(), successors.end(), [&](unsigned left, unsigned right) {
            return share[opcode << 8 | left] > share[opcode << 8 | right];
        });
        for (unsigned rank = 0; rank < 3; ++rank) {
            const double pair = share[opcode << 8 | successors[rank]];
            if (pair < 0.0001 || pair < 0.1 * runs)
                break;  // nor will any less likely one
            std::printf("%s{0x%02X, 0x%02X},", printed % 8 == 0 ? "    " : " ", opcode, successors[rank]);
            if (++printed % 8 == 0)
                std::printf("\n");
        }
    }
    if (printed % 8 != 0)
        std::printf("\n");
}

// Six instructions, then the warm boot through address 0.
std::vector<std::uint8_t> six_instructions() {
    using namespace test;
    Assembler program;
    program.mvi(A, 1).mov(B, A).inr(B).dcr(B).op(0x00).exit();
    return program.bytes();
}

}  // namespace

int main(int argument_count, char** argument_vector) {
    bool callgrind = false, z80 = false, successions = false;
    for (int index = 1; index < argument_count; ++index) {
        if (std::strcmp(argument_vector[index], "--callgrind") == 0) {
            callgrind = true;
        } else if (std::strcmp(argument_vector[index], "--z80") == 0) {
            z80 = true;
        } else if (std::strcmp(argument_vector[index], "--successions") == 0) {
            successions = true;
        } else {
            std::fprintf(stderr, "Usage: kavo_bench [--z80] [--callgrind] [--successions]\n");
            return 2;
        }
    }
    const fs::path exerciser = shared / "cputest/8080EX1.COM", basic = shared / "programs/MBASIC.COM",
                   assembler = shared / "programs/ASM.COM";
    if (!fs::exists(exerciser) || !fs::exists(basic) || !fs::exists(assembler)) {
        std::fprintf(stderr, "kavo_bench: the CP/M programs are not in %s\n", shared.c_str());
        return 1;
    }
    char pattern[] = "/tmp/kavo_bench.XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("kavo_bench: temporary directory");
        return 1;
    }
    const fs::path directory = pattern;
    std::ofstream(directory / "SIEVE.BAS", std::ios::binary) << sieve_program;
    std::ofstream(directory / "FLOAT.BAS", std::ios::binary) << float_program;
    std::ofstream(directory / "LONG.ASM", std::ios::binary) << assembler_source();
    struct Workload {
        const char* title;
        std::vector<std::string> arguments;
    };
    const Workload workloads[] = {
        {"8080EX1:", {exerciser.string()}},
        {"MBASIC sieve:", {basic.string(), "SIEVE"}},
        {"MBASIC float:", {basic.string(), "FLOAT"}},
        {"ASM long source:", {assembler.string(), "LONG"}},
    };

    if (successions) {
        std::vector<Counts> counts;
        for (const Workload& workload : workloads)
            counts.push_back(count_instructions(directory, workload.arguments, kavo::InstructionSet::intel_8080));
        print_successions(counts);
        fs::remove_all(directory);
        return 0;
    }
    for (const Workload& workload : workloads)
        measure_speed(workload.title, directory, workload.arguments, callgrind);
    if (z80)
        measure_speed("ZEXDOC on Z80:", directory, {(shared / "cputest/ZEXDOC.COM").string()}, callgrind,
                      kavo::InstructionSet::z80);

    write_file(directory / "SIX.COM", six_instructions());
    constexpr int start_runs = 200;
    const double start = best_of(start_runs, directory, {KAVO_EXECUTABLE, "SIX"});
    const double true_start = best_of(start_runs, directory, {"/bin/true"});
    std::printf("start-up:        %.2f ms to run 6 instructions, /bin/true %.2f ms: %.2f ms from exec (best of %d)\n",
                start * 1e3, true_start * 1e3, (start - true_start) * 1e3, start_runs);

    fs::remove_all(directory);
    return 0;
}
