// Genotyping errors: allelic dropout, false alleles and missing data on the samples.
#pragma once

#include "population/population.hpp"

namespace driftsim {

// The rates of the three kinds of error, per genotype.
struct GenoErrorRates {
  float DropRate = 0;
  float FalseRate = 0;
  float MisRate = 0;
};

// The error rates of par.
inline GenoErrorRates GenoErrorRatesOf(const Params& par) {
  return {par.DropRate, par.FalseRate, par.MisRate};
}

// Dropout, then false alleles, then missing data, each a full pass over every record of
// samples (source sample first) that runs only when its rate is above 1e-5.
void AddGenoErrors(const RunContext& ctx, const Geometry& geo, const GenoErrorRates& rates,
                   RecordSpan samples, Random& rnd);

}  // namespace driftsim
