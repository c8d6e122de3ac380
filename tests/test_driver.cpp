// The run driver and the binary: the fatal report, the run sequence, arguments and bad
// parameter files end to end, sizes that cannot fit, and interruption by a signal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>

#include "fuzz/param_checks.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

namespace fs = std::filesystem;
using check::ReadErrorMessage;

TEST(IntToText, ShortestDecimalText) {
  EXPECT_EQ(IntToText(0), "0");
  EXPECT_EQ(IntToText(9), "9");
  EXPECT_EQ(IntToText(10), "10");
  EXPECT_EQ(IntToText(250), "250");
  EXPECT_EQ(IntToText(-1), "-1");
  EXPECT_EQ(IntToText(-42), "-42");
  EXPECT_EQ(IntToText(2147483647), "2147483647");
  EXPECT_EQ(IntToText(12700000000), "12700000000");
  EXPECT_EQ(IntToText(INT64_MIN), "-9223372036854775808");
}

TEST(FatalStop, ThrowsAndReportsFourLines) {
  try {
    FatalStop("Parameter file, SimPara.txt, does not exist!  ", "ReadPara ");
    FAIL() << "FatalStop returned";
  } catch (const FatalError& e) {
    EXPECT_EQ(FatalReport(e),
              "\nParameter file, SimPara.txt, does not exist!\n\nProgram stopped in subroutine "
              "ReadPara\n");
  }
}

// Each kind of failure names its kind, and where a system call on a file failed its errno and
// the file, so that a front end maps it without reading the message.
TEST(FatalStop, ErrorsCarryTheirKind) {
  TempDir dir;
  const std::string folder = dir.Path().string(), missing = folder + "/missing/run.dat";
  struct Case {
    const char* what;
    std::function<void()> fail;
    ErrorKind kind;
    int osError;
    std::string file;
  };
  const Case cases[] = {
      {"bad value", [] { Parse(ParamLines{}.Text().replace(0, 1, "7")); }, ErrorKind::kBadValue, 0,
       ""},
      {"no parameter file", [&] { ReadPara(missing); }, ErrorKind::kBadFile, ENOENT, missing},
      {"parameter file a folder", [&] { ReadPara(folder); }, ErrorKind::kBadFile, EISDIR, folder},
      {"no sizes file", [&] { ReadSizes(missing); }, ErrorKind::kBadFile, ENOENT, missing},
      {"output folder missing", [&] { OutputFile out(missing, "WriteGenoFile"); },
       ErrorKind::kCannotWrite, ENOENT, missing},
      {"tables too large",
       [] {
         CheckTablesFit({1000, 100000, 10, {0, 50, 50}}, 1000, 0);
       },
       ErrorKind::kOutOfMemory, 0, ""},
      {"broken invariant", [] { Check(false, "a test"); }, ErrorKind::kInternal, 0, ""},
  };
  for (const Case& c : cases) {
    try {
      c.fail();
      ADD_FAILURE() << c.what << ": no error";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.Kind(), c.kind) << c.what;
      EXPECT_EQ(e.OsError(), c.osError) << c.what;
      EXPECT_EQ(e.File(), c.file) << c.what;
    }
  }
}

// Runs the binary with the arguments in dir; returns its exit status and console text.
std::pair<int, std::string> RunBinary(const std::string& dir, const std::string& args) {
  const std::string command = "cd '" + dir + "' && " DRIFTSIM_BINARY " " + args;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(Binary, FatalStopExitsWithStatusOneAfterThePause) {
  TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  const auto [status, out] = RunBinary(dir.Path(), "");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(
      out,
      "\nParameter file, SimPara.txt, does not exist!\n\nProgram stopped in subroutine ReadPara\n");
  EXPECT_GT(seconds, 1.0);
  EXPECT_LT(seconds, 3.5);
}

TEST(Binary, HelpAndVersion) {
  TempDir dir;
  for (const char* flag : {"--help", "-h"}) {
    const auto [status, out] = RunBinary(dir.Path(), flag);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Usage: driftsim [OPTIONS] [PARAMFILE]"), std::string::npos);
  }
  const auto [status, out] = RunBinary(dir.Path(), "--version");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.rfind("driftsim ", 0), 0u);
}

// Console lines of an in-process run of the parameter lines, in dir.
std::vector<std::string> RunLines(const TempDir& dir, ParamLines p) {
  p[11] = "'" + (dir / "out") + "'";
  WriteFile(dir / "para.txt", p.Text());
  return TextLines(Console([&] { RunSimulation((dir / "para.txt").c_str()); }));
}

