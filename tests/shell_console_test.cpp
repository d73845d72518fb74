// The console on the standard streams as a shell sets them up: redirections, pipes, jobs, signals, output errors,
// script input.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/assembler.h"
#include "tests/pty.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::A;
using test::Assembler;
using test::C;
using test::DE;
using test::E;
using test::exited_with_zero;
using test::PtyRun;
using test::Shell;

// Prints "go" through function 9, then counts for ever without a call.
Assembler compute_program() {
    Assembler program;
    program.lxi(DE, "text").bdos(9).label("loop").inx(test::HL).jmp("loop");
    return program.label("text").db("go$");
}

// Reads keys with function 1, whose echo is the output, until 'q'.
Assembler typist_program() {
    Assembler program;
    return program.label("loop").bdos(1).cpi('q').jnz("loop").exit();
}

// Writes "a", LF, "b" through function 2, then halts: the halt message follows.
Assembler halt_program() {
    Assembler program;
    for (char character : std::string("a\nb"))
        program.mvi(E, std::uint8_t(character)).bdos(2);
    return program.hlt();
}

// Writes "held" through function 9, then makes the file READY, which says
// that the output is written and held, then counts for ever.
Assembler held_program() {
    Assembler program;
    program.lxi(DE, "text").bdos(9).lxi(DE, "fcb").bdos(22);
    program.label("loop").inx(test::HL).jmp("loop");
    program.label("text").db("held$");
    return program.label("fcb").db({0}).db("READY      ").ds(24);
}

// Writes lines of 1,024 bytes ('y', then CR LF) through function 9, as many
// as count, then the message of undefined function 28, then "end".
Assembler lines_program(std::uint16_t count) {
    Assembler program;
    program.lxi(test::HL, count).label("loop").push(test::HL).lxi(DE, "line").bdos(9).pop(test::HL);
    program.dcx(test::HL).mov(A, test::H).ora(test::L).jnz("loop");
    program.bdos(28).lxi(DE, "end").bdos(9).exit();
    return program.label("line").db(std::string(1022, 'y') + "\r\n$").label("end").db("end$");
}

// Copies every key read with function 3 to the output with function 2, until
// the end of the input ends the run.
Assembler copier_program() {
    Assembler program;
    return program.label("loop").bdos(3).mov(E, A).bdos(2).jmp("loop");
}

std::string lines_output(std::size_t count) {
    std::string output;
    for (std::size_t line = 0; line < count; ++line)
        output += std::string(1022, 'y') + "\r\n";
    return output + "Func=1C\nend";
}

void copy_into(const fs::path& file, const fs::path& directory) {
    const fs::path copy = directory / file.filename();
    fs::copy_file(file, copy);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// True once the terminal is in raw mode (no echo): kavo has started reading.
bool wait_for_raw_mode(const PtyRun& run) {
    const auto deadline = test::Clock::now() + 10s;
    while (run.settings().c_lflag & ECHO)
        if (test::Clock::now() > deadline)
            return false;
        else
            usleep(1000);
    return true;
}

bool wait_for_file(const fs::path& path) {
    const auto deadline = test::Clock::now() + 10s;
    while (!fs::exists(path))
        if (test::Clock::now() > deadline)
            return false;
        else
            usleep(1000);
    return true;
}

// The one child of the shell that runs a script: kavo in the foreground.
pid_t child_of(pid_t shell) {
    const std::string children =
        test::read_file("/proc/" + std::to_string(shell) + "/task/" + std::to_string(shell) + "/children");
    return children.empty() ? -1 : std::stoi(children);
}

bool died_of(std::optional<int> status, int signal_number) {
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == signal_number;
}

class ShellConsole : public testing::Test {
protected:
    ShellConsole() {
        compute_program().write(directory / "COMPUTE.COM");
        typist_program().write(directory / "TYPIST.COM");
        halt_program().write(directory / "HALT.COM");
        held_program().write(directory / "HELD.COM");
        lines_program(1024).write(directory / "LINES.COM");
        copier_program().write(directory / "COPIER.COM");
        fs::copy_file(fs::path(KAVO_EXECUTABLE).parent_path() / "GREET.COM", directory / "GREET.COM");
    }

    // Runs script on a terminal to its end; what the terminal showed.
    std::string run_script(const std::string& script) {
        PtyRun run(Shell{script}, directory.path());
        EXPECT_TRUE(exited_with_zero(run.wait_exit(60s))) << script << "\n" << run.output;
        EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before)) << script;
        return run.output;
    }

    std::string file(const std::string& name) { return test::read_file(directory / name); }

    test::TemporaryDirectory directory;
};

