#include "population/transmit.hpp"

namespace driftsim {

void DrawSourceGenotypes(SimState& sim, uint8_t* first, int64_t count) {
  const Params& par = sim.par;
  const int64_t bytes = sim.tab.GenoBytes;
  const float* freq = sim.tab.AlleleFreq.get();
  const int64_t copies = sim.tab.Packed ? 1 : 2;
  UniformFloats u(sim.rnd.Uniform, uint64_t(par.NumLoci) * uint64_t(count * copies),
                  ActiveKernel() != Kernel::kPortable);
  if (sim.tab.Packed) {
    // Whole bytes are composed in place: the first locus of a byte writes the byte, the other
    // three add their fields, so no byte is read before it is written.
    const int64_t whole = par.NumLoci / 4;
    for (int64_t b = 0; b < whole; ++b) {
      const float* hw = freq + 8 * b;
      for (int64_t j = 0; j < count; ++j) first[j * bytes + b] = uint8_t(PickCode(hw, u.Next()));
      for (int f = 1; f < 4; ++f) {
        for (int64_t j = 0; j < count; ++j) {
          first[j * bytes + b] |= static_cast<uint8_t>(PickCode(hw + 2 * f, u.Next()) << 2 * f);
        }
      }
    }
    for (int64_t L = 4 * whole; L < par.NumLoci; ++L) {
      const float* hw = freq + 2 * L;
      for (int64_t j = 0; j < count; ++j) SetCode(first + j * bytes, L, PickCode(hw, u.Next()));
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

void DrawParents(SimState& sim, int b, Family& fam) {
  const int32_t Ne = sim.par.Ne;
  for (int i = 0; i < fam.n; ++i) {
    fam.p1[i] = sim.tab.Focal(b, DrawIndex(sim.rnd.RanUniform(), Ne) - 1);
    fam.p2[i] = sim.tab.Focal(b, DrawIndex(sim.rnd.RanUniform(), Ne) - 1);
  }
}

Kernel& KernelSetting() {
  static Kernel k = BestKernel();
  return k;
}

Kernel BestKernel() {
#if defined(__x86_64__)
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
  if (avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bitalg") &&
      __builtin_cpu_supports("gfni")) {
    return Kernel::kAvx512;
  }
  if (avx2) return Kernel::kAvx2;
#endif
  return Kernel::kPortable;
}

void TransmitBlock(const SimState& sim, const Family& fam, BitStream& stream) {
  const int64_t NumLoci = sim.par.NumLoci;
  if (!sim.tab.Packed) return TransmitUnpacked(fam, NumLoci, stream);
  const int64_t whole = NumLoci / 4;
  TransmitBytes(fam, whole, stream);
  BitReader bits(stream);
  TransmitFields(fam, 4 * whole, NumLoci, bits);
}

void TransmitSingle(const SimState& sim, const Family& fam, BitStream& stream) {
  const int64_t NumLoci = sim.par.NumLoci;
  if (!sim.tab.Packed) return TransmitUnpacked(fam, NumLoci, stream);
  const int64_t whole = NumLoci / 4;
  SingleBytes(fam.p1[0], fam.p2[0], fam.child[0], whole, stream);
  BitReader bits(stream);
  TransmitFields(fam, 4 * whole, NumLoci, bits);
}

}  // namespace driftsim
