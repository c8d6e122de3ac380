// Parents of a generation: drawn uniformly from the previous generation (the ideal population),
// or in proportion to fecundities drawn afresh each generation, so that family sizes vary more
// and the effective size falls below the census size. Internal to the population subsystem.
#pragma once

#include <cstdint>
#include <vector>

#include "population/population.hpp"

namespace driftsim {

// Chooses a parent record with one uniform draw.
class ParentPicker {
 public:
  // Uniform: index floor(u x N + 1), capped at N.
  explicit ParentPicker(RecordSpan parents) : parents_(parents) {}
  // Weighted by the given fecundities of the records, in record order.
  ParentPicker(RecordSpan parents, const std::vector<double>& fecundity);

  bool Weighted() const { return !cum_.empty(); }
  RecordSpan Parents() const { return parents_; }

  // Index (from 0) of the parent that draw u chooses. Weighted: the first record whose
  // cumulative fecundity reaches u times the total, by binary search.
  int64_t Index(double u) const;
  const uint8_t* Pick(double u) const { return parents_[Index(u)]; }

 private:
  RecordSpan parents_;
  std::vector<double> cum_;  // cumulative fecundities in record order; empty when uniform
};

// Fecundities of n parents: gamma deviates of the given shape, in record order, scaled so that
// the largest is 1 (only their ratios matter, and tiny shapes underflow otherwise).
std::vector<double> DrawFecundities(int64_t n, double shape, RngState& uniform);

// The parents of a generation under the ratio R of effective to census size: uniform at R = 1,
// with no draws; otherwise fecundities of shape FecundityShape(R, N) drawn first.
ParentPicker BreedingParents(RecordSpan parents, double NeRatio, RngState& uniform);

}  // namespace driftsim
