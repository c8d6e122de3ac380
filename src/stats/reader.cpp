// Reading the two files of a run: the estimator parameter file and, streamed, the data file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>

#include "stats/stats.hpp"
#include "transaction/transaction.hpp"

namespace driftsim::stats {

namespace {

// Bytes read at a time from the data file.
constexpr size_t kChunkBytes = size_t{1} << 20;

// Longest label accepted: labels are short, and the bound keeps a line without blanks from
// being collected in memory.
constexpr size_t kMaxLabel = 64;

// Longest line accepted in the parameter file, which has short lines only.
constexpr size_t kMaxParLine = 4096;

// driftsim's largest number of loci.
constexpr int64_t kMaxLoci = 100000000;

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
    if (n > 1000000000) return false;  // far beyond any count of the file
    n = n * 10 + (text[i++] - '0');
  }
  if (i == first) return false;
  pos = i;
  value = negative ? -n : n;
  return true;
}

// The first `count` integers of a parameter line, separated by blanks and followed by the end,
// a blank or the comment mark; false if the line does not start that way.
bool LeadingIntegers(const std::string& text, size_t count, int64_t* values) {
  size_t pos = 0;
  for (size_t k = 0; k < count; ++k) {
    const size_t before = pos;
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (k > 0 && pos == before) return false;
    if (!ParseInteger(text, pos, values[k])) return false;
  }
  return pos == text.size() || IsBlank(text[pos]) || text[pos] == '!';
}

std::string Quoted(const std::string& text) {
  return "\"" + (text.size() > 60 ? text.substr(0, 60) + "..." : text) + "\"";
}

}  // namespace

std::string AtLine(const std::string& file, int64_t line, const std::string& what) {
  return file + ", line " + Decimal(line) + ": " + what;
}

std::string SampleName(int sample) {
  return "S" + Decimal(sample);
}

int SizeLine(int sample) {
  return sample == kSource ? 12 : 11;
}

// ---------------------------------------------------------------------------------------------
// Parameter file

ParInfo ReadParStream(std::istream& in, const std::string& name) {
  constexpr size_t kLinesRead = 12;
  std::vector<std::string> lines(1);
  for (char c; lines.size() <= kLinesRead && in.get(c);) {
    if (c == '\n') {
      lines.emplace_back();
    } else if (lines.back().size() >= kMaxParLine) {
      throw StatsError(AtLine(
          name, static_cast<int64_t>(lines.size()),
          "longer than " + Decimal(kMaxParLine) + " characters; not an estimator parameter file"));
    } else {
      lines.back().push_back(c);
    }
  }
  if (in.bad()) throw StatsError(name + ": read error");
  if (lines.back().empty()) lines.pop_back();  // the end of the last line, or an empty file
  if (lines.size() < kLinesRead) {
    throw StatsError(name + ": " + Decimal(static_cast<int64_t>(lines.size())) +
                     " lines; lines 6, 10, 11 and 12 must give the loci (NLOCI_T), the "
                     "generations (NGEN) and the sample sizes (SmplSize)");
  }
  for (std::string& text : lines) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
  const auto text = [&lines](int line) -> const std::string& {
    return lines[static_cast<size_t>(line - 1)];
  };
  const auto fail = [&name](int line, const std::string& what) {
    throw StatsError(AtLine(name, line, what));
  };
  ParInfo par;
  par.name = name;
  int64_t v[2] = {0, 0};

  if (!LeadingIntegers(text(kLociLine), 1, v)) {
    fail(kLociLine, "expected the number of loci (NLOCI_T), found " + Quoted(text(kLociLine)));
  }
  if (v[0] < 1 || v[0] > kMaxLoci) {
    fail(kLociLine, "number of loci " + Decimal(v[0]) + " not within 1 to " + Decimal(kMaxLoci));
  }
  par.loci = v[0];

  if (!LeadingIntegers(text(kGenerationsLine), 2, v)) {
    fail(kGenerationsLine,
         "expected the NGEN line \"0 <NumGen>\", found " + Quoted(text(kGenerationsLine)));
  }
  // Generations are whole numbers of int32, as driftsim writes them; a larger one would wrap.
  for (const int64_t g : v) {
    if (g < 0 || g > INT32_MAX) {
      fail(kGenerationsLine, "generation " + Decimal(g) +
                                 " of the NGEN line is out of range (0 to " + Decimal(INT32_MAX) +
                                 ")");
    }
  }
  if (v[1] - v[0] < 1) {
    fail(kGenerationsLine, "the second sample is not later than the first (NGEN " + Decimal(v[0]) +
                               " " + Decimal(v[1]) + ")");
  }
  par.generations = static_cast<int32_t>(v[1] - v[0]);

  const int temporal = SizeLine(kFirst);
  if (!LeadingIntegers(text(temporal), 2, v)) {
    fail(temporal,
         "expected the sizes of samples 1 and 2 (SmplSize), found " + Quoted(text(temporal)));
  }
  par.individuals[kFirst] = v[0];
  par.individuals[kSecond] = v[1];
  const int source = SizeLine(kSource);
  if (!LeadingIntegers(text(source), 1, v)) {
    fail(source,
         "expected the size of the source sample (SmplSize), found " + Quoted(text(source)));
  }
  par.individuals[kSource] = v[0];
  for (const int s : {kFirst, kSecond, kSource}) {
    const int64_t n = par.individuals[static_cast<size_t>(s)];
    const int64_t least = s == kSource ? 0 : 1;
    if (n < least || n > kMaxIndividuals) {
      fail(SizeLine(s), "size of sample " + SampleName(s) + " " + Decimal(n) + " not within " +
                            Decimal(least) + " to " + Decimal(kMaxIndividuals));
    }
  }
  return par;
}

