// The frame of a tool's command line, the same for every tool: its options
// read by CLI11, one message and kExitFault for anything wrong, 128 + the
// signal number when stopped.
#pragma once

#include "os.h"
#include "text.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace tw::tool {

using os::catch_stop_signals;
using os::g_stop_signal;

// Bad input of any kind: a missing or malformed file, a bad option value, an
// unwritable output, samples that are not numbers.
constexpr int kExitFault = 2;

// What a tool that stopped for a signal exits with.
inline int stopped_status() { return 128 + g_stop_signal; }

// "PROGRAM VERSION (libsndfile's version)", for --version.
std::string version_text(const std::string &program, const char *version);

// The options every tool that writes sound takes alike: --format, the
// sample format (float or pcm16), and -q, no summary line.
void add_sample_format(CLI::App &app, std::string &format);
void add_quiet(CLI::App &app, bool &quiet);

// Reads the options into `app` and runs the tool. --help and --version are
// answered by CLI11; a bad option, an Error thrown by `run` and running out
// of memory each give one line on stderr, "PROGRAM: what is wrong", and
// kExitFault.
int run_tool(CLI::App &app, int argc, char **argv,
             const std::function<int()> &run);

} // namespace tw::tool
