#include "description/genetic_map.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>

#include "common/common.hpp"
#include "description/text.hpp"

namespace driftsim {

using model_text::ParseInteger;
using model_text::Quoted;

namespace {

constexpr const char* kMapRoutine = "ReadMap";
constexpr double kBpPerMorgan = 1e8;

[[noreturn]] void MapError(const std::string& name, int64_t line, const std::string& what) {
  FatalStop(name + ":" + IntToText(line) + ": " + what + "!", kMapRoutine);
}

// A position in cM: a decimal number, with an exponent or not; false for anything else (NaN
// and infinities among them). The map is read by driftsim-convert too, which has no parameter
// file reader.
bool ParseCentimorgans(std::string_view text, double& value) {
  const bool form = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return model_text::IsDigit(c) || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
  });
  if (!form) return false;
  const char* p = text.data() + (text[0] == '+' ? 1 : 0);
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(p, end, value);
  return ec == std::errc() && stop == end && std::isfinite(value);
}

// The chromosome number of a name ("7" or "chr7"), or 0 when it names no autosome.
int32_t AutosomeNumber(std::string_view text) {
  if (text.size() > 3 && (text.substr(0, 3) == "chr" || text.substr(0, 3) == "Chr")) {
    text = text.substr(3);
  }
  int64_t n = 0;
  if (text.empty() || text[0] == '+' || text[0] == '-' || !ParseInteger(text, n)) return 0;
  return n >= 1 && n <= kMaxChromosome ? static_cast<int32_t>(n) : 0;
}

}  // namespace

std::vector<std::string> LocusChromosomes(const GeneticMap& map) {
  std::vector<std::string> names(map.Position.size());
  for (const Chromosome& c : map.Chromosomes) {
    std::fill(names.begin() + c.First, names.begin() + c.End, c.Name);
  }
  return names;
}

uint64_t MapBytes(const GeneticMap& map) {
  // Names are at most "chr99": they live inside the entry.
  return uint64_t(map.Position.size()) * (sizeof(double) + sizeof(int64_t)) +
         uint64_t(map.Chromosomes.size()) * sizeof(Chromosome);
}

GeneticMap EvenMap(int64_t NumLoci, int32_t count, double morgans) {
  GeneticMap map;
  map.Position.resize(static_cast<size_t>(NumLoci));
  map.Bp.resize(static_cast<size_t>(NumLoci));
  for (int32_t c = 0; c < count; ++c) {
    const int64_t first = NumLoci * c / count;
    const int64_t end = NumLoci * (c + 1) / count;
    map.Chromosomes.push_back({IntToText(c + 1), first, end, morgans});
    const double n = static_cast<double>(end - first);
    for (int64_t L = first; L < end; ++L) {
      const double x = morgans * (static_cast<double>(L - first) + 0.5) / n;
      map.Position[size_t(L)] = x;
      map.Bp[size_t(L)] = 1 + static_cast<int64_t>(std::floor(x * kBpPerMorgan));
    }
  }
  return map;
}

GeneticMap ReadMapStream(std::istream& in, const std::string& name, int64_t NumLoci) {
  GeneticMap map;
  std::string text;
  int64_t line = 0;
  bool tooLong = false;
  std::vector<int64_t> seen(kMaxChromosome + 1, 0);  // line of each chromosome's first locus
  int32_t current = 0;                               // number of the chromosome being read
  while (model_text::BoundedLine(in, text, kMaxMapLine, tooLong)) {
    ++line;
    if (tooLong) {
      MapError(
          name, line,
          "line longer than " + IntToText(int64_t{kMaxMapLine}) + " characters: " + Quoted(text));
    }
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::string_view items[5];
    int n = 0;
    for (size_t i = 0; i < text.size();) {
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      if (i == text.size()) break;
      const size_t start = i;
      while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
      if (n < 5) items[n] = std::string_view(text).substr(start, i - start);
      ++n;
    }
    if (n != 4) {
      MapError(name, line, "expected 'CHROMOSOME NAME CM BP', four fields, not " + Quoted(text));
    }
    const int64_t L = int64_t(map.Position.size());
    if (L == NumLoci) {
      MapError(name, line,
               "more lines than the run's " + IntToText(NumLoci) + " loci (NumLoci, line 4)");
    }
    const int32_t chr = AutosomeNumber(items[0]);
    if (chr == 0) {
      MapError(name, line,
               "unknown chromosome name " + Quoted(items[0]) + " (autosomes 1 to " +
                   IntToText(kMaxChromosome) + ", as '7' or 'chr7')");
    }
    double cM = 0;
    if (!ParseCentimorgans(items[2], cM)) {
      MapError(name, line, "the position " + Quoted(items[2]) + " is not a number of cM");
    }
    if (cM < 0) MapError(name, line, "the position " + Printable(items[2]) + " cM is negative");
    int64_t bp = 0;
    if (!ParseInteger(items[3], bp) || bp < 0) {
      MapError(name, line,
               "the position " + Quoted(items[3]) + " is not a whole, non-negative number of bp");
    }
    const double morgans = cM / 100.0;
    if (chr != current) {
      if (seen[size_t(chr)] != 0) {
        MapError(name, line,
                 "chromosome " + std::string(items[0]) + " comes again after another (its loci " +
                     "start at line " + IntToText(seen[size_t(chr)]) +
                     "): a chromosome's loci must be one run of lines");
      }
      seen[size_t(chr)] = line;
      current = chr;
      map.Chromosomes.push_back({std::string(items[0]), L, L, 0});
    } else if (morgans < map.Position.back() || bp < map.Bp.back()) {
      MapError(name, line,
               "positions out of order: " + Printable(items[2]) + " cM, " + Printable(items[3]) +
                   " bp comes before the previous locus of chromosome " + std::string(items[0]));
    }
    Chromosome& c = map.Chromosomes.back();
    c.End = L + 1;
    c.Morgans = morgans;
    map.Position.push_back(morgans);
    map.Bp.push_back(bp);
  }
  if (in.bad()) {
    const int err = errno;
    FatalStop("Map file, " + name + ", cannot be read: " + std::strerror(err) + "!", kMapRoutine,
              ErrorKind::kBadFile, err, name);
  }
  if (int64_t(map.Position.size()) != NumLoci) {
    MapError(name, line,
             "the file has " + IntToText(int64_t(map.Position.size())) +
                 " lines, one per locus, but the run has " + IntToText(NumLoci) +
                 " loci (NumLoci, line 4)");
  }
  return map;
}

GeneticMap ReadMap(const std::string& name, int64_t NumLoci) {
  std::ifstream in = model_text::OpenInputFile("Map file", name, kMapRoutine);
  return ReadMapStream(in, name, NumLoci);
}

}  // namespace driftsim
