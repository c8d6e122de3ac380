// The description of a run: what a run is, read and written here alone. The parameter file
// with its overrides and model lines, the sizes file, and what the other rooms take of them:
// the shape of the tables, the model, the rates and the seed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "description/options.hpp"
#include "description/params.hpp"
#include "description/sizes.hpp"

namespace driftsim {

// The population model of line 1 of the parameter file.
enum class Model : int32_t {
  kIsolation = 0,  // the focal population alone
  kMigration = 1,  // migrants from a source population, which is sampled too
};

// Bytes of one packed or unpacked record.
inline int64_t GenoBytesOf(int32_t NumLoci, bool packed) {
  return packed ? (int64_t{NumLoci} - 1) / 4 + 1 : 2 * int64_t{NumLoci};
}

// The shape of a run's tables, which is all most steps need of the parameters: individuals of
// a generation, loci, alleles per locus and the sample sizes, and the record layout they give.
struct Geometry {
  int32_t Ne = 0;
  int32_t NumLoci = 0;
  int32_t NumAllele = 0;
  int32_t NumIndiv[3] = {0, 0, 0};  // source sample, sample 1, sample 2
  // Loci are linked: packed generation records keep each copy's allele instead of a code.
  bool Phased = false;

  bool Packed() const { return NumAllele == 2; }
  int64_t GenoBytes() const { return GenoBytesOf(NumLoci, Packed()); }
  int64_t TotalSampled() const { return int64_t{NumIndiv[0]} + NumIndiv[1] + NumIndiv[2]; }
};

// The rates of the three kinds of genotyping error, per genotype.
struct GenoErrorRates {
  float DropRate = 0;
  float FalseRate = 0;
  float MisRate = 0;
};

// What the rooms of a run take of its parameters: the model, the geometry, migrants per
// individual of a generation (par's rate under the migration model, none under isolation) and
// the genotyping error rates.
Model ModelOf(const Params& par);
Geometry GeometryOf(const Params& par);
float MigrationRate(const Params& par);
GenoErrorRates GenoErrorRatesOf(const Params& par);

// A parameter file as read: the nineteen values, with the overrides, and its model lines.
struct ParamFile {
  std::string name;
  Params par;
  std::vector<ModelLine> modelLines;
};

// Reads the parameter file name (a regular file) once: the nineteen values with the overrides
// (see ReadParaStream), then the model lines. Nothing else reads a parameter file.
ParamFile ReadParamFile(const std::string& name, std::span<const ParamOverride> overrides = {});

// Applies the model lines of file to model, in their order, except those named in given (the
// command line's, which take precedence; --chromosomes or --map given replaces both lines). A
// refused value ends the run with the file and line.
void ApplyModelLines(const ParamFile& file, ModelOptions& model,
                     const std::vector<std::string>& given);

// A whole run's description, once PrepareModel has passed: the values as the files and records
// write them, and what the engine takes of them.
struct RunDescription {
  Params par;
  ModelOptions options;  // burn-in, mutation rate, sizes by generation, Ne/N ratio
  Model model = Model::kIsolation;
  Geometry geo;
  float MigRate = 0;  // migrants per individual: 0 under isolation
  GenoErrorRates errors;
  int32_t FreqDist = 0;  // 0 frequencies drawn, 1 all equal
  int32_t NumGen = 0;    // generations between the two samples
  // The seed of the uniform stream (never positive) and of the bit stream.
  int32_t IDUM = 0;
  uint32_t RanBitSeed = 0;
  // A front end's run keeps the phase of a linked run's biallelic samples, which their codes
  // lose, to give genotypes in phase (RunSamples::Phased). The draws are the same.
  bool KeepPhase = false;
};
RunDescription DescribeRun(const Params& par, const ModelOptions& options);

}  // namespace driftsim
