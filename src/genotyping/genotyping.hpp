// Genotyping errors: allelic dropout, false alleles and missing data on the samples, drawn by the
// engine after the samples are taken, from the rates of the run's description.
#pragma once

#include "population/population.hpp"

namespace driftsim {

// Dropout, then false alleles, then missing data, each a full pass over every record of
// samples (source sample first) that runs only when its rate is above 1e-5.
void AddGenoErrors(const RunContext& ctx, const Geometry& geo, const GenoErrorRates& rates,
                   RecordSpan samples, Random& rnd);

}  // namespace driftsim
