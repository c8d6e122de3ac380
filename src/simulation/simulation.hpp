// The engine: runs a described run from its initial population to its samples with their
// genotyping errors, in the one order of the random streams that the bytes depend on. It
// reports through Progress, never to the console, and writes no file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "common/common.hpp"
#include "description/description.hpp"
#include "model/true_values.hpp"
#include "population/context.hpp"
#include "population/population.hpp"
#include "random/random.hpp"

namespace driftsim {

// Everything a run holds: parameters, random streams, tables; one instance per run.
struct SimState {
  explicit SimState(Params p) : par(std::move(p)), rnd(par.IDUM, par.RanBitSeed) {}
  // The streams start from the description's seed.
  explicit SimState(const RunDescription& desc) : par(desc.par), rnd(desc.IDUM, desc.RanBitSeed) {}
  SimState(const SimState&) = delete;
  SimState& operator=(const SimState&) = delete;

  Params par;
  Random rnd;
  Tables tab;
};

// Seconds since the previous lap, for the phase times.
class PhaseClock {
 public:
  double Lap() {
    const auto now = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return s;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Seconds spent in the phases of a run, for benchmarks.
struct RunTimes {
  double initialize = 0;   // tables, frequencies and the initial population
  double generations = 0;  // all reproduction and mutation steps
  int32_t generationCount = 0;
  double samples = 0;  // samples and genotyping errors
  double write = 0;    // both output files
};

// The samples of a run, all that is left of it once its tables are freed, and the true values
// of its model.
struct RunSamples {
  Params par;
  TrueValues truth;
  bool Packed = false;
  int64_t GenoBytes = 0;
  // All sampled records, source sample first (see Tables::SmplGeno).
  std::unique_ptr<uint8_t[], FreeDeleter> Records;

  RecordSpan Samples() const { return {Records.get(), par.TotalSampled(), GenoBytes}; }
};

// The simulation of a run, from its tables to the genotyping errors: builds the tables, runs
// the generations, takes the samples and frees everything but them; desc's options have passed
// PrepareModel. Adds the phase times to t. Throws FatalError on any failure, and
// RunCancelled when ctx's cancel flag is set.
//
// The tables must fit in memory and leave memory.working bytes: in memory.usable, measured by
// the caller before it made its output files (as --check measures it), or when that is 0 in
// the process's memory limit.
struct MemoryBudget {
  uint64_t usable = 0;
  uint64_t working = 0;
};
RunSamples SimulateSamples(const RunContext& ctx, const RunDescription& desc, Progress& progress,
                           RunTimes& t, MemoryBudget memory = {});
RunSamples SimulateSamples(const RunContext& ctx, const Params& par, const ModelOptions& model,
                           Progress& progress, RunTimes& t, MemoryBudget memory = {});

}  // namespace driftsim
