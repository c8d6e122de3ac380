#include "description/sizes.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include "common/common.hpp"
#include "description/text.hpp"

namespace driftsim {

using model_text::kSizesRoutine;
using model_text::ParseInteger;
using model_text::Quoted;
using model_text::SizesError;

int32_t SizeSchedule::At(int32_t generation, int32_t Ne) const {
  const auto after = std::upper_bound(Changes.begin(), Changes.end(), generation,
                                      [](int32_t g, const SizeChange& c) { return g < c.First; });
  return after == Changes.begin() ? Ne : std::prev(after)->Size;
}

SizeSchedule ReadSizesStream(std::istream& in, const std::string& name, int32_t burnIn) {
  SizeSchedule s;
  std::string text;
  int64_t line = 0, lastLine = 0;
  bool tooLong = false;
  while (model_text::BoundedLine(in, text, kMaxSizesLine, tooLong)) {
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
    // S1, S1+N, S1-N: counted from the generation of sample 1.
    const bool fromSample = n >= 1 && items[0].starts_with("S1");
    const std::string_view offset = fromSample ? items[0].substr(2) : items[0];
    const bool generation =
        fromSample
            ? offset.empty() || ((offset[0] == '+' || offset[0] == '-') && ParseInteger(offset, g))
            : ParseInteger(items[0], g);
    if (n != 2 || !generation || !ParseInteger(items[1], size)) {
      SizesError(name, line, "expected 'GENERATION SIZE', two whole numbers, not " + Quoted(text));
    }
    if (fromSample) g = std::clamp<int64_t>(g, -(int64_t{1} << 40), int64_t{1} << 40) + burnIn;
    if (g < 1 || g > std::numeric_limits<int32_t>::max()) {
      SizesError(name, line,
                 "generation " +
                     (fromSample ? Printable(items[0]) + " (generation " + IntToText(g) +
                                       " with burn-in " + IntToText(burnIn) + ")"
                                 : IntToText(g)) +
                     " is out of range (generations count from 1)");
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
    const int err = errno;
    FatalStop("Sizes file, " + name + ", cannot be read: " + std::strerror(err) + "!",
              kSizesRoutine, ErrorKind::kBadFile, err, name);
  }
  if (s.Changes.empty()) {
    FatalStop(name + ": no 'GENERATION SIZE' line!", kSizesRoutine);
  }
  return s;
}

SizeSchedule ReadSizes(const std::string& name, int32_t burnIn) {
  std::ifstream in = model_text::OpenInputFile("Sizes file", name, kSizesRoutine);
  return ReadSizesStream(in, name, burnIn);
}

}  // namespace driftsim