void CheckReadable(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0) {
    throw StatsError("cannot open " + path + ": " + SystemReason(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    throw StatsError("cannot open " + path + ": " +
                     (S_ISDIR(st.st_mode) ? SystemReason(EISDIR) : "not a regular file"));
  }
}

void CheckCommitted(const std::string& data, const std::string& par) {
  for (const std::string* name : {&data, &par}) {
    if (CommitPending(*name)) {
      throw StatsError("cannot read " + *name +
                       ": the commit that wrote it was interrupted, and the files of that commit "
                       "may be a mix of two runs; the next driftsim run with their stem "
                       "completes it");
    }
  }
}

ParInfo ReadParFile(const std::string& path) {
  CheckReadable(path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw StatsError("cannot open " + path + ": " + SystemReason(errno));
  return ReadParStream(in, path);
}

std::string ParFileFor(const std::string& datPath) {
  return OutputFiles(OutputStem(datPath)).Para;
}

// ---------------------------------------------------------------------------------------------
// Data file reader

GenoReader::GenoReader(std::string name, LineSink& sink, Rules rules)
    : name_(std::move(name)), sink_(sink), rules_(rules) {
  if (rules_.par != nullptr) loci_ = rules_.par->loci;
}

void GenoReader::Fail(const std::string& what) const {
  throw StatsError(AtLine(name_, line_, what));
}

// A line with another number of genotypes than the file's: `found` of them, or more than that
// when `more` (the line is then refused before it is read to its end).
void GenoReader::CheckLoci(int64_t found, bool more) const {
  const std::string count = (more ? "more than " : "") + Decimal(found);
  if (rules_.par != nullptr) {
    if (more || found != loci_) {
      Fail("wrong number of genotypes: " + count + ", but " + rules_.par->name + ", line " +
           Decimal(kLociLine) + " gives " + Decimal(loci_) + " loci");
    }
  } else if (more) {
    Fail("wrong number of genotypes: more than " + Decimal(loci_) + ", the number on line " +
         Decimal(firstLine_));
  } else if (found != loci_) {
    Fail("wrong number of genotypes: " + Decimal(found) + ", but line " + Decimal(firstLine_) +
         " has " + Decimal(loci_));
  }
}

// Room for one more genotype on the line. The row grows while the first line is read; the
// number of loci, once known, bounds it.
void GenoReader::GrowRow() {
  const bool known = firstLine_ != 0 || rules_.par != nullptr;
  if (known && locus_ >= loci_) CheckLoci(loci_, true);
  // Twice the genotypes held (row_ has two bytes per genotype), at least 1024.
  int64_t capacity = std::max<int64_t>(1024, static_cast<int64_t>(row_.size()));
  if (known) capacity = std::min(capacity, loci_);
  row_.resize(2 * static_cast<size_t>(capacity), 0);
}

// Records one genotype of the current line at locus locus_. Called once per genotype outside
// the fast path: kept small so that it is inlined into the byte loop.
inline void GenoReader::Record(int64_t first, int64_t second) {
  if (2 * static_cast<size_t>(locus_) >= row_.size()) GrowRow();
  if (first == 0 || second == 0) first = second = 0;
  largest_ = std::max(largest_, static_cast<int32_t>(std::max(first, second)));
  uint8_t* const at = row_.data() + 2 * locus_;
  at[0] = static_cast<uint8_t>(first);
  at[1] = static_cast<uint8_t>(second);
  ++locus_;
}

// Runs of genotypes "a b " with one-digit alleles: the usual case (every genotype of a file
// with up to 9 alleles but the last of each line), decoded here without the checks of the
// general path. Returns where the run ends.
const char* GenoReader::ShortGenotypes(const char* p, const char* end) {
  static_assert(std::endian::native == std::endian::little, "words are read little-endian");
  const int64_t limit = static_cast<int64_t>(row_.size() / 2);
  uint8_t* const row = row_.data();
  int64_t locus = locus_;
  uint32_t seen = 0;  // bit d set for every allele d met
  for (;;) {
    // Two genotypes "a b c d " at a time, as one 64-bit word whose lowest byte is the first
    // character: bytes 1, 3, 5, 7 must be blanks and bytes 0, 2, 4, 6 digits 1 to 9.
    while (end - p >= 8 && limit - locus >= 2) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      const uint64_t digits = w & 0x00FF00FF00FF00FFULL;
      const uint64_t low = digits & 0x000F000F000F000FULL;
      const bool shape = (w & 0xFF00FF00FF00FF00ULL) == 0x2000200020002000ULL &&
                         (digits & 0x00F000F000F000F0ULL) == 0x0030003000300030ULL &&
                         ((low + 0x0006000600060006ULL) & 0x00F000F000F000F0ULL) == 0;
      // A digit byte minus 1 sets its bit 7 only when the digit is 0; the 0xFF bytes between
      // the digits absorb the borrow.
      const bool zero =
          (((low | 0xFF00FF00FF00FF00ULL) - 0x0001000100010001ULL) & 0x0080008000800080ULL) != 0;
      if (!shape || zero) break;
      const uint64_t pairs = low | (low >> 8);  // a b in bytes 0, 1 and c d in bytes 4, 5
      const auto packed = static_cast<uint32_t>((pairs & 0xFFFF) | ((pairs >> 16) & 0xFFFF0000));
      std::memcpy(row + 2 * locus, &packed, 4);
      seen |= (1U << (low & 0xF)) | (1U << ((low >> 16) & 0xF)) | (1U << ((low >> 32) & 0xF)) |
              (1U << ((low >> 48) & 0xF));
      locus += 2;
      p += 8;
    }
    // One genotype "a b ": a missing one, or the last before the end of the piece or row.
    if (end - p < 4 || locus >= limit) break;
    const unsigned a = static_cast<unsigned>(static_cast<unsigned char>(p[0])) - '0';
    const unsigned b = static_cast<unsigned>(static_cast<unsigned char>(p[2])) - '0';
    if (a > 9 || b > 9 || p[1] != ' ' || p[3] != ' ') break;
    const unsigned typed = a != 0 && b != 0 ? 1U : 0U;  // one allele 0 makes it missing
    row[2 * locus] = static_cast<uint8_t>(a * typed);
    row[2 * locus + 1] = static_cast<uint8_t>(b * typed);
    seen |= ((1U << a) | (1U << b)) * typed;
    ++locus;
    p += 4;
  }
  if (seen > 1) largest_ = std::max(largest_, static_cast<int32_t>(std::bit_width(seen)) - 1);
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
  const std::string_view digits = std::string_view(label_).substr(3);
  int64_t number = 0;
  for (const char d : digits) {
    number = number * 10 + (d - '0');
    if (number > kMaxIndividuals) break;
  }
  if (digits[0] == '0' || number > kMaxIndividuals) {
    Fail("label " + label_ + ": individuals are numbered 1 to " + Decimal(kMaxIndividuals) +
         " without leading zeros");
  }
  sample_ = label_[1] - '0';
  const auto slot = static_cast<size_t>(sample_);
  std::vector<uint64_t>& seen = seen_[slot];
  const auto word = static_cast<size_t>(number / 64);
  const uint64_t bit = uint64_t{1} << (number % 64);
  if (word >= seen.size()) seen.resize(std::max(word + 1, 2 * seen.size()), 0);
  if ((seen[word] & bit) != 0) Fail("label " + label_ + " appears a second time");
  seen[word] |= bit;

  if (rules_.driftsimOrder) {
    // Rank in driftsim's order S1, S2, S0.
    const auto rank = [](int s) { return s == kSource ? 2 : s - 1; };
    if (lastSample_ >= 0 && rank(sample_) < rank(lastSample_)) {
      Fail("sample " + SampleName(sample_) + " after sample " + SampleName(lastSample_) +
           "; the individuals must come in driftsim's order: S1, then S2, then S0");
    }
  }
  lastSample_ = sample_;
  const int64_t count = ++individuals_[slot];
  if (rules_.par != nullptr && count > rules_.par->individuals[slot]) {
    Fail(Decimal(count) + " individuals of sample " + SampleName(sample_) + " so far, but " +
         rules_.par->name + ", line " + Decimal(SizeLine(sample_)) + " gives " +
         Decimal(rules_.par->individuals[slot]));
  }
  locus_ = 0;
  largest_ = 0;
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
    firstLine_ = line_;
    if (rules_.par == nullptr) loci_ = locus_;
    // The row was grown while the first line was read: trim it to the number of loci.
    row_.resize(2 * static_cast<size_t>(locus_));
    row_.shrink_to_fit();
  }
  CheckLoci(locus_, false);
  state_ = kLineStart;
  lastLine_ = line_;
  GenoLine g;
  g.sample = sample_;
  g.label = label_;
  g.line = line_;
  g.loci = loci_;
  g.alleles = row_.data();
  g.largest = largest_;
  sink_.Line(g);
}

