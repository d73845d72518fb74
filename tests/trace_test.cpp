// Tracing a run: request and instruction lines, where they go, and that the program sees nothing of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/assembler.h"
#include "tests/pty.h"
#include "tests/run.h"

namespace {

namespace fs = std::filesystem;
using namespace test;
using namespace std::chrono_literals;

// The build writes GREET.COM beside the kavo executable.
const fs::path greeter = fs::path(KAVO_EXECUTABLE).parent_path() / "GREET.COM";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

struct TracedRun {
    Result run;
    std::vector<std::string> trace;
};

// Runs kavo in directory with the trace written to a file of its own outside
// it, so that the directory holds only what the program made.
TracedRun run_traced(const fs::path& directory, std::vector<std::string> arguments, std::string_view input = "") {
    TemporaryDirectory trace_directory;
    const std::string trace_file = trace_directory / "trace.log";
    arguments.insert(arguments.begin(), {"--trace-file", trace_file});
    TracedRun traced{run_kavo(directory, arguments, input), {}};
    traced.trace = lines_of(read_file(trace_file));
    return traced;
}

TEST(RequestTrace, GreeterLineByLine) {
    ASSERT_TRUE(fs::exists(greeter)) << greeter;
    TemporaryDirectory directory;
    const TracedRun traced = run_traced(directory.path(), {"--trace=bdos", greeter.string()}, "Bob\n");
    EXPECT_EQ(traced.run.output, "What is your name? Bob\r\r\nHello, Bob!\r\n");
    const std::vector<std::string> expected = {
        "0108  BDOS  9 print string  DE=0146 length=19  -> A=FF",
        "0110  BDOS 10 read console buffer  DE=0171 room=40  -> A=0D length=3",
        "0118  BDOS  9 print string  DE=015A length=9  -> A=FF",
        "0135  BDOS  2 console output  E='B'  -> A=00",
        "0135  BDOS  2 console output  E='o'  -> A=00",
        "0135  BDOS  2 console output  E='b'  -> A=00",
        "0143  BDOS  9 print string  DE=016D length=3  -> A=FF",
        "0000  BIOS  1 WBOOT  -> the run ends",
    };
    EXPECT_EQ(traced.trace, expected);
}

// COPY SOURCE DESTINATION: copies the first file into the second record by
// record, then reads a record at random, asks for the size and opens a file
// that is not there.
Assembler copy_program() {
    Assembler program;
    program.lxi(HL, 0x006C).lxi(DE, "destination").mvi(B, 16);  // the second FCB, before the first one's open covers it
    program.label("save").mov(A, M).stax(DE).inx(HL).inx(DE).dcr(B).jnz("save");
    program.lxi(DE, 0x005C).bdos(open_file).lxi(DE, "destination").bdos(make_file);
    program.label("next").lxi(DE, 0x005C).bdos(read_sequential).ora(A).jnz("copied");
    program.lxi(DE, "destination").bdos(write_sequential).jmp("next");
    program.label("copied").lxi(DE, "destination").bdos(close_file);
    program.lxi(HL, 0x0001).shld(0x005C + 33).lxi(DE, 0x005C).bdos(read_random);
    program.lxi(DE, 0x005C).bdos(compute_file_size);
    program.lxi(DE, "missing").bdos(open_file).exit();
    program.label("destination").ds(36);
    program.label("missing").db({0}).db("NOSUCH  TXT").ds(24);
    return program;
}

// Each file function's line names its FCB (drive, name, EX, S2, CR, the random
// record and the DMA address where they matter) and its result, errors by name.
TEST(RequestTrace, FileCopyNamesItsFilesAndResults) {
    TemporaryDirectory directory;
    copy_program().write(directory / "COPY.COM");
    write_file(directory / "SOURCE.TXT", std::string(128, 'a') + std::string(128, 'b'));
    const TracedRun traced = run_traced(directory.path(), {"--trace=bdos", "--drive", "B=.", "COPY", "source.txt", "B:COPY.TXT"});
    EXPECT_EQ(read_file(directory / "COPY.TXT"), read_file(directory / "SOURCE.TXT"));
    const std::vector<std::string> expected = {
        "BDOS 15 open file  FCB=005C SOURCE.TXT EX=00 S2=00 CR=00  -> A=00",
        "BDOS 22 make file  FCB=0160 B:COPY.TXT EX=00 S2=00 CR=00  -> A=00",
        "BDOS 20 read sequential  FCB=005C SOURCE.TXT EX=00 S2=00 CR=00 DMA=0080  -> A=00",
        "BDOS 21 write sequential  FCB=0160 B:COPY.TXT EX=00 S2=00 CR=00 DMA=0080  -> A=00",
        "BDOS 20 read sequential  FCB=005C SOURCE.TXT EX=00 S2=00 CR=01 DMA=0080  -> A=00",
        "BDOS 21 write sequential  FCB=0160 B:COPY.TXT EX=00 S2=00 CR=01 DMA=0080  -> A=00",
        "BDOS 20 read sequential  FCB=005C SOURCE.TXT EX=00 S2=00 CR=02 DMA=0080  -> A=01 end of file",
        "BDOS 16 close file  FCB=0160 B:COPY.TXT EX=00 S2=00 CR=02  -> A=00",
        "BDOS 33 read random  FCB=005C SOURCE.TXT EX=00 S2=00 CR=02 R=0001 DMA=0080  -> A=00",
        "BDOS 35 compute file size  FCB=005C SOURCE.TXT EX=00 S2=00 CR=01  -> A=00 R=0002",
        "BDOS 15 open file  FCB=0184 NOSUCH.TXT EX=00 S2=00 CR=00  -> A=FF no file",
        "BIOS  1 WBOOT  -> the run ends",
    };
    // The callers' addresses (the first column) depend on the program's layout.
    std::vector<std::string> requests;
    for (const std::string& line : traced.trace)
        requests.push_back(line.substr(6));
    EXPECT_EQ(requests, expected);
}

// Console output, console input, a word result, an unimplemented function,
// the BIOS entries and an address between them, IOBYTE, and function 0.
TEST(RequestTrace, ConsoleSystemAndBiosLines) {
    TemporaryDirectory directory;
    Assembler program;
    program.mvi(E, 0x07).bdos(2).bdos(1).bdos(12).lxi(DE, 0x1234).bdos(77);
    program.mvi(C, 'x').call(0xFF0C).mvi(C, 2).call(0xFF1B).call(0xFF09).call(0xFF04);
    program.mvi(E, 0x94).bdos(8).bdos(7).bdos(0);
    program.write(directory / "SYS.COM");
    const TracedRun traced = run_traced(directory.path(), {"--trace=bdos", "SYS"}, "kq");
    const std::vector<std::string> expected = {
        "0107  BDOS  2 console output  E=07  -> A=00",
        "010C  BDOS  1 console input  -> A='k'",
        "0111  BDOS 12 return version number  -> HL=0022",
        "0119  BDOS 77 unimplemented  DE=1234  -> A=FF",
        "011E  BIOS  4 CONOUT  C='x'",
        "0123  BIOS  9 SELDSK  C=02 C:  -> HL=0000",
        "0126  BIOS  3 CONIN  -> A='q'",
        "0129  trap at FF04  -> no service",
        "0130  BDOS  8 set I/O byte  E=94  -> A=00",
        "0135  BDOS  7 get I/O byte  -> A=94",
        "013A  BDOS  0 system reset  -> the run ends",
    };
    EXPECT_EQ(traced.trace, expected);
    EXPECT_EQ(traced.run.output, "kFunc=4D\nxPC=FF04 trap=01\n");
}

// MVI A,0FFH; ADI 01H; LXI H,1234H; PUSH H; POP D; MVI C,0CH; CALL 0005H;
// JMP 0000H: on both processors, from the start to the warm boot, with the
// BDOS request's line among the instructions.
const std::vector<std::uint8_t> short_program = {0x3E, 0xFF, 0xC6, 0x01, 0x21, 0x34, 0x12, 0xE5, 0xD1,
                                                 0x0E, 0x0C, 0xCD, 0x05, 0x00, 0xC3, 0x00, 0x00};

TEST(InstructionTrace, ShortProgramOnThe8080) {
    TemporaryDirectory directory;
    directory.write("SHORT.COM", short_program);
    const TracedRun traced = run_traced(directory.path(), {"--trace=bdos,cpu", "SHORT"});
    const std::vector<std::string> expected = {
        "0100  3E FF     MVI  A,0FFH          A=FF BC=0000 DE=0000 HL=0000 SP=FC00 F=........",
        "0102  C6 01     ADI  01H             A=00 BC=0000 DE=0000 HL=0000 SP=FC00 F=.Z.A.P.C",
        "0104  21 34 12  LXI  H,1234H         A=00 BC=0000 DE=0000 HL=1234 SP=FC00 F=.Z.A.P.C",
        "0107  E5        PUSH H               A=00 BC=0000 DE=0000 HL=1234 SP=FBFE F=.Z.A.P.C",
        "0108  D1        POP  D               A=00 BC=0000 DE=1234 HL=1234 SP=FC00 F=.Z.A.P.C",
        "0109  0E 0C     MVI  C,0CH           A=00 BC=000C DE=1234 HL=1234 SP=FC00 F=.Z.A.P.C",
        "010B  CD 05 00  CALL 0005H           A=00 BC=000C DE=1234 HL=1234 SP=FBFE F=.Z.A.P.C",
        "0005  C3 06 FC  JMP  0FC06H          A=00 BC=000C DE=1234 HL=1234 SP=FBFE F=.Z.A.P.C",
        "FC06  C3 40 FF  JMP  0FF40H          A=00 BC=000C DE=1234 HL=1234 SP=FBFE F=.Z.A.P.C",
        "010E  BDOS 12 return version number  -> HL=0022",
        "010E  C3 00 00  JMP  0000H           A=22 BC=000C DE=1234 HL=0022 SP=FC00 F=.Z.A.P.C",
        "0000  C3 03 FF  JMP  0FF03H          A=22 BC=000C DE=1234 HL=0022 SP=FC00 F=.Z.A.P.C",
        "0000  BIOS  1 WBOOT  -> the run ends",
    };
    EXPECT_EQ(traced.trace, expected);
}

TEST(InstructionTrace, ShortProgramOnTheZ80) {
    TemporaryDirectory directory;
    directory.write("SHORT.COM", short_program);
    const TracedRun traced = run_traced(directory.path(), {"--z80", "--trace=cpu", "SHORT"});
    const std::string alternates = " AF'=0000 BC'=0000 DE'=0000 HL'=0000";
    const std::vector<std::string> expected = {
        "0100  3E FF        LD   A,0FFH          AF=FF02 BC=0000 DE=0000 HL=0000 IX=0000 IY=0000 SP=FC00 F=......N." +
            alternates,
        "0102  C6 01        ADD  A,01H           AF=0051 BC=0000 DE=0000 HL=0000 IX=0000 IY=0000 SP=FC00 F=.Z.H...C" +
            alternates,
        "0104  21 34 12     LD   HL,1234H        AF=0051 BC=0000 DE=0000 HL=1234 IX=0000 IY=0000 SP=FC00 F=.Z.H...C" +
            alternates,
        "0107  E5           PUSH HL              AF=0051 BC=0000 DE=0000 HL=1234 IX=0000 IY=0000 SP=FBFE F=.Z.H...C" +
            alternates,
        "0108  D1           POP  DE              AF=0051 BC=0000 DE=1234 HL=1234 IX=0000 IY=0000 SP=FC00 F=.Z.H...C" +
            alternates,
        "0109  0E 0C        LD   C,0CH           AF=0051 BC=000C DE=1234 HL=1234 IX=0000 IY=0000 SP=FC00 F=.Z.H...C" +
            alternates,
        "010B  CD 05 00     CALL 0005H           AF=0051 BC=000C DE=1234 HL=1234 IX=0000 IY=0000 SP=FBFE F=.Z.H...C" +
            alternates,
        "0005  C3 06 FC     JP   0FC06H          AF=0051 BC=000C DE=1234 HL=1234 IX=0000 IY=0000 SP=FBFE F=.Z.H...C" +
            alternates,
        "FC06  C3 40 FF     JP   0FF40H          AF=0051 BC=000C DE=1234 HL=1234 IX=0000 IY=0000 SP=FBFE F=.Z.H...C" +
            alternates,
        "010E  C3 00 00     JP   0000H           AF=2251 BC=000C DE=1234 HL=0022 IX=0000 IY=0000 SP=FC00 F=.Z.H...C" +
            alternates,
        "0000  C3 03 FF     JP   0FF03H          AF=2251 BC=000C DE=1234 HL=0022 IX=0000 IY=0000 SP=FC00 F=.Z.H...C" +
            alternates,
    };
    EXPECT_EQ(traced.trace, expected);
}

// --trace-from starts at the first time PC reaches the address, however
// many instructions ran before; --trace-count stops after that many, while
// the request trace goes on.
TEST(InstructionTrace, FromAnAddressForACount) {
    TemporaryDirectory directory;
    Assembler program;
    program.mvi(B, 3).label("loop").dcr(B).jnz("loop").inr(A).inr(A).inr(A).bdos(12).exit();
    program.write(directory / "LOOP.COM");
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> starts;  // the address and text of each line
    } cases[] = {
        {{"--trace=cpu", "--trace-from=107"},
         {"0107  3C        INR  A", "0108  3C        INR  A", "0109  0E 0C     MVI  C,0CH",
          "010B  CD 05 00  CALL 0005H", "0005  C3 06 FC  JMP  0FC06H", "FC06  C3 40 FF  JMP  0FF40H",
          "010E  C3 00 00  JMP  0000H",
          "0000  C3 03 FF  JMP  0FF03H"}},
        {{"--trace=cpu,bdos", "--trace-from=0x0102", "--trace-count=4"},
         {"0102  05        DCR  B", "0103  C2 02 01  JNZ  0102H", "0102  05        DCR  B",
          "0103  C2 02 01  JNZ  0102H", "010E  BDOS 12", "0000  BIOS  1"}},
        {{"--trace=cpu", "--trace-from=0FF40H"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.options;
        arguments.push_back("LOOP");
        const TracedRun traced = run_traced(directory.path(), arguments);
        EXPECT_EQ(traced.run.status, 0);
        ASSERT_EQ(traced.trace.size(), c.starts.size()) << c.options[1];
        for (std::size_t index = 0; index < c.starts.size(); ++index)
            EXPECT_EQ(traced.trace[index].rfind(c.starts[index], 0), 0u) << traced.trace[index];
    }
}

// The program's output and files are the same byte for byte with every trace
// and without one, on both processors.
TEST(Tracing, ChangesNothingTheProgramSees) {
    ASSERT_TRUE(fs::exists(greeter)) << greeter;
    const struct {
        std::vector<std::string> program;
        std::string input;
    } programs[] = {
        {{"COPY", "source.txt", "copy.txt"}, ""},
        {{greeter.string()}, "Grace Hopper\n"},
    };
    const std::vector<std::string> processors[] = {{}, {"--z80"}};
    for (const auto& program : programs) {
        for (const std::vector<std::string>& processor : processors) {
            SCOPED_TRACE(program.program[0] + (processor.empty() ? " on the 8080" : " on the Z80"));
            // The output, the exit status and every file the run leaves.
            const auto run_in_fresh_directory = [&](std::vector<std::string> options) {
                TemporaryDirectory directory;
                copy_program().write(directory / "COPY.COM");
                write_file(directory / "SOURCE.TXT", std::string(300, 'x') + "\x1A");
                options.insert(options.end(), program.program.begin(), program.program.end());
                const Result run = run_kavo(directory.path(), options, program.input);
                std::string seen = run.output + "\nstatus " + std::to_string(run.status) + "\n";
                for (const auto& entry : fs::directory_iterator(directory.path()))
                    seen += entry.path().filename().string() + ":" + read_file(entry.path()) + "\n";
                return seen;
            };
            TemporaryDirectory trace_directory;
            std::vector<std::string> traced = processor;
            traced.insert(traced.end(), {"--trace=bdos,cpu", "--trace-file", trace_directory / "trace.log"});
            EXPECT_EQ(run_in_fresh_directory(traced), run_in_fresh_directory(processor));
            EXPECT_GT(fs::file_size(trace_directory / "trace.log"), 1000u);
        }
    }
}

// Without --trace-file the trace goes to standard error; where standard
// output lands in the same place, the console output a request wrote comes
// before the request's line.
TEST(Tracing, OnStandardErrorInOrderWithConsoleOutput) {
    ASSERT_TRUE(fs::exists(greeter)) << greeter;
    TemporaryDirectory directory;
    const Result run = run_kavo(directory.path(), {"--trace=bdos", greeter.string()}, "Al\n", 60s,
                                [] { return dup2(STDOUT_FILENO, STDERR_FILENO) >= 0; });
    EXPECT_EQ(run.output, "What is your name? 0108  BDOS  9 print string  DE=0146 length=19  -> A=FF\n"
                          "Al\r0110  BDOS 10 read console buffer  DE=0171 room=40  -> A=0D length=2\n"
                          "\r\nHello, 0118  BDOS  9 print string  DE=015A length=9  -> A=FF\n"
                          "A0135  BDOS  2 console output  E='A'  -> A=00\n"
                          "l0135  BDOS  2 console output  E='l'  -> A=00\n"
                          "!\r\n0143  BDOS  9 print string  DE=016D length=3  -> A=FF\n"
                          "0000  BIOS  1 WBOOT  -> the run ends\n");
}

// A trace file that cannot be opened for writing ends the run before the
// program starts, with status 1.
TEST(Tracing, UnwritableTraceFileStopsTheRunBeforeItStarts) {
    TemporaryDirectory directory;
    fs::create_directory(directory / "trace.log");
    const std::string errors = directory / "errors";
    const Result run =
        run_kavo(directory.path(), {"--trace=bdos", "--trace-file", "trace.log", greeter.string()}, "Al\n", 60s, [&] {
            const int descriptor = open(errors.c_str(), O_WRONLY | O_CREAT, 0600);
            return descriptor >= 0 && dup2(descriptor, STDERR_FILENO) >= 0;
        });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(read_file(errors), "kavo: cannot write the trace to trace.log: Is a directory\n");
}

// A program that runs for ever, stopped by Ctrl+\ or a signal: its trace
// holds every line up to that moment, each line whole; the last console
// output may have gone out just before its line could.
TEST(Tracing, StoppedRunLeavesACompleteTrace) {
    const struct {
        const char* trace;
        const char* line;  // the line the loop repeats, after its address
    } traces[] = {
        {"--trace=bdos", "BDOS  2 console output  E='x'  -> A=00"},
        {"--trace=cpu", ""},
    };
    const struct {
        const char* name;
        void (*send)(PtyRun&);
    } stops[] = {
        {"Ctrl+\\", [](PtyRun& run) { run.type("\x1c"); }},
        {"SIGTERM", [](PtyRun& run) { kill(run.pid, SIGTERM); }},
    };
    for (const auto& trace : traces) {
        for (const auto& stop : stops) {
            SCOPED_TRACE(std::string(trace.trace) + " stopped by " + stop.name);
            TemporaryDirectory directory;
            Assembler program;
            program.lxi(DE, "go").bdos(9).label("loop").mvi(E, 'x').bdos(2).jmp("loop");
            program.label("go").db("go$");
            program.write(directory / "LOOP.COM");
            PtyRun run(directory.path(), {trace.trace, "--trace-file", (directory / "trace.log").string(), "LOOP"});
            ASSERT_TRUE(run.wait_for("go"));
            ASSERT_TRUE(run.wait_for("xxxxxxxxxx"));
            stop.send(run);
            ASSERT_TRUE(run.wait_exit());
            const std::string text = read_file(directory / "trace.log");
            ASSERT_FALSE(text.empty());
            EXPECT_EQ(text.back(), '\n');
            const std::vector<std::string> lines = lines_of(text);
            const auto output_lines = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                return line.find("console output") != std::string::npos;
            });
            if (*trace.line) {
                // Ctrl+\ may be read by the request's own look at the
                // keyboard, which then ends the run after it.
                for (std::size_t index = 1; index + 1 < lines.size(); ++index)
                    EXPECT_EQ(lines[index].substr(6), trace.line);
                const std::string last = lines.back().substr(6);
                EXPECT_TRUE(last == trace.line || last == std::string(trace.line) + ", the run ends") << last;
                const auto printed = std::count(run.output.begin(), run.output.end(), 'x');
                EXPECT_TRUE(printed == output_lines || printed == output_lines + 1) << printed << " " << output_lines;
            } else {
                for (const std::string& line : lines)
                    EXPECT_EQ(line.size(), lines[0].size()) << line;
            }
        }
    }
}

}  // namespace
