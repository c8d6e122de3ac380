#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <regex>

#include "test_support.hpp"

namespace driftsim::test {
namespace {

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

}  // namespace
}  // namespace driftsim::test
