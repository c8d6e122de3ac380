// Command line: the options of a run, read with getopt_long from one table of options that
// also gives --help its lines. Parameter overrides are only collected here; the parameter
// reader reads and checks their values.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cpu/cpu.hpp"
#include "cpu/threads.hpp"
#include "description/description.hpp"

namespace driftsim {

inline constexpr const char* kVersion = DRIFTSIM_VERSION;

// What the console shows: every line (as without options), only the completion lines, or
// those and a progress line per phase on standard error.
enum class ConsoleMode { kNormal, kQuiet, kProgress };

// Everything the command line asks of a run.
struct RunOptions {
  std::optional<std::string> paramFile;  // PARAMFILE; none: the default file
  std::vector<ParamOverride> overrides;  // in the order given
  bool check = false;                    // read and check, then stop
  std::string writeParams;               // file for the effective parameters; empty: none
  ConsoleMode console = ConsoleMode::kNormal;
  std::string summary;  // file for the JSON record; "-": standard output; empty: none
  ModelOptions model;   // --burn-in, --mutation-rate, --sizes, --ne-ratio
  std::vector<std::string> modelGiven;  // their names, as given: they win over the file's
  int threads = 0;  // --threads; 0: DRIFTSIM_THREADS, else the CPUs of the affinity mask
  // Not on the command line: a row forced by the caller (none: DRIFTSIM_KERNEL, else the
  // best), and the work per task of the threaded steps.
  std::optional<Kernel> kernel;
  TaskSize tasks;
};

struct CommandLine {
  enum Action { kRun, kShowHelp, kShowVersion, kUsageError };
  Action action = kRun;
  RunOptions options;
  std::string error;  // kUsageError: the one line for standard error
};

// Reads the command line. Options may come before or after PARAMFILE and "--" ends them; long
// options are taken by their whole names only, so that a new option never makes an
// abbreviation in a script ambiguous. getopt_long may reorder argv.
CommandLine ReadCommandLine(int argc, char** argv);

// The text of --help.
std::string HelpText();

// The text of --version: the version line, then how to cite driftsim.
std::string VersionText();

}  // namespace driftsim
