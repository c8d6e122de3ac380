// The true values of a run: what the model options and the parameter file give a study to
// compare its estimates with, and the fecundity shape that realises the Ne/N ratio.
#pragma once

#include <cstdint>
#include <vector>

#include "description/description.hpp"

namespace driftsim {

// Gamma shape of the fecundities that gives an inbreeding effective size of R x N to the
// offspring of N parents (R < 1, R x N > 1).
double FecundityShape(double NeRatio, int64_t N);

// Generations First..Last with the same census and effective size.
struct SizeRun {
  int32_t First = 0;
  int32_t Last = 0;
  int32_t Census = 0;
  double Effective = 0;
};

// The values a study compares its estimates with. The effective size of generation g is that
// of its reproduction: R x N_g, the inverse of the probability that two genes of generation
// g + 1 come from the same parent.
struct TrueValues {
  // Harmonic mean of the effective sizes of generations BurnIn..BurnIn+NumGen-1, whose
  // reproduction lies between the samples.
  double HarmonicNe = 0;
  // The Ne whose drift is TemporalF to first order, the one a temporal estimator recovers:
  // 1/Ne = (sum of 1/Ne_g over those generations + 1/N_t - 1/N_0) / NumGen. The sampled
  // generations' census sizes make it differ from HarmonicNe when they differ; without
  // --ne-ratio it is the harmonic mean of the sizes of the generations made between the samples.
  double DriftNe = 0;
  // Expected standardised variance of the change in allele frequency between the generations
  // sampled, from drift alone: 1 - (1 - 1/(2 N_t)) / (1 - 1/(2 N_0)) x prod (1 - 1/(2 Ne_g)).
  double TemporalF = 0;
  // Generations 0 (the initial population) to BurnIn+NumGen.
  std::vector<SizeRun> Sizes;
};
TrueValues ComputeTrueValues(const Params& par, const ModelOptions& model);

}  // namespace driftsim
