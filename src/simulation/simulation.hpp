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
  // With KeepPhase, a linked biallelic run's sampled records as they were before they became
  // codes (phased: see GameteSegment), laid out as Records; the source sample, drawn without
  // phase, all zero. Null otherwise.
  std::unique_ptr<uint8_t[], FreeDeleter> Phased;

  RecordSpan Samples() const { return {Records.get(), par.TotalSampled(), GenoBytes}; }
};

// The alleles (1 to NumAllele, 0 missing) of sampled record r at locus L, copy 1 first. Unpacked
// records keep their copies' order; a packed heterozygote takes it from the run's Phased records
// where they hold a heterozygote there too, and is allele 1 first otherwise (no phase kept, a
// source sample, or a heterozygote made by a genotyping error). The front ends' genotypes.
inline void AllelesAt(const RunSamples& run, int64_t r, int64_t L, uint8_t pair[2]) {
  const uint8_t* rec = run.Records.get() + r * run.GenoBytes;
  if (!run.Packed) {
    pair[0] = rec[2 * L];
    pair[1] = rec[2 * L + 1];
    return;
  }
  const uint32_t code = PackedCode(rec, L);
  static constexpr uint8_t kCodeAlleles[4][2] = {{0, 0}, {1, 1}, {2, 2}, {1, 2}};
  // A phased field holds the allele of copy 1 less one in its low bit, of copy 2 in its high.
  const uint32_t phase =
      code == 3 && run.Phased ? PackedCode(run.Phased.get() + r * run.GenoBytes, L) : 0;
  const bool swapped = phase == 2;
  pair[0] = kCodeAlleles[code][swapped ? 1 : 0];
  pair[1] = kCodeAlleles[code][swapped ? 0 : 1];
}

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
// Bytes a linked run holds beside its tables (all 0 unlinked): its map, the crossover plan of
// its largest step (the largest generation, or a larger sample), and with KeepPhase the phase
// of the samples. Its working space counts them.
struct LinkageBytes {
  uint64_t Map = 0;
  uint64_t Plan = 0;
  int32_t PlanOffspring = 0;  // offspring of the largest step
  uint64_t Phase = 0;
  uint64_t Total() const { return Map + Plan + Phase; }
};
LinkageBytes LinkageBytesOf(const RunDescription& desc);

RunSamples SimulateSamples(const RunContext& ctx, const RunDescription& desc, Progress& progress,
                           RunTimes& t, MemoryBudget memory = {});
RunSamples SimulateSamples(const RunContext& ctx, const Params& par, const ModelOptions& model,
                           Progress& progress, RunTimes& t, MemoryBudget memory = {});

}  // namespace driftsim
