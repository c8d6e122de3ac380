#include "population/alleles.hpp"

namespace driftsim {

void DrawSourceGenotypes(const Params& par, const float* freq, RecordSpan out, RngState& uniform) {
  const int64_t bytes = out.bytes;
  const int64_t count = out.count;
  uint8_t* first = out.first;
  const bool packed = par.Packed();
  UniformFloats u(uniform, uint64_t(par.NumLoci) * uint64_t(count * (packed ? 1 : 2)));
  if (packed) {
    // Whole bytes are composed in place: the first locus of a byte writes the byte, the other
    // three add their fields, so no byte is read before it is written.
    const int64_t whole = par.NumLoci / 4;
    for (int64_t b = 0; b < whole; ++b) {
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
    for (int64_t L = 4 * whole; L < par.NumLoci; ++L) {
      const float* hw = freq + 2 * L;
      for (int64_t j = 0; j < count; ++j) {
        SetPackedCode(first + j * bytes, L, PickPackedCode(hw, u.Next()));
      }
    }
    return;
  }
  const int32_t K = par.NumAllele;
  CumFreq cum(K);
  for (int64_t L = 0; L < par.NumLoci; ++L) {
    cum.Build(freq + L * K);
    for (int64_t j = 0; j < count; ++j) {
      uint8_t* g = first + j * bytes + 2 * L;
      g[0] = cum.Pick(u.Next());
      g[1] = cum.Pick(u.Next());
    }
  }
}

}  // namespace driftsim
