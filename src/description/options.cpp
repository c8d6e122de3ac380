#include "description/options.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "common/common.hpp"
#include "description/text.hpp"
#include "transaction/transaction.hpp"

namespace driftsim {

using model_text::ParseInteger;
using model_text::ParseReal;
using model_text::Quoted;
using model_text::SizesError;

namespace {

constexpr const char* kModelRoutine = "PrepareModel";

std::string SetBurnIn(ModelOptions& model, std::string_view value) {
  int64_t g = 0;
  if (!ParseInteger(value, g)) {
    return "--burn-in: " + Quoted(value) + " is not a whole number of generations";
  }
  if (g < 0 || g > kMaxBurnIn) {
    return "--burn-in: " + std::string(value) + " is out of range (0 to " + IntToText(kMaxBurnIn) +
           ")";
  }
  model.BurnIn = static_cast<int32_t>(g);
  return "";
}

std::string SetMutationRate(ModelOptions& model, std::string_view value) {
  float u = 0;
  if (!ParseReal(value, u)) {
    return "--mutation-rate: " + Quoted(value) +
           " is not a rate (a number such as 1e-4, 0 to 0.1, within single precision)";
  }
  if (!(u >= 0.0f && u <= kMaxMutationRate)) {
    return "--mutation-rate: " + std::string(value) + " is out of range (0 to 0.1)";
  }
  model.MutationRate = u;
  return "";
}

std::string SetNeRatio(ModelOptions& model, std::string_view value) {
  double r = 0;
  if (!ParseReal(value, r)) {
    return "--ne-ratio: " + Quoted(value) + " is not a ratio (a number such as 0.25)";
  }
  if (!(r > 0.0 && r <= 1.0)) {
    return "--ne-ratio: " + std::string(value) + " is out of range (above 0, at most 1)";
  }
  model.NeRatio = r;
  return "";
}

std::string SetSizesFile(ModelOptions& model, std::string_view value) {
  if (value.empty()) return "--sizes: the file name is empty";
  model.SizesFile = std::string(value);
  model.Sizes = {};
  return "";
}

std::string SetChromosomes(ModelOptions& model, std::string_view value) {
  const size_t colon = value.find(':');
  int64_t n = 0;
  double m = 0;
  if (colon == std::string_view::npos || !ParseInteger(value.substr(0, colon), n) ||
      !ParseReal(value.substr(colon + 1), m)) {
    return "--chromosomes: " + Quoted(value) +
           " is not N:M, a number of chromosomes and their length in Morgans (such as 20:1)";
  }
  if (n < 1 || n > std::numeric_limits<int32_t>::max()) {
    return "--chromosomes: " + IntToText(n) + " chromosomes is out of range (1 to the loci)";
  }
  if (!(m > 0 && m <= kMaxMorgans)) {
    return "--chromosomes: a length of " + std::string(value.substr(colon + 1)) +
           " Morgans is out of range (above 0, at most 100)";
  }
  model.ChromosomeCount = static_cast<int32_t>(n);
  model.ChromosomeMorgans = m;
  model.Map = nullptr;
  return "";
}

std::string SetMapFile(ModelOptions& model, std::string_view value) {
  if (value.empty()) return "--map: the file name is empty";
  model.MapFile = std::string(value);
  model.Map = nullptr;
  return "";
}

// The real path of an input file named in a parameter file line (see ModelLinesText).
std::string LinePath(const std::string& file, const std::string& what) {
  // The file's real path: a path normalised as text would name another file through a link
  // and "..". The reader trims a line's blanks and stops at its end, so a name ending in a
  // blank or holding a control character could not be read back whole.
  std::error_code error;
  std::string path = std::filesystem::canonical(file, error).string();
  if (error) path = std::filesystem::absolute(file).string();
  const bool readable =
      std::none_of(path.begin(), path.end(),
                   [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }) &&
      path.back() != ' ';
  if (!readable) {
    FatalStop("--write-params: the " + what + " name " + Quoted(path) +
                  " ends in a blank or holds a control character, which a parameter file line "
                  "cannot hold; rename the file!",
              kModelRoutine);
  }
  return path;
}

std::string RatioText(double r) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, r);
  return ec == std::errc() ? std::string(buf, end) : "?";
}

void PrepareLinkage(const Params& par, ModelOptions& model) {
  if (model.ChromosomeCount > 0 && !model.MapFile.empty()) {
    FatalStop("--chromosomes and --map both describe the map: give one of them!", kModelRoutine);
  }
  if (model.Map) return;
  if (model.ChromosomeCount > par.NumLoci) {
    FatalStop("--chromosomes " + IntToText(model.ChromosomeCount) + ":" +
                  RatioText(model.ChromosomeMorgans) + " asks for more chromosomes than the " +
                  IntToText(par.NumLoci) + " loci (NumLoci, line 4)!",
              kModelRoutine);
  }
  model.Map = std::make_shared<const GeneticMap>(
      model.ChromosomeCount > 0
          ? EvenMap(par.NumLoci, model.ChromosomeCount, model.ChromosomeMorgans)
          : ReadMap(model.MapFile, par.NumLoci));
}

}  // namespace

std::string SetModelOption(ModelOptions& model, std::string_view name, std::string_view value) {
  if (name == "burn-in") return SetBurnIn(model, value);
  if (name == "mutation-rate") return SetMutationRate(model, value);
  if (name == "sizes") return SetSizesFile(model, value);
  if (name == "ne-ratio") return SetNeRatio(model, value);
  if (name == "chromosomes") return SetChromosomes(model, value);
  if (name == "map") return SetMapFile(model, value);
  return "--" + std::string(name) + " is not a model option";
}

