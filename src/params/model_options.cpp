#include "params/model_options.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "common/common.hpp"

namespace driftsim {

namespace {

constexpr const char* kSizesRoutine = "ReadSizes";
constexpr const char* kModelRoutine = "PrepareModel";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A whole number with an optional sign; false when the text is not one or does not fit.
bool ParseInteger(std::string_view text, int64_t& value) {
  const size_t signs = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (text.size() == signs || !std::all_of(text.begin() + signs, text.end(), IsDigit)) return false;
  const char* p = text.data() + (text[0] == '+' ? 1 : 0);
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(p, end, value);
  return ec == std::errc() && stop == end;
}

// A real of type T rounded from its decimal text; false when the text is not a real or its
// magnitude is beyond T (a tiny rate must not silently become 0).
template <typename T>
bool ParseReal(std::string_view text, T& value) {
  if (!IsRealForm(text, "eE")) return false;
  const char* p = text.data() + (text[0] == '+' ? 1 : 0);
  const auto [stop, ec] = std::from_chars(p, text.data() + text.size(), value);
  return ec == std::errc() && stop == text.data() + text.size();
}

std::string Quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

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

[[noreturn]] void SizesError(const std::string& name, int64_t line, const std::string& what) {
  FatalStop(name + ":" + IntToText(line) + ": " + what + "!", kSizesRoutine);
}

std::string RatioText(double r) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, r);
  return ec == std::errc() ? std::string(buf, end) : "?";
}

}  // namespace

int32_t SizeSchedule::At(int32_t generation, int32_t Ne) const {
  const auto after = std::upper_bound(Changes.begin(), Changes.end(), generation,
                                      [](int32_t g, const SizeChange& c) { return g < c.First; });
  return after == Changes.begin() ? Ne : std::prev(after)->Size;
}

std::string SetModelOption(ModelOptions& model, std::string_view name, std::string_view value) {
  if (name == "burn-in") return SetBurnIn(model, value);
  if (name == "mutation-rate") return SetMutationRate(model, value);
  if (name == "sizes") return SetSizesFile(model, value);
  if (name == "ne-ratio") return SetNeRatio(model, value);
  return "--" + std::string(name) + " is not a model option";
}

SizeSchedule ReadSizesStream(std::istream& in, const std::string& name) {
  SizeSchedule s;
  std::string text;
  int64_t line = 0, lastLine = 0;
  while (std::getline(in, text)) {
    ++line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const size_t hash = text.find('#');
    if (hash != std::string::npos) text.resize(hash);
    // Two items separated by blanks or tabs, nothing else.
    std::string_view items[3];
    int n = 0;
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      if (i == text.size()) break;
      const size_t start = i;
      while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
      if (n < 3) items[n] = std::string_view(text).substr(start, i - start);
      ++n;
    }
    if (n == 0) continue;
    int64_t g = 0, size = 0;
    if (n != 2 || !ParseInteger(items[0], g) || !ParseInteger(items[1], size)) {
      SizesError(name, line, "expected 'GENERATION SIZE', two whole numbers, not " + Quoted(text));
    }
    if (g < 1 || g > std::numeric_limits<int32_t>::max()) {
      SizesError(name, line,
                 "generation " + IntToText(g) + " is out of range (generations count from 1)");
    }
    if (!s.Changes.empty() && g <= s.Changes.back().First) {
      SizesError(name, line,
                 "generation " + IntToText(g) + " does not come after generation " +
                     IntToText(s.Changes.back().First) + " of line " + IntToText(lastLine));
    }
    if (size < kMinSize || size > kMaxSize) {
      SizesError(name, line,
                 "size " + IntToText(size) + " is out of range [" + IntToText(kMinSize) + ", " +
                     IntToText(kMaxSize) + "]");
    }
    s.Changes.push_back({static_cast<int32_t>(g), static_cast<int32_t>(size)});
    lastLine = line;
  }
  if (in.bad()) {
    FatalStop("Sizes file, " + name + ", cannot be read: " + std::strerror(errno) + "!",
              kSizesRoutine);
  }
  if (s.Changes.empty()) {
    FatalStop(name + ": no 'GENERATION SIZE' line!", kSizesRoutine);
  }
  return s;
}

SizeSchedule ReadSizes(const std::string& name) {
  std::error_code ec;
  if (!std::filesystem::exists(name, ec)) {
    FatalStop("Sizes file, " + name + ", does not exist!", kSizesRoutine);
  }
  if (std::filesystem::is_directory(name, ec)) {
    FatalStop("Sizes file, " + name + ", cannot be read: " + std::strerror(EISDIR) + "!",
              kSizesRoutine);
  }
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    FatalStop("Sizes file, " + name + ", cannot be read: " + std::strerror(errno) + "!",
              kSizesRoutine);
  }
  return ReadSizesStream(in, name);
}

void PrepareModel(const Params& par, ModelOptions& model) {
  if (!model.SizesFile.empty() && model.Sizes.Changes.empty()) {
    model.Sizes = ReadSizes(model.SizesFile);
  }
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

double FecundityShape(double NeRatio, int64_t N) {
  const double n = static_cast<double>(N);
  return (NeRatio * n - 1.0) / (n * (1.0 - NeRatio));
}

TrueValues ComputeTrueValues(const Params& par, const ModelOptions& model) {
  TrueValues tv;
  const int32_t B = model.BurnIn;
  const int32_t end = B + par.NumGen;
  const double r = model.NeRatio;
  // Runs of equal size over generations 0..end, from the changes in effect.
  SizeRun run{0, 0, par.Ne, r * par.Ne};
  for (const SizeChange& c : model.Sizes.Changes) {
    if (c.First > end) break;
    if (c.Size == run.Census) continue;
    run.Last = c.First - 1;
    tv.Sizes.push_back(run);
    run = {c.First, 0, c.Size, r * c.Size};
  }
  run.Last = end;
  tv.Sizes.push_back(run);

  // Reproduction of generations B..end-1 lies between the samples.
  double inverse = 0, logKept = 0;
  for (const SizeRun& s : tv.Sizes) {
    const int64_t from = std::max(s.First, B), to = std::min(s.Last, end - 1);
    if (from > to) continue;
    const double count = static_cast<double>(to - from + 1);
    inverse += count / s.Effective;
    logKept += count * std::log1p(-0.5 / s.Effective);
  }
  tv.HarmonicNe = par.NumGen / inverse;
  // A gene pool of N genes drawn with replacement counts a pair of one gene twice: the sampled
  // generations' census sizes enter through 1 - 1/(2N).
  const double first = model.Sizes.At(B, par.Ne), last = model.Sizes.At(end, par.Ne);
  tv.DriftNe = par.NumGen / (inverse + 1.0 / last - 1.0 / first);
  tv.TemporalF = 1.0 - std::exp(logKept) * (1.0 - 0.5 / last) / (1.0 - 0.5 / first);
  return tv;
}

}  // namespace driftsim