// ---------------------------------------------------------------------------
// Redirections and pipes.

TEST_F(ShellConsole, AssemblerOutputRedirectedToAFileLeavesTheScreenEmpty) {
    KAVO_REQUIRE_SHARED("cpm/programs/ASM.COM", assembler);
    KAVO_REQUIRE_SHARED("cpm/programs/HELLO.ASM", source);
    copy_into(assembler, directory.path());
    copy_into(source, directory.path());
    EXPECT_EQ(run_script("kavo ASM HELLO > out.txt; echo \"status $?\""), "status 0\r\n");
    EXPECT_TRUE(contains(file("out.txt"), "END OF ASSEMBLY")) << file("out.txt");
    EXPECT_TRUE(contains(file("HELLO.PRN"), "HELLO FROM ASM:"));
}

// The keys come from the terminal all the same; the echo of function 1 goes
// to the file, an Escape not at all.
TEST_F(ShellConsole, KeysComeFromTheTerminalWhileOutputGoesToAFile) {
    PtyRun run(Shell{"kavo typist > out.txt; echo \"status $?\""}, directory.path());
    ASSERT_TRUE(wait_for_raw_mode(run));
    run.type("ab\x1b\tq");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, "status 0\r\n");
    EXPECT_EQ(file("out.txt"), "ab\tq");
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
}

TEST_F(ShellConsole, PipedInputWithOutputToAFile) {
    EXPECT_EQ(run_script("echo Bob | kavo GREET > out.txt; echo \"status $?\""), "status 0\r\n");
    EXPECT_EQ(file("out.txt"), "What is your name? Bob\r\r\nHello, Bob!\r\n");
}

TEST_F(ShellConsole, OutputIntoAPipeReachesItsReader) {
    PtyRun run(Shell{"kavo GREET | od -c"}, directory.path());
    ASSERT_TRUE(wait_for_raw_mode(run));
    run.type("Ann\r");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_TRUE(contains(run.output, "A   n   n   !  \\r  \\n")) << run.output;
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
}

struct MessageEnd {
    const char* script;
    std::string screen;
    std::string written = "";  // to out.txt
};

// System messages get CR LF only while kavo's raw terminal is the output; a
// cooked terminal adds the CR itself.
TEST_F(ShellConsole, MessageLinesEndInCarriageReturnOnlyOnTheRawTerminal) {
    const MessageEnd cases[] = {
        {"kavo halt", "a\nb\r\nHALT instruction\r\n"},
        {"kavo halt > out.txt", "", "a\nb\nHALT instruction\n"},
        {"echo | kavo halt", "a\r\nb\r\nHALT instruction\r\n"},
    };
    for (const MessageEnd& each : cases) {
        EXPECT_EQ(run_script(each.script), each.screen) << each.script;
        if (!each.written.empty()) {
            EXPECT_EQ(file("out.txt"), each.written) << each.script;
        }
    }
}

// ---------------------------------------------------------------------------
// Jobs and signals.

// A job in the background runs on while it asks for no key, whether its input
// is the terminal or not.
TEST_F(ShellConsole, BackgroundRunThatReadsNoKeyRunsToTheEnd) {
    KAVO_REQUIRE_SHARED("cpm/programs/MBASIC.COM", interpreter);
    KAVO_REQUIRE_SHARED("cpm/programs/FILEIO.BAS", source);
    copy_into(interpreter, directory.path());
    copy_into(source, directory.path());
    for (const char* script : {"set -m; kavo MBASIC FILEIO </dev/null >log & wait $!; echo \"status $?\"",
                               "set -m; kavo MBASIC FILEIO >log & wait $!; echo \"status $?\""}) {
        fs::remove(directory / "log");
        const std::string screen = run_script(script);
        EXPECT_TRUE(contains(screen, "status 0")) << script << "\n" << screen;
        EXPECT_TRUE(contains(file("log"), "SUM OF SQUARES 338350")) << script << "\n" << file("log");
    }
}