TEST(RunSimulation, RunSequenceLines) {
  TempDir dir;
  ParamLines p;
  p[1] = "0";
  p[2] = "20";
  p[4] = "5";
  p[6] = "1";
  std::vector<std::string> lines = RunLines(dir, p);
  // Reading line, initialisation, 251 generations, 9 report lines and the empty line.
  ASSERT_EQ(lines.size(), 2u + 2 + 251 + 9 + 1);
  EXPECT_EQ(lines[0], "Reading parameter file: " + (dir / "para.txt"));
  EXPECT_EQ(lines[1], "Initialize variables...");
  EXPECT_EQ(lines[4], "Simulating generation = 1");
  EXPECT_EQ(lines[253], "Simulating generation = 250");
  EXPECT_EQ(lines[254], "Taking the 1st sample...");
  EXPECT_EQ(lines[255], "Simulating generation = 251");
  EXPECT_EQ(lines[256], "Taking the 2ed sample...");
  EXPECT_EQ(lines[257], "Generating genotyping errors & missing data...");
  EXPECT_EQ(lines[258], "Write genotype data to file...");
  EXPECT_EQ(lines[259], "Write parameters to file...");
  EXPECT_EQ(lines[260], "Simulation completed.");
  EXPECT_EQ(lines[261], "Data file = " + (dir / "out") + ".dat");
  EXPECT_EQ(lines[262], "Parameter file = " + (dir / "out") + ".par");
  EXPECT_EQ(lines[263], "");
  EXPECT_EQ(lines[264].rfind("Time_Taken = ", 0), 0u);

  p[1] = "1";
  p[6] = "2";
  lines = RunLines(dir, p);
  ASSERT_EQ(lines.size(), 2u + 2 + 252 + 10 + 1);
  EXPECT_EQ(lines[258], "Taking the source population sample...");
}

