// Model options: the burn-in, the mutation rate, the population size by generation and the
// ratio of effective to census size. Their defaults are the ideal population of the parameter
// file alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "description/genetic_map.hpp"
#include "description/params.hpp"
#include "description/sizes.hpp"

namespace driftsim {

inline constexpr int32_t kMaxBurnIn = 100000000;
// K-allele mutation rate per gene copy per generation (single precision).
inline constexpr float kDefaultMutationRate = 1e-4f;
inline constexpr float kMaxMutationRate = 0.1f;

struct ModelOptions {
  int32_t BurnIn = kDefaultBurnIn;
  float MutationRate = kDefaultMutationRate;  // 0: no mutation draws at all
  std::string SizesFile;                      // empty: the size stays Ne
  SizeSchedule Sizes;                         // read from SizesFile by PrepareModel
  double NeRatio = 1;                         // 1: parents drawn uniformly, no extra draws
  // Linkage: ChromosomeCount chromosomes of ChromosomeMorgans each, or the map file MapFile;
  // neither: every locus unlinked. Map is built from them by PrepareModel.
  int32_t ChromosomeCount = 0;
  double ChromosomeMorgans = 0;
  std::string MapFile;
  std::shared_ptr<const GeneticMap> Map;

  bool Linked() const { return ChromosomeCount > 0 || !MapFile.empty(); }
};

// Longest chromosome --chromosomes accepts, in Morgans.
inline constexpr double kMaxMorgans = 100;

// The options as the command line names them, for its option table and usage text.
struct ModelOptionName {
  const char* Name;      // without the leading "--"
  const char* Argument;  // placeholder of the value
  const char* Help;      // one line
};
inline constexpr ModelOptionName kModelOptionNames[] = {
    {"burn-in", "G", "generations before sample 1, 0 to 100000000 (default 250)"},
    {"mutation-rate", "U", "K-allele rate per gene copy per generation, 0 to 0.1 (default 1e-4)"},
    {"sizes", "FILE",
     "population size by generation: lines 'GENERATION SIZE' (GENERATION or S1, S1+N, S1-N)"},
    {"ne-ratio", "R", "effective/census size through family-size variance, 0 < R <= 1 (default 1)"},
    {"chromosomes", "N:M", "linked loci: N chromosomes of M Morgans, loci spread evenly"},
    {"map", "FILE", "linked loci: a PLINK .map file, one line per locus"},
};

// Reads the value text of the option name (as in kModelOptionNames) into model. Returns the
// refusal, a message naming the option, or "" when the value is accepted; a refusal is a usage
// error. --sizes only records the file name: PrepareModel reads the file.
std::string SetModelOption(ModelOptions& model, std::string_view name, std::string_view value);

// The model lines of a parameter file (see ApplyModelLines) that read back as model: one per option
// that is not at its default; the sizes file by its absolute path.
std::string ModelLinesText(const ModelOptions& model);

// The model options as --check shows them, one "  name  value" line each.
std::string ModelReport(const ModelOptions& model);

// The linkage as --check and the run record name it: "none", "N chromosomes of M Morgans" or
// "map FILE" with its chromosomes and total length once read.
std::string LinkageText(const ModelOptions& model);

// Reads the sizes file named in model, if any, builds the genetic map of a linked run, and checks
// the options against the parameter file: a size line must fall within the run (burn-in + NumGen
// generations) and not exceed MaxNe, and a ratio R needs R x size > 1 for every size. Ends the run
// on an error.
void PrepareModel(const Params& par, ModelOptions& model);

// Generation records to allocate for each of the two buffers: the largest size of the run.
int32_t LargestSize(const Params& par, const ModelOptions& model);

// The model of a front end's run (Python, R): options as name and value, as the command line's
// long options take them, and the sizes as (generation, size) pairs read with a sizes file's
// checks, or else the name of a sizes file. Ends the run on an error.
ModelOptions FrontEndModel(const std::vector<std::pair<std::string, std::string>>& options,
                           const std::vector<std::pair<int64_t, int64_t>>* sizes,
                           const std::string& sizesFile);

// PrepareModel for a front end's run. With followMaxNe, MaxNe (only handed on to the
// estimator) follows the run: the sizes are checked against the largest MaxNe a file may
// give, and MaxNe becomes the largest size of the run unless the given one is larger.
void PrepareFrontEndModel(Params& par, ModelOptions& model, bool followMaxNe);

}  // namespace driftsim
