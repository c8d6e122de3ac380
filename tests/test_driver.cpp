// The run driver and the binary: the fatal report, the run sequence, arguments and bad
// parameter files end to end, sizes that cannot fit, and interruption by a signal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

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
    EXPECT_NE(out.find("Usage: driftsim [PARAMFILE]"), std::string::npos);
  }
  const auto [status, out] = RunBinary(dir.Path(), "--version");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.rfind("driftsim ", 0), 0u);
}

// Console lines of an in-process run of the parameter lines, in dir.
std::vector<std::string> RunLines(const TempDir& dir, ParamLines p) {
  p[11] = "'" + (dir / "out") + "'";
  WriteFile(dir / "para.txt", p.Text());
  const std::string text = Console([&] { RunSimulation((dir / "para.txt").c_str()); });
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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

// ---------------------------------------------------------------------------------------------
// Interruption

class Interrupted : public testing::TestWithParam<int> {};

// A signal during the generations: the process ends by that signal and writes nothing.
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

// A signal while the data file is being written (its temporary file exists): the temporary
// file is removed and the earlier files stay.
TEST_P(Interrupted, WhileWritingTheDataFile) {
  const int sig = GetParam();
  TempDir root;
  // A data file of about 320 MB (80000 lines) after quick generations and no genotyping errors:
  // the writing takes a while.
  WriteFile(root / "p.txt", SmallRun({{1, "0"},
                                      {2, "10"},
                                      {4, "1000"},
                                      {5, "2"},
                                      {6, "1"},
                                      {8, "40000"},
                                      {9, "40000"},
                                      {13, "10"},
                                      {16, "0"},
                                      {17, "0"},
                                      {18, "0"}}));
  const EarlierFiles earlier(root.Path(), "out");
  const pid_t pid = Start({{"p.txt"}, root.Path()});
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  bool seen = false;
  int status = 0;
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    seen = !TempFilesIn(root.Path()).empty();
    if (!seen && waitpid(pid, &status, WNOHANG) == pid) break;
    if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ASSERT_TRUE(seen) << "the temporary data file never appeared";
  kill(pid, sig);
  const Ended e = Wait(pid, root.Path());
  EXPECT_FALSE(e.exited);
  EXPECT_EQ(e.status, sig);
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
  earlier.ExpectUntouched();
}

std::string SignalName(const testing::TestParamInfo<int>& param) {
  return param.param == SIGINT ? "SIGINT" : "SIGTERM";
}
INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, testing::Values(SIGINT, SIGTERM), SignalName);

}  // namespace
}  // namespace driftsim::test