TEST(Console, QuietAndProgressKeepOnlyTheCompletionLines) {
  TempDir dir;
  ParamLines p;
  p[2] = "20";
  p[4] = "300";
  p[6] = "3";
  p[11] = "'" + (dir / "out") + "'";
  WriteFile(dir / "para.txt", p.Text());
  for (const ConsoleMode mode : {ConsoleMode::kQuiet, ConsoleMode::kProgress}) {
    RunOptions options;
    options.paramFile = dir / "para.txt";
    options.console = mode;
    testing::internal::CaptureStderr();
    const std::string out = Console([&] { RunSimulation(options); });
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string completion = "Simulation completed.\nData file = " + (dir / "out") +
                                   ".dat\nParameter file = " + (dir / "out") +
                                   ".par\n\nTime_Taken = ";
    EXPECT_TRUE(out.starts_with(completion)) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5);
    if (mode == ConsoleMode::kQuiet) {
      EXPECT_EQ(err, "");
      continue;
    }
    // stderr is no terminal here: plain lines at every tenth of each phase, no redrawing.
    EXPECT_EQ(err.find('\r'), std::string::npos);
    std::map<std::string, std::vector<int>> percents;
    std::istringstream lines(err);
    const std::regex form(
        R"(((initialising|generation|writing)[^%]*?) +(\d+)%  elapsed \d+:\d\d  left \d+:\d\d)");
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, form)) << line;
      percents[m[2]].push_back(std::stoi(m[3]));
    }
    EXPECT_EQ(percents["initialising"], (std::vector<int>{33, 66, 100}));
    EXPECT_EQ(percents["generation"], (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(percents["writing"], (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_NE(err.find("\ngeneration 253 of 253   100%"), std::string::npos) << err;
  }
}

// The lines of the normal console for the engine's reports, as a run without options shows them.
TEST(Console, NormalConsoleWording) {
  NormalConsole console;
  const std::string text = Console([&] {
    console.Frequencies(99);
    console.InitialGenotypes(99, 2);
    console.Loci(100);
    console.LociDone(100);
    console.Start();
    console.Offspring(500);
    console.OffspringDone(1000);
    console.Stage(RunStage::kSourceSample);
  });
  EXPECT_EQ(std::regex_replace(text, std::regex("TimeTaken\\(S\\) = [0-9]+"), "TimeTaken(S) = #"),
            "  Uniform allele frequency of locus 1 to 99...\n  Initial genotypes at 99 loci of 2 "
            "individuals...\n\r  Locus=100\r  Done for locus 1 to 100\n\r  Indiv=500\r  Done for "
            "indiv 1 to 1000, TimeTaken(S) = #\nTaking the source population sample...\n");
}

TEST(Console, TerminalLineRedrawsWithinTheWidth) {
  for (const int width : {40, 100}) {
    std::FILE* err = std::tmpfile();
    BarConsole bar(stdout, err, true, width);
    for (int32_t g = 1; g <= 300; ++g) bar.Generation(g, 300);
    bar.PhaseEnd();
    std::rewind(err);
    std::string text;
    for (int c; (c = std::fgetc(err)) != EOF;) text += char(c);
    std::fclose(err);
    ASSERT_TRUE(text.starts_with("\r")) << text;
    ASSERT_TRUE(text.ends_with("\x1b[K\n")) << text;
    std::istringstream draws(text.substr(1, text.size() - 2));
    std::string last;
    for (std::string draw; std::getline(draws, draw, '\r');) {
      ASSERT_TRUE(draw.ends_with("\x1b[K")) << draw;
      last = draw.substr(0, draw.size() - 3);
      EXPECT_LT(last.size(), size_t(width)) << last;  // a wrapped line could not be redrawn
    }
    EXPECT_TRUE(last.starts_with("generation 300 of 300")) << last;
    const std::string fullBar = "[" + std::string(30, '#') + "]";
    EXPECT_EQ(last.find(fullBar) != std::string::npos, width == 100) << last;
  }
}

TEST(RunSimulation, SameSeedSameBytesOtherSeedOtherBytes) {
  TempDir dir;
  ParamLines p;
  p[2] = "30";
  p[4] = "17";
  auto files = [&](const char* seed) {
    p[10] = seed;
    RunLines(dir, p);
    return ReadFile(dir / "out.dat") + ReadFile(dir / "out.par");
  };
  const std::string first = files("99");
  EXPECT_EQ(files("99"), first);
  EXPECT_NE(files("98"), first);
}

// The golden cases one after another in this process, each on another row and thread count,
// give the files their separate processes stored: nothing of one run reaches the next.
TEST(RunSimulation, RunsInOneProcessGiveTheBytesOfSeparateProcesses) {
  TempDir dir;
  const fs::path cases = fs::path(DRIFTSIM_TEST_DATA) / "golden" / "cases";
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.Path());
  const std::vector<Kernel> rows = TestRows();
  constexpr int kThreads[] = {3, 1, 7, 2};
  int turn = 0;
  for (const std::string name : {"g1", "g2", "g3", "g4", "g1"}) {
    const Kernel k = rows[size_t(turn) % rows.size()];
    const int threads = kThreads[turn++ % 4];
    fs::copy_file(cases / (name + ".txt"), name + ".txt", fs::copy_options::overwrite_existing);
    Console([&] { RunOn(name + ".txt", k, threads, {512, 64, 16}); });
    EXPECT_TRUE(ReadFile(name + ".dat") == ReadFile((cases / (name + ".dat")).string()))
        << name << " on " << KernelName(k) << ", " << threads << " threads";
    EXPECT_EQ(ReadFile(name + ".par"), ReadFile((cases / (name + ".par")).string())) << name;
  }
  fs::current_path(cwd);
}

// The golden cases on every row, each in a process of its own as a user forces a row
// (DRIFTSIM_KERNEL): the stored console text, files and exit status.
class GoldenCases : public testing::TestWithParam<Kernel> {};

TEST_P(GoldenCases, GiveTheStoredFilesOnEveryRow) {
  const Kernel k = GetParam();
  REQUIRE_ROW(k);
  const fs::path golden = fs::path(DRIFTSIM_TEST_DATA) / "golden";
  for (const auto& entry : fs::directory_iterator(golden / "cases")) {
    if (entry.path().extension() != ".txt") continue;
    const std::string name = entry.path().stem().string();
    const std::string command = std::string("DRIFTSIM_KERNEL=") + KernelName(k) + " '" +
                                (golden / "run_case.sh").string() + "' '" + DRIFTSIM_BINARY +
                                "' '" + (golden / "cases").string() + "' " + name;
    EXPECT_EQ(std::system(command.c_str()), 0) << name << " on " << KernelName(k);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, GoldenCases, testing::ValuesIn(TestRows()), RowTestName);

// ---------------------------------------------------------------------------------------------
// Bad arguments and parameter files, end to end

TEST(EndToEnd, BadParameterFileArgumentsAndContents) {
  TempDir root;
  std::vector<Launch> runs;
  auto dirFor = [&](const std::string& name) {
    const fs::path d = root.Path() / name;
    fs::create_directory(d);
    return d;
  };
  // 0: a directory as the parameter file.
  const fs::path d0 = dirFor("dir");
  fs::create_directory(d0 / "params");
  runs.push_back({{"params"}, d0});
  // 1: an argument of 5000 characters: only its first 999 name the file.
  const std::string longArg(5000, 'p');
  runs.push_back({{longArg}, dirFor("long")});
  // 2: binary garbage with NUL bytes.
  const fs::path d2 = dirFor("garbage");
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919 + 13) % 256);
  WriteFile((d2 / "junk.txt").string(), std::string("\0\x01\x02", 3) + junk);
  runs.push_back({{"junk.txt"}, d2});
  // 3: a value beyond the 32-bit range.
  const fs::path d3 = dirFor("overflow");
  WriteFile((d3 / "p.txt").string(), SmallRun({{4, "4294967297"}}));
  runs.push_back({{"p.txt"}, d3});
  // 4: a real spelled as a special value.
  const fs::path d4 = dirFor("nan");
  WriteFile((d4 / "p.txt").string(), SmallRun({{3, "NaN"}}));
  runs.push_back({{"p.txt"}, d4});

  const std::vector<Ended> ended = RunAll(runs);
  ExpectFatal(ended[0],
              "Parameter file, params, cannot be read: " + std::string(std::strerror(EISDIR)) + "!",
              "ReadPara");
  ExpectFatal(ended[1], "Parameter file, " + longArg.substr(0, 999) + ", does not exist!",
              "ReadPara");
  ExpectFatal(ended[2], ReadErrorMessage("Model (=0/1)", "junk.txt"), "ReadPara");
  ExpectFatal(ended[3], ReadErrorMessage("parameter NumLoci", "p.txt"), "ReadPara");
  ExpectFatal(ended[4], ReadErrorMessage("parameter MigRate", "p.txt"), "ReadPara");
  for (const Launch& l : runs) {
    EXPECT_TRUE(TempFilesIn(l.dir).empty()) << l.dir;
    EXPECT_FALSE(fs::exists(l.dir / "out.dat")) << l.dir;
  }
}

