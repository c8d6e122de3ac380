#include "stats/stats.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

namespace driftsim::stats {

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Bytes read at a time from the data file.
constexpr size_t kChunkBytes = size_t{1} << 20;

// Longest label accepted: labels are short, and the bound keeps a line without blanks from
// being collected in memory.
constexpr size_t kMaxLabel = 64;

// Longest line accepted in the parameter file, which has short lines only.
constexpr size_t kMaxParLine = 4096;

std::string Decimal(int64_t n) {
  return std::to_string(n);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The character as it reads in a message: itself when printable, else its code.
std::string Shown(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u < 0x7f) return std::string("'") + c + "'";
  return "byte " + Decimal(u);
}

std::string SystemReason(int err) {
  return std::strerror(err);
}

// Owns a file descriptor opened here.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// Parses an optionally signed decimal integer at text[pos], advancing pos; false if none.
bool ParseInteger(const std::string& text, size_t& pos, int64_t& value) {
  size_t i = pos;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t first = i;
  int64_t n = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (n > 100000000) return false;  // far beyond any generation count
    n = n * 10 + (text[i++] - '0');
  }
  if (i == first) return false;
  pos = i;
  value = negative ? -n : n;
  return true;
}

}  // namespace

int64_t GenoCounts::Typed(int s, int64_t l) const {
  int64_t copies = 0;
  for (int32_t a = 1; a <= width; ++a) copies += Count(s, l, a);
  return copies / 2;
}

// ---------------------------------------------------------------------------------------------
// Data file reader

GenoReader::GenoReader(std::string name) : name_(std::move(name)) {}

void GenoReader::Fail(const std::string& what) const {
  throw StatsError(name_ + ", line " + Decimal(line_) + ": " + what);
}

// Records one genotype of the current line at locus locus_. Called once per genotype: kept
// small so that it is inlined into the byte loop.
inline void GenoReader::Record(int64_t first, int64_t second) {
  const int64_t larger = std::max(first, second);
  if (larger > counts_.width) Widen(static_cast<int32_t>(larger));
  if (locus_ >= (firstLine_ != 0 ? counts_.loci : capacity_)) {
    if (firstLine_ != 0) {
      Fail("wrong number of genotypes: more than " + Decimal(counts_.loci) +
           ", the number on line " + Decimal(firstLine_));
    }
    GrowFirstLine();
  }
  SampleCounts& s = *sample_;
  if (first == 0 || second == 0) {
    ++s.missing;
  } else {
    uint32_t* row = s.alleles.data() + locus_ * counts_.width;
    ++row[first - 1];
    ++row[second - 1];
    s.hets[static_cast<size_t>(locus_)] += first != second ? 1U : 0U;
  }
  ++locus_;
}

// Runs of genotypes "a b " with one-digit alleles, both present and within the table: the
// usual case (every genotype of a file with up to 9 alleles but the last of each line), counted
// here without the checks of the general path. Returns where the run ends.
const char* GenoReader::ShortGenotypes(const char* p, const char* end) {
  const int64_t limit = firstLine_ != 0 ? counts_.loci : capacity_;
  const auto width = static_cast<unsigned>(counts_.width);
  // An allele a passes when a - 1 < bound: a digit 1..9 that has its place in the table.
  const unsigned bound = std::min(width, 9U);
  uint32_t* const alleles = sample_->alleles.data();
  uint32_t* const hets = sample_->hets.data();
  int64_t locus = locus_;
  while (end - p >= 4 && locus < limit) {
    const unsigned a = static_cast<unsigned>(static_cast<unsigned char>(p[0])) - '1';
    const unsigned b = static_cast<unsigned>(static_cast<unsigned char>(p[2])) - '1';
    if (a >= bound || b >= bound || p[1] != ' ' || p[3] != ' ') break;
    uint32_t* const row = alleles + locus * width;
    ++row[a];
    ++row[b];
    hets[locus] += a != b ? 1U : 0U;
    ++locus;
    p += 4;
  }
  locus_ = locus;
  return p;
}

