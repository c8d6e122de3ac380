#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli/cli.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

namespace fs = std::filesystem;

// What a command line asks for, in one line: the action, or the fields that differ from a
// run without options.
std::string Reading(std::vector<std::string> args) {
  args.insert(args.begin(), "driftsim");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const CommandLine c = ReadCommandLine(static_cast<int>(args.size()), argv.data());
  if (c.action == CommandLine::kUsageError) return c.error;
  if (c.action == CommandLine::kShowHelp) return "help";
  if (c.action == CommandLine::kShowVersion) return "version";
  const RunOptions& o = c.options;
  std::string s = "run";
  if (o.paramFile) s += " file=" + *o.paramFile;
  for (const ParamOverride& v : o.overrides) {
    s += " " + v.name + "=" + v.value + (v.literal ? " literal" : "") + " [" + v.option + "]";
  }
  if (o.check) s += " check";
  if (!o.writeParams.empty()) s += " write-params=" + o.writeParams;
  if (o.console == ConsoleMode::kQuiet) s += " quiet";
  if (o.console == ConsoleMode::kProgress) s += " progress";
  if (!o.summary.empty()) s += " summary=" + o.summary;
  return s;
}

std::string Usage(const std::string& what) {
  return "driftsim: " + what + "; see 'driftsim --help'";
}

TEST(ReadCommandLine, OptionsValuesAndUsageErrors) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "run"},
      {{"p.txt"}, "run file=p.txt"},
      {{"-s", "5", "p.txt"}, "run file=p.txt IDUM=5 [--seed 5]"},
      // Options after the file; a negative seed is a value, attached or not.
      {{"p.txt", "--seed=-7"}, "run file=p.txt IDUM=-7 [--seed -7]"},
      {{"-s-7"}, "run IDUM=-7 [--seed -7]"},
      {{"-o", "my dir/run 1"}, "run OutFile=my dir/run 1 literal [--out my dir/run 1]"},
      {{"--out", "--x"}, "run OutFile=--x literal [--out --x]"},
      {{"--set", "Ne=100", "--set", "ne=2=0"}, "run Ne=100 [--set Ne=100] ne=2=0 [--set ne=2=0]"},
      {{"--set=MigRate=0.5"}, "run MigRate=0.5 [--set MigRate=0.5]"},
      {{"-q", "--progress"}, "run progress"},
      {{"-qs", "3"}, "run IDUM=3 [--seed 3] quiet"},
      {{"--check", "--write-params", "w.txt", "--summary", "-"},
       "run check write-params=w.txt summary=-"},
      {{"--", "-p.txt"}, "run file=-p.txt"},
      {{"-h"}, "help"},
      {{"--help", "--bogus"}, "help"},
      {{"p.txt", "--version"}, "version"},
      {{"--bogus"}, Usage("unknown option '--bogus'")},
      {{"--bogus=1", "--help"}, Usage("unknown option '--bogus'")},
      {{"-x"}, Usage("unknown option '-x'")},
      // Long options by their whole names only, so that a later option cannot make a
      // script's abbreviation ambiguous.
      {{"--che"}, Usage("unknown option '--che'")},
      {{"--s", "5"}, Usage("unknown option '--s'")},
      {{"--seed"}, Usage("option '--seed' needs a value")},
      {{"p.txt", "-o"}, Usage("option '-o' needs a value")},
      {{"-qs"}, Usage("option '-s' needs a value")},
      {{"--check=yes"}, Usage("option '--check' takes no value")},
      {{"a", "b"}, Usage("unexpected argument 'b'")},
      {{"--set", "Ne"}, Usage("option '--set' needs NAME=VALUE, not 'Ne'")},
      {{"--summary", ""}, Usage("option '--summary' needs a file")},
  };
  for (const auto& [args, expected] : cases) {
    std::string line;
    for (const std::string& a : args) line += " '" + a + "'";
    EXPECT_EQ(Reading(args), expected) << line;
  }
}

// A run of the binary in dir: exit status, standard output and standard error.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};
Outcome RunIn(const fs::path& dir, const std::string& args, const std::string& prefix = "") {
  TempDir capture;
  const std::string command = "cd '" + dir.string() + "' && " + prefix + " " DRIFTSIM_BINARY " " +
                              args + " >'" + (capture / "out") + "' 2>'" + (capture / "err") + "'";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(capture / "out"),
          ReadFile(capture / "err")};
}

// Standard output of a shell command.
std::string Shell(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  return out;
}

// A small migration run, quick enough for many end-to-end runs.
ParamLines SmallRun() {
  ParamLines p;
  p[2] = "40";
  p[4] = "30";
  p[6] = "2";
  p[7] = p[8] = p[9] = "12";
  p[13] = "100";
  return p;
}

std::string Masked(std::string console) {
  return console.substr(0, console.rfind("Time_Taken = "));
}