// The first 999 characters of a longer argument name the parameter file.
TEST(ParameterFileArgument, CutToTheFieldWidth) {
  TempDir root;
  fs::path dir = root.Path();
  // Directories of 200 characters until a last name brings the path to exactly 999 characters.
  while (dir.string().size() + 1 + 200 + 1 + 50 < 999) dir /= std::string(200, 'd');
  fs::create_directories(dir);
  const size_t left = 999 - dir.string().size() - 1;
  const fs::path file = dir / std::string(left, 'f');
  ASSERT_EQ(file.string().size(), 999u);
  WriteFile(file.string(), SmallRun({{11, "'" + (root.Path() / "cut").string() + "'"}}));
  const std::string arg = file.string() + "/beyond the field";
  testing::internal::CaptureStdout();
  RunSimulation(arg.c_str());
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(console.starts_with("Reading parameter file: " + file.string() + "\n"));
  EXPECT_TRUE(fs::exists(root.Path() / "cut.dat"));
  EXPECT_TRUE(fs::exists(root.Path() / "cut.par"));
}

TEST(EndToEnd, SizesThatCannotFitStopAtOnce) {
  TempDir root;
  std::vector<Launch> runs;
  const int32_t alleleCounts[] = {2, 10, 127};
  for (int32_t alleles : alleleCounts) {
    const fs::path d = root.Path() / ("a" + std::to_string(alleles));
    fs::create_directory(d);
    WriteFile((d / "p.txt").string(), SmallRun({{2, "100000"},
                                                {4, "100000000"},
                                                {5, std::to_string(alleles)},
                                                {7, "50"},
                                                {8, "50"},
                                                {9, "50"},
                                                {13, "100000"}}));
    runs.push_back({{"p.txt"}, d});
  }
  const std::vector<Ended> ended = RunAll(runs);
  // The frequency table (4 bytes per allele and locus) fails first when it alone is beyond the
  // machine's memory; otherwise the genotype tables: 25000000 bytes per packed record, two bytes
  // per locus unpacked, for 150 sampled records and two generations of 100000.
  const uint64_t memory = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE));
  for (size_t i = 0; i < ended.size(); ++i) {
    const int64_t alleles = int64_t{alleleCounts[i]} * 100000000;
    const std::string recordBytes = alleleCounts[i] == 2 ? "25000000" : "200000000";
    ExpectFatal(
        ended[i],
        uint64_t(alleles) * 4 > memory
            ? "The total number of  alleles = " + std::to_string(alleles) + ". Out of memory!"
            : "Too large Ne/SampleSize or/and too many loci. Out of memory!\n" + recordBytes +
                  "*200150 bytes are required!",
        "Initialize");
    EXPECT_TRUE(TempFilesIn(runs[i].dir).empty()) << runs[i].dir;
  }
}

