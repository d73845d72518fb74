// Lines of text to standard error or to a file, each written out as it is made, as a trace needs them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace host {

// A destination of whole lines on an unbuffered descriptor: standard error,
// or a file of its own. Each line goes out in one write when it is made, so
// whatever ends the process (Ctrl+\, a signal) finds every line before it
// written and nothing held. On a terminal a line ends in CR LF, since the
// console's raw mode may have turned off the translation of LF; elsewhere in
// LF.
class LineOutput {
public:
    // Standard error.
    LineOutput();
    // The file at path, created or emptied; nothing, with the reason in
    // reason, when it cannot be opened for writing.
    static std::optional<LineOutput> create(const std::string& path, std::string& reason);
    LineOutput(LineOutput&& other) noexcept;
    LineOutput& operator=(LineOutput&& other) noexcept;
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;
    ~LineOutput();

    // Writes text and a line end. After a write that failed nothing more is
    // written.
    void write_line(std::string_view text);

    // Whether the lines land in the file standard output writes to (both on
    // one terminal, or both redirected to one file or pipe), where their
    // order with console output shows.
    bool shares_standard_output() const { return shares_output; }
    // The reason the lines could not all be written; empty when they were, or
    // when the reader of a pipe went away.
    std::string failure() const;

private:
    LineOutput(int descriptor, bool owned);
    int descriptor = -1;
    bool owned = false;  // opened here, closed at the end
    bool terminal = false;
    bool shares_output = false;
    int error = 0;       // errno of the write that failed; 0 while writes work
    std::string buffer;  // the line being written, with its line end
};

}  // namespace host
