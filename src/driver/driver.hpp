// Run driver: the state of a run, the fixed run sequence, the console and the report of a fatal
// error. The driver sits on top: it includes every subsystem, and none of them includes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/common.hpp"
#include "params/model_options.hpp"
#include "params/params.hpp"
#include "population/population.hpp"
#include "random/random.hpp"

namespace driftsim {

// Everything a run holds: parameters, random streams, tables; one instance per run.
struct SimState {
  explicit SimState(Params p) : par(std::move(p)), rnd(par.IDUM, par.RanBitSeed) {}
  SimState(const SimState&) = delete;
  SimState& operator=(const SimState&) = delete;

  Params par;
  Random rnd;
  Tables tab;
};

// The four report lines of a fatal stop: empty line, message, empty line, stop line.
std::string FatalReport(const FatalError& error);

// Writes the report in one go, waits until the whole-second count has advanced by 2, so that a
// script watching the console sees the report before the process ends.
void ReportFatalAndWait(const FatalError& error);

// Console output: a whole line, or a progress text that the next one overwrites.
void ConsoleLine(std::string_view text);
void ConsoleText(std::string_view text);

// The console lines of the model's progress: loci of the initial population, offspring of a
// generation with the whole seconds since Start().
class ConsoleProgress : public Progress {
 public:
  void Start() { start_ = MonotonicSeconds(); }
  void Frequencies(int32_t NumLoci) override;
  void InitialGenotypes(int32_t NumLoci, int32_t Ne) override;
  void Loci(int64_t done) override;
  void LociDone(int32_t NumLoci) override;
  void Offspring(int32_t done) override;
  void OffspringDone(int32_t Ne) override;

 private:
  int32_t start_ = 0;
};

// Seconds spent in the phases of a run, for benchmarks.
struct RunTimes {
  double initialize = 0;   // tables, frequencies and the initial population
  double generations = 0;  // all reproduction and mutation steps
  int32_t generationCount = 0;
  double samples = 0;  // samples and genotyping errors
  double write = 0;    // both output files
};

// The whole run, from reading the parameter file to the final report. paramArg is the first
// command-line argument, or null when there is none; times, when given, receives the phase
// times; truth, when given, the true values of the run's model (set before the generations
// begin). Throws FatalError on any failure.
void RunSimulation(const char* paramArg, RunTimes* times = nullptr);
void RunSimulation(const char* paramArg, const ModelOptions& model, RunTimes* times = nullptr,
                   TrueValues* truth = nullptr);

}  // namespace driftsim
