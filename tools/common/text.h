// What the tools read and print as text: files of text, numbers written in
// decimal, and what a message may show of its input. tractwave-render and
// tractwave-say share it, and so does the score rule (and with it the parser
// fuzzer), so it needs nothing but the C++ library.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tw::tool {

// A fault in the input or the options; what() names the file and the line,
// key or option at fault. The tools report it and exit with kExitFault.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads a file (or FIFO) of at most max_bytes, "-" meaning standard input
// where allow_stdin; a directory, an unreadable or a larger file is an Error
// naming it as `what` ("score", "dictionary"), with `raise` telling how to
// allow more.
std::string read_text_file(const std::string &path, const std::string &what,
                           std::size_t max_bytes, const std::string &raise,
                           bool allow_stdin = false);

// A number written in decimal as CSV cells and command-line options take it
// (an optional sign, digits, a decimal point, an exponent), if `text` is one.
// "nan", "inf", hexadecimal and octal forms are not numbers here.
std::optional<double> decimal_number(std::string_view text);

// Text from the input made safe to print: quoted, with control characters
// escaped (so that a terminal shows them rather than obeys them) and cut
// short after 40 characters.
std::string quote(std::string_view text);

// The same escaping for the rest of a message (file names, option values,
// words), unquoted and whole, so that no message can drive the terminal.
std::string printable(const std::string &message);

// A level as dBFS, for the tools' summaries.
std::string decibels(double level);

// Appends code point `cp` (at most U+10FFFF) as UTF-8. A surrogate is kept
// as its three-byte form, so that a message can show it.
void append_utf8(std::string &out, unsigned cp);

} // namespace tw::tool
