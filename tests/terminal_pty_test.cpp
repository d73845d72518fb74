// The console as a user meets it: kavo on a pseudo-terminal, and on pipes when there is no terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/pty.h"

namespace {

using test::exited_with_zero;

using test::PtyRun;
using Program = std::vector<unsigned char>;
using namespace std::chrono_literals;

// Prints '>', then for each key its code as two hex digits and '+' when
// console status says another key is waiting, else ' '; ends after 'q'.
// B holds the key across the BIOS calls, which keep it.
const Program keys_program = {
    0xC3, 0x1C, 0x01,  // 0100 JMP main
    0x78,              // 0103 hex: MOV A,B
    0x0F, 0x0F, 0x0F, 0x0F,  // RRC four times: high digit
    0xCD, 0x0C, 0x01,  // CALL digit
    0x78,              // MOV A,B: low digit, falling into digit
    0xE6, 0x0F,        // 010C digit: ANI 0Fh
    0xC6, 0x30,        // ADI '0'
    0xFE, 0x3A,        // CPI '9'+1
    0xDA, 0x17, 0x01,  // JC put
    0xC6, 0x07,        // ADI 'A'-'9'-1
    0x4F,              // 0117 put: MOV C,A
    0xCD, 0x0C, 0xFF,  // CALL CONOUT
    0xC9,              // RET
    0x0E, '>',         // 011C main: MVI C,'>'
    0xCD, 0x0C, 0xFF,  // CALL CONOUT
    0xCD, 0x09, 0xFF,  // 0121 loop: CALL CONIN
    0x47,              // MOV B,A
    0xCD, 0x03, 0x01,  // CALL hex
    0xCD, 0x06, 0xFF,  // CALL CONST
    0x0E, '+',         // MVI C,'+'
    0xB7,              // ORA A
    0xC2, 0x33, 0x01,  // JNZ mark
    0x0E, ' ',         // MVI C,' '
    0xCD, 0x0C, 0xFF,  // 0133 mark: CALL CONOUT
    0x78,              // MOV A,B
    0xFE, 'q',         // CPI 'q'
    0xC2, 0x21, 0x01,  // JNZ loop
    0xC3, 0x00, 0x00,  // JMP 0
};

// Prints "go", then counts in HL for ever without asking for a key.
const Program compute_program = {
    0x0E, 'g', 0xCD, 0x0C, 0xFF,  // 0100 MVI C,'g'; CALL CONOUT
    0x0E, 'o', 0xCD, 0x0C, 0xFF,  // 0105 MVI C,'o'; CALL CONOUT
    0x23,                         // 010A INX H
    0xC3, 0x0A, 0x01,             // JMP 010A
};

// Writes each of bytes through BIOS CONOUT, then halts.
Program output_program(std::string_view bytes) {
    Program program;
    for (unsigned char byte : bytes)
        program.insert(program.end(), {0x0E, byte, 0xCD, 0x0C, 0xFF});
    program.push_back(0x76);
    return program;
}

std::string hex(unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[byte >> 4], digits[byte & 15]};
}

// Ten thousand keys typed ahead, then 'q', and the codes the keys program must
// print for them, status marks left out.
struct Burst {
    std::string typed;
    std::string codes;
};

Burst burst() {
    const std::string cycle = "abcxyz\x03\x1a\x13\x11\x16\x0f\r\t\xc3\xa9";
    Burst burst;
    for (int index = 0; index < 10000; ++index)
        burst.typed += cycle[index % cycle.size()];
    burst.typed += 'q';
    for (unsigned char byte : burst.typed)
        burst.codes += hex(byte);
    return burst;
}

std::string without_status_marks(std::string output) {
    std::erase_if(output, [](char character) { return character == '+' || character == ' ' || character == '>'; });
    return output;
}


bool died_of(std::optional<int> status, int signal_number) {
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == signal_number;
}

