#include "population/population.hpp"

namespace driftsim {

namespace {
// Mutation rate per gene copy per generation (single precision).
constexpr float kMutationRate = 1e-4f;
}  // namespace

void Mutate(SimState& sim, int Parity) {
  const Params& par = sim.par;
  const Tables& tab = sim.tab;
  const float mean = static_cast<float>(par.Ne) * kMutationRate * 2.0f;
  const int32_t copies = 2 * par.Ne;
  for (int64_t L = 0; L < par.NumLoci; ++L) {
    const int32_t n = PoissonCount(sim.rnd, mean);
    for (int32_t m = 0; m < n; ++m) {
      // Gene copy g = 2(j-1) + k: copy k of individual j, both from 1.
      const int32_t g = DrawIndex(sim.rnd.RanUniform(), copies);
      const int32_t a = DrawIndex(sim.rnd.RanUniform(), par.NumAllele);
      uint8_t* rec = tab.Focal(Parity, (g - 1) / 2);
      if (!tab.Packed) {
        rec[2 * L + (g - 1) % 2] = static_cast<uint8_t>(a);
        continue;
      }
      // No phase is stored: a hit heterozygote becomes homozygous for the new allele, a
      // homozygote of the other allele becomes heterozygous.
      const uint32_t x = GetCode(rec, L);
      if (x != uint32_t(a)) SetCode(rec, L, x == 3 ? uint32_t(a) : 3u);
    }
  }
}

}  // namespace driftsim
