#include "params/model_options.hpp"

#include <sys/stat.h>
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
#include "transaction/transaction.hpp"

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

// A text in a message: quoted, at most 60 characters, non-printing bytes as \xHH.
std::string Quoted(std::string_view text) {
  return "'" + Printable(text, 60) + "'";
}

// Reads one line of at most limit characters (without its line end); false at the end of the
// input. A longer line sets tooLong and keeps its first limit characters.
bool BoundedLine(std::istream& in, std::string& text, size_t limit, bool& tooLong) {
  text.clear();
  tooLong = false;
  std::streambuf* buf = in.rdbuf();
  for (;;) {
    const int c = buf->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return !text.empty() || tooLong;
    }
    if (c == '\n') return true;
    if (text.size() < limit) {
      text += static_cast<char>(c);
    } else {
      tooLong = true;
    }
  }
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
  bool tooLong = false;
  while (BoundedLine(in, text, kMaxSizesLine, tooLong)) {
    ++line;
    if (tooLong) {
      SizesError(
          name, line,
          "line longer than " + IntToText(int64_t{kMaxSizesLine}) + " characters: " + Quoted(text));
    }
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
    s.Changes.push_back({static_cast<int32_t>(g), static_cast<int32_t>(size), line});
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
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    FatalStop("Sizes file, " + name + ", does not exist!", kSizesRoutine);
  }
  if (S_ISDIR(st.st_mode)) {
    FatalStop("Sizes file, " + name + ", cannot be read: " + std::strerror(EISDIR) + "!",
              kSizesRoutine);
  }
  // A FIFO without a writer would wait for ever, a device never end its lines.
  if (!S_ISREG(st.st_mode)) {
    FatalStop("Sizes file, " + name + ", cannot be read: not a regular file!", kSizesRoutine);
  }
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    FatalStop("Sizes file, " + name + ", cannot be read: " + std::strerror(errno) + "!",
              kSizesRoutine);
  }
  return ReadSizesStream(in, name);
}

void ReadModelLines(const std::string& paramFile, ModelOptions& model,
                    const std::vector<std::string>& given) {
  std::ifstream in(paramFile, std::ios::binary);
  std::string text;
  int64_t line = 0, values = 0;
  bool tooLong = false;
  while (BoundedLine(in, text, kMaxSizesLine, tooLong)) {
    ++line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    // The nineteen values come first, one per line that is not blank.
    if (++values <= 19 || text.compare(start, 2, "--") != 0) continue;
    const std::string_view rest = std::string_view(text).substr(start + 2);
    const size_t blank = rest.find_first_of(" \t");
    const std::string name(rest.substr(0, blank));
    std::string_view value = blank == std::string_view::npos ? "" : rest.substr(blank);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (std::find(given.begin(), given.end(), name) != given.end()) continue;
    const std::string refusal =
        tooLong ? "line longer than " + IntToText(int64_t{kMaxSizesLine}) + " characters"
                : SetModelOption(model, name, value);
    if (!refusal.empty()) {
      FatalStop(paramFile + ":" + IntToText(line) + ": " + refusal + "!", kModelRoutine);
    }
  }
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
  if (!model.SizesFile.empty()) {
    text +=
        "--sizes " + std::filesystem::absolute(model.SizesFile).lexically_normal().string() + "\n";
  }
  if (model.NeRatio != defaults.NeRatio) text += "--ne-ratio " + RatioText(model.NeRatio) + "\n";
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
         "\n  ne-ratio      " + RatioText(model.NeRatio) + "\n";
}

void PrepareModel(const Params& par, ModelOptions& model) {
  if (!model.SizesFile.empty() && model.Sizes.Changes.empty()) {
    model.Sizes = ReadSizes(model.SizesFile);
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