// Settings a shell might leave, apart from a new pty's defaults in several
// places, so that only an exact restore passes.
termios shell_settings() {
    int master, slave;
    termios settings{};
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0) {
        tcgetattr(slave, &settings);
        close(slave);
        close(master);
    }
    settings.c_iflag |= IXANY | IUTF8;
    settings.c_lflag &= ~ECHOCTL;
    settings.c_cc[VERASE] = 0x08;
    settings.c_cc[VEOF] = 0x01;
    settings.c_cc[VMIN] = 3;
    return settings;
}

class TerminalTest : public testing::Test {
protected:
    TerminalTest() {
        directory.write("keys.com", keys_program);
        directory.write("compute.com", compute_program);
    }

    // Starts a program on a new terminal and waits until it has written ready.
    std::unique_ptr<PtyRun> start(const std::string& program, std::string_view ready) {
        auto run = std::make_unique<PtyRun>(directory.path(), std::vector<std::string>{program}, &shell);
        EXPECT_TRUE(run->wait_for(ready)) << "output: " << testing::PrintToString(run->output);
        run->output.clear();
        return run;
    }

    test::TemporaryDirectory directory;
    const termios shell = shell_settings();
};

struct TypedKey {
    std::string typed;
    std::string printed;  // by the keys program
};

const TypedKey typed_keys[] = {
    {"x", "78 "},  // not hex digits, so an echo would show
    {"\r", "0D "}, {"\t", "09 "}, {"\x7f", "7F "}, {"\x08", "7F "},
    {"\x03", "03 "}, {"\x1a", "1A "}, {"\x13", "13 "}, {"\x11", "11 "}, {"\x16", "16 "}, {"\x0f", "0F "},
    {std::string(1, '\0'), "00 "},
    {"\xc3\xa9", "C3+A9 "},
    {"\x1b", "1B "},
    {"\x1b[Z", "1B+5B+5A "},
    {"\x1bOP", "00+3B "}, {"\x1b[[E", "00+3F "}, {"\x1b[24~", "E0+86 "}, {"\x1b[15;2~", "00+58 "},
    {"\x1b[1;3P", "00+68 "}, {"\x1b[A", "E0+48 "}, {"\x1bOD", "E0+4B "}, {"\x1b[1;5A", "E0+8D "},
    {"\x1b[3~", "E0+53 "}, {"\x1b[5;5~", "E0+84 "}, {"\x1b[1;3F", "00+9F "},
};

// Each key is typed alone and its whole output awaited, so the status mark
// after the first byte of a two-byte key is always '+'.
TEST_F(TerminalTest, KeysReachTheProgramWithTheirCodesAndNoEcho) {
    auto run = start("keys", ">");
    for (const TypedKey& key : typed_keys) {
        ASSERT_TRUE(run->type(key.typed));
        EXPECT_TRUE(run->wait_for(key.printed)) << testing::PrintToString(key.typed);
        EXPECT_EQ(run->output, key.printed) << testing::PrintToString(key.typed);
        run->output.clear();
    }
    run->type("q");
    EXPECT_TRUE(exited_with_zero(run->wait_exit()));
    EXPECT_TRUE(test::same_settings(run->settings(), run->settings_before));
}

TEST_F(TerminalTest, KeysTypedAheadAllArriveInOrder) {
    const Burst typed_ahead = burst();
    auto run = start("keys", ">");
    ASSERT_TRUE(run->type(typed_ahead.typed, 60s));
    EXPECT_TRUE(exited_with_zero(run->wait_exit(60s)));
    EXPECT_EQ(without_status_marks(run->output), typed_ahead.codes + "\r\n");
}

// LF goes out alone, BEL not at all, every other byte unchanged; the HALT
// message that follows starts at the left margin.
TEST_F(TerminalTest, OutputIsWrittenUnchangedAndMessagesInOrder) {
    const std::string bytes("a\nb\x07" "c\x00\x7f\xe0\xc3\xa9\t\x08 \x08", 14);
    directory.write("output.com", output_program(bytes));
    PtyRun run(directory.path(), {"output"}, &shell);
    EXPECT_TRUE(exited_with_zero(run.wait_exit()));
    EXPECT_EQ(run.output, std::string("a\nbc\x00\x7f\xe0\xc3\xa9\t\x08 \x08", 13) + "\r\nHALT instruction\r\n");
    EXPECT_TRUE(test::same_settings(run.settings(), run.settings_before));
}

