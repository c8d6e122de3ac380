// Summary statistics of a simulated data set: reads a genotype data file and its estimator
// parameter file and computes per-sample diversity and the temporal and source F statistics.
// The reader is shared with driftsim-convert: both tools accept and refuse the same files with
// the same messages.
//
// The data file is read in fixed-size chunks and never held whole: the reader keeps one decoded
// line (two bytes per locus) and hands it to a LineSink, so memory grows with the number of loci
// and with what the sink keeps, not with the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.hpp"
#include "description/genetic_map.hpp"

namespace driftsim::stats {

// The error of all three programs, here without a routine. The message is complete: it names
// the file and, for a malformed line, the line number.
using StatsError = driftsim::FatalError;

// "file, line N: what", the form of every message about one line of a file.
std::string AtLine(const std::string& file, int64_t line, const std::string& what);

// Sample slots, in the order of the simulator's sample table: source sample first.
enum Sample { kSource = 0, kFirst = 1, kSecond = 2 };

// "S0", "S1" or "S2": the label prefix and the name of the sample in tables and exports.
std::string SampleName(int sample);

// Allele numbers above this are rejected: the simulator writes at most 127, and the bound keeps
// the count table small and an allele in one byte.
inline constexpr int32_t kMaxAllele = 255;

// Labels number the individuals of a sample from 1 to at most this, driftsim's largest sample.
inline constexpr int64_t kMaxIndividuals = 1000000;

// ---------------------------------------------------------------------------------------------
// Estimator parameter file

// What the data file must agree with, from the estimator parameter file (13 lines, of which
// line 6 gives the loci, line 10 the generations, lines 11 and 12 the sample sizes).
struct ParInfo {
  std::string name;
  int32_t generations = 0;
  int64_t loci = 0;
  std::array<int64_t, 3> individuals{};  // by Sample: line 12, then line 11 (two numbers)
};

// Line of the parameter file that gives the size of a sample.
inline constexpr int kLociLine = 6;
inline constexpr int kGenerationsLine = 10;
int SizeLine(int sample);

ParInfo ReadParStream(std::istream& in, const std::string& name);

// Refuses a file that cannot be read or is not a regular file (a FIFO with no writer, a
// device would never end): "cannot open PATH: reason".
void CheckReadable(const std::string& path);

// Refuses a data and parameter file whose commit by driftsim was interrupted (its commit record
// is still in the folder): the pair may be mixed until the next run on its stem completes it.
void CheckCommitted(const std::string& data, const std::string& par);
ParInfo ReadParFile(const std::string& path);

// The parameter file beside a data file: the same name with .par in place of .dat (appended
// when the name does not end in .dat).
std::string ParFileFor(const std::string& datPath);

// ---------------------------------------------------------------------------------------------
// Data file reader

// One individual line of a data file, decoded. Valid only during the LineSink call.
struct GenoLine {
  int sample = 0;
  std::string_view label;
  int64_t line = 0;  // line number in the file
  int64_t loci = 0;
  const uint8_t* alleles = nullptr;  // 2 x loci allele numbers; a missing genotype is 0 0
  int32_t largest = 0;               // largest allele number on the line
};

// Receives every individual line, in file order. May throw StatsError (use AtLine).
class LineSink {
 public:
  virtual void Line(const GenoLine& line) = 0;

 protected:
  ~LineSink() = default;
};

// Streaming reader of a genotype data file: one line per individual, a label S1_n, S2_n or
// S0_n (n from 1, no leading zero, each label once), then two allele numbers per locus
// separated by blanks, 0 0 for a missing genotype; CR LF or LF line ends. Empty lines are
// skipped. A genotype with only one allele 0 counts as missing and is handed on as 0 0. Feed
// takes the file in pieces of any size and split anywhere.
//
// With a parameter file, the number of loci and of individuals of each sample must be the ones
// it gives. With driftsimOrder, the samples must come in the order S1, S2, S0 of driftsim's
// files (the exports group individuals by sample without holding them).
class GenoReader {
 public:
  struct Rules {
    const ParInfo* par = nullptr;
    bool driftsimOrder = false;
  };

  GenoReader(std::string name, LineSink& sink, Rules rules);
  GenoReader(std::string name, LineSink& sink) : GenoReader(std::move(name), sink, Rules{}) {}

  // Parses the next piece of the file. Throws StatsError on malformed input.
  void Feed(const char* data, size_t size);
  // Ends the input (a last line without line end is accepted) and checks the sample sizes.
  void Finish();

  const std::string& Name() const { return name_; }
  int64_t Loci() const { return loci_; }
  const std::array<int64_t, 3>& Individuals() const { return individuals_; }

 private:
  enum State { kLineStart, kLabel, kFields, kCarriageReturn };

  const char* ShortGenotypes(const char* p, const char* end);
  void Byte(char c);  // every byte that is not a digit or blank of a genotype field
  void StartFields();
  void EndNumber();
  void EndLine();
  void Record(int64_t first, int64_t second);
  void GrowRow();
  void CheckLoci(int64_t found, bool more) const;
  [[noreturn]] void Fail(const std::string& what) const;