std::string ModelLinesText(const ModelOptions& model) {
  const ModelOptions defaults;
  std::string text;
  if (model.BurnIn != defaults.BurnIn) text += "--burn-in " + IntToText(model.BurnIn) + "\n";
  if (model.MutationRate != defaults.MutationRate) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, model.MutationRate);
    text += "--mutation-rate " + std::string(buf, ec == std::errc() ? end : buf) + "\n";
  }
  if (!model.SizesFile.empty()) text += "--sizes " + LinePath(model.SizesFile, "sizes file") + "\n";
  if (model.NeRatio != defaults.NeRatio) text += "--ne-ratio " + RatioText(model.NeRatio) + "\n";
  if (model.ChromosomeCount > 0) {
    text += "--chromosomes " + IntToText(model.ChromosomeCount) + ":" +
            RatioText(model.ChromosomeMorgans) + "\n";
  }
  if (!model.MapFile.empty()) text += "--map " + LinePath(model.MapFile, "map file") + "\n";
  return text;
}

std::string ModelReport(const ModelOptions& model) {
  char rate[32];
  const auto [end, ec] = std::to_chars(rate, rate + sizeof rate, model.MutationRate);
  return "  burn-in       " + IntToText(model.BurnIn) + "\n  mutation-rate " +
         std::string(rate, ec == std::errc() ? end : rate) + "\n  sizes         " +
         (model.SizesFile.empty()
              ? std::string("none")
              : Printable(model.SizesFile, std::string::npos) + ", " +
                    IntToText(int64_t(model.Sizes.Changes.size())) + " changes") +
         "\n  ne-ratio      " + RatioText(model.NeRatio) + "\n" +
         (model.Linked() ? "  linkage       " + LinkageText(model) + "\n" : std::string());
}

std::string LinkageText(const ModelOptions& model) {
  if (!model.Linked()) return "none";
  if (model.ChromosomeCount > 0) {
    return IntToText(model.ChromosomeCount) + " chromosomes of " +
           RatioText(model.ChromosomeMorgans) + " Morgans";
  }
  std::string text = "map " + Printable(model.MapFile, std::string::npos);
  if (model.Map) {
    double total = 0;
    for (const Chromosome& c : model.Map->Chromosomes) total += c.Morgans;
    text += ", " + IntToText(int64_t(model.Map->Chromosomes.size())) + " chromosomes, " +
            RatioText(total) + " Morgans in all";
  }
  return text;
}

void PrepareModel(const Params& par, ModelOptions& model) {
  if (!model.SizesFile.empty() && model.Sizes.Changes.empty()) {
    model.Sizes = ReadSizes(model.SizesFile, model.BurnIn);
  }
  const int64_t last = int64_t{model.BurnIn} + par.NumGen;
  for (const SizeChange& c : model.Sizes.Changes) {
    // A change after the last generation would change nothing: a schedule written for
    // another run.
    if (c.First > last) {
      SizesError(model.SizesFile, c.Line,
                 "generation " + IntToText(c.First) + " is after the run's last generation " +
                     IntToText(last) + " (burn-in " + IntToText(model.BurnIn) + " + NumGen " +
                     IntToText(par.NumGen) + ")");
    }
    if (c.Size > par.MaxNe) {
      SizesError(model.SizesFile, c.Line,
                 "size " + IntToText(c.Size) + " is above MaxNe " + IntToText(par.MaxNe) +
                     " (line 13 of the parameter file)");
    }
  }
  if (model.Linked()) PrepareLinkage(par, model);
  if (model.NeRatio >= 1.0) return;
  // R x N <= 1 would ask for an effective size of one or less, which no fecundities give.
  const double r = model.NeRatio;
  auto refuse = [&](int32_t size, const std::string& where) {
    FatalStop("--ne-ratio " + RatioText(r) + " needs R x size above 1, but " + where +
                  " has size " + IntToText(size) + "!",
              kModelRoutine);
  };
  if (!(r * par.Ne > 1.0)) refuse(par.Ne, "the initial population (Ne, line 2)");
  for (const SizeChange& c : model.Sizes.Changes) {
    if (!(r * c.Size > 1.0)) refuse(c.Size, "generation " + IntToText(c.First));
  }
}

int32_t LargestSize(const Params& par, const ModelOptions& model) {
  const int64_t end = int64_t{model.BurnIn} + par.NumGen;
  int32_t largest = par.Ne;
  for (const SizeChange& c : model.Sizes.Changes) {
    if (c.First <= end) largest = std::max(largest, c.Size);
  }
  return largest;
}

ModelOptions FrontEndModel(const std::vector<std::pair<std::string, std::string>>& options,
                           const std::vector<std::pair<int64_t, int64_t>>* sizes,
                           const std::string& sizesFile) {
  ModelOptions model;
  for (const auto& [name, value] : options) {
    const std::string refusal = SetModelOption(model, name, value);
    if (!refusal.empty()) throw FatalError(refusal, "ModelOptions");
  }
  if (sizes) {
    std::string text;
    for (const auto& [g, n] : *sizes) text += IntToText(g) + " " + IntToText(n) + "\n";
    std::istringstream in(text);
    model.Sizes = ReadSizesStream(in, "sizes");
  } else if (!sizesFile.empty()) {
    model.SizesFile = sizesFile;
  }
  return model;
}

void PrepareFrontEndModel(Params& par, ModelOptions& model, bool followMaxNe) {
  // The largest MaxNe a parameter file may give.
  constexpr int32_t kLargestMaxNe = 1000000;
  const int32_t maxNe = par.MaxNe;
  if (followMaxNe) par.MaxNe = kLargestMaxNe;
  PrepareModel(par, model);
  if (followMaxNe) par.MaxNe = std::max(maxNe, LargestSize(par, model));
}

}  // namespace driftsim