// SIGTERM ends a job in the background: running there, or stopped there
// because it asked for a key, once continued (as bash's kill and timeout do;
// kavo used to stop again for ever in its handler).
TEST_F(ShellConsole, RunInTheBackgroundDiesOfSigterm) {
    const std::string running = run_script("set -m; kavo held > out.txt & until [ -e READY ]; do sleep 0.01; done; "
                                           "kill -TERM %1; wait %1; echo \"status $?\"");
    EXPECT_TRUE(contains(running, "status 143")) << running;
    EXPECT_EQ(file("out.txt"), "held");
    const std::string stopped =
        run_script("set -m; kavo typist & until grep -q '^State:.*T' /proc/$!/status; do sleep 0.01; done; "
                   "kill -TERM %1; kill -CONT %1; "
                   "while [ -e /proc/$! ] && ! grep -q '^State:.*Z' /proc/$!/status; do sleep 0.01; done; "
                   "wait %1; echo \"status $?\"");
    EXPECT_TRUE(contains(stopped, "status 143")) << stopped;
}

TEST_F(ShellConsole, TimeoutEndsARunTypedAtATerminal) {
    for (const char* script :
         {"timeout 1 kavo compute; echo \"status $?\"", "timeout 1 kavo typist; echo \"status $?\""}) {
        const std::string screen = run_script(script);
        EXPECT_TRUE(contains(screen, "status 124")) << script << "\n" << screen;
    }
}

// Stopped in raw mode, then continued in the background, where the shell has
// the terminal: SIGTERM puts raw mode back to what it was and ends the run.
TEST_F(ShellConsole, RunMovedToTheBackgroundDiesOfSigtermWithTheTerminalRestored) {
    PtyRun run(Shell{"set -m; kavo compute; bg; kill -TERM %1; wait %1; echo \"status $?\""}, directory.path());
    ASSERT_TRUE(run.wait_for("go"));
    const pid_t kavo = child_of(run.pid);
    ASSERT_GT(kavo, 0);
    kill(kavo, SIGSTOP);
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_TRUE(contains(run.output, "status 143")) << run.output;
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
}

TEST_F(ShellConsole, SignalsIgnoredAtTheStartStayIgnored) {
    PtyRun run(Shell{"trap '' HUP INT TERM; exec kavo typist"}, directory.path());
    ASSERT_TRUE(wait_for_raw_mode(run));
    for (int signal_number : {SIGHUP, SIGINT, SIGTERM})
        kill(run.pid, signal_number);
    run.type("xq");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, "xq\r\n");
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
}

// With its input from elsewhere the terminal stays cooked, and Ctrl+\ raises
// SIGQUIT through it: the run ends cleanly, with the status of SIGQUIT.
TEST_F(ShellConsole, ControlBackslashEndsARunWithPipedInput) {
    PtyRun run(Shell{"exec kavo compute < /dev/null"}, directory.path());
    ASSERT_TRUE(run.wait_for("go"));
    run.type("\x1c");
    EXPECT_TRUE(test::exited_with(run.wait_exit(), 131));
}

// Ctrl+\ used to raise SIGQUIT for the whole job, so the reader of kavo's
// output died with it (and so did the shell here). Read as a key, it ends
// kavo alone, with its held output written and status 130; the reader sees
// the end of its input and goes on.
TEST_F(ShellConsole, ControlBackslashEndsKavoAloneInAPipeline) {
    PtyRun run(Shell{"{ kavo held; echo \"kavo $?\" >&2; } | { cat; echo \" and the reader went on\"; }"},
               directory.path());
    ASSERT_TRUE(wait_for_file(directory / "READY"));
    run.type("\x1c");
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_TRUE(contains(run.output, "kavo 130")) << run.output;
    const auto held = run.output.find("held"), reader = run.output.find(" and the reader went on");
    EXPECT_TRUE(held != std::string::npos && reader != std::string::npos && held < reader) << run.output;
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
}