void GenoReader::Feed(const char* data, size_t size) {
  const char* p = data;
  const char* const end = data + size;
  while (p < end) {
    if (state_ != kFields) {
      Byte(*p++);
      continue;
    }
    // Genotype fields: digits and single blanks make up almost the whole file, so they are
    // handled here with the number being read in a local; anything else goes to Byte.
    int64_t value = value_;
    for (; p < end; ++p) {
      if (value < 0 && pending_ < 0) {
        p = ShortGenotypes(p, end);
        if (p == end) break;
      }
      const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(*p)) - '0';
      if (digit <= 9) {
        value = (value < 0 ? 0 : value * 10) + digit;
        if (value > kMaxAllele) {
          Fail("allele number above " + Decimal(kMaxAllele) + " at genotype " +
               Decimal(locus_ + 1));
        }
      } else if (*p == ' ') {
        value_ = value;
        EndNumber();
        value = value_;
      } else {
        break;
      }
    }
    value_ = value;
    if (p < end) Byte(*p++);
  }
}

void GenoReader::Byte(char c) {
  switch (state_) {
    case kLineStart:
      if (c == '\n') {
        ++line_;  // empty line
      } else if (c == '\r') {
        state_ = kCarriageReturn;
      } else if (IsBlank(c)) {
        Fail("line starts with a blank; expected a label S1_n, S2_n or S0_n");
      } else {
        label_.assign(1, c);
        state_ = kLabel;
      }
      return;
    case kLabel:
      if (IsBlank(c)) {
        StartFields();
      } else if (c == '\n' || c == '\r') {
        Fail("label " + label_ + " is followed by no genotypes");
      } else if (label_.size() >= kMaxLabel) {
        Fail("label longer than " + Decimal(kMaxLabel) + " characters");
      } else {
        label_.push_back(c);
      }
      return;
    case kFields:
      if (IsBlank(c)) {
        EndNumber();  // a tab separates like a blank
      } else if (c == '\n') {
        EndLine();
        ++line_;
      } else if (c == '\r') {
        EndLine();
        state_ = kCarriageReturn;
      } else {
        Fail("unexpected " + Shown(c) + " at genotype " + Decimal(locus_ + 1) +
             "; expected allele numbers separated by blanks");
      }
      return;
    case kCarriageReturn:
      if (c != '\n') Fail("carriage return not followed by a line feed");
      ++line_;
      state_ = kLineStart;
      return;
  }
}

void GenoReader::StartFields() {
  const bool wellFormed =
      label_.size() >= 4 && label_[0] == 'S' && label_[1] >= '0' && label_[1] <= '2' &&
      label_[2] == '_' &&
      std::all_of(label_.begin() + 3, label_.end(), [](char d) { return d >= '0' && d <= '9'; });
  if (!wellFormed) Fail("label " + label_ + " is not of the form S1_n, S2_n or S0_n");
  sample_ = &counts_.samples[static_cast<size_t>(label_[1] - '0')];
  // Allele counts of one locus must fit in 32 bits.
  if (sample_->individuals >= (int64_t{1} << 31) - 1) Fail("too many individuals in one sample");
  ++sample_->individuals;
  if (firstLine_ != 0 && sample_->hets.empty()) {
    sample_->hets.assign(static_cast<size_t>(counts_.loci), 0);
    sample_->alleles.assign(static_cast<size_t>(counts_.loci * counts_.width), 0);
  }
  locus_ = 0;
  value_ = -1;
  pending_ = -1;
  state_ = kFields;
}

void GenoReader::EndNumber() {
  if (value_ < 0) return;
  if (pending_ < 0) {
    pending_ = value_;
  } else {
    Record(pending_, value_);
    pending_ = -1;
  }
  value_ = -1;
}

void GenoReader::EndLine() {
  EndNumber();
  if (pending_ >= 0) {
    Fail("odd number of allele numbers (" + Decimal(2 * locus_ + 1) +
         "); each genotype is a pair of allele numbers");
  }
  if (locus_ == 0) Fail("label " + label_ + " is followed by no genotypes");
  if (firstLine_ == 0) {
    // The first line fixes the number of loci: trim the tables grown while reading it.
    firstLine_ = line_;
    counts_.loci = locus_;
    sample_->hets.resize(static_cast<size_t>(locus_));
    sample_->hets.shrink_to_fit();
    sample_->alleles.resize(static_cast<size_t>(locus_ * counts_.width));
    sample_->alleles.shrink_to_fit();
  } else if (locus_ != counts_.loci) {
    Fail("wrong number of genotypes: " + Decimal(locus_) + ", but line " + Decimal(firstLine_) +
         " has " + Decimal(counts_.loci));
  }
  state_ = kLineStart;
}

