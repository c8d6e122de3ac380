#include "errors/errors.hpp"

namespace driftsim {

namespace {

// Rates of at most this much (single precision) switch their pass off entirely: no draws.
constexpr float kMinRate = 1e-5f;

// Calls visit(record, locus) for every locus of every sampled record, in storage order.
template <typename Visit>
void ForEachGenotype(SimState& sim, Visit visit) {
  const int64_t n = sim.par.TotalSampled();
  for (int64_t k = 0; k < n; ++k) {
    uint8_t* rec = sim.tab.Sample(k);
    for (int64_t L = 0; L < sim.par.NumLoci; ++L) visit(rec, L);
  }
}

// A heterozygote loses one allele, chosen by a bit. Every test compares the double draw with
// the rate widened to double.
void Dropout(SimState& sim, double rate) {
  Random& rnd = sim.rnd;
  if (sim.tab.Packed) {
    ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
      if (GetCode(rec, L) != 3) return;
      if (rnd.RanUniform() <= rate) SetCode(rec, L, rnd.RanBit() + 1);
    });
  } else {
    ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
      uint8_t* g = rec + 2 * L;
      if (g[0] == g[1]) return;
      if (rnd.RanUniform() <= rate) g[0] = g[1] = g[rnd.RanBit()];
    });
  }
}

// A gene copy is replaced by a random allele. Packed genotypes always take two draws and use a
// strict comparison; the replacement allele is a bit.
void FalseAlleles(SimState& sim, double rate) {
  Random& rnd = sim.rnd;
  const int32_t K = sim.par.NumAllele;
  if (sim.tab.Packed) {
    ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
      const double u1 = rnd.RanUniform();
      const double u2 = rnd.RanUniform();
      const uint32_t code = GetCode(rec, L);
      uint32_t a1 = code == 3 ? 1 : code;
      uint32_t a2 = code == 3 ? 2 : code;
      if (u1 < rate) a1 = rnd.RanBit() + 1;
      if (u2 < rate) a2 = rnd.RanBit() + 1;
      const uint32_t next = a1 == a2 ? a1 : 3;
      if (next != code) SetCode(rec, L, next);
    });
  } else {
    ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
      for (int c = 0; c < 2; ++c) {
        if (rnd.RanUniform() <= rate) {
          rec[2 * L + c] = static_cast<uint8_t>(DrawIndex(rnd.RanUniform(), K));
        }
      }
    });
  }
}

// Both alleles of a genotype become missing.
void MissingData(SimState& sim, double rate) {
  Random& rnd = sim.rnd;
  const bool packed = sim.tab.Packed;
  ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
    if (rnd.RanUniform() > rate) return;
    if (packed) {
      SetCode(rec, L, 0);
    } else {
      rec[2 * L] = rec[2 * L + 1] = 0;
    }
  });
}

}  // namespace

void AddGenoErrors(SimState& sim) {
  const Params& par = sim.par;
  if (par.DropRate > kMinRate) Dropout(sim, par.DropRate);
  if (par.FalseRate > kMinRate) FalseAlleles(sim, par.FalseRate);
  if (par.MisRate > kMinRate) MissingData(sim, par.MisRate);
}

}  // namespace driftsim
