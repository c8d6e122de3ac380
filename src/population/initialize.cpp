#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "population/alleles.hpp"
#include "population/population.hpp"

namespace driftsim {

namespace {

// Initial genotypes: progress is reported every this many loci (packed: groups of four loci).
constexpr int64_t kLociPerReport = 100;

uint64_t PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || size <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

// Whether bytes more fit under the run's memory limit.
bool WithinLimit(const Tables& tab, uint64_t bytes) {
  const uint64_t limit = tab.MemoryLimit ? tab.MemoryLimit : PhysicalMemory();
  return bytes <= limit && tab.Allocated <= limit - bytes;
}

// Requests bytes for a table, or null when the request would pass the memory limit or fails.
void* RequestTable(Tables& tab, uint64_t bytes) {
  if (!WithinLimit(tab, bytes)) return nullptr;
  void* p = std::malloc(bytes);
  if (p) tab.Allocated += bytes;
  return p;
}

// Packing of four codes 1..3 into one byte, indexed by (c1-1) + 3(c2-1) + 9(c3-1) + 27(c4-1).
constexpr std::array<uint8_t, 81> MakePackTable() {
  std::array<uint8_t, 81> t{};
  for (unsigned i = 0; i < 81; ++i) {
    const unsigned c1 = i % 3 + 1, c2 = i / 3 % 3 + 1, c3 = i / 9 % 3 + 1, c4 = i / 27 + 1;
    t[i] = static_cast<uint8_t>(c1 + 4 * c2 + 16 * c3 + 64 * c4);
  }
  return t;
}
constexpr auto kPack81 = MakePackTable();

// Frequencies: equal (FreqDist 1, no draws) or normalised logarithms of uniforms (FreqDist 0).
void FillFrequencies(const Params& par, float* freq, RngState& uniform) {
  const int64_t loci = par.NumLoci;
  if (par.Packed()) {
    for (int64_t L = 0; L < loci; ++L) {
      float p = 0.5f, q = 0.5f;
      if (par.FreqDist == 0) {
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
  const int32_t K = par.NumAllele;
  for (int64_t L = 0; L < loci; ++L) {
    float* f = freq + L * K;
    if (par.FreqDist == 1) {
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

// Unpacked: locus by locus, both copies of every individual from the locus's CumFreq.
void FillInitialUnpacked(const Params& par, const float* freq, RecordSpan pop, RngState& uniform,
                         Progress& progress) {
  const int32_t K = par.NumAllele;
  CumFreq cum(K);
  UniformFloats u(uniform, uint64_t(par.NumLoci) * 2 * uint64_t(par.Ne));
  for (int64_t L = 0; L < par.NumLoci; ++L) {
    if ((L + 1) % kLociPerReport == 0) progress.Loci(L + 1);
    cum.Build(freq + L * K);
    for (int32_t j = 0; j < par.Ne; ++j) {
      uint8_t* g = pop[j] + 2 * L;
      g[0] = cum.Pick(u.Next());
      g[1] = cum.Pick(u.Next());
    }
  }
  if (par.NumLoci >= kLociPerReport) progress.LociDone(par.NumLoci);
}

// Packed: groups of four loci staged per individual, then every record byte written once. In a
// last group of fewer than four loci the spare fields repeat the previous group's codes.
void FillInitialPacked(const Params& par, const float* freq, RecordSpan pop, RngState& uniform,
                       Progress& progress) {
  std::vector<uint8_t> stage(4 * static_cast<size_t>(par.Ne), 1);
  UniformFloats u(uniform, uint64_t(par.NumLoci) * uint64_t(par.Ne));
  int64_t groups = 0;
  for (int64_t first = 0; first < par.NumLoci; first += 4) {
    const int64_t n = ++groups;
    if (n % kLociPerReport == 0) progress.Loci(4 * n);
    const int64_t end = std::min<int64_t>(first + 4, par.NumLoci);
    for (int64_t L = first; L < end; ++L) {
      const float* hw = freq + 2 * L;
      for (int32_t j = 0; j < par.Ne; ++j) {
        stage[4 * size_t(j) + size_t(L - first)] =
            static_cast<uint8_t>(PickPackedCode(hw, u.Next()));
      }
    }
    for (int32_t j = 0; j < par.Ne; ++j) {
      const uint8_t* c = &stage[4 * size_t(j)];
      pop[j][n - 1] = kPack81[(c[0] - 1) + 3 * (c[1] - 1) + 9 * (c[2] - 1) + 27 * (c[3] - 1)];
    }
  }
  if (groups >= kLociPerReport) progress.LociDone(par.NumLoci);
}

}  // namespace

void AllocateFreqTable(const Params& par, Tables& tab) {
  tab.Packed = par.Packed();
  tab.Ne = par.Ne;
  tab.GenoBytes = GenoBytesOf(par.NumLoci, tab.Packed);
  const int64_t entries = int64_t{par.NumAllele} * par.NumLoci;
  tab.AlleleFreq.reset(static_cast<float*>(RequestTable(tab, uint64_t(entries) * sizeof(float))));
  if (!tab.AlleleFreq) {
    FatalStop("The total number of  alleles = " + IntToText(entries) + ". Out of memory!",
              "Initialize");
  }
}

namespace {

uint64_t FocalBytes(const Params& par, const Tables& tab) {
  return uint64_t(tab.GenoBytes) * 2 * uint64_t(par.Ne);
}
uint64_t SampleBytes(const Params& par, const Tables& tab) {
  return uint64_t(tab.GenoBytes) * uint64_t(par.TotalSampled());
}

[[noreturn]] void GenoTablesOutOfMemory(const Params& par, const Tables& tab) {
  FatalStop("Too large Ne/SampleSize or/and too many loci. Out of memory!\n" +
                IntToText(tab.GenoBytes) + "*" +
                IntToText(par.TotalSampled() + 2 * int64_t{par.Ne}) + " bytes are required!",
            "Initialize");
}

}  // namespace

void AllocateGenoTables(const Params& par, Tables& tab) {
  tab.FocalPop.reset(static_cast<uint8_t*>(RequestTable(tab, FocalBytes(par, tab))));
  if (tab.FocalPop) {
    tab.SmplGeno.reset(static_cast<uint8_t*>(RequestTable(tab, SampleBytes(par, tab))));
  }
  if (tab.SmplGeno && tab.Packed) {
    tab.HetCount.reset(
        static_cast<int32_t*>(RequestTable(tab, 2 * uint64_t(par.Ne) * sizeof(int32_t))));
  }
  if (!tab.FocalPop || !tab.SmplGeno || (tab.Packed && !tab.HetCount)) {
    GenoTablesOutOfMemory(par, tab);
  }
}

void Initialize(const Params& par, Tables& tab, RngState& uniform, Progress& progress) {
  AllocateFreqTable(par, tab);
  progress.Frequencies(par.NumLoci);
  // Genotype tables beyond the limit stop the run before the frequencies are drawn, which for
  // many loci takes long; the report is the same as when the request itself fails.
  if (!WithinLimit(tab, FocalBytes(par, tab) + SampleBytes(par, tab))) {
    GenoTablesOutOfMemory(par, tab);
  }
  FillFrequencies(par, tab.AlleleFreq.get(), uniform);
  AllocateGenoTables(par, tab);
  progress.InitialGenotypes(par.NumLoci, par.Ne);
  const RecordSpan pop = tab.Generation(0);
  if (par.Packed()) {
    FillInitialPacked(par, tab.AlleleFreq.get(), pop, uniform, progress);
    CountGenerationHets(par, pop);
  } else {
    FillInitialUnpacked(par, tab.AlleleFreq.get(), pop, uniform, progress);
  }
}

}  // namespace driftsim