void GenoReader::Widen(int32_t width) {
  const auto oldWidth = static_cast<size_t>(counts_.width);
  const auto newWidth = static_cast<size_t>(width);
  for (SampleCounts& s : counts_.samples) {
    const size_t rows = s.hets.size();
    std::vector<uint32_t> wider(rows * newWidth, 0);
    for (size_t r = 0; r < rows; ++r) {
      std::copy_n(s.alleles.begin() + static_cast<ptrdiff_t>(r * oldWidth), oldWidth,
                  wider.begin() + static_cast<ptrdiff_t>(r * newWidth));
    }
    s.alleles.swap(wider);
  }
  counts_.width = width;
}

void GenoReader::GrowFirstLine() {
  capacity_ = std::max<int64_t>(1024, 2 * capacity_);
  sample_->hets.resize(static_cast<size_t>(capacity_), 0);
  sample_->alleles.resize(static_cast<size_t>(capacity_ * counts_.width), 0);
}

GenoCounts GenoReader::Finish() {
  if (state_ == kLabel) Fail("label " + label_ + " is followed by no genotypes");
  if (state_ == kFields) EndLine();
  if (firstLine_ == 0) throw StatsError(name_ + ": no genotype lines");
  state_ = kLineStart;
  return std::move(counts_);
}

GenoCounts ReadGenoStream(std::istream& in, const std::string& name) {
  GenoReader reader(name);
  std::unique_ptr<char[]> buffer(new char[kChunkBytes]);
  while (in) {
    in.read(buffer.get(), static_cast<std::streamsize>(kChunkBytes));
    reader.Feed(buffer.get(), static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) throw StatsError(name + ": read error");
  return reader.Finish();
}

GenoCounts ReadGenoDescriptor(int fd, const std::string& name) {
  GenoReader reader(name);
  std::unique_ptr<char[]> buffer(new char[kChunkBytes]);
  for (;;) {
    const ssize_t got = read(fd, buffer.get(), kChunkBytes);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw StatsError(name + ": read error: " + SystemReason(errno));
    }
    if (got == 0) break;
    reader.Feed(buffer.get(), static_cast<size_t>(got));
  }
  return reader.Finish();
}

GenoCounts ReadGenoFile(const std::string& path) {
  const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) throw StatsError("cannot open " + path + ": " + SystemReason(errno));
  posix_fadvise(file.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return ReadGenoDescriptor(file.Get(), path);
}

// ---------------------------------------------------------------------------------------------
// Parameter file

int32_t ReadGenerations(std::istream& in, const std::string& name) {
  constexpr int64_t kNgenLine = 10;
  std::string text;
  int64_t line = 0;
  for (char c; line < kNgenLine && in.get(c);) {
    if (c == '\n') {
      ++line;
      if (line < kNgenLine) text.clear();
    } else if (text.size() >= kMaxParLine) {
      throw StatsError(name + ", line " + Decimal(line + 1) + ": longer than " +
                       Decimal(kMaxParLine) + " characters; not an estimator parameter file");
    } else {
      text.push_back(c);
    }
  }
  if (in.bad()) throw StatsError(name + ": read error");
  if (line < kNgenLine - 1 || (line == kNgenLine - 1 && text.empty())) {
    throw StatsError(name + ": fewer than " + Decimal(kNgenLine) +
                     " lines; line 10 must give the generations of the samples (NGEN)");
  }
  if (!text.empty() && text.back() == '\r') text.pop_back();
  size_t pos = 0;
  int64_t first = 0, second = 0;
  const auto skipBlanks = [&] {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
  };
  skipBlanks();
  bool ok = ParseInteger(text, pos, first);
  if (ok && pos < text.size() && IsBlank(text[pos])) {
    skipBlanks();
    ok = ParseInteger(text, pos, second);
  } else {
    ok = false;
  }
  ok = ok && (pos == text.size() || IsBlank(text[pos]) || text[pos] == '!');
  if (!ok) {
    const std::string shown = text.size() > 60 ? text.substr(0, 60) + "..." : text;
    throw StatsError(name + ", line 10: expected the NGEN line \"0 <NumGen>\", found \"" + shown +
                     "\"");
  }
  const int64_t generations = second - first;
  if (generations < 1) {
    throw StatsError(name + ", line 10: the second sample is not later than the first (NGEN " +
                     Decimal(first) + " " + Decimal(second) + ")");
  }
  return static_cast<int32_t>(generations);
}

int32_t ReadGenerationsFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw StatsError("cannot open " + path + ": " + SystemReason(errno));
  return ReadGenerations(in, path);
}