void GenoReader::Finish() {
  if (state_ == kLabel) Fail("label " + label_ + " is followed by no genotypes");
  if (state_ == kFields) EndLine();
  state_ = kLineStart;
  if (firstLine_ == 0) throw StatsError(name_ + ": no genotype lines");
  if (rules_.par == nullptr) return;
  // The counts are complete only now: a file cut at a line end reads well up to here.
  for (const int s : {kFirst, kSecond, kSource}) {
    const auto slot = static_cast<size_t>(s);
    if (individuals_[slot] != rules_.par->individuals[slot]) {
      throw StatsError(AtLine(name_, lastLine_,
                              "the file ends with " + Decimal(individuals_[slot]) +
                                  " individuals of sample " + SampleName(s) + ", but " +
                                  rules_.par->name + ", line " + Decimal(SizeLine(s)) + " gives " +
                                  Decimal(rules_.par->individuals[slot])));
    }
  }
}

void ReadInto(GenoReader& reader, int fd) {
  std::unique_ptr<char[]> buffer(new char[kChunkBytes]);
  for (;;) {
    const ssize_t got = read(fd, buffer.get(), kChunkBytes);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw StatsError(reader.Name() + ": read error: " + SystemReason(errno));
    }
    if (got == 0) break;
    reader.Feed(buffer.get(), static_cast<size_t>(got));
  }
  reader.Finish();
}

