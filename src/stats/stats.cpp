// The statistics of a data set and the table that prints them.
#include "stats/stats.hpp"

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <vector>

namespace driftsim::stats {

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Standard normal quantile of 0.975: the half width of a 95% interval in standard errors.
constexpr double kNormal975 = 1.959963984540054;

// An F within this fraction of its sampling correction is taken as equal to it: the two are
// sums over many loci and differ by rounding alone when F is at the correction.
constexpr double kDriftTolerance = 1e-9;

std::string Decimal(int64_t n) {
  return std::to_string(n);
}

// What one locus typed in both samples adds to the temporal F statistics.
struct LocusTerms {
  int32_t k = 0;       // alleles seen in either sample
  double fc = 0;       // (K - 1) x the locus Fc: its share of the weighted sum
  double fk = 0;       // sum (x - y)^2 / z
  double squares = 0;  // sum (x - y)^2, the locus share of the numerator of Fs
  double spread = 0;   // sum z (1 - z), of the denominator of Fs
};

// The terms of locus l. The sums of Fs over all loci, when given, also receive the terms allele
// by allele (the order of additions of earlier releases, which fixes the printed digits).
LocusTerms TermsAt(const GenoCounts& counts, int64_t l, double copies1, double copies2,
                   double* squaresTotal = nullptr, double* spreadTotal = nullptr) {
  LocusTerms t;
  double fc = 0;
  for (int32_t a = 1; a <= counts.width; ++a) {
    const uint32_t c1 = counts.Count(kFirst, l, a);
    const uint32_t c2 = counts.Count(kSecond, l, a);
    if (c1 == 0 && c2 == 0) continue;
    ++t.k;
    const double x = c1 / copies1;
    const double y = c2 / copies2;
    const double z = (x + y) / 2.0;
    const double square = (x - y) * (x - y);
    fc += square / (z - x * y);
    t.fk += square / z;
    t.squares += square;
    t.spread += z * (1.0 - z);
    if (squaresTotal != nullptr) {
      *squaresTotal += square;
      *spreadTotal += z * (1.0 - z);
    }
  }
  t.fc = t.k > 0 ? (t.k - 1) * (fc / t.k) : 0;
  return t;
}

// Mean and sum of squared deviations of a stream of values (Welford's update, stable when the
// leave-one-out values differ in their last digits only).
struct Spread {
  int64_t n = 0;
  double mean = 0, m2 = 0;
  void Add(double x) {
    ++n;
    const double d = x - mean;
    mean += d / static_cast<double>(n);
    m2 += d * (x - mean);
  }
};

// The Ne interval of an F interval: a larger F means a smaller Ne.
Interval NeInterval(Interval f, double s1, double s2, int32_t generations) {
  return {MomentNe(f.high, s1, s2, generations), MomentNe(f.low, s1, s2, generations)};
}

// Regularised lower incomplete gamma function P(a, x), by its series below a + 1 and by the
// continued fraction of Q = 1 - P above (both converge in about sqrt(a) steps near x = a).
double LowerGamma(double a, double x) {
  if (x <= 0) return 0;
  const double front = std::exp(-x + a * std::log(x) - std::lgamma(a));
  constexpr double kEpsilon = 1e-16;
  constexpr int kSteps = 100000000;
  if (x < a + 1) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < kSteps && std::fabs(term) > std::fabs(sum) * kEpsilon; ++n) {
      term *= x / (a + n);
      sum += term;
    }
    return sum * front;
  }
  // Modified Lentz evaluation of the continued fraction.
  constexpr double kTiny = 1e-300;
  double b = x + 1 - a, c = 1 / kTiny, d = 1 / b, h = d;
  for (int n = 1; n < kSteps; ++n) {
    const double an = -n * (n - a);
    b += 2;
    d = an * d + b;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = b + an / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1) < kEpsilon) break;
  }
  return 1 - front * h;
}

// The sums behind the three F of a set of loci (all of them, or one chromosome's), over the
// loci that enter F.
struct BlockTotals {
  double fc = 0, fk = 0, weights = 0, squares = 0, spread = 0;
  int64_t loci = 0;

  double F(FKind k) const { return k == kFs ? squares / spread : (k == kFc ? fc : fk) / weights; }
  BlockTotals Without(const BlockTotals& b) const {
    return {fc - b.fc,           fk - b.fk,         weights - b.weights,
            squares - b.squares, spread - b.spread, loci - b.loci};
  }
};

