// The description of a run: what the other rooms take of the parameter file and the model
// options, and the parameter file read in one pass.
#include "description/description.hpp"

#include <algorithm>

#include "common/common.hpp"

namespace driftsim {

Model ModelOf(const Params& par) {
  return par.Model == 1 ? Model::kMigration : Model::kIsolation;
}

Geometry GeometryOf(const Params& par) {
  return {par.Ne,
          par.NumLoci,
          par.NumAllele,
          {par.NumIndiv[0], par.NumIndiv[1], par.NumIndiv[2]},
          false};
}

float MigrationRate(const Params& par) {
  return ModelOf(par) == Model::kMigration ? par.MigRate : 0.0f;
}

GenoErrorRates GenoErrorRatesOf(const Params& par) {
  return {par.DropRate, par.FalseRate, par.MisRate};
}

ParamFile ReadParamFile(const std::string& name, std::span<const ParamOverride> overrides) {
  ParamFile file;
  file.name = name;
  file.par = ReadPara(name, overrides, &file.modelLines);
  return file;
}

void ApplyModelLines(const ParamFile& file, ModelOptions& model,
                     const std::vector<std::string>& given) {
  const auto isGiven = [&](std::string_view name) {
    return std::find(given.begin(), given.end(), name) != given.end();
  };
  // --chromosomes and --map both give the map: either on the command line replaces both lines.
  const bool mapGiven = isGiven("chromosomes") || isGiven("map");
  for (const ModelLine& m : file.modelLines) {
    if (isGiven(m.name) || (mapGiven && (m.name == "chromosomes" || m.name == "map"))) continue;
    const std::string refusal =
        m.tooLong ? "line longer than " + IntToText(int64_t{kMaxSizesLine}) + " characters"
                  : SetModelOption(model, m.name, m.value);
    if (!refusal.empty()) {
      FatalStop(file.name + ":" + IntToText(m.line) + ": " + refusal + "!", "PrepareModel");
    }
  }
}

RunDescription DescribeRun(const Params& par, const ModelOptions& options) {
  RunDescription desc;
  desc.par = par;
  desc.options = options;
  desc.model = ModelOf(par);
  desc.geo = GeometryOf(par);
  desc.geo.Phased = options.Linked();
  desc.MigRate = MigrationRate(par);
  desc.errors = GenoErrorRatesOf(par);
  desc.FreqDist = par.FreqDist;
  desc.NumGen = par.NumGen;
  desc.IDUM = par.IDUM;
  desc.RanBitSeed = par.RanBitSeed;
  return desc;
}

}  // namespace driftsim
