// Model options: the burn-in, the mutation rate, the population size by generation and the
// ratio of effective to census size, with the true values a study compares its estimates with.
// Their defaults are the ideal population of the parameter file alone.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "params/params.hpp"

namespace driftsim {

// Generations before sample 1.
inline constexpr int32_t kDefaultBurnIn = 250;
inline constexpr int32_t kMaxBurnIn = 100000000;
// K-allele mutation rate per gene copy per generation (single precision).
inline constexpr float kDefaultMutationRate = 1e-4f;
inline constexpr float kMaxMutationRate = 0.1f;
// Sizes a schedule may give a generation.
inline constexpr int32_t kMinSize = 2;
inline constexpr int32_t kMaxSize = 1000000;

// From generation First on (numbered as printed, from 1), the population has Size individuals.
struct SizeChange {
  int32_t First = 0;
  int32_t Size = 0;
  int64_t Line = 0;  // of the sizes file, for messages
};

// The population size by generation: Ne of the parameter file before the first change (and
// always for generation 0, the initial population), then the last change at or before it.
struct SizeSchedule {
  std::vector<SizeChange> Changes;  // strictly increasing First

  int32_t At(int32_t generation, int32_t Ne) const;
  int32_t Largest(int32_t Ne) const;
};

struct ModelOptions {
  int32_t BurnIn = kDefaultBurnIn;
  float MutationRate = kDefaultMutationRate;  // 0: no mutation draws at all
  std::string SizesFile;                      // empty: the size stays Ne
  SizeSchedule Sizes;                         // read from SizesFile by PrepareModel
  double NeRatio = 1;                         // 1: parents drawn uniformly, no extra draws
};

// The options as the command line names them, for its option table and usage text.
struct ModelOptionName {
  const char* Name;      // without the leading "--"
  const char* Argument;  // placeholder of the value
  const char* Help;      // one line
};
inline constexpr ModelOptionName kModelOptionNames[] = {
    {"burn-in", "G", "generations before sample 1, 0 to 100000000 (default 250)"},
    {"mutation-rate", "U", "K-allele rate per gene copy per generation, 0 to 0.1 (default 1e-4)"},
    {"sizes", "FILE", "population size by generation: lines 'GENERATION SIZE'"},
    {"ne-ratio", "R", "effective/census size through family-size variance, 0 < R <= 1 (default 1)"},
};

// Reads the value text of the option name (as in kModelOptionNames) into model. Returns the
// refusal, a message naming the option, or "" when the value is accepted; a refusal is a usage
// error. --sizes only records the file name: PrepareModel reads the file.
std::string SetModelOption(ModelOptions& model, std::string_view name, std::string_view value);

// Reads the sizes file (a regular file): one 'GENERATION SIZE' line per change, generations
// increasing; blank lines and text after '#' are ignored. Malformed lines, lines longer than
// kMaxSizesLine, generations out of order and sizes out of range end the run with a message
// naming the file and line, which quotes at most 60 characters of a bad line.
SizeSchedule ReadSizes(const std::string& name);
SizeSchedule ReadSizesStream(std::istream& in, const std::string& name);
inline constexpr size_t kMaxSizesLine = 1000;

// Model options written after the nineteen values of a parameter file, one per line as on the
// command line ("--burn-in 100"); other lines there stay free comments. They apply in their
// order, except those named in given (the command line's, which take precedence). A refused
// value ends the run with the file and line.
void ReadModelLines(const std::string& paramFile, ModelOptions& model,
                    const std::vector<std::string>& given);

// The lines ReadModelLines reads back as model: one per option that is not at its default; the
// sizes file by its absolute path.
std::string ModelLinesText(const ModelOptions& model);

// The model options as --check shows them, one "  name  value" line each.
std::string ModelReport(const ModelOptions& model);

// Reads the sizes file named in model, if any, and checks the options against the parameter
// file: a size line must fall within the run (burn-in + NumGen generations) and not exceed
// MaxNe, and a ratio R needs R x size > 1 for every size. Ends the run on an error.
void PrepareModel(const Params& par, ModelOptions& model);

// Generation records to allocate for each of the two buffers: the largest size of the run.
int32_t LargestSize(const Params& par, const ModelOptions& model);

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