TEST_F(TerminalTest, ControlBackslashEndsTheRunWhetherWaitingOrComputing) {
    const std::pair<std::string, std::string> programs[] = {{"keys", ">"}, {"compute", "go"}};
    for (const auto& [program, ready] : programs) {
        auto run = start(program, ready);
        run->type("\x1c");
        EXPECT_TRUE(test::exited_with(run->wait_exit(), 130)) << program;
        EXPECT_TRUE(test::same_settings(run->settings(), run->settings_before)) << program;
    }
}

TEST_F(TerminalTest, SignalsFromOutsideRestoreTheTerminal) {
    const int signals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
    for (int signal_number : signals) {
        auto run = start("compute", "go");
        kill(run->pid, signal_number);
        const std::optional<int> status = run->wait_exit();
        if (signal_number == SIGQUIT)
            EXPECT_TRUE(test::exited_with(status, 131));
        else
            EXPECT_TRUE(died_of(status, signal_number)) << strsignal(signal_number);
        EXPECT_TRUE(test::same_settings(run->settings(), run->settings_before)) << strsignal(signal_number);
    }
}

// A shell puts its own settings back when a job stops; going on, kavo must
// return to raw mode.
TEST_F(TerminalTest, ContinuingAfterAStopReturnsToRawMode) {
    auto run = start("keys", ">");
    kill(run->pid, SIGSTOP);
    int status;
    ASSERT_EQ(waitpid(run->pid, &status, WUNTRACED), run->pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    tcsetattr(run->master, TCSANOW, &run->settings_before);
    kill(run->pid, SIGCONT);
    const auto deadline = test::Clock::now() + 10s;
    while (run->settings().c_lflag & ECHO && test::Clock::now() < deadline)
        usleep(10000);
    run->type("x\r");
    EXPECT_TRUE(run->wait_for("78+0D "));
    EXPECT_EQ(run->output, "78+0D ");
    run->type("q");
    EXPECT_TRUE(exited_with_zero(run->wait_exit()));
    EXPECT_TRUE(test::same_settings(run->settings(), run->settings_before));
}

struct PipedInput {
    std::string input;
    std::string printed;  // by the keys program, before the end of input ends the run
};

// Console status never reports script input: every mark is ' '.
const PipedInput piped_inputs[] = {
    {"ab\r\ncd\nx\x08", ">61 62 0D 63 64 0D 78 7F 0D "},  // a last line without line end gets its Enter
    {"", ">"},
    {"\n\n", ">0D 0D "},
    {"\r\r\n", ">0D 0D "},
    {"\x1b[A", ">1B 5B 41 0D "},  // no terminal, no key sequences
    {"qrest", ">71 "},
    {std::string("\0\xff\n", 3), ">00 FF 0D "},
};

TEST_F(TerminalTest, WithoutTerminalKeysComeFromStandardInput) {
    for (const PipedInput& piped : piped_inputs) {
        const test::Result run = test::run_kavo(directory.path(), {"keys"}, piped.input);
        EXPECT_EQ(run.status, 0) << testing::PrintToString(piped.input);
        EXPECT_EQ(run.output, piped.printed) << testing::PrintToString(piped.input);
    }
    const Burst typed_ahead = burst();
    const test::Result run = test::run_kavo(directory.path(), {"keys"}, typed_ahead.typed, 60s);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(without_status_marks(run.output), typed_ahead.codes);
}

TEST_F(TerminalTest, WithoutTerminalOutputGoesToStandardOutputInOrder) {
    directory.write("output.com", output_program("a\nb\x07" "c"));
    const test::Result run = test::run_kavo(directory.path(), {"output"}, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "a\nbc\nHALT instruction\n");
}

}  // namespace
