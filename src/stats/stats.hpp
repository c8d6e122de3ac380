// Summary statistics of a simulated data set: reads a genotype data file and its estimator
// parameter file and computes per-sample diversity and the temporal and source F statistics.
//
// The data file is read in fixed-size chunks and never held whole, not even one line of it:
// memory grows with the number of loci times the largest allele number, not with the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace driftsim::stats {

// The one error of the statistics tool. The message is complete: it names the file and, for a
// malformed line, the line number.
class StatsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Sample slots, in the order of the simulator's sample table: source sample first.
enum Sample { kSource = 0, kFirst = 1, kSecond = 2 };

// Allele numbers above this are rejected: the simulator writes at most 127, and the bound keeps
// the count table small.
inline constexpr int32_t kMaxAllele = 255;

// Allele and genotype counts of one sample, locus by locus. Allele a (1..width) of locus l is
// counted at alleles[l * width + a - 1], where width is the one of the enclosing GenoCounts.
// Both tables are empty for a sample without individuals.
struct SampleCounts {
  int64_t individuals = 0;
  int64_t missing = 0;            // missing genotypes over all loci
  std::vector<uint32_t> alleles;  // gene copies of each allele, loci x width
  std::vector<uint32_t> hets;     // heterozygous genotypes of each locus
};

// Everything the statistics need from a data file.
struct GenoCounts {
  int64_t loci = 0;
  int32_t width = 0;  // largest allele number seen
  std::array<SampleCounts, 3> samples;

  // Gene copies of allele a (1..width) at locus l in sample s.
  uint32_t Count(int s, int64_t l, int32_t a) const {
    return samples[static_cast<size_t>(s)].alleles[static_cast<size_t>(l * width + a - 1)];
  }
  // Individuals with a non-missing genotype at locus l in sample s.
  int64_t Typed(int s, int64_t l) const;
};

// Streaming reader of a genotype data file: one line per individual, a label S1_n, S2_n or
// S0_n, then two allele numbers per locus separated by blanks, 0 0 for a missing genotype;
// CR LF or LF line ends. Empty lines are skipped. A genotype with only one allele 0 counts as
// missing. Feed takes the file in pieces of any size and split anywhere.
class GenoReader {
 public:
  explicit GenoReader(std::string name);

  // Parses the next piece of the file. Throws StatsError on malformed input.
  void Feed(const char* data, size_t size);
  // Ends the input (a last line without line end is accepted) and hands over the counts.
  GenoCounts Finish();

 private:
  enum State { kLineStart, kLabel, kFields, kCarriageReturn };

  const char* ShortGenotypes(const char* p, const char* end);
  void Byte(char c);  // every byte that is not a digit or blank of a genotype field
  void StartFields();
  void EndNumber();
  void EndLine();
  void Record(int64_t first, int64_t second);
  void Widen(int32_t width);
  void GrowFirstLine();
  [[noreturn]] void Fail(const std::string& what) const;

  std::string name_;
  GenoCounts counts_;
  State state_ = kLineStart;
  int64_t line_ = 1;
  int64_t firstLine_ = 0;  // line that fixed the number of loci, 0 before it
  std::string label_;
  SampleCounts* sample_ = nullptr;
  int64_t locus_ = 0;     // genotypes complete on this line
  int64_t capacity_ = 0;  // loci allocated while the first line is read
  int64_t value_ = -1;    // allele number being read, -1 between numbers
  int64_t pending_ = -1;  // first allele of the genotype being read, -1 if none
};

// Reads a whole data file from a stream, a file descriptor or a path; name is used in messages.
GenoCounts ReadGenoStream(std::istream& in, const std::string& name);
GenoCounts ReadGenoDescriptor(int fd, const std::string& name);
GenoCounts ReadGenoFile(const std::string& path);

// Generations between the two temporal samples, from the NGEN line (line 10, "0 <NumGen>" and a
// comment) of an estimator parameter file.
int32_t ReadGenerations(std::istream& in, const std::string& name);
int32_t ReadGenerationsFile(const std::string& path);

// The parameter file beside a data file: the same name with .par in place of .dat (appended
// when the name does not end in .dat).
std::string ParFileFor(const std::string& datPath);

// Statistics below are NaN where they do not apply (printed NA) and +infinity for an infinite
// Ne estimate.

struct SampleStats {
  int64_t individuals = 0;
  int64_t loci = 0;
  double missing = 0;  // missing genotypes / (individuals x loci)
  double alleles = 0;  // mean number of alleles per typed locus
  double ho = 0;       // observed heterozygosity, mean over typed loci
  double he = 0;  // expected heterozygosity with the 2n/(2n-1) correction, mean over typed loci
};

struct TemporalStats {
  double fc = 0, fk = 0, fs = 0;
  double s1 = 0, s2 = 0;  // harmonic mean over the loci used of the typed individuals
  double neFc = 0, neFk = 0, neFs = 0;
};

SampleStats SampleSummary(const GenoCounts& counts, int sample);

// Temporal F statistics between samples 1 and 2, over loci typed in both, and their moment
// estimates of Ne for samples that do not contribute to the population.
TemporalStats TemporalSummary(const GenoCounts& counts, int32_t generations);

// Moment estimate t / (2 (F - 1/(2 s1) - 1/(2 s2))); +infinity when the denominator is not
// positive, NaN when F is.
double MomentNe(double f, double s1, double s2, int32_t generations);

// Fst between sample 1 and the source sample (Hudson's estimator, ratio of sums over loci).
double SourceFst(const GenoCounts& counts);

// The output table: header line, then rows S1, S2, S0 (when present), S1-S2, S1-S0 (when S0 is
// present), tab-separated, each line ended by a line feed.
std::string StatsTable(const GenoCounts& counts, int32_t generations);

// A number as printed in the table: NA for NaN, inf for infinity, else %.6g.
std::string FormatNumber(double x);

}  // namespace driftsim::stats
