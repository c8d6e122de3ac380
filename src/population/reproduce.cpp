#include <algorithm>

#include "driver/driver.hpp"
#include "population/population.hpp"
#include "population/transmit.hpp"

namespace driftsim {

namespace {

// Smallest migrant mean that calls for a Poisson draw (single precision).
constexpr float kMinMigrantMean = 0.00001f;

// Offspring counts at which the progress counter is shown.
constexpr int32_t kProgressStep = 500;

// Poisson number of migrants, capped at Ne after the draw (the draws consumed stay the same).
int32_t MigrantCount(SimState& sim) {
  const Params& par = sim.par;
  if (par.Model != 1) return 0;
  const float mean = static_cast<float>(par.Ne) * par.MigRate;
  if (!(mean >= kMinMigrantMean)) return 0;
  return std::min(PoissonCount(sim.rnd, mean), par.Ne);
}

}  // namespace

void Reproduce(SimState& sim, int Parity) {
  const Params& par = sim.par;
  const int32_t start = WallSeconds();
  const int parents = 1 - Parity;
  const int32_t M = MigrantCount(sim);
  if (M >= 1) DrawSourceGenotypes(sim, sim.tab.Focal(Parity, 0), M);

  BitStream& bits = sim.rnd.Bits;
  Family fam;
  // Offspring M+1..last in blocks of ten, then last+1..Ne one at a time (individuals from 1).
  const int32_t last = par.Ne - (par.Ne - M) % kBlockSize;
  int32_t counter = 0;
  fam.n = kBlockSize;
  for (int32_t s = M + 1; s <= last; s += kBlockSize) {
    counter += kBlockSize;
    if (counter % kProgressStep == 0) ConsoleText("\r  Indiv=" + IntToText(counter));
    for (int i = 0; i < kBlockSize; ++i) fam.child[i] = sim.tab.Focal(Parity, s - 1 + i);
    DrawParents(sim, parents, fam);
    TransmitBlock(sim, fam, bits);
  }
  if (counter >= kProgressStep) {
    ConsoleLine("\r  Done for indiv 1 to " + IntToText(par.Ne) +
                ", TimeTaken(S) = " + IntToText(WallSeconds() - start));
  }
  fam.n = 1;
  for (int32_t j = last + 1; j <= par.Ne; ++j) {
    fam.child[0] = sim.tab.Focal(Parity, j - 1);
    DrawParents(sim, parents, fam);
    TransmitSingle(sim, fam, bits);
  }
}

void TakeSample(SimState& sim, int SampleNo, int Parity) {
  const int64_t first = SampleStart(sim.par, SampleNo);
  const int32_t n = sim.par.NumIndiv[SampleNo];
  BitStream& bits = sim.rnd.Bits;
  Family fam;
  fam.n = 1;
  for (int32_t i = 0; i < n; ++i) {
    fam.child[0] = sim.tab.Sample(first + i);
    DrawParents(sim, Parity, fam);
    TransmitSingle(sim, fam, bits);
  }
}

void TakeSourceSample(SimState& sim) {
  const int32_t n = sim.par.NumIndiv[kSourceSample];
  if (n >= 1) DrawSourceGenotypes(sim, sim.tab.Sample(0), n);
}

}  // namespace driftsim
