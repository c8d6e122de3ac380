#include <algorithm>

#include "population/alleles.hpp"
#include "population/parents.hpp"
#include "population/population.hpp"
#include "population/transmit.hpp"

namespace driftsim {

namespace {

// Smallest migrant mean that calls for a Poisson draw (single precision).
constexpr float kMinMigrantMean = 0.00001f;

// Offspring counts at which progress is reported.
constexpr int32_t kProgressStep = 500;

// Poisson number of migrants into a generation of N individuals, mean N x MigRate, capped at N
// after the draw (the draws consumed stay the same).
int32_t MigrantCount(const Params& par, int32_t N, Random& rnd) {
  if (par.Model != 1) return 0;
  const float mean = static_cast<float>(N) * par.MigRate;
  if (!(mean >= kMinMigrantMean)) return 0;
  return std::min(PoissonCount(rnd, mean), N);
}

}  // namespace

void Reproduce(const Params& par, const float* AlleleFreq, RecordSpan parents, RecordSpan offspring,
               Random& rnd, Progress& progress, double NeRatio) {
  const ParentPicker picker = BreedingParents(parents, NeRatio, rnd.Uniform);
  const int32_t N = static_cast<int32_t>(offspring.count);
  const int32_t M = MigrantCount(par, N, rnd);
  if (M >= 1) DrawSourceGenotypes(par, AlleleFreq, offspring.Part(0, M), rnd.Uniform);

  BitStream& bits = rnd.Bits;
  Family fam;
  // Offspring M+1..last in blocks of ten, then last+1..N one at a time (individuals from 1).
  const int32_t last = N - (N - M) % kBlockSize;
  int32_t counter = 0;
  fam.n = kBlockSize;
  for (int32_t s = M + 1; s <= last; s += kBlockSize) {
    counter += kBlockSize;
    if (counter % kProgressStep == 0) progress.Offspring(counter);
    for (int i = 0; i < kBlockSize; ++i) fam.child[i] = offspring[s - 1 + i];
    DrawParents(picker, rnd.Uniform, fam);
    TransmitBlock(par, fam, bits);
  }
  if (counter >= kProgressStep) progress.OffspringDone(N);
  fam.n = 1;
  for (int32_t j = last + 1; j <= N; ++j) {
    fam.child[0] = offspring[j - 1];
    DrawParents(picker, rnd.Uniform, fam);
    TransmitSingle(par, fam, bits);
  }
}

void TakeSample(const Params& par, RecordSpan parents, RecordSpan sample, Random& rnd) {
  Family fam;
  fam.n = 1;
  for (int64_t i = 0; i < sample.count; ++i) {
    fam.child[0] = sample[i];
    DrawParents(parents, rnd.Uniform, fam);
    TransmitSingle(par, fam, rnd.Bits);
  }
}

void TakeSourceSample(const Params& par, const float* AlleleFreq, RecordSpan sample,
                      RngState& uniform) {
  if (sample.count >= 1) DrawSourceGenotypes(par, AlleleFreq, sample, uniform);
}

}  // namespace driftsim
