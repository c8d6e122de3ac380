#include "population/alleles.hpp"

#include <algorithm>

#include "cpu/threads.hpp"

namespace driftsim {

void DrawSourceLoci(const Params& par, const float* freq, RecordSpan out, int64_t L0, int64_t L1,
                    RngState& uniform) {
  const int64_t bytes = out.bytes;
  const int64_t count = out.count;
  uint8_t* first = out.first;
  const bool packed = par.Packed();
  UniformFloats u(uniform, uint64_t(L1 - L0) * SourceDrawsPerLocus(par, count));
  if (packed) {
    // Whole bytes are composed in place: the first locus of a byte writes the byte, the other
    // three add their fields, so no byte is read before it is written.
    const int64_t whole = std::min<int64_t>(L1, par.NumLoci / 4 * 4) / 4;
    for (int64_t b = L0 / 4; b < whole; ++b) {
      const float* hw = freq + 8 * b;
      for (int64_t j = 0; j < count; ++j) {
        first[j * bytes + b] = uint8_t(PickPackedCode(hw, u.Next()));
      }
      for (int f = 1; f < 4; ++f) {
        for (int64_t j = 0; j < count; ++j) {
          first[j * bytes + b] |=
              static_cast<uint8_t>(PickPackedCode(hw + 2 * f, u.Next()) << 2 * f);
        }
      }
    }
    for (int64_t L = std::max(L0, 4 * whole); L < L1; ++L) {
      const float* hw = freq + 2 * L;
      for (int64_t j = 0; j < count; ++j) {
        SetPackedCode(first + j * bytes, L, PickPackedCode(hw, u.Next()));
      }
    }
    return;
  }
  const int32_t K = par.NumAllele;
  CumFreq cum(K);
  for (int64_t L = L0; L < L1; ++L) {
    cum.Build(freq + L * K);
    for (int64_t j = 0; j < count; ++j) {
      uint8_t* g = first + j * bytes + 2 * L;
      g[0] = cum.Pick(u.Next());
      g[1] = cum.Pick(u.Next());
    }
  }
}

int64_t SourceLociPerTask(const Params& par, int64_t records) {
  const uint64_t perLocus = std::max<uint64_t>(SourceDrawsPerLocus(par, records), 1);
  const int64_t loci = static_cast<int64_t>(CurrentTaskSize().draws / perLocus);
  return std::max<int64_t>(4, loci / 4 * 4);
}

void DrawSourceGenotypes(const Params& par, const float* freq, RecordSpan out, RngState& uniform) {
  if (out.count < 1) return;
  const uint64_t perLocus = SourceDrawsPerLocus(par, out.count);
  const int64_t loci = SourceLociPerTask(par, out.count);
  const RngState start = uniform;
  ParallelFor((par.NumLoci + loci - 1) / loci, [&](int64_t task, int) {
    const int64_t L0 = task * loci;
    RngState u = start;
    u.Skip(uint64_t(L0) * perLocus);
    DrawSourceLoci(par, freq, out, L0, std::min<int64_t>(par.NumLoci, L0 + loci), u);
  });
  uniform.Skip(uint64_t(par.NumLoci) * perLocus);
}

}  // namespace driftsim
