// Output files: the genotype data file and the estimator parameter file, written into the
// OutputFiles of the file transaction, which the driver commits together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "population/population.hpp"
#include "transaction/transaction.hpp"

namespace driftsim {

// Writes <OutFile>.dat: one line per sampled individual, samples 1, 2, then the source sample;
// samples holds all sampled records, source sample first. progress, when given, hears of every
// record written.
void WriteGenoFile(const Params& par, RecordSpan samples, OutputFile& out,
                   Progress* progress = nullptr);

// The largest size in bytes that WriteGenoFile's file can reach: every allele number of the
// widest form the run can write.
uint64_t GenoFileBytes(const Params& par);

// Writes <OutFile>.par: the thirteen lines the estimation program reads.
void WriteParaFile(const Params& par, OutputFile& out);

}  // namespace driftsim
