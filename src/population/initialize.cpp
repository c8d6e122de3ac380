#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/memory.hpp"
#include "population/alleles.hpp"
#include "population/population.hpp"

namespace driftsim {

namespace {

// Initial genotypes: progress is reported every this many loci (packed: groups of four loci).
constexpr int64_t kLociPerReport = 100;

// Whether bytes more fit under the run's memory limit.
bool WithinLimit(const Tables& tab, uint64_t bytes) {
  const uint64_t limit = tab.MemoryLimit ? tab.MemoryLimit : MemoryLimit();
  return bytes <= limit && tab.Allocated <= limit - bytes;
}

// Requests bytes for a table, or null when the request would pass the memory limit or fails.
void* RequestTable(Tables& tab, uint64_t bytes) {
  if (!WithinLimit(tab, bytes)) return nullptr;
  void* p = std::malloc(bytes);
  if (p) tab.Allocated += bytes;
  return p;
}

// Frequencies: equal (FreqDist 1, no draws) or normalised logarithms of uniforms (FreqDist 0).
void FillFrequencies(const Geometry& geo, int32_t FreqDist, float* freq, RngState& uniform) {
  const int64_t loci = geo.NumLoci;
  if (geo.Packed()) {
    for (int64_t L = 0; L < loci; ++L) {
      float p = 0.5f, q = 0.5f;
      if (FreqDist == 0) {
        const float a = std::log(static_cast<float>(uniform.RanUniform()));
        const float b = std::log(static_cast<float>(uniform.RanUniform()));
        const float r = 1.0f / (a + b);
        p = a * r;
        q = b * r;
      }
      freq[2 * L] = p * p;
      freq[2 * L + 1] = p * p + q * q;
    }
    return;
  }
  const int32_t K = geo.NumAllele;
  for (int64_t L = 0; L < loci; ++L) {
    float* f = freq + L * K;
    if (FreqDist == 1) {
      for (int32_t k = 0; k < K; ++k) f[k] = 1.0f / static_cast<float>(K);
      continue;
    }
    float s = 0.0f;
    for (int32_t k = 0; k < K; ++k) {
      f[k] = std::log(static_cast<float>(uniform.RanUniform()));
      s += f[k];
    }
    const float r = 1.0f / s;
    for (int32_t k = 0; k < K; ++k) f[k] *= r;
  }
}

// The progress lines of the initial genotypes, every kLociPerReport units (loci, or packed
// groups of four loci), shown in order by the calling thread however many units the other
// threads have drawn.
class LociProgress {
 public:
  LociProgress(Progress& progress, int64_t lociPerUnit)
      : progress_(progress), lociPerUnit_(lociPerUnit) {}
  void Drawn(int64_t units) { done_.fetch_add(units, std::memory_order_relaxed); }
  void Show() {
    const int64_t done = done_.load(std::memory_order_relaxed);
    while (shown_ + kLociPerReport <= done) {
      shown_ += kLociPerReport;
      progress_.Loci(lociPerUnit_ * shown_);
    }
  }

