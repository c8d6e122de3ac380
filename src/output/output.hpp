// Output files: the one writer of a run's files for every front end. The genotype data file and
// the estimator parameter file, written into the OutputFiles of the file transaction and put in
// place together, then the run record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "population/population.hpp"
#include "transaction/transaction.hpp"

namespace driftsim {

// Writes <OutFile>.dat: one line per sampled individual, samples 1, 2, then the source sample;
// samples holds all sampled records, source sample first. progress, when given, hears of every
// record written.
void WriteGenoFile(const Geometry& geo, RecordSpan samples, OutputFile& out,
                   Progress* progress = nullptr);

// The largest size in bytes that WriteGenoFile's file can reach: every allele number of the
// widest form the run can write.
uint64_t GenoFileBytes(const Params& par);

// Writes <OutFile>.par: the thirteen lines the estimation program reads.
void WriteParaFile(const Params& par, OutputFile& out);

// The files of a run, created when the run starts, so that a folder or name that cannot take
// them stops it before the work: the data and estimator parameter files of stem, and when
// named the --write-params file and the run record (in that order).
struct RunFiles {
  explicit RunFiles(const std::string& stem, const std::string& paramsFile = "",
                    const std::string& recordFile = "");
  std::optional<OutputFile> dat, para, params, record;
};

// Writes the data and estimator parameter files of par's samples (all sampled records, source
// sample first) and puts them in place with the --write-params file, if one was written: all
// or none. progress hears of the two stages, every record and the end of the phase.
void WriteRunOutputs(const Params& par, RecordSpan samples, RunFiles& files, Progress& progress);

// Writes the run record and puts it in place.
void WriteRunRecord(std::string_view json, RunFiles& files);

}  // namespace driftsim