// Under nohup, without a terminal: the hang-up is ignored, the run goes on,
// and what it wrote is in the file when SIGTERM ends it.
TEST_F(ShellConsole, HangUpIgnoredWithoutTerminalLeavesTheRunGoing) {
    const std::string screen =
        run_script("trap '' HUP; kavo held </dev/null >out.txt & until [ -e READY ]; do sleep 0.01; done; "
                   "kill -HUP $!; kill -0 $! && echo running; kill -TERM $!; wait $!; echo \"status $?\"");
    EXPECT_TRUE(screen.starts_with("running\r\n") && screen.ends_with("status 143\r\n")) << screen;
    EXPECT_EQ(file("out.txt"), "held");
}

struct Ending {
    const char* name;
    const char* script;  // runs the held program with its output in out.txt
    int signal_number;   // sent once the output is held; 0 for Ctrl+\ typed
    int dies_of;         // 0: exits with status
    int status = 0;
};

// Output held for a file is written out however the run ends.
TEST_F(ShellConsole, HeldOutputIsWrittenOutAtEveryEnding) {
    const Ending endings[] = {
        {"Ctrl+\\", "exec kavo held > out.txt", 0, 0, 130},
        {"SIGTERM", "exec kavo held > out.txt", SIGTERM, SIGTERM},
        {"SIGHUP", "exec kavo held > out.txt", SIGHUP, SIGHUP},
        {"SIGINT", "exec kavo held > out.txt", SIGINT, SIGINT},
        {"SIGQUIT without terminal", "exec kavo held < /dev/null > out.txt", SIGQUIT, 0, 131},
        {"SIGTERM without terminal", "exec kavo held < /dev/null > out.txt", SIGTERM, SIGTERM},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        fs::remove(directory / "READY");
        PtyRun run(Shell{ending.script}, directory.path());
        ASSERT_TRUE(wait_for_file(directory / "READY"));
        if (ending.signal_number)
            kill(run.pid, ending.signal_number);
        else
            run.type("\x1c");
        const std::optional<int> status = run.wait_exit();
        if (ending.dies_of)
            EXPECT_TRUE(died_of(status, ending.dies_of));
        else
            EXPECT_TRUE(test::exited_with(status, ending.status));
        EXPECT_EQ(file("out.txt"), "held");
        EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
    }
}

