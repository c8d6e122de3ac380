// The true values of a run's model, for a study to compare its estimates with.
#include "model/true_values.hpp"

#include <algorithm>
#include <cmath>

namespace driftsim {

double FecundityShape(double NeRatio, int64_t N) {
  const double n = static_cast<double>(N);
  return (NeRatio * n - 1.0) / (n * (1.0 - NeRatio));
}

TrueValues ComputeTrueValues(const Params& par, const ModelOptions& model) {
  TrueValues tv;
  const int32_t B = model.BurnIn;
  const int32_t end = B + par.NumGen;
  const double r = model.NeRatio;
  // Runs of equal size over generations 0..end, from the changes in effect.
  SizeRun run{0, 0, par.Ne, r * par.Ne};
  for (const SizeChange& c : model.Sizes.Changes) {
    if (c.First > end) break;
    if (c.Size == run.Census) continue;
    run.Last = c.First - 1;
    tv.Sizes.push_back(run);
    run = {c.First, 0, c.Size, r * c.Size};
  }
  run.Last = end;
  tv.Sizes.push_back(run);

  // Reproduction of generations B..end-1 lies between the samples.
  double inverse = 0, logKept = 0;
  for (const SizeRun& s : tv.Sizes) {
    const int64_t from = std::max(s.First, B), to = std::min(s.Last, end - 1);
    if (from > to) continue;
    const double count = static_cast<double>(to - from + 1);
    inverse += count / s.Effective;
    logKept += count * std::log1p(-0.5 / s.Effective);
  }
  tv.HarmonicNe = par.NumGen / inverse;
  // A gene pool of N genes drawn with replacement counts a pair of one gene twice: the sampled
  // generations' census sizes enter through 1 - 1/(2N).
  const double first = model.Sizes.At(B, par.Ne), last = model.Sizes.At(end, par.Ne);
  tv.DriftNe = par.NumGen / (inverse + 1.0 / last - 1.0 / first);
  tv.TemporalF = 1.0 - std::exp(logKept) * (1.0 - 0.5 / last) / (1.0 - 0.5 / first);
  return tv;
}

}  // namespace driftsim
