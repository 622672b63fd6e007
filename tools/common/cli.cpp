#include "cli.h"

#include <sndfile.h>

#include <iostream>
#include <new>

namespace tw::tool {

std::string version_text(const std::string &program, const char *version) {
  return program + " " + version + " (" + sf_version_string() + ")";
}

void add_sample_format(CLI::App &app, std::string &format) {
  app.add_option("--format", format,
                 "Sample format: float (32-bit, default) or pcm16")
      ->check(CLI::IsMember({"float", "pcm16"}));
}

void add_quiet(CLI::App &app, bool &quiet) {
  app.add_flag("-q,--quiet", quiet, "Do not print the summary line");
}

int run_tool(CLI::App &app, int argc, char **argv,
             const std::function<int()> &run) {
  const std::string program = app.get_name();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::cerr << program << ": " << printable(e.what()) << " (see --help)\n";
    return kExitFault;
  }
  try {
    return run();
  } catch (const Error &e) {
    std::cerr << program << ": " << printable(e.what()) << "\n";
    return kExitFault;
  } catch (const std::bad_alloc &) {
    std::cerr << program << ": out of memory\n";
    return kExitFault;
  }
}

} // namespace tw::tool