  std::string name_;
  LineSink& sink_;
  Rules rules_;
  State state_ = kLineStart;
  int64_t line_ = 1;
  int64_t lastLine_ = 0;   // line of the last individual
  int64_t firstLine_ = 0;  // line that fixed the number of loci, 0 before it
  int64_t loci_ = 0;       // known once firstLine_ is set, or from the parameter file
  std::string label_;
  int sample_ = 0;
  int lastSample_ = -1;
  std::array<int64_t, 3> individuals_{};
  std::array<std::vector<uint64_t>, 3> seen_;  // label numbers met, one bit each
  std::vector<uint8_t> row_;                   // the line being read, 2 bytes per locus
  int64_t locus_ = 0;                          // genotypes complete on this line
  int32_t largest_ = 0;
  int64_t value_ = -1;    // allele number being read, -1 between numbers
  int64_t pending_ = -1;  // first allele of the genotype being read, -1 if none
};

// Streams a whole file, descriptor or stream into the reader and finishes it.
void ReadInto(GenoReader& reader, int fd);
void ReadInto(GenoReader& reader, std::istream& in);
void ReadFileInto(GenoReader& reader, const std::string& path);

// ---------------------------------------------------------------------------------------------
// Counts

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

// The sink that counts alleles, missing and heterozygous genotypes.
class GenoCounter final : public LineSink {
 public:
  void Line(const GenoLine& line) override;
  GenoCounts Take() { return std::move(counts_); }

 private:
  void Widen(int32_t width);
  GenoCounts counts_;
};

// Reads and counts a whole data file from a stream or a path; name is used in messages. With
// a parameter file, the data must agree with it.
GenoCounts ReadGenoStream(std::istream& in, const std::string& name, const ParInfo* par = nullptr);
GenoCounts ReadGenoFile(const std::string& path, const ParInfo* par = nullptr);

// ---------------------------------------------------------------------------------------------
// Statistics. Figures are NaN where they do not apply (printed NA) and +infinity for an
// infinite Ne estimate.

struct SampleStats {
  int64_t individuals = 0;
  int64_t loci = 0;
  double missing = 0;  // missing genotypes / (individuals x loci)
  double alleles = 0;  // mean number of alleles per typed locus
  double ho = 0;       // observed heterozygosity, mean over typed loci
  double he = 0;  // expected heterozygosity with the 2n/(2n-1) correction, mean over typed loci
  double hs = 0;  // the same without the correction: mean of 1 - sum p^2
};

struct Interval {
  double low = 0, high = 0;
};

// One temporal F, its moment estimate of Ne and their 95% confidence intervals.
struct TemporalF {
  double f = 0, ne = 0;
  Interval jackknife, neJackknife;  // normal interval from the jackknife over loci
  // Normal interval from the delete-one-chromosome block jackknife (with a map, else NA).
  Interval byChromosomes, neByChromosomes;
  Interval chiSquare, neChiSquare;  // n' F / chi-square quantiles, n' = alleles - loci
};

enum FKind { kFc = 0, kFk = 1, kFs = 2 };

struct TemporalStats {
  int32_t generations = 0;
  double s1 = 0, s2 = 0;       // harmonic means over the loci typed in both samples
  int64_t loci = 0;            // loci that enter F: typed in both samples, two alleles or more
  int64_t alleles = 0;         // alleles seen at those loci, summed
  int64_t chromosomes = 0;     // with a map: the chromosomes that hold loci that enter F
  std::array<TemporalF, 3> f;  // by FKind
};

SampleStats SampleSummary(const GenoCounts& counts, int sample);

// Temporal F statistics between samples 1 and 2, over loci typed in both, their moment
// estimates of Ne for samples that do not contribute to the population, and the intervals.
// With the run's genetic map, also the block jackknife over its chromosomes (linked loci are
// not independent replicates, so the jackknife over loci is too narrow on them); it needs
// two chromosomes with loci that enter, and is NA otherwise.
TemporalStats TemporalSummary(const GenoCounts& counts, int32_t generations,
                              const GeneticMap* map = nullptr);

// Moment estimate t / (2 (F - 1/(2 s1) - 1/(2 s2))); +infinity when the denominator is not
// positive beyond rounding, NaN when F is.
double MomentNe(double f, double s1, double s2, int32_t generations);

// Fst between sample 1 and the source sample (Hudson's estimator, ratio of sums over loci).
double SourceFst(const GenoCounts& counts);

// Quantile of the chi-square distribution with df degrees of freedom (df > 0, 0 < p < 1).
double ChiSquareQuantile(double p, double df);

// ---------------------------------------------------------------------------------------------
// Output

// The table: header line, then rows S1, S2, S0 (when present), S1-S2, S1-S0 (when S0 is
// present), then the four interval rows of S1-S2; tab-separated, each line ended by a line
// feed. The first 14 columns and the first rows are those of earlier releases. With the run's
// genetic map two rows follow, the bounds of the jackknife over chromosomes.
std::string StatsTable(const GenoCounts& counts, int32_t generations,
                       const GeneticMap* map = nullptr);

// The same figures as one JSON object, numbers at full precision; NA is null, an infinite Ne
// is the string "inf". With a map, each F also has "jackknife_by_chromosomes".
std::string StatsJson(const GenoCounts& counts, const ParInfo& par, const std::string& data,
                      const GeneticMap* map = nullptr);

// A number as printed in the table: NA for NaN, inf for infinity, else %.6g.
std::string FormatNumber(double x);

}  // namespace driftsim::stats