std::string ParFileFor(const std::string& datPath) {
  const std::string suffix = ".dat";
  if (datPath.size() > suffix.size() &&
      datPath.compare(datPath.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return datPath.substr(0, datPath.size() - suffix.size()) + ".par";
  }
  return datPath + ".par";
}

// ---------------------------------------------------------------------------------------------
// Statistics

SampleStats SampleSummary(const GenoCounts& counts, int sample) {
  const SampleCounts& s = counts.samples[static_cast<size_t>(sample)];
  SampleStats st;
  st.individuals = s.individuals;
  st.loci = counts.loci;
  if (s.individuals == 0) {
    st.missing = st.alleles = st.ho = st.he = kNA;
    return st;
  }
  st.missing = static_cast<double>(s.missing) /
               (static_cast<double>(s.individuals) * static_cast<double>(counts.loci));
  int64_t typedLoci = 0;
  double alleles = 0, ho = 0, he = 0;
  for (int64_t l = 0; l < counts.loci; ++l) {
    const int64_t n = counts.Typed(sample, l);
    if (n == 0) continue;
    const double copies = 2.0 * static_cast<double>(n);
    int32_t seen = 0;
    double homozygosity = 0;
    for (int32_t a = 1; a <= counts.width; ++a) {
      const uint32_t c = counts.Count(sample, l, a);
      if (c == 0) continue;
      ++seen;
      const double p = c / copies;
      homozygosity += p * p;
    }
    ++typedLoci;
    alleles += seen;
    ho += s.hets[static_cast<size_t>(l)] / static_cast<double>(n);
    he += copies / (copies - 1.0) * (1.0 - homozygosity);
  }
  if (typedLoci == 0) {
    st.alleles = st.ho = st.he = kNA;
  } else {
    const auto loci = static_cast<double>(typedLoci);
    st.alleles = alleles / loci;
    st.ho = ho / loci;
    st.he = he / loci;
  }
  return st;
}

double MomentNe(double f, double s1, double s2, int32_t generations) {
  if (std::isnan(f) || std::isnan(s1) || std::isnan(s2)) return kNA;
  const double drift = f - 1.0 / (2.0 * s1) - 1.0 / (2.0 * s2);
  if (!(drift > 0)) return kInfinity;
  return generations / (2.0 * drift);
}

// Per locus, with x and y the frequencies of an allele in samples 1 and 2, z = (x + y) / 2 and
// K the number of alleles seen in either sample:
//   Fc (Nei and Tajima): (1/K) sum (x - y)^2 / (z - xy), loci combined by weights K - 1;
//   Fk (Pollak): sum (x - y)^2 / z, summed over loci and divided by the sum of K - 1, i.e. the
//     per-locus (1/(K - 1)) sum (x - y)^2 / z combined by weights K - 1;
//   Fs (Jorde and Ryman): sum (x - y)^2 over all loci and alleles divided by sum z (1 - z), the
//     ratio of sums without a further sample-size correction.
// Loci typed in only one sample are left out; a locus with one allele adds nothing to Fc and
// Fk (weight 0) and nothing to either sum of Fs.
TemporalStats TemporalSummary(const GenoCounts& counts, int32_t generations) {
  if (counts.samples[kFirst].individuals == 0 || counts.samples[kSecond].individuals == 0) {
    return {kNA, kNA, kNA, kNA, kNA, kNA, kNA, kNA};
  }
  double fcSum = 0, fkSum = 0, weights = 0, fsSquares = 0, fsSpread = 0;
  double inverse1 = 0, inverse2 = 0;
  int64_t used = 0;
  for (int64_t l = 0; l < counts.loci; ++l) {
    const int64_t n1 = counts.Typed(kFirst, l);
    const int64_t n2 = counts.Typed(kSecond, l);
    if (n1 == 0 || n2 == 0) continue;
    ++used;
    inverse1 += 1.0 / static_cast<double>(n1);
    inverse2 += 1.0 / static_cast<double>(n2);
    const double copies1 = 2.0 * static_cast<double>(n1);
    const double copies2 = 2.0 * static_cast<double>(n2);
    int32_t k = 0;
    double fc = 0, fk = 0;
    for (int32_t a = 1; a <= counts.width; ++a) {
      const uint32_t c1 = counts.Count(kFirst, l, a);
      const uint32_t c2 = counts.Count(kSecond, l, a);
      if (c1 == 0 && c2 == 0) continue;
      ++k;
      const double x = c1 / copies1;
      const double y = c2 / copies2;
      const double z = (x + y) / 2.0;
      const double square = (x - y) * (x - y);
      fc += square / (z - x * y);
      fk += square / z;
      fsSquares += square;
      fsSpread += z * (1.0 - z);
    }
    if (k < 2) continue;
    fcSum += (k - 1) * (fc / k);
    fkSum += fk;
    weights += k - 1;
  }
  TemporalStats st;
  st.fc = weights > 0 ? fcSum / weights : kNA;
  st.fk = weights > 0 ? fkSum / weights : kNA;
  st.fs = fsSpread > 0 ? fsSquares / fsSpread : kNA;
  st.s1 = used > 0 ? static_cast<double>(used) / inverse1 : kNA;
  st.s2 = used > 0 ? static_cast<double>(used) / inverse2 : kNA;
  st.neFc = MomentNe(st.fc, st.s1, st.s2, generations);
  st.neFk = MomentNe(st.fk, st.s1, st.s2, generations);
  st.neFs = MomentNe(st.fs, st.s1, st.s2, generations);
  return st;
}

// Hudson's Fst = 1 - Hw / Hb as a ratio of sums over loci: per locus, with p and q the allele
// frequencies in sample 1 and the source sample, m and n their typed gene copies,
//   numerator   sum (p - q)^2 / 2 - h1 / (2 (m - 1)) - h0 / (2 (n - 1)),  h = 1 - sum of squares,
//   denominator 1 - sum p q (the chance that two genes, one from each sample, differ).
// The numerator is Hb minus the mean of the unbiased within-sample diversities m/(m-1) h.
double SourceFst(const GenoCounts& counts) {
  if (counts.samples[kFirst].individuals == 0 || counts.samples[kSource].individuals == 0) {
    return kNA;
  }
  double numerator = 0, denominator = 0;
  for (int64_t l = 0; l < counts.loci; ++l) {
    const int64_t n1 = counts.Typed(kFirst, l);
    const int64_t n0 = counts.Typed(kSource, l);
    if (n1 == 0 || n0 == 0) continue;
    const double copies1 = 2.0 * static_cast<double>(n1);
    const double copies0 = 2.0 * static_cast<double>(n0);
    double squares = 0, same1 = 0, same0 = 0, shared = 0;
    for (int32_t a = 1; a <= counts.width; ++a) {
      const double p = counts.Count(kFirst, l, a) / copies1;
      const double q = counts.Count(kSource, l, a) / copies0;
      squares += (p - q) * (p - q);
      same1 += p * p;
      same0 += q * q;
      shared += p * q;
    }
    numerator += squares / 2.0 - (1.0 - same1) / (2.0 * (copies1 - 1.0)) -
                 (1.0 - same0) / (2.0 * (copies0 - 1.0));
    denominator += 1.0 - shared;
  }
  return denominator > 0 ? numerator / denominator : kNA;
}

// ---------------------------------------------------------------------------------------------
// Output table

std::string FormatNumber(double x) {
  if (std::isnan(x)) return "NA";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", x);
  return text;
}

std::string StatsTable(const GenoCounts& counts, int32_t generations) {
  std::string out =
      "row\tindividuals\tloci\tmissing\talleles\tHo\tHe\tFc\tFk\tFs\tNe_Fc\tNe_Fk\tNe_Fs\tFst\n";
  const auto cells = [&out](std::initializer_list<std::string> values) {
    for (const std::string& v : values) {
      out += '\t';
      out += v;
    }
  };
  const std::string na = "NA";
  const bool source = counts.samples[kSource].individuals > 0;
  for (const int s : {kFirst, kSecond, kSource}) {
    if (s == kSource && !source) continue;
    const SampleStats st = SampleSummary(counts, s);
    out += 'S';
    out += Decimal(s);
    // Counts are printed whole, whatever their size.
    cells({Decimal(st.individuals), Decimal(st.loci), FormatNumber(st.missing),
           FormatNumber(st.alleles), FormatNumber(st.ho), FormatNumber(st.he), na, na, na, na, na,
           na, na});
    out += "\n";
  }
  const TemporalStats t = TemporalSummary(counts, generations);
  out += "S1-S2";
  cells({na, na, na, na, na, na, FormatNumber(t.fc), FormatNumber(t.fk), FormatNumber(t.fs),
         FormatNumber(t.neFc), FormatNumber(t.neFk), FormatNumber(t.neFs), na});
  out += "\n";
  if (source) {
    out += "S1-S0";
    cells({na, na, na, na, na, na, na, na, na, na, na, na, FormatNumber(SourceFst(counts))});
    out += "\n";
  }
  return out;
}

}  // namespace driftsim::stats
