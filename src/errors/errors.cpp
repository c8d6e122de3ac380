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

// Whether genotype L of a record is heterozygous.
bool Heterozygous(const SimState& sim, const uint8_t* rec, int64_t L) {
  return sim.tab.Packed ? GetCode(rec, L) == 3 : rec[2 * L] != rec[2 * L + 1];
}

// Draws for a pass with a known number of them, from batches (see UniformDraws).
UniformDoubles Draws(SimState& sim, uint64_t count) {
  return UniformDoubles(sim.rnd.Uniform, count, ActiveKernel() != Kernel::kPortable);
}

// A heterozygote loses one allele, chosen by a bit. Every test compares the double draw with
// the rate widened to double. Only heterozygotes draw, so they are counted first.
void Dropout(SimState& sim, double rate) {
  uint64_t hets = 0;
  ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) { hets += Heterozygous(sim, rec, L); });
  UniformDoubles u = Draws(sim, hets);
  Random& rnd = sim.rnd;
  ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
    if (!Heterozygous(sim, rec, L) || u.Next() > rate) return;
    const uint32_t b = rnd.RanBit();
    if (sim.tab.Packed) {
      SetCode(rec, L, b + 1);
    } else {
      rec[2 * L] = rec[2 * L + 1] = rec[2 * L + b];
    }
  });
}

// A gene copy is replaced by a random allele. Packed genotypes always take two draws and use a
// strict comparison; the replacement allele is a bit. Unpacked copies draw the new allele only
// when replaced, so their draws come one by one.
void FalseAlleles(SimState& sim, double rate) {
  Random& rnd = sim.rnd;
  const int32_t K = sim.par.NumAllele;
  if (sim.tab.Packed) {
    UniformDoubles u = Draws(sim, 2 * uint64_t(sim.par.TotalSampled()) * uint64_t(sim.par.NumLoci));
    ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
      const double u1 = u.Next();
      const double u2 = u.Next();
      const uint32_t code = GetCode(rec, L);
      uint32_t a1 = code == 3 ? 1 : code;
      uint32_t a2 = code == 3 ? 2 : code;
      if (u1 < rate) a1 = rnd.RanBit() + 1;
      if (u2 < rate) a2 = rnd.RanBit() + 1;
      const uint32_t next = a1 == a2 ? a1 : 3;
      if (next != code) SetCode(rec, L, next);
    });
    return;
  }
  ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
    for (int c = 0; c < 2; ++c) {
      if (rnd.RanUniform() <= rate) {
        rec[2 * L + c] = static_cast<uint8_t>(DrawIndex(rnd.RanUniform(), K));
      }
    }
  });
}

// Both alleles of a genotype become missing.
void MissingData(SimState& sim, double rate) {
  UniformDoubles u = Draws(sim, uint64_t(sim.par.TotalSampled()) * uint64_t(sim.par.NumLoci));
  const bool packed = sim.tab.Packed;
  ForEachGenotype(sim, [&](uint8_t* rec, int64_t L) {
    if (u.Next() > rate) return;
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
