// The command line's face: its console and progress bar, `run` (the run sequence from the
// parameter file to the files and the run record, around the engine) and `check`, and the report
// of a fatal error. The driver sits on top: it includes every room, and none of them includes it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "cli/cli.hpp"
#include "common/common.hpp"
#include "description/description.hpp"
#include "model/true_values.hpp"
#include "simulation/simulation.hpp"

namespace driftsim {

// The four report lines of a fatal stop: empty line, message, empty line, stop line.
std::string FatalReport(const FatalError& error);

// Writes the report in one go to `to` (standard error when standard output carries the run
// record), waits until the whole-second count has advanced by 2, so that a script watching the
// console sees the report before the process ends.
void ReportFatalAndWait(const FatalError& error, std::FILE* to = stdout);

// The console of a run. The driver tells it its own steps, and the engine and the writers their
// progress; each kind shows its own part of them.
class Console : public Progress {
 public:
  explicit Console(std::FILE* out = stdout) : out_(out) {}
  // A line of the run sequence ("Reading parameter file: ...").
  virtual void Step(std::string_view /*line*/) {}
  // A stage of the run, as its line of the run sequence.
  void Stage(RunStage stage) override;
  // A completion line ("Simulation completed." to "Time_Taken = "): every console shows it.
  void Final(std::string_view line);

 protected:
  // A whole line; a text that the next one overwrites.
  void Line(std::string_view text);
  void Text(std::string_view text);

 private:
  std::FILE* out_;
};

// Every line of the run, as without options: the steps, the generations, the loci of the
// initial population and the offspring of a generation with the whole seconds it took.
class NormalConsole : public Console {
 public:
  using Console::Console;
  void Start() { start_ = MonotonicSeconds(); }
  void Step(std::string_view line) override { Line(line); }
  void Generation(int32_t g, int32_t last) override;
  void Frequencies(int32_t NumLoci) override;
  void InitialGenotypes(int32_t NumLoci, int32_t Ne) override;
  void Loci(int64_t done) override;
  void LociDone(int32_t NumLoci) override;
  void Offspring(int32_t done) override;
  void OffspringDone(int32_t Ne) override;

 private:
  int32_t start_ = 0;
};

// The completion lines on out, and one line per phase on err: "generation 12 of 255", a bar,
// the percentage, the time elapsed and the time left. On a terminal (width columns) the line
// redraws itself; elsewhere a plain line is written at every tenth of the phase.
class BarConsole : public Console {
 public:
  BarConsole(std::FILE* out, std::FILE* err, bool terminal, int width);
  void Generation(int32_t g, int32_t last) override;
  void Writing(int64_t records) override;
  void PhaseEnd() override;
  void Frequencies(int32_t NumLoci) override;
  void InitialGenotypes(int32_t NumLoci, int32_t Ne) override;
  void Loci(int64_t done) override;
  void Offspring(int32_t done) override;
  void Records(int64_t done) override;

 private:
  void Begin(int64_t total);
  void Show(std::string label, double done);

  std::FILE* err_;
  bool terminal_;
  int width_;
  bool active_ = false;
  int64_t total_ = 0;
  std::string label_;
  int32_t Ne_ = 1;
  int32_t generation_ = 0;
  int32_t lastGeneration_ = 0;
  int tenthsShown_ = 0;
  double start_ = 0;
  double lastDraw_ = -1;
};

// The console of a mode: normal, quiet (the completion lines only) or progress. The progress
// line goes to standard error and redraws itself when that is a terminal.
std::unique_ptr<Console> MakeConsole(ConsoleMode mode, std::FILE* out);

// The whole run, from reading the parameter file to the final report; times, when given,
// receives the phase times; truth, when given, the true values of the run's model (set once the
// samples are taken). Throws FatalError on any failure.
void RunSimulation(const RunOptions& options, RunTimes* times = nullptr,
                   TrueValues* truth = nullptr);

// The run without command-line options; paramArg is the parameter file argument, or null when
// there is none.
void RunSimulation(const char* paramArg, RunTimes* times = nullptr);
void RunSimulation(const char* paramArg, const ModelOptions& model, RunTimes* times = nullptr,
                   TrueValues* truth = nullptr);

// --check: reads and checks the parameters, the output folder and the memory the tables need,
// and prints the parameters, table sizes and memory estimate. Simulates nothing and writes
// nothing but --write-params. Throws FatalError with the message that would stop the run.
void CheckSimulation(const RunOptions& options);

}  // namespace driftsim