// Calls f with the terms of each locus of [l0, l1) that enters F: typed in both samples, with
// at least two alleles.
template <typename F>
void ForEachEnteringLocus(const GenoCounts& counts, int64_t l0, int64_t l1, F&& f) {
  for (int64_t l = l0; l < l1; ++l) {
    const int64_t n1 = counts.Typed(kFirst, l);
    const int64_t n2 = counts.Typed(kSecond, l);
    if (n1 == 0 || n2 == 0) continue;
    const LocusTerms t =
        TermsAt(counts, l, 2.0 * static_cast<double>(n1), 2.0 * static_cast<double>(n2));
    if (t.k >= 2) f(t);
  }
}

// The totals of each chromosome of the map that holds loci entering F, in map order.
std::vector<BlockTotals> ChromosomeTotals(const GenoCounts& counts, const GeneticMap& map) {
  std::vector<BlockTotals> blocks;
  for (const Chromosome& c : map.Chromosomes) {
    BlockTotals b;
    ForEachEnteringLocus(counts, c.First, std::min(c.End, counts.loci), [&b](const LocusTerms& t) {
      b.fc += t.fc;
      b.fk += t.fk;
      b.weights += t.k - 1;
      b.squares += t.squares;
      b.spread += t.spread;
      ++b.loci;
    });
    if (b.loci > 0) blocks.push_back(b);
  }
  return blocks;
}

// Standard error of F by the delete-m_j jackknife of Busing, Meijer and van der Leeden (1999)
// for g blocks of unequal size m_j out of n loci, h_j = n / m_j: the pseudo-values
// h_j F - (h_j - 1) F_(-j) around the jackknife estimate g F - sum (1 - m_j/n) F_(-j), their
// squares weighted by 1/(h_j - 1), summed and divided by g. With equal blocks it is the plain
// jackknife over blocks; with one locus per block, the jackknife over loci. NaN with fewer than
// two blocks.
double BlockJackknifeError(const BlockTotals& all, const std::vector<BlockTotals>& blocks,
                           FKind kind) {
  if (blocks.size() < 2) return kNA;
  const double theta = all.F(kind);
  const auto n = static_cast<double>(all.loci);
  const auto g = static_cast<double>(blocks.size());
  std::vector<double> leftOut;
  double estimate = g * theta;
  for (const BlockTotals& b : blocks) {
    leftOut.push_back(all.Without(b).F(kind));
    estimate -= (1.0 - static_cast<double>(b.loci) / n) * leftOut.back();
  }
  double variance = 0;
  for (size_t j = 0; j < blocks.size(); ++j) {
    const double h = n / static_cast<double>(blocks[j].loci);
    const double pseudo = h * theta - (h - 1.0) * leftOut[j];
    variance += (pseudo - estimate) * (pseudo - estimate) / (h - 1.0);
  }
  return std::sqrt(variance / g);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Per sample

SampleStats SampleSummary(const GenoCounts& counts, int sample) {
  const SampleCounts& s = counts.samples[static_cast<size_t>(sample)];
  SampleStats st;
  st.individuals = s.individuals;
  st.loci = counts.loci;
  if (s.individuals == 0) {
    st.missing = st.alleles = st.ho = st.he = st.hs = kNA;
    return st;
  }
  st.missing = static_cast<double>(s.missing) /
               (static_cast<double>(s.individuals) * static_cast<double>(counts.loci));
  int64_t typedLoci = 0;
  double alleles = 0, ho = 0, he = 0, hs = 0;
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
    hs += 1.0 - homozygosity;
  }
  if (typedLoci == 0) {
    st.alleles = st.ho = st.he = st.hs = kNA;
  } else {
    const auto loci = static_cast<double>(typedLoci);
    st.alleles = alleles / loci;
    st.ho = ho / loci;
    st.he = he / loci;
    st.hs = hs / loci;
  }
  return st;
}

// ---------------------------------------------------------------------------------------------
// Temporal F

double MomentNe(double f, double s1, double s2, int32_t generations) {
  if (std::isnan(f) || std::isnan(s1) || std::isnan(s2)) return kNA;
  const double correction = 1.0 / (2.0 * s1) + 1.0 / (2.0 * s2);
  const double drift = f - correction;
  if (!(drift > kDriftTolerance * correction)) return kInfinity;
  return generations / (2.0 * drift);
}