 private:
  Progress& progress_;
  int64_t lociPerUnit_;
  int64_t shown_ = 0;
  std::atomic<int64_t> done_{0};
};

// Loci [0, L1) of every individual, drawn as the source genotypes are, split over threads.
void DrawInitialLoci(const RunContext& ctx, const Geometry& geo, const float* freq, RecordSpan pop,
                     int64_t L1, RngState& uniform, LociProgress& lines, int64_t lociPerUnit) {
  const uint64_t perLocus = SourceDrawsPerLocus(geo, pop.count);
  const int64_t loci = SourceLociPerTask(ctx, geo, pop.count);
  const UniformSplit draws(uniform, uint64_t(L1) * perLocus);
  ParallelFor(ctx, (L1 + loci - 1) / loci, [&](int64_t task, int thread) {
    const int64_t L0 = task * loci;
    const int64_t end = std::min(L1, L0 + loci);
    RngState u = draws.At(uint64_t(L0) * perLocus);
    DrawSourceLoci(ctx.kernels, geo, freq, pop, L0, end, u);
    lines.Drawn((end - L0) / lociPerUnit);
    if (thread == 0) lines.Show();
  });
}

// Unpacked: locus by locus, both copies of every individual from the locus's CumFreq.
void FillInitialUnpacked(const RunContext& ctx, const Geometry& geo, const float* freq,
                         RecordSpan pop, RngState& uniform, Progress& progress) {
  LociProgress lines(progress, 1);
  DrawInitialLoci(ctx, geo, freq, pop, geo.NumLoci, uniform, lines, 1);
  lines.Show();
  if (geo.NumLoci >= kLociPerReport) progress.LociDone(geo.NumLoci);
}

// Packed: groups of four loci, each written as whole bytes. In a last group of fewer than four
// loci the spare fields repeat the previous group's codes (1 when there is none).
void FillInitialPacked(const RunContext& ctx, const Geometry& geo, const float* freq,
                       RecordSpan pop, RngState& uniform, Progress& progress) {
  const int64_t whole = geo.NumLoci / 4;
  const int64_t groups = (int64_t{geo.NumLoci} + 3) / 4;
  LociProgress lines(progress, 4);
  DrawInitialLoci(ctx, geo, freq, pop, 4 * whole, uniform, lines, 4);
  const int spare = static_cast<int>(geo.NumLoci - 4 * whole);
  if (spare > 0) {
    const int64_t Ne = pop.count;
    std::vector<uint8_t> stage(static_cast<size_t>(Ne));
    UniformFloats draws(ctx.kernels.uniform, uniform, uint64_t(spare) * uint64_t(Ne));
    constexpr int64_t kRun = static_cast<int64_t>(UniformFloats::kChunk);
    for (int f = 0; f < spare; ++f) {
      for (int64_t j0 = 0; j0 < Ne; j0 += kRun) {
        const size_t k = static_cast<size_t>(std::min(kRun, Ne - j0));
        PickPackedCodes(ctx.kernels, freq + 8 * whole + 2 * f, draws.Take(k), stage.data() + j0, k,
                        2 * f, f == 0);
      }
    }
    const uint32_t keep = 0xFFu << (2 * spare);
    for (int64_t j = 0; j < Ne; ++j) {
      const uint32_t previous = whole > 0 ? pop[j][whole - 1] : 0x55u;
      pop[j][whole] = static_cast<uint8_t>(stage[size_t(j)] | (previous & keep));
    }
    lines.Drawn(1);
  }
  lines.Show();
  if (groups >= kLociPerReport) progress.LociDone(geo.NumLoci);
}

[[noreturn]] void FreqTableOutOfMemory(const Geometry& geo) {
  FatalStop("The total number of  alleles = " + IntToText(int64_t{geo.NumAllele} * geo.NumLoci) +
                ". Out of memory!",
            "Initialize", ErrorKind::kOutOfMemory);
}

}  // namespace

void AllocateFreqTable(const Geometry& geo, Tables& tab) {
  tab.Packed = geo.Packed();
  tab.Ne = std::max(tab.Ne, geo.Ne);
  tab.GenoBytes = geo.GenoBytes();
  const int64_t entries = int64_t{geo.NumAllele} * geo.NumLoci;
  tab.AlleleFreq.reset(static_cast<float*>(RequestTable(tab, uint64_t(entries) * sizeof(float))));
  if (!tab.AlleleFreq) FreqTableOutOfMemory(geo);
}

namespace {

uint64_t FocalBytes(const Tables& tab) {
  return uint64_t(tab.GenoBytes) * 2 * uint64_t(tab.Ne);
}
uint64_t SampleBytes(const Geometry& geo, const Tables& tab) {
  return uint64_t(tab.GenoBytes) * uint64_t(geo.TotalSampled());
}

// Ne: records of each generation buffer (the run's largest size).
[[noreturn]] void GenoTablesOutOfMemory(const Geometry& geo, int32_t Ne) {
  FatalStop("Too large Ne/SampleSize or/and too many loci. Out of memory!\n" +
                IntToText(geo.GenoBytes()) + "*" + IntToText(geo.TotalSampled() + 2 * int64_t{Ne}) +
                " bytes are required!",
            "Initialize", ErrorKind::kOutOfMemory);
}

}  // namespace

void AllocateGenoTables(const Geometry& geo, Tables& tab) {
  tab.FocalPop.reset(static_cast<uint8_t*>(RequestTable(tab, FocalBytes(tab))));
  if (tab.FocalPop) {
    tab.SmplGeno.reset(static_cast<uint8_t*>(RequestTable(tab, SampleBytes(geo, tab))));
  }
  if (tab.SmplGeno && tab.Packed) {
    tab.HetCount.reset(
        static_cast<int32_t*>(RequestTable(tab, 2 * uint64_t(tab.Ne) * sizeof(int32_t))));
  }
  if (!tab.FocalPop || !tab.SmplGeno || (tab.Packed && !tab.HetCount)) {
    GenoTablesOutOfMemory(geo, tab.Ne);
  }
}

TableBytes TableSizes(const Geometry& geo, int32_t Ne) {
  const auto geno = static_cast<uint64_t>(geo.GenoBytes());
  const uint64_t records = uint64_t(Ne ? Ne : geo.Ne);
  return {uint64_t(geo.NumAllele) * uint64_t(geo.NumLoci) * sizeof(float), geno * 2 * records,
          geno * uint64_t(geo.TotalSampled()), geo.Packed() ? 2 * records * sizeof(int32_t) : 0};
}

void CheckTablesFit(const Geometry& geo, uint64_t limit, uint64_t extra, int32_t Ne) {
  const TableBytes bytes = TableSizes(geo, Ne);
  if (bytes.AlleleFreq > limit) FreqTableOutOfMemory(geo);
  if (bytes.Total() > limit || extra > limit - bytes.Total()) {
    GenoTablesOutOfMemory(geo, Ne ? Ne : geo.Ne);
  }
}

void Initialize(const RunContext& ctx, const Geometry& geo, int32_t FreqDist, Tables& tab,
                RngState& uniform, Progress& progress) {
  AllocateFreqTable(geo, tab);
  progress.Frequencies(geo.NumLoci);
  // Genotype tables beyond the limit stop the run before the frequencies are drawn, which for
  // many loci takes long; the report is the same as when the request itself fails.
  CheckTablesFit(geo, tab.MemoryLimit ? tab.MemoryLimit : MemoryLimit(), tab.Working, tab.Ne);
  FillFrequencies(geo, FreqDist, tab.AlleleFreq.get(), uniform);
  AllocateGenoTables(geo, tab);
  progress.InitialGenotypes(geo.NumLoci, geo.Ne);
  const RecordSpan pop = tab.Generation(0, geo.Ne);
  if (geo.Packed()) {
    FillInitialPacked(ctx, geo, tab.AlleleFreq.get(), pop, uniform, progress);
    CountGenerationHets(ctx, geo, pop);
  } else {
    FillInitialUnpacked(ctx, geo, tab.AlleleFreq.get(), pop, uniform, progress);
  }
}

}  // namespace driftsim