TEST(CommandLine, OverridesGiveTheBytesOfTheEditedFile) {
  struct Case {
    std::string args;
    std::vector<std::pair<int, std::string>> edits;  // line, value in the file
  };
  const Case cases[] = {
      {"-s 123457", {{10, "123457"}}},
      {"-o 'sub dir/my run'", {{11, "'sub dir/my run'"}}},
      {"--set migrate=5D-2", {{3, "0.05"}}},
      {"--set NumLoci=37", {{4, "37"}}},
      {"--set NumIndiv1=20", {{8, "20"}}},
      {"--set NumAllele=2 --seed=-99 --set NumIndiv0=5 --set Model=0 --set NUMINDIV2=3",
       {{5, "2"}, {10, "-99"}, {1, "0"}, {9, "3"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    TempDir withOptions, edited, rewritten;
    for (const TempDir* d : {&withOptions, &edited, &rewritten}) {
      fs::create_directory(d->Path() / "sub dir");
    }
    WriteFile(withOptions / "p.txt", SmallRun().Text());
    ParamLines p = SmallRun();
    for (const auto& [line, value] : c.edits) p[line] = value;
    WriteFile(edited / "p.txt", p.Text());
    const Outcome a = RunIn(withOptions.Path(), "p.txt --write-params ../w.txt " + c.args);
    const Outcome b = RunIn(edited.Path(), "p.txt");
    ASSERT_EQ(a.status, 0) << a.out;
    ASSERT_EQ(b.status, 0) << b.out;
    EXPECT_EQ(Masked(a.out), Masked(b.out));
    // The written parameter file reproduces the run.
    fs::rename(withOptions.Path() / "../w.txt", rewritten / "p.txt");
    const Outcome w = RunIn(rewritten.Path(), "p.txt");
    ASSERT_EQ(w.status, 0) << w.out;
    const std::string stem = c.args.starts_with("-o") ? "sub dir/my run" : "run1";
    for (const char* ext : {".dat", ".par"}) {
      const std::string bytes = ReadFile(edited / (stem + ext));
      EXPECT_FALSE(bytes.empty());
      EXPECT_EQ(ReadFile(withOptions / (stem + ext)), bytes) << ext;
      EXPECT_EQ(ReadFile(rewritten / (stem + ext)), bytes) << ext;
    }
  }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

// Every file under dir, with its contents.
std::map<std::string, std::string> Contents(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    files[e.path().string()] = e.is_regular_file() ? ReadFile(e.path().string()) : "(dir)";
  }
  return files;
}

TEST(CommandLine, CheckWritesNothingAndStopsWithTheRunsMessage) {
  TempDir dir;
  WriteFile(dir / "p.txt", SmallRun().Text());
  const auto before = Contents(dir.Path());
  const std::string tooBig =
      "Too large Ne/SampleSize or/and too many loci. Out of memory!\n20000000*100036 bytes are "
      "required!";
  struct Case {
    std::string args;
    std::string prefix;
    std::string message;  // empty: the run would start
  };
  std::vector<Case> cases = {
      {"--set Ne=50", "", ""},
      {"-o missing/run", "", "Cannot create file missing/run.dat: No such file or directory!"},
      {"--set NumIndiv1=0", "", "NumIndiv value out of range [1, 1000000]!"},
      {"--set Ne=1O0", "", "Error reading Ne in option --set Ne=1O0!"},
      // Beyond the physical memory of any machine that runs the tests.
      {"--set Ne=50000 --set MaxNe=50000 --set NumLoci=10000000 --set NumAllele=3", "", tooBig},
  };
  // Under an address-space limit, which AddressSanitizer's reservations exceed, and which under
  // an emulator bounds the emulator rather than the program.
  if (!kAddressSanitizer && !kEmulated) {
    cases.push_back({"--set Ne=1000 --set MaxNe=1000 --set NumLoci=100000",
                     "prlimit --as=300000000",
                     "Too large Ne/SampleSize or/and too many loci. Out of memory!\n200000*2036 "
                     "bytes are required!"});
    cases.push_back(
        {"--set Ne=1000 --set MaxNe=1000 --set NumLoci=20000", "prlimit --as=300000000", ""});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix + " " + c.args);
    const Outcome o = RunIn(dir.Path(), "--check p.txt " + c.args, c.prefix);
    EXPECT_EQ(Contents(dir.Path()), before);
    if (c.message.empty()) {
      EXPECT_EQ(o.status, 0);
      EXPECT_TRUE(o.out.ends_with("\nThe run would start.\n")) << o.out;
      EXPECT_NE(o.out.find("\nTables:\n  allele frequencies  "), std::string::npos) << o.out;
    } else {
      EXPECT_EQ(o.status, 1);
      EXPECT_TRUE(o.out.ends_with("\n" + c.message + "\n\nProgram stopped in subroutine " +
                                  (c.message.starts_with("Cannot") ? "WriteGenoFile\n"
                                   : c.message.starts_with("Too")  ? "Initialize\n"
                                                                   : "ReadPara\n")))
          << o.out;
    }
  }
}

// --check under linkage: the estimate grows by the map (16 bytes a locus and the chromosome
// table) and a generation's crossover plan, the lines it shows, and the unlinked one shows
// neither.
TEST(CommandLine, CheckCountsTheMapAndTheCrossoverPlan) {
  TempDir dir;
  ParamLines p = SmallRun();
  p[4] = "100000";
  WriteFile(dir / "p.txt", p.Text());
  std::string map;
  for (int L = 0; L < 100000; ++L) {
    map += std::to_string(1 + L / 50000) + " s" + std::to_string(L) + " " +
           std::to_string((L % 50000) / 1000) + " " + std::to_string(L % 50000) + "\n";
  }
  WriteFile(dir / "m.map", map);
  // The bytes of the line that starts with name, the first number after it.
  const auto bytes = [](const std::string& out, const std::string& name) -> int64_t {
    const size_t at = out.find("\n  " + name);
    if (at == std::string::npos) return -1;
    return std::stoll(out.substr(out.find_first_not_of(' ', at + 3 + name.size())));
  };
  const Outcome plain = RunIn(dir.Path(), "--check p.txt");
  ASSERT_EQ(plain.status, 0) << plain.out;
  EXPECT_EQ(bytes(plain.out, "genetic map"), -1);
  EXPECT_EQ(bytes(plain.out, "crossover plan"), -1);
  for (const char* option : {"--chromosomes 2:1.5", "--map m.map"}) {
    SCOPED_TRACE(option);
    const Outcome linked = RunIn(dir.Path(), std::string("--check p.txt ") + option);
    ASSERT_EQ(linked.status, 0) << linked.out;
    const int64_t mapBytes = bytes(linked.out, "genetic map");
    const int64_t plan = bytes(linked.out, "crossover plan");
    EXPECT_GE(mapBytes, 16 * 100000);
    EXPECT_LT(mapBytes, 16 * 100000 + 1000);
    EXPECT_GT(plan, 0);
    EXPECT_EQ(bytes(linked.out, "tables and buffers"),
              bytes(plain.out, "tables and buffers") + mapBytes + plan);
  }
}

TEST(CommandLine, SummaryRecordsTheRunAndItsDigests) {
  TempDir dir;
  WriteFile(dir / "p.txt", SmallRun().Text());
  const Outcome o = RunIn(dir.Path(), "p.txt -q --summary - --seed -31 --set MisRate=1E-3 -o r");
  ASSERT_EQ(o.status, 0) << o.err;
  // The console moves to standard error; standard output is the record alone.
  EXPECT_TRUE(o.err.starts_with("Simulation completed.\nData file = r.dat\n")) << o.err;
  const auto record = nlohmann::json::parse(o.out);
  EXPECT_EQ(record["exit_status"], 0);
  EXPECT_EQ(record["parameters"]["IDUM"], -31);
  EXPECT_EQ(record["parameters"]["MisRate"], 0.001);
  EXPECT_EQ(record["parameters"]["OutFile"], "r");
  EXPECT_EQ(record["generations"], 252);
  EXPECT_GT(record["peak_memory_bytes"].get<double>(), 0);
  EXPECT_GE(record["seconds"]["total"].get<double>(),
            record["seconds"]["generations"].get<double>());
  ASSERT_EQ(record["files"].size(), 2u);
  const std::string sums = Shell("cd '" + dir.Path().string() + "' && sha256sum r.dat r.par");
  std::string expected;
  for (const auto& f : record["files"]) {
    expected += f["sha256"].get<std::string>() + "  " + f["name"].get<std::string>() + "\n";
    EXPECT_EQ(f["bytes"], fs::file_size(dir.Path() / f["name"].get<std::string>()));
  }
  EXPECT_EQ(sums, expected);

  // To a file: the same record, and nothing on standard output beyond the completion lines.
  const Outcome toFile =
      RunIn(dir.Path(), "p.txt -q --summary run.json --seed -31 --set MisRate=1E-3 -o r");
  ASSERT_EQ(toFile.status, 0);
  EXPECT_TRUE(toFile.out.starts_with("Simulation completed.\n"));
  EXPECT_EQ(nlohmann::json::parse(ReadFile(dir / "run.json"))["files"], record["files"]);
}

TEST(CommandLine, UsageErrorsExitTwoAtOnce) {
  TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = RunIn(dir.Path(), "--bogus");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "driftsim: unknown option '--bogus'; see 'driftsim --help'\n");
  EXPECT_EQ(o.out, "");
  EXPECT_LT(seconds, 1.5);  // no fatal pause
}

}  // namespace
}  // namespace driftsim::test