double ChiSquareQuantile(double p, double df) {
  const double a = df / 2.0;
  // Wilson and Hilferty's approximation starts the search; bisection on P(df/2, x/2) = p
  // finishes it.
  const double z = p < 0.5 ? -kNormal975 : kNormal975;  // only the 95% quantiles are used
  const double h = 2.0 / (9.0 * df);
  const double guess = df * std::pow(std::fmax(1.0 - h + z * std::sqrt(h), 0.01), 3.0);
  double low = guess, high = guess;
  while (low > 1e-300 && LowerGamma(a, low / 2.0) > p) low /= 1.5;
  while (LowerGamma(a, high / 2.0) < p) high *= 1.5;
  for (int i = 0; i < 200 && high - low > 1e-15 * high; ++i) {
    const double middle = (low + high) / 2.0;
    (LowerGamma(a, middle / 2.0) < p ? low : high) = middle;
  }
  return (low + high) / 2.0;
}

// Per locus, with x and y the frequencies of an allele in samples 1 and 2, z = (x + y) / 2 and
// K the number of alleles seen in either sample:
//   Fc (Nei and Tajima): (1/K) sum (x - y)^2 / (z - xy), loci combined by weights K - 1;
//   Fk (Pollak): sum (x - y)^2 / z, summed over loci and divided by the sum of K - 1, i.e. the
//     per-locus (1/(K - 1)) sum (x - y)^2 / z combined by weights K - 1;
//   Fs (Jorde and Ryman): sum (x - y)^2 over all loci and alleles divided by sum z (1 - z), the
//     ratio of sums without a further sample-size correction.
// Loci typed in only one sample are left out; a locus with one allele adds nothing to Fc and
// Fk (weight 0) and nothing to either sum of Fs. The loci that enter are those with K >= 2;
// the jackknife leaves them out one at a time.
TemporalStats TemporalSummary(const GenoCounts& counts, int32_t generations,
                              const GeneticMap* map) {
  TemporalStats st;
  st.generations = generations;
  for (TemporalF& f : st.f) f.byChromosomes = f.neByChromosomes = {kNA, kNA};
  const auto none = [&st] {
    st.s1 = st.s2 = kNA;
    for (TemporalF& f : st.f) {
      f.f = f.ne = kNA;
      f.jackknife = f.neJackknife = f.chiSquare = f.neChiSquare = {kNA, kNA};
    }
    return st;
  };
  if (counts.samples[kFirst].individuals == 0 || counts.samples[kSecond].individuals == 0) {
    return none();
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
    const LocusTerms t = TermsAt(counts, l, 2.0 * static_cast<double>(n1),
                                 2.0 * static_cast<double>(n2), &fsSquares, &fsSpread);
    if (t.k < 2) continue;
    fcSum += t.fc;
    fkSum += t.fk;
    weights += t.k - 1;
    ++st.loci;
    st.alleles += t.k;
  }
  if (used == 0) return none();
  st.s1 = static_cast<double>(used) / inverse1;
  st.s2 = static_cast<double>(used) / inverse2;
  TemporalF& fc = st.f[kFc];
  TemporalF& fk = st.f[kFk];
  TemporalF& fs = st.f[kFs];
  fc.f = weights > 0 ? fcSum / weights : kNA;
  fk.f = weights > 0 ? fkSum / weights : kNA;
  fs.f = fsSpread > 0 ? fsSquares / fsSpread : kNA;

  // Jackknife over the loci that enter: each F recomputed without one of them.
  std::array<Spread, 3> leftOut;
  if (st.loci >= 2) {
    ForEachEnteringLocus(counts, 0, counts.loci, [&](const LocusTerms& t) {
      const double rest = weights - (t.k - 1);
      leftOut[kFc].Add((fcSum - t.fc) / rest);
      leftOut[kFk].Add((fkSum - t.fk) / rest);
      leftOut[kFs].Add((fsSquares - t.squares) / (fsSpread - t.spread));
    });
  }
  // Chi-square interval: n' times the estimate over the true F is taken as chi-square with
  // n' = sum (K - 1) degrees of freedom, the number of independent alleles.
  const double nPrime = weights;
  const double upper = nPrime > 0 ? ChiSquareQuantile(0.975, nPrime) : kNA;
  const double lower = nPrime > 0 ? ChiSquareQuantile(0.025, nPrime) : kNA;
  for (size_t k = 0; k < st.f.size(); ++k) {
    TemporalF& f = st.f[k];
    f.ne = MomentNe(f.f, st.s1, st.s2, generations);
    if (st.loci >= 2 && !std::isnan(f.f)) {
      const double loci = static_cast<double>(st.loci);
      const double error = std::sqrt((loci - 1.0) / loci * leftOut[k].m2);
      f.jackknife = {f.f - kNormal975 * error, f.f + kNormal975 * error};
    } else {
      f.jackknife = {kNA, kNA};
    }
    if (nPrime > 0 && !std::isnan(f.f)) {
      f.chiSquare = {nPrime * f.f / upper, nPrime * f.f / lower};
    } else {
      f.chiSquare = {kNA, kNA};
    }
    f.neJackknife = NeInterval(f.jackknife, st.s1, st.s2, generations);
    f.neChiSquare = NeInterval(f.chiSquare, st.s1, st.s2, generations);
  }
  if (map != nullptr) {
    const BlockTotals totals{fcSum, fkSum, weights, fsSquares, fsSpread, st.loci};
    const std::vector<BlockTotals> blocks = ChromosomeTotals(counts, *map);
    st.chromosomes = static_cast<int64_t>(blocks.size());
    for (size_t k = 0; k < st.f.size(); ++k) {
      TemporalF& f = st.f[k];
      const double error = BlockJackknifeError(totals, blocks, static_cast<FKind>(k));
      if (!std::isnan(error) && !std::isnan(f.f)) {
        f.byChromosomes = {f.f - kNormal975 * error, f.f + kNormal975 * error};
      }
      f.neByChromosomes = NeInterval(f.byChromosomes, st.s1, st.s2, generations);
    }
  }
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

std::string StatsTable(const GenoCounts& counts, int32_t generations, const GeneticMap* map) {
  // The first 14 columns are those of earlier releases; later ones are added at the end.
  std::string out =
      "row\tindividuals\tloci\tmissing\talleles\tHo\tHe\tFc\tFk\tFs\tNe_Fc\tNe_Fk\tNe_Fs\tFst"
      "\tHs\tt\tS1_hmean\tS2_hmean\tF_loci\tF_alleles\n";
  const std::string na = "NA";
  const auto row = [&out](const std::string& name, std::initializer_list<std::string> values) {
    out += name;
    for (const std::string& v : values) {
      out += '\t';
      out += v;
    }
    out += '\n';
  };
  const bool source = counts.samples[kSource].individuals > 0;
  for (const int s : {kFirst, kSecond, kSource}) {
    if (s == kSource && !source) continue;
    const SampleStats st = SampleSummary(counts, s);
    // Counts are printed whole, whatever their size.
    row(SampleName(s), {Decimal(st.individuals), Decimal(st.loci), FormatNumber(st.missing),
                        FormatNumber(st.alleles), FormatNumber(st.ho), FormatNumber(st.he), na, na,
                        na, na, na, na, na, FormatNumber(st.hs), na, na, na, na, na});
  }
  const TemporalStats t = TemporalSummary(counts, generations, map);
  const auto& f = t.f;
  row("S1-S2", {na, na, na, na, na, na, FormatNumber(f[kFc].f), FormatNumber(f[kFk].f),
                FormatNumber(f[kFs].f), FormatNumber(f[kFc].ne), FormatNumber(f[kFk].ne),
                FormatNumber(f[kFs].ne), na, na, Decimal(t.generations), FormatNumber(t.s1),
                FormatNumber(t.s2), Decimal(t.loci), Decimal(t.alleles)});
  if (source) {
    row("S1-S0", {na, na, na, na, na, na, na, na, na, na, na, na, FormatNumber(SourceFst(counts)),
                  na, na, na, na, na, na});
  }
  // The 95% intervals: one row per bound, in the columns of the figures they bound.
  const auto bounds = [&](const std::string& name, Interval TemporalF::*ofF,
                          Interval TemporalF::*ofNe, double Interval::*side) {
    row(name, {na, na, na, na, na, na, FormatNumber(f[kFc].*ofF.*side),
               FormatNumber(f[kFk].*ofF.*side), FormatNumber(f[kFs].*ofF.*side),
               FormatNumber(f[kFc].*ofNe.*side), FormatNumber(f[kFk].*ofNe.*side),
               FormatNumber(f[kFs].*ofNe.*side), na, na, na, na, na, na, na});
  };
  bounds("S1-S2_jackknife_low", &TemporalF::jackknife, &TemporalF::neJackknife, &Interval::low);
  bounds("S1-S2_jackknife_high", &TemporalF::jackknife, &TemporalF::neJackknife, &Interval::high);
  bounds("S1-S2_chisq_low", &TemporalF::chiSquare, &TemporalF::neChiSquare, &Interval::low);
  bounds("S1-S2_chisq_high", &TemporalF::chiSquare, &TemporalF::neChiSquare, &Interval::high);
  if (map != nullptr) {
    bounds("S1-S2_jackknife_by_chromosomes_low", &TemporalF::byChromosomes,
           &TemporalF::neByChromosomes, &Interval::low);
    bounds("S1-S2_jackknife_by_chromosomes_high", &TemporalF::byChromosomes,
           &TemporalF::neByChromosomes, &Interval::high);
  }
  return out;
}

}  // namespace driftsim::stats
