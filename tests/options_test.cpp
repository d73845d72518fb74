// kavo's own options: help, version, refusals, and where the program's command line begins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/assembler.h"
#include "tests/run.h"

namespace {

using namespace test;

struct Outcome {
    std::string output;  // standard output
    std::string errors;  // standard error
    int status = -1;
};

// Runs kavo with arguments in a directory that holds TAIL.COM, a program that
// prints its command tail between angle brackets.
Outcome run_with_options(const std::vector<std::string>& arguments) {
    TemporaryDirectory directory, errors_directory;
    Assembler tail;
    tail.lxi(HL, 0x0080).mov(E, M).mvi(D, 0).dad(DE).inx(HL).mvi(M, '$');  // '$' after the tail
    tail.mvi(E, '<').bdos(2).lxi(DE, 0x0081).bdos(9).mvi(E, '>').bdos(2).exit();
    tail.write(directory / "TAIL.COM");
    const std::string errors_path = errors_directory / "errors";
    const Result result = run_kavo(directory.path(), arguments, "", std::chrono::seconds(60), [&] {
        const int descriptor = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        return descriptor >= 0 && dup2(descriptor, STDERR_FILENO) >= 0;
    });
    return {result.output, read_file(errors_path), result.status};
}

TEST(Options, HelpListsEveryOptionAndRunsNothing) {
    for (const char* help : {"--help", "-h"}) {
        const Outcome outcome = run_with_options({help, "TAIL"});
        EXPECT_EQ(outcome.output.rfind("Usage: kavo [OPTION...] PROGRAM [ARGUMENT...]\n", 0), 0u) << help;
        for (const char* option : {"--ccp", "--drive X=DIR", "-h, --help", "--keys NAME", "--printer FILE", "--punch FILE",
                                   "--reader FILE", "--trace LIST", "--trace-file FILE", "--version", "EXIT"})
            EXPECT_NE(outcome.output.find(option), std::string::npos) << option;
        std::istringstream lines(outcome.output);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 80u) << "wider than a terminal: " << line;
        EXPECT_EQ(outcome.output.find('<'), std::string::npos) << "the program ran";
        EXPECT_EQ(outcome.errors, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

// The help of a long option wraps onto lines indented to the help column
// instead of running past the terminal's edge, and loses no word.
TEST(Options, HelpLinesFitEightyColumns) {
    const std::string help = run_with_options({"--help"}).output;
    std::string joined;  // the help with each line break and indentation as one space
    std::size_t start = 0;
    for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = help.substr(start, end - start);
        EXPECT_LE(line.size(), 80u) << line;
        const std::size_t text = line.find_first_not_of(' ');
        if (text != std::string::npos && text > 0 && line[text] != '-' && line.compare(text, 3, "or:") != 0) {
            EXPECT_EQ(text, 25u) << "a continuation line: " << line;
        }
        joined += ' ';
        joined += line.substr(text == std::string::npos ? line.size() : text);
    }
    for (const char* words : {"adm3a (also kaypro)", "ansi, the default"})
        EXPECT_NE(joined.find(words), std::string::npos) << words << " in:\n" << help;
}

TEST(Options, VersionIsTheBuildVersion) {
    const Outcome outcome = run_with_options({"--version", "TAIL"});
    EXPECT_EQ(outcome.output, "kavo " KAVO_VERSION "\n");
    EXPECT_EQ(outcome.status, 0);
}

// Each refused command line prints one line on standard error that names what
// was wrong and points to --help, runs nothing and ends with status 2.
TEST(Options, RefusedCommandLinesRunNothing) {
    const struct {
        std::vector<std::string> arguments;
        std::string named;
    } cases[] = {
        {{"--bogus", "TAIL"}, "'--bogus'"},
        {{"-x", "TAIL"}, "'-x'"},
        {{"--version=2", "TAIL"}, "--version takes no value"},
        {{"--drive"}, "--drive needs a value"},
        {{"--drive", "Q=.", "TAIL"}, "--drive"},
        {{"--drive", "B", "TAIL"}, "--drive"},
        {{"--drive", "B=no-such-directory", "TAIL"}, "'no-such-directory' is not a directory"},
        {{"--drive", "B=TAIL.COM", "TAIL"}, "'TAIL.COM' is not a directory"},
        {{"--drive=B=."}, "no PROGRAM"},
        {{"--drive", "B=.", "--drive", "b=.", "TAIL"}, "drive B: is mapped twice"},
        {{"--trace=foo", "TAIL"}, "'foo' is none of bdos, cpu"},
        {{"--trace=bdos,", "TAIL"}, "'' is none of bdos, cpu"},
        {{"--trace=cpu", "--trace-from=XYZ", "TAIL"}, "'XYZ' is not an address"},
        {{"--trace=cpu", "--trace-from=10000", "TAIL"}, "'10000' is not an address"},
        {{"--trace=cpu", "--trace-count=-1", "TAIL"}, "'-1' is not a count"},
        {{"--trace=cpu", "--trace-count=0", "TAIL"}, "'0' is not a count"},
        {{"--trace=bdos", "--trace-file", "no-such-directory/trace.log", "TAIL"},
         "'no-such-directory' is not a directory"},
        {{"--trace-file=trace.log", "TAIL"}, "--trace-file needs --trace"},
        {{"--trace=bdos", "--trace-from=100", "TAIL"}, "need --trace=cpu"},
        {{"--keys", "emacs", "TAIL"}, "'emacs' is none of terminal, wordstar"},
        {{"--printer=", "TAIL"}, "--printer: expected a file name"},
        {{"--reader"}, "--reader needs a value"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run_with_options(c.arguments);
        EXPECT_EQ(outcome.output, "") << c.named;
        EXPECT_NE(outcome.errors.find(c.named), std::string::npos) << outcome.errors;
        EXPECT_NE(outcome.errors.find("--help"), std::string::npos) << outcome.errors;
        EXPECT_EQ(outcome.errors.find('\n'), outcome.errors.size() - 1) << "one line: " << outcome.errors;
        EXPECT_EQ(outcome.status, 2) << c.named;
    }
}

// Options end at the program's name or at "--"; what follows belongs to the
// program, options of kavo's included.
TEST(Options, EverythingFromTheProgramOnIsTheProgramsCommandLine) {
    const struct {
        std::vector<std::string> arguments;
        std::string output;
    } cases[] = {
        {{"TAIL", "--help", "-x"}, "< --HELP -X>"},
        {{"--", "TAIL", "--version"}, "< --VERSION>"},
        {{"--drive=B=.", "--drive", "c=.", "TAIL", "--", "a"}, "< -- A>"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run_with_options(c.arguments);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.errors, "");
        EXPECT_EQ(outcome.status, 0);
    }
    const Outcome program_named_like_an_option = run_with_options({"--", "--help"});
    EXPECT_EQ(program_named_like_an_option.errors, "kavo: --help.com: No such file or directory\n");
    EXPECT_EQ(program_named_like_an_option.status, 1);
}

}  // namespace
