#include "population/parents.hpp"

#include <algorithm>
#include <cmath>

#include "model/true_values.hpp"

namespace driftsim {

ParentPicker::ParentPicker(RecordSpan parents, const std::vector<double>& fecundity)
    : parents_(parents), cum_(fecundity.size()) {
  double sum = 0;
  for (size_t i = 0; i < fecundity.size(); ++i) cum_[i] = sum += fecundity[i];
}

int64_t ParentPicker::Index(double u) const {
  if (cum_.empty()) return DrawIndex(u, static_cast<int32_t>(parents_.count)) - 1;
  // u <= 1, so the target never passes the total; the cap guards rounding all the same. Records
  // of fecundity 0 are never chosen: the target is above 0.
  const double target = u * cum_.back();
  const auto at = std::lower_bound(cum_.begin(), cum_.end(), target);
  return std::min<int64_t>(at - cum_.begin(), parents_.count - 1);
}

std::vector<double> DrawFecundities(int64_t n, double shape, RngState& uniform) {
  std::vector<double> f(static_cast<size_t>(n));
  for (double& x : f) x = LogGammaDev(shape, uniform);
  const double top = *std::max_element(f.begin(), f.end());
  for (double& x : f) x = std::exp(x - top);
  return f;
}

ParentPicker BreedingParents(RecordSpan parents, double NeRatio, RngState& uniform) {
  if (NeRatio >= 1.0) return ParentPicker(parents);
  const double shape = FecundityShape(NeRatio, parents.count);
  return ParentPicker(parents, DrawFecundities(parents.count, shape, uniform));
}

}  // namespace driftsim