// A megabyte held in pieces, a message after it and output after that: all
// in order, nothing lost.
TEST_F(ShellConsole, HeldOutputKeepsItsOrderWithMessagesBeyondTheBufferSize) {
    const test::Result run = test::run_kavo(directory.path(), {"lines"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.output == lines_output(1024)) << "output of " << run.output.size() << " bytes differs";
}

// ---------------------------------------------------------------------------
// Output that cannot be written.

struct OutputFailure {
    const char* script;
    std::string screen;
};

TEST_F(ShellConsole, OutputThatCannotBeWrittenEndsTheRunWithStatusOne) {
    KAVO_REQUIRE_SHARED("cpm/programs/MBASIC.COM", interpreter);
    KAVO_REQUIRE_SHARED("cpm/programs/FILEIO.BAS", source);
    copy_into(interpreter, directory.path());
    copy_into(source, directory.path());
    const std::string full = "kavo: standard output: No space left on device\r\nstatus 1\r\n";
    const OutputFailure failures[] = {
        {"kavo MBASIC FILEIO > /dev/full; echo \"status $?\"", full},
        {"kavo MBASIC FILEIO < /dev/null > /dev/full; echo \"status $?\"", full},
        {"kavo lines < /dev/null > /dev/full; echo \"status $?\"", full},
        {"kavo halt > /dev/full; echo \"status $?\"", full},
        {"kavo missing > /dev/full; echo \"status $?\"",
         "kavo: missing.com: No such file or directory\r\nstatus 1\r\n"},
        {"kavo MBASIC FILEIO >&-; echo \"status $?\"", "kavo: standard output: Bad file descriptor\r\nstatus 1\r\n"},
    };
    for (const OutputFailure& failure : failures)
        EXPECT_EQ(run_script(failure.script), failure.screen) << failure.script;
}

// A reader that goes away (EPIPE) ends the run quietly, with status 0.
TEST_F(ShellConsole, ReaderThatGoesAwayEndsTheRunQuietly) {
    const char* scripts[] = {
        "{ kavo lines < /dev/null; echo \"status $?\" > status.txt; } | head -c 3",
        "{ kavo lines; echo \"status $?\" > status.txt; } | head -c 3",
    };
    for (const char* script : scripts) {
        fs::remove(directory / "status.txt");
        const std::string screen = run_script(script);
        EXPECT_EQ(screen, "yyy") << script;
        EXPECT_EQ(file("status.txt"), "status 0\n") << script;
    }
}

// ---------------------------------------------------------------------------
// Script input without a terminal: read only by the calls that read a key.

struct BasicScript {
    std::string input;
    std::string dialogue;  // after the banner
};

TEST_F(ShellConsole, BasicReadsEveryLineOfAScript) {
    KAVO_REQUIRE_SHARED("cpm/programs/MBASIC.COM", interpreter);
    copy_into(interpreter, directory.path());
    const std::string banner = "BASIC-80 Rev. 5.21\r\n[CP/M Version]\r\nCopyright 1977-1981 (C) by Microsoft\r\n"
                               "Created: 28-Jul-81\r\n38968 Bytes free\r\nOk\r\n";  // the memory below the BDOS page at 0xFC00
    const BasicScript scripts[] = {
        {"PRINT 1\nSYSTEM\n", "PRINT 1\r\n 1 \r\nOk\r\nSYSTEM\r\n"},
        {"PRINT 2+2", "PRINT 2+2\r\n 4 \r\nOk\r\n"},  // the last line has no line end
        {"10 PRINT \"A\"\n20 PRINT \"B\"\nRUN\nLIST\nSYSTEM\n",
         "10 PRINT \"A\"\r\n20 PRINT \"B\"\r\nRUN\r\nA\r\nB\r\nOk\r\nLIST\r\n10 PRINT \"A\"\r\n20 PRINT \"B\"\r\nOk\r\n"
         "SYSTEM\r\n"},
    };
    for (const BasicScript& script : scripts) {
        const test::Result run = test::run_kavo(directory.path(), {"MBASIC"}, script.input);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, banner + script.dialogue) << script.input;
    }
}

// NUL, 0xFF and a megabyte without a line end reach the program byte for byte
// (the line then gets its Enter); BASIC survives a line of 64 KiB.
TEST_F(ShellConsole, InputThatIsNotTextReachesTheProgramAsItIs) {
    std::string line;
    for (std::size_t index = 0; line.size() < (1u << 20); ++index) {
        const char byte = char(index * 7 + index / 256);
        if (byte != '\n' && byte != '\r' && byte != '\b' && byte != '\a')
            line += byte;
    }
    const test::Result copied = test::run_kavo(directory.path(), {"copier"}, line, 120s);
    EXPECT_EQ(copied.status, 0);
    EXPECT_TRUE(copied.output == line + "\r") << "output of " << copied.output.size() << " bytes differs";

    KAVO_REQUIRE_SHARED("cpm/programs/MBASIC.COM", interpreter);
    copy_into(interpreter, directory.path());
    const test::Result basic =
        test::run_kavo(directory.path(), {"MBASIC"}, std::string(1 << 16, 'A') + "\nPRINT 5\nSYSTEM\n", 120s);
    EXPECT_EQ(basic.status, 0);
    EXPECT_TRUE(basic.output.ends_with("PRINT 5\r\n 5 \r\nOk\r\nSYSTEM\r\n")) << basic.output.substr(0, 200);
}

}  // namespace