// Under an address-space limit below the tables (`prlimit --as`), the run stops with the
// out-of-memory message and leaves no temporary file.
TEST(EndToEnd, AddressSpaceLimitStopsWithTheMessage) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than any limit";
  if (kEmulated) GTEST_SKIP() << "an emulator keeps address-space limits to itself";
  TempDir root;
  WriteFile(root / "p.txt",
            SmallRun({{2, "100"}, {4, "1000000"}, {7, "20"}, {8, "20"}, {9, "20"}, {13, "100"}}));
  const EarlierFiles earlier(root.Path(), "out");
  Launch run{{"p.txt"}, root.Path()};
  run.addressSpaceLimit = 200000000;
  const Ended e = RunAll({run})[0];
  ExpectFatal(e,
              "Too large Ne/SampleSize or/and too many loci. Out of memory!\n2000000*260 bytes are "
              "required!",
              "Initialize");
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
  earlier.ExpectUntouched();
}

// The file's migration rate draws migrants under the migration model only: under isolation
// the samples are those of a rate of 0.
TEST(EndToEnd, MigrationRateCountsUnderMigrationOnly) {
  for (const char* model : {"0", "1"}) {
    std::vector<uint8_t> samples[2];
    for (int k = 0; k < 2; ++k) {
      ParamLines lines;
      lines[1] = model;
      lines[2] = "100";
      lines[3] = k == 0 ? "0" : "0.5";
      const Params par = Parse(lines.Text());
      driftsim::Console quiet;
      RunTimes t;
      const RunSamples run = SimulateSamples(DefaultContext(), par, ModelOptions{}, quiet, t);
      const RecordSpan all = run.Samples();
      samples[k].assign(all.first, all.first + all.count * all.bytes);
    }
    EXPECT_EQ(samples[0] == samples[1], model[0] == '0') << "model " << model;
  }
}

// The run refuses what --check refuses: tables that fit but leave no room for the working bytes
// beside them stop the run before any table is made.
TEST(EndToEnd, TablesMustLeaveTheWorkingBytes) {
  ParamLines lines;
  lines[4] = "2000";
  const Params par = Parse(lines.Text());
  const uint64_t tables = TableSizes(GeometryOf(par)).Total();
  const uint64_t working = uint64_t{64} << 20;
  for (const uint64_t usable : {tables + working - 1, tables + working}) {
    SCOPED_TRACE(usable);
    const bool fits = usable >= tables + working;
    std::string checked, ran;
    try {
      CheckTablesFit(GeometryOf(par), usable, working);
    } catch (const FatalError& e) {
      checked = e.Message();
    }
    try {
      driftsim::Console quiet;
      RunTimes t;
      SimulateSamples(DefaultContext(), par, ModelOptions{}, quiet, t, {usable, working});
    } catch (const FatalError& e) {
      ran = e.Message();
    }
    EXPECT_EQ(ran, checked);
    EXPECT_EQ(ran.empty(), fits) << ran;
  }
}

// ---------------------------------------------------------------------------------------------
// Interruption

class Interrupted : public testing::TestWithParam<int> {};

// A signal during the generations: the process ends by that signal and leaves no file.
TEST_P(Interrupted, DuringTheGenerations) {
  const int sig = GetParam();
  TempDir root;
  WriteFile(root / "p.txt", SmallRun({{2, "20000"}, {4, "2000"}, {13, "20000"}}));
  const EarlierFiles earlier(root.Path(), "out");
  const pid_t pid = Start({{"p.txt"}, root.Path()});
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(pid, sig);
  const Ended e = Wait(pid, root.Path());
  EXPECT_FALSE(e.exited);
  EXPECT_EQ(e.status, sig) << e.console.substr(0, 500);
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
  earlier.ExpectUntouched();
}

