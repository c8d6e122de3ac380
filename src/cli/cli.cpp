// The command line of driftsim: its options, --help and --version.
#include "cli/cli.hpp"
#include "common/common.hpp"
#include "cpu/cpu.hpp"

#include <getopt.h>

#include <iterator>
#include <string_view>

#include "cpu/threads.hpp"
#include "rows/rows.hpp"

namespace driftsim {

namespace {

void UsageError(CommandLine& cl, const std::string& what) {
  cl.action = CommandLine::kUsageError;
  cl.error = "driftsim: " + what + "; see 'driftsim --help'";
}

void Override(CommandLine& cl, const char* name, const char* option, const char* value,
              bool literal = false) {
  cl.options.overrides.push_back({name, value, std::string(option) + " " + value, literal});
}

// A file name option: an empty name would silently mean none.
void FileName(CommandLine& cl, std::string& field, const char* option, const char* value) {
  if (*value == '\0') return UsageError(cl, std::string("option '") + option + "' needs a file");
  field = value;
}

// A model option: the value is checked at once, and a bad one is a usage error.
void Model(CommandLine& cl, const char* name, const char* value) {
  const std::string refusal = SetModelOption(cl.options.model, name, value);
  if (!refusal.empty()) UsageError(cl, refusal);
  cl.options.modelGiven.emplace_back(name);
}

// One option: its long name, short name (0: none), value name (null: takes none), the lines of
// its --help text, and what it sets. Adding an option is adding a row.
struct OptionRow {
  const char* name;
  char shortName;
  const char* valueName;
  const char* help;
  void (*apply)(CommandLine& cl, const char* value);
};

const OptionRow kOptions[] = {
    {"seed", 's', "N", "replace IDUM, the seed; checked as on its line",
     [](CommandLine& cl, const char* v) { Override(cl, "IDUM", "--seed", v); }},
    {"out", 'o', "STEM",
     "replace OutFile, the stem of the output files;\n"
     "taken literally, so a path needs no quotes",
     [](CommandLine& cl, const char* v) { Override(cl, "OutFile", "--out", v, true); }},
    {"set", 0, "NAME=VALUE",
     "replace the value NAME of the parameter file\n"
     "(names below, any case); VALUE is read as on its\n"
     "line; repeatable, applied in order",
     [](CommandLine& cl, const char* v) {
       const std::string_view text = v;
       const size_t eq = text.find('=');
       if (eq == 0 || eq == std::string_view::npos) {
         return UsageError(cl, "option '--set' needs NAME=VALUE, not '" + std::string(text) + "'");
       }
       cl.options.overrides.push_back({std::string(text.substr(0, eq)),
                                       std::string(text.substr(eq + 1)),
                                       "--set " + std::string(text)});
     }},
    {"check", 0, nullptr,
     "read and check everything: the values, the output\n"
     "folder, the memory the tables need; print the\n"
     "parameters, table sizes and memory estimate; exit 0\n"
     "if the run would start. Simulates nothing, writes\n"
     "nothing but --write-params",
     [](CommandLine& cl, const char*) { cl.options.check = true; }},
    {"write-params", 0, "FILE",
     "write the effective parameters as a parameter\n"
     "file; FILE then reproduces the run",
     [](CommandLine& cl, const char* v) {
       FileName(cl, cl.options.writeParams, "--write-params", v);
     }},
    {"quiet", 'q', nullptr, "print only errors and the completion lines",
     [](CommandLine& cl, const char*) { cl.options.console = ConsoleMode::kQuiet; }},
    {"progress", 0, nullptr,
     "as --quiet, and a self-redrawing progress line per\n"
     "phase on standard error (when that is not a\n"
     "terminal, a plain line at every 10%)",
     [](CommandLine& cl, const char*) { cl.options.console = ConsoleMode::kProgress; }},
    {"summary", 0, "FILE",
     "after a completed run, write a JSON record of it\n"
     "to FILE; - : to standard output, the console lines\n"
     "then going to standard error",
     [](CommandLine& cl, const char* v) { FileName(cl, cl.options.summary, "--summary", v); }},
    {"burn-in", 0, "G", "generations before sample 1, 0 to 100000000\n(default 250)",
     [](CommandLine& cl, const char* v) { Model(cl, "burn-in", v); }},
    {"mutation-rate", 0, "U",
     "K-allele mutation rate per gene copy per\ngeneration, 0 to 0.1 (default 1e-4; 0: none)",
     [](CommandLine& cl, const char* v) { Model(cl, "mutation-rate", v); }},
    {"sizes", 0, "FILE",
     "population size by generation: lines\n'GENERATION SIZE', that size from that generation\non; "
     "before the first line, Ne; GENERATION may\ncount from sample 1: S1, S1+N, S1-N",
     [](CommandLine& cl, const char* v) { Model(cl, "sizes", v); }},
    {"ne-ratio", 0, "R",
     "family sizes vary so that the effective size is\nR times the census size, 0 < R <= 1 "
     "(default 1)",
     [](CommandLine& cl, const char* v) { Model(cl, "ne-ratio", v); }},
    {"chromosomes", 0, "N:M",
     "linked loci: N chromosomes of M Morgans each, the\nloci spread over them in order and "
     "evenly",
     [](CommandLine& cl, const char* v) { Model(cl, "chromosomes", v); }},
    {"map", 0, "FILE",
     "linked loci: a PLINK .map file, one line per locus\nin locus order (chromosome, name, cM, "
     "bp)",
     [](CommandLine& cl, const char* v) { Model(cl, "map", v); }},
    {"threads", 0, "N",
     "threads of the run, 1 to 1024 (default: DRIFTSIM_THREADS,\nelse the CPUs this process may "
     "run on); the\noutput bytes never depend on it",
     [](CommandLine& cl, const char* v) {
       cl.options.threads = ThreadCountFromText(v);
       if (cl.options.threads == 0)
         UsageError(cl, "--threads: '" + std::string(v) + "' is not a thread count");
     }},
    {"help", 'h', nullptr, "print this help and exit",
     [](CommandLine& cl, const char*) { cl.action = CommandLine::kShowHelp; }},
    {"version", 0, nullptr, "print the version and exit",
     [](CommandLine& cl, const char*) { cl.action = CommandLine::kShowVersion; }},
};
constexpr int kRows = static_cast<int>(std::size(kOptions));

// getopt_long's code of row i: its short name, else a value past every character.
constexpr int kLongOnly = 256;
int CodeOf(int i) {
  return kOptions[i].shortName ? kOptions[i].shortName : kLongOnly + i;
}
const OptionRow* RowOf(int code) {
  for (int i = 0; i < kRows; ++i) {
    if (CodeOf(i) == code) return &kOptions[i];
  }
  return nullptr;
}

// An option as given, without an attached value.
std::string AsGiven(const char* token) {
  const std::string_view text = token;
  return std::string(text.substr(0, text.find('=')));
}

}  // namespace

CommandLine ReadCommandLine(int argc, char** argv) {
  CommandLine cl;
  // A leading ':' makes getopt_long tell a missing value (':') from an unknown option ('?').
  std::string shortOptions = ":";
  std::vector<option> longOptions;
  for (int i = 0; i < kRows; ++i) {
    const OptionRow& row = kOptions[i];
    longOptions.push_back(
        {row.name, row.valueName ? required_argument : no_argument, nullptr, CodeOf(i)});
    if (row.shortName) {
      shortOptions += row.shortName;
      if (row.valueName) shortOptions += ':';
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  optind = 0;  // glibc: start afresh, also after an earlier call
  for (;;) {
    int index = -1;
    const int code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), &index);
    if (code == -1) break;
    // The element that held the option: the one before its separate value, if it has one.
    const char* token =
        optarg && optind >= 2 && optarg == argv[optind - 1] ? argv[optind - 2] : argv[optind - 1];
    const OptionRow* row =
        index >= 0 ? &kOptions[index] : RowOf(code == '?' || code == ':' ? optopt : code);
    const bool isLong = token[0] == '-' && token[1] == '-';
    const std::string named =
        isLong || !row ? AsGiven(token) : std::string("-") + static_cast<char>(optopt);
    if (code == ':') {
      UsageError(cl, "option '" + named + "' needs a value");
    } else if (code == '?' && row && optopt != 0 && isLong) {
      UsageError(cl, "option '" + named + "' takes no value");
    } else if (code == '?') {
      UsageError(cl, "unknown option '" +
                         (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : named) +
                         "'");
    } else if (isLong && AsGiven(token) != std::string("--") + row->name) {
      UsageError(cl, "unknown option '" + AsGiven(token) + "'");  // an abbreviation
    } else {
      row->apply(cl, optarg);
    }
    if (cl.action != CommandLine::kRun) return cl;
  }
  if (optind < argc) cl.options.paramFile = argv[optind++];
  if (optind < argc) UsageError(cl, std::string("unexpected argument '") + argv[optind] + "'");
  return cl;
}

std::string HelpText() {
  std::string text =
      std::string("driftsim ") + kVersion +
      " - simulates temporal genetic samples of a Wright-Fisher population\n"
      "\n"
      "Usage: driftsim [OPTIONS] [PARAMFILE]\n"
      "\n"
      "Reads the nineteen values of the simulation parameter file PARAMFILE (default\n"
      "SimPara.txt in the working directory), simulates the population and writes\n"
      "  <OutFile>.dat  the genotypes of the two temporal samples and the source sample\n"
      "  <OutFile>.par  the parameter file of the estimation program\n"
      "Both files appear whole or not at all.\n"
      "\n"
      "Options, before or after PARAMFILE ('--' ends them):\n";
  // Left column: short and long name with the value; the help lines start after the widest.
  std::vector<std::string> left;
  size_t width = 0;
  for (const OptionRow& row : kOptions) {
    std::string l = row.shortName ? std::string("  -") + row.shortName + ", " : "      ";
    l += std::string("--") + row.name;
    if (row.valueName) l += std::string(" ") + row.valueName;
    width = std::max(width, l.size());
    left.push_back(l);
  }
  for (int i = 0; i < kRows; ++i) {
    std::string l = left[size_t(i)];
    for (std::string_view help = kOptions[i].help;;) {
      const size_t end = help.find('\n');
      l.resize(width + 2, ' ');
      text += l + std::string(help.substr(0, end)) + "\n";
      if (end == std::string_view::npos) break;
      help.remove_prefix(end + 1);
      l.clear();
    }
  }
  text += "\nNames for --set (NumIndiv0, 1, 2: source sample, samples 1 and 2):\n ";
  size_t column = 1;
  for (const ParamValue& v : ParamValues(Params{})) {
    const std::string_view name = v.name;
    if (column + 1 + name.size() > 79) {
      text += "\n ";
      column = 1;
    }
    text += " " + std::string(name);
    column += 1 + name.size();
  }
  text +=
      "\n\n"
      "Exit status: 0 after a complete run (with --check: the run would start),\n"
      "1 after any error (the console names it), among them a value of the parameter\n"
      "file however given (--seed, --out, --set) and DRIFTSIM_THREADS; 2 for a wrong\n"
      "command line, among them a value refused by an option of its own (--burn-in,\n"
      "--mutation-rate, --sizes, --ne-ratio, --chromosomes, --map, --threads); 130 or 143 when "
      "interrupted.\n"
      "\n"
      "Environment: DRIFTSIM_KERNEL forces a row of CPU routines, one of\n"
      "  " +
      std::string(KernelNames()) +
      "\n"
      "(default: the fastest this processor runs, " +
      KernelName(BestKernel()) +
      " here; every row writes the same bytes).\n"
      "\n"
      "The parameter file format is described in README.md and in driftsim(1).\n";
  return text;
}

namespace {

// The row a run would take, or why DRIFTSIM_KERNEL is refused.
std::string RowInUse() {
  try {
    return KernelName(KernelFromEnvironment());
  } catch (const FatalError& e) {
    return "none (" + e.Message() + ")";
  }
}

}  // namespace

std::string VersionText() {
  // The first line stays "driftsim VERSION": scripts read it.
  const std::string version = kVersion;
  return "driftsim " + version +
         "\n"
         "To cite it: driftsim " +
         version +
         " (metadata in CITATION.cff); cite its model as \"described in\n"
         "driftsim(1), MODEL\" (also docs/model.md). With the same parameter file, options and\n"
         "seed, a release writes the same bytes; every change to them is listed under its\n"
         "release in CHANGELOG.md.\n"
         "CPU routines: " +
         RowInUse() + "; processor: " + CpuDescription() + "\n";
}

}  // namespace driftsim