void ReadInto(GenoReader& reader, std::istream& in) {
  std::unique_ptr<char[]> buffer(new char[kChunkBytes]);
  while (in) {
    in.read(buffer.get(), static_cast<std::streamsize>(kChunkBytes));
    reader.Feed(buffer.get(), static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) throw StatsError(reader.Name() + ": read error");
  reader.Finish();
}

void ReadFileInto(GenoReader& reader, const std::string& path) {
  CheckReadable(path);
  const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) throw StatsError("cannot open " + path + ": " + SystemReason(errno));
  posix_fadvise(file.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  ReadInto(reader, file.Get());
}

// ---------------------------------------------------------------------------------------------
// Counts

int64_t GenoCounts::Typed(int s, int64_t l) const {
  int64_t copies = 0;
  for (int32_t a = 1; a <= width; ++a) copies += Count(s, l, a);
  return copies / 2;
}

void GenoCounter::Line(const GenoLine& g) {
  if (counts_.loci == 0) counts_.loci = g.loci;
  if (g.largest > counts_.width) Widen(g.largest);
  SampleCounts& s = counts_.samples[static_cast<size_t>(g.sample)];
  const auto width = static_cast<size_t>(counts_.width);
  const auto loci = static_cast<size_t>(g.loci);
  if (s.individuals == 0) {
    s.hets.assign(loci, 0);
    s.alleles.assign(loci * width, 0);
  }
  ++s.individuals;
  uint32_t* const alleles = s.alleles.data();
  uint32_t* const hets = s.hets.data();
  const uint8_t* const row = g.alleles;
  int64_t missing = 0;
  for (size_t l = 0; l < loci; ++l) {
    const unsigned a = row[2 * l];
    const unsigned b = row[2 * l + 1];
    if (a == 0) {
      ++missing;  // the reader makes both alleles 0
      continue;
    }
    uint32_t* const counts = alleles + l * width;
    ++counts[a - 1];
    ++counts[b - 1];
    hets[l] += a != b ? 1U : 0U;
  }
  s.missing += missing;
}

// Makes room for allele numbers up to width in every sample's table.
void GenoCounter::Widen(int32_t width) {
  const auto oldWidth = static_cast<size_t>(counts_.width);
  const auto newWidth = static_cast<size_t>(width);
  for (SampleCounts& s : counts_.samples) {
    if (s.individuals == 0) continue;
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

GenoCounts ReadGenoStream(std::istream& in, const std::string& name, const ParInfo* par) {
  GenoCounter counter;
  GenoReader reader(name, counter, {par, false});
  ReadInto(reader, in);
  return counter.Take();
}

GenoCounts ReadGenoFile(const std::string& path, const ParInfo* par) {
  GenoCounter counter;
  GenoReader reader(path, counter, {par, false});
  ReadFileInto(reader, path);
  return counter.Take();
}

}  // namespace driftsim::stats