// The run stopped at a commit step, sent sig, then continued.
Ended SignalledAt(const TempDir& root, const std::string& step, int sig) {
  Launch run{{"p.txt"}, root.Path()};
  run.stopAt = step;
  const pid_t pid = Start(run);
  EXPECT_TRUE(WaitStopped(pid)) << "the run did not stop at " << step;
  kill(pid, sig);
  kill(pid, SIGCONT);
  return Wait(pid, root.Path());
}

// Both files written, the commit not begun: the signal ends the run and removes both
// temporary files; the earlier pair stays.
TEST_P(Interrupted, BeforeTheCommit) {
  const int sig = GetParam();
  TempDir root;
  WriteFile(root / "p.txt", SmallRun({}));
  const EarlierFiles earlier(root.Path(), "out");
  const Ended e = SignalledAt(root, "start", sig);
  EXPECT_FALSE(e.exited);
  EXPECT_EQ(e.status, sig) << e.console.substr(0, 500);
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
  earlier.ExpectUntouched();
}

// Between the two renames (the data file already in place): the signal waits until both are
// in place, and the run completes with status 0.
TEST_P(Interrupted, DuringTheCommitTheRunCompletes) {
  const int sig = GetParam();
  TempDir root;
  const std::string text = SmallRun({});
  WriteFile(root / "p.txt", text);
  const EarlierFiles earlier(root.Path(), "out");
  const Ended e = SignalledAt(root, "rename:1", sig);
  EXPECT_TRUE(e.exited) << "ended by signal " << e.status;
  EXPECT_EQ(e.status, 0);
  EXPECT_NE(e.console.find("\nSimulation completed.\nData file = out.dat\n"), std::string::npos);
  EXPECT_EQ(ReadFile(root / "out.par"), ExpectedParFile(Parse(text)));
  EXPECT_TRUE(ReadFile(root / "out.dat").starts_with("S1_1 "));
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
}

// Every catchable signal whose default action ends the process.
const int kTerminationSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM,
                                   SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGPWR};
std::string SignalName(const testing::TestParamInfo<int>& param) {
  return std::string("SIG") + sigabbrev_np(param.param);
}
INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, testing::ValuesIn(kTerminationSignals), SignalName);

// A console that goes away (`driftsim p.txt | head -1`) does not stop the run.
TEST(Binary, ClosedConsoleDoesNotStopTheRun) {
  TempDir root;
  const std::string text = SmallRun({});
  WriteFile(root / "p.txt", text);
  Launch run{{"p.txt"}, root.Path()};
  run.closedConsole = true;
  const Ended e = RunAll({run})[0];
  EXPECT_TRUE(e.exited) << "ended by signal " << e.status;
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(ReadFile(root / "out.par"), ExpectedParFile(Parse(text)));
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
}

// Two runs with the same OutFile: the second finds the folder locked while the first is between
// its renames, waits, and then replaces the pair whole.
TEST(Binary, ConcurrentRunsCommitOnePairAfterTheOther) {
  TempDir root;
  const std::string first = SmallRun({{4, "12"}, {10, "11"}});
  const std::string second = SmallRun({{4, "13"}, {10, "22"}});
  WriteFile(root / "first.txt", first);
  WriteFile(root / "second.txt", second);
  Launch a{{"first.txt"}, root.Path()};
  a.stopAt = "rename:1";
  const pid_t pa = Start(a);
  ASSERT_TRUE(WaitStopped(pa));
  fs::rename(root / "console.txt", root / "console-first.txt");
  Launch b{{"second.txt"}, root.Path()};
  b.stopAt = "lock-wait";
  const pid_t pb = Start(b);
  EXPECT_TRUE(WaitStopped(pb)) << "the second run did not find the folder locked";
  kill(pb, SIGCONT);
  kill(pa, SIGCONT);
  const Ended ea = Wait(pa, root.Path());
  const Ended eb = Wait(pb, root.Path());
  EXPECT_TRUE(ea.exited && ea.status == 0);
  EXPECT_TRUE(eb.exited && eb.status == 0);
  EXPECT_EQ(ReadFile(root / "out.par"), ExpectedParFile(Parse(second)));
  const std::string dat = ReadFile(root / "out.dat");
  const std::string line = dat.substr(0, dat.find("\r\n"));
  EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 2 * 13) << line;
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
}

}  // namespace
}  // namespace driftsim::test
