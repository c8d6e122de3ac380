// Tests of the statistics tool: reading data files, the statistics on small data sets computed
// by hand, the messages for malformed input, the command line, and the temporal Ne estimate on
// simulated drift.
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>

#include "stats/stats.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

using stats::GenoCounts;
using stats::StatsError;

GenoCounts Read(const std::string& text) {
  std::istringstream in(text);
  return stats::ReadGenoStream(in, "x.dat");
}

// The message with which a data text is refused, or "" when it is read.
std::string DataRefusal(const std::string& text) {
  try {
    Read(text);
  } catch (const StatsError& e) {
    return e.what();
  }
  return "";
}

std::string ParRefusal(const std::string& text) {
  try {
    std::istringstream in(text);
    stats::ReadGenerations(in, "x.par");
  } catch (const StatsError& e) {
    return e.what();
  }
  return "";
}

// Three loci, isolation model. Locus 2 is missing in S1_2 and locus 3 is fixed for allele 2 in
// both samples.
//   S1: locus 1 (1,2) (1,2); locus 2 (1,1) missing; locus 3 (2,2) (2,2)
//   S2: locus 1 (2,2) (1,2); locus 2 (1,2) (1,1); locus 3 (2,2) (2,2)
const char* const kTemporal =
    "S1_1 1 2 1 1 2 2\r\n"
    "S1_2 1 2 0 0 2 2\r\n"
    "S2_1 2 2 1 2 2 2\r\n"
    "S2_2 1 2 1 1 2 2\r\n";

// Three loci with a source sample. Locus 2 is fixed for allele 1 in every sample; locus 3 is
// missing in the whole source sample.
//   S1: locus 1 (1,1) (1,2); locus 2 (1,1) (1,1); locus 3 (2,2) (2,2)
//   S2: locus 1 (2,2) (2,2); locus 2 (1,1) (1,1); locus 3 (2,2) (2,2)
//   S0: locus 1 (2,2) (1,2); locus 2 (1,1) (1,1); locus 3 missing, missing
const char* const kMigration =
    "S1_1 1 1 1 1 2 2\r\n"
    "S1_2 1 2 1 1 2 2\r\n"
    "S2_1 2 2 1 1 2 2\r\n"
    "S2_2 2 2 1 1 2 2\r\n"
    "S0_1 2 2 1 1 0 0\r\n"
    "S0_2 1 2 1 1 0 0\r\n";

TEST(StatsReader, CountsAllelesPerSampleAndLocus) {
  const GenoCounts c = Read(kTemporal);
  EXPECT_EQ(c.loci, 3);
  EXPECT_EQ(c.width, 2);
  EXPECT_EQ(c.samples[stats::kFirst].individuals, 2);
  EXPECT_EQ(c.samples[stats::kSecond].individuals, 2);
  EXPECT_EQ(c.samples[stats::kSource].individuals, 0);
  EXPECT_EQ(c.samples[stats::kFirst].missing, 1);
  EXPECT_EQ(c.samples[stats::kSecond].missing, 0);
  // S1 locus 1: alleles 1 and 2 twice each, two heterozygotes; locus 2: one typed homozygote.
  EXPECT_EQ(c.Count(stats::kFirst, 0, 1), 2u);
  EXPECT_EQ(c.Count(stats::kFirst, 0, 2), 2u);
  EXPECT_EQ(c.samples[stats::kFirst].hets[0], 2u);
  EXPECT_EQ(c.Count(stats::kFirst, 1, 1), 2u);
  EXPECT_EQ(c.Count(stats::kFirst, 1, 2), 0u);
  EXPECT_EQ(c.Typed(stats::kFirst, 1), 1);
  // S2 locus 2: (1,2) (1,1).
  EXPECT_EQ(c.Count(stats::kSecond, 1, 1), 3u);
  EXPECT_EQ(c.Count(stats::kSecond, 1, 2), 1u);
  EXPECT_EQ(c.samples[stats::kSecond].hets[1], 1u);
  EXPECT_EQ(c.Count(stats::kSecond, 2, 2), 4u);
}

TEST(StatsReader, LineEndsChunksAndSeparatorsDoNotMatter) {
  const GenoCounts whole = Read(kTemporal);
  const auto same = [&whole](const GenoCounts& c) {
    EXPECT_EQ(c.loci, whole.loci);
    EXPECT_EQ(c.width, whole.width);
    for (size_t s = 0; s < 3; ++s) {
      EXPECT_EQ(c.samples[s].individuals, whole.samples[s].individuals);
      EXPECT_EQ(c.samples[s].missing, whole.samples[s].missing);
      EXPECT_EQ(c.samples[s].alleles, whole.samples[s].alleles);
      EXPECT_EQ(c.samples[s].hets, whole.samples[s].hets);
    }
  };
  // One byte at a time: every state of the reader meets a piece boundary.
  const std::string text = kTemporal;
  stats::GenoReader bytes("x.dat");
  for (char ch : text) bytes.Feed(&ch, 1);
  same(bytes.Finish());
  // LF line ends, tabs and repeated blanks, empty lines, no line end at the end of the file.
  same(Read("S1_1\t1 2  1 1 2\t2\n\nS1_2 1 2 0 0 2 2\nS2_1 2 2 1 2 2 2\n\r\nS2_2 1 2 1 1 2 2"));
  // Samples in another order.
  same(Read("S2_1 2 2 1 2 2 2\nS1_1 1 2 1 1 2 2\nS2_2 1 2 1 1 2 2\nS1_2 1 2 0 0 2 2\n"));
}

TEST(StatsReader, ManyAllelesLongLinesAndHalfMissingGenotypes) {
  // A first line longer than the initial table, allele numbers that grow from 1 to 127 while
  // it is read, and a genotype with one allele 0, which counts as missing.
  const int loci = 3000;
  std::string first = "S1_1", second = "S2_1";
  for (int l = 0; l < loci; ++l) {
    const int a = 1 + l % 127;
    first += " " + std::to_string(a) + " " + std::to_string(a);
    second += l == 5 ? " 0 9" : " 1 " + std::to_string(a);
  }
  const GenoCounts c = Read(first + "\r\n" + second + "\r\n");
  EXPECT_EQ(c.loci, loci);
  EXPECT_EQ(c.width, 127);
  EXPECT_EQ(c.Count(stats::kFirst, 126, 127), 2u);  // locus 127 holds allele 127 twice
  EXPECT_EQ(c.Count(stats::kFirst, 2999, 1 + 2999 % 127), 2u);
  EXPECT_EQ(c.Count(stats::kSecond, 126, 1), 1u);
  EXPECT_EQ(c.Count(stats::kSecond, 126, 127), 1u);
  EXPECT_EQ(c.samples[stats::kSecond].hets[126], 1u);
  EXPECT_EQ(c.samples[stats::kSecond].hets[0], 0u);  // (1,1)
  EXPECT_EQ(c.samples[stats::kSecond].missing, 1);
  EXPECT_EQ(c.Typed(stats::kSecond, 5), 0);
}

TEST(StatsReader, MalformedLinesNameFileAndLine) {
  EXPECT_EQ(DataRefusal("S1_1 1 2 1\r\n"),
            "x.dat, line 1: odd number of allele numbers (3); each genotype is a pair of "
            "allele numbers");
  EXPECT_EQ(DataRefusal("S1_1 1 2 1 1\r\nS1_2 1 2\r\n"),
            "x.dat, line 2: wrong number of genotypes: 1, but line 1 has 2");
  EXPECT_EQ(DataRefusal("S1_1 1 2\n\nS1_2 1 2 1 1\n"),
            "x.dat, line 3: wrong number of genotypes: more than 1, the number on line 1");
  EXPECT_EQ(DataRefusal("S1_1 1 2\nX1_2 1 2\n"),
            "x.dat, line 2: label X1_2 is not of the form S1_n, S2_n or S0_n");
  EXPECT_EQ(DataRefusal("S3_1 1 2\n"),
            "x.dat, line 1: label S3_1 is not of the form S1_n, S2_n or S0_n");
  EXPECT_EQ(DataRefusal("S1_ 1 2\n"),
            "x.dat, line 1: label S1_ is not of the form S1_n, S2_n or S0_n");
  EXPECT_EQ(DataRefusal("S1_1 1 2 1 x\n"),
            "x.dat, line 1: unexpected 'x' at genotype 2; expected allele numbers separated by "
            "blanks");
  EXPECT_EQ(DataRefusal("S1_1 1 -2\n"),
            "x.dat, line 1: unexpected '-' at genotype 1; expected allele numbers separated by "
            "blanks");
  EXPECT_EQ(DataRefusal("S1_1 1 2\nS1_2\r\n"),
            "x.dat, line 2: label S1_2 is followed by no genotypes");
  EXPECT_EQ(DataRefusal("S1_1 1 2\nS1_2"), "x.dat, line 2: label S1_2 is followed by no genotypes");
  EXPECT_EQ(DataRefusal("S1_1 1 2\n 1 2\n"),
            "x.dat, line 2: line starts with a blank; expected a label S1_n, S2_n or S0_n");
  EXPECT_EQ(DataRefusal("S1_1 1 2\rS1_2 1 2\n"),
            "x.dat, line 1: carriage return not followed by a line feed");
  EXPECT_EQ(DataRefusal("S1_1 1 256\n"), "x.dat, line 1: allele number above 255 at genotype 1");
  EXPECT_EQ(DataRefusal("S1_1 1 1 1 99999999999999999999\n"),
            "x.dat, line 1: allele number above 255 at genotype 2");
  EXPECT_EQ(DataRefusal(""), "x.dat: no genotype lines");
  EXPECT_EQ(DataRefusal("\r\n\n"), "x.dat: no genotype lines");
  EXPECT_EQ(DataRefusal("S1_" + std::string(70, '1') + " 1 1\n"),
            "x.dat, line 1: label longer than 64 characters");
  // 255 is the largest allele number accepted.
  EXPECT_EQ(DataRefusal("S1_1 255 1\n"), "");
}

TEST(StatsReader, UnreadableFiles) {
  TempDir dir;
  try {
    stats::ReadGenoFile(dir / "none.dat");
    FAIL() << "a missing file was read";
  } catch (const StatsError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot open " + (dir / "none.dat") + ": No such file or directory");
  }
  try {
    stats::ReadGenoFile(dir.Path().string());
    FAIL() << "a directory was read";
  } catch (const StatsError& e) {
    EXPECT_EQ(std::string(e.what()), dir.Path().string() + ": read error: Is a directory");
  }
  try {
    stats::ReadGenerationsFile(dir / "none.par");
    FAIL() << "a missing parameter file was read";
  } catch (const StatsError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot open " + (dir / "none.par") + ": No such file or directory");
  }
}

TEST(StatsParFile, GenerationsFromTheNgenLine) {
  const std::string head =
      "0                            !M_ESTIMATE\r\n"
      "1\r\n100\r\n1\r\n0\r\n37\r\n\"g1.dat\"\r\n2\r\n2\r\n";
  std::istringstream golden(ReadFile(std::string(DRIFTSIM_TEST_DATA) + "/golden/cases/g1.par"));
  EXPECT_EQ(stats::ReadGenerations(golden, "g1.par"), 3);
  std::istringstream plain(head + "0 10000                      !NGEN, generations\r\n");
  EXPECT_EQ(stats::ReadGenerations(plain, "x.par"), 10000);
  std::istringstream bare(head + "5 12");  // last line without line end or comment
  EXPECT_EQ(stats::ReadGenerations(bare, "x.par"), 7);

  EXPECT_EQ(ParRefusal(head),
            "x.par: fewer than 10 lines; line 10 must give the generations of the samples (NGEN)");
  EXPECT_EQ(ParRefusal(head + "10                           !NGEN\r\n"),
            "x.par, line 10: expected the NGEN line \"0 <NumGen>\", found "
            "\"10                           !NGEN\"");
  EXPECT_EQ(ParRefusal(head + "0 x !NGEN\r\n"),
            "x.par, line 10: expected the NGEN line \"0 <NumGen>\", found \"0 x !NGEN\"");
  EXPECT_EQ(ParRefusal(head + "0 5x !NGEN\r\n"),
            "x.par, line 10: expected the NGEN line \"0 <NumGen>\", found \"0 5x !NGEN\"");
  EXPECT_EQ(ParRefusal(head + "0 0 !NGEN\r\n"),
            "x.par, line 10: the second sample is not later than the first (NGEN 0 0)");
  EXPECT_EQ(ParRefusal(std::string(5000, 'S')),
            "x.par, line 1: longer than 4096 characters; not an estimator parameter file");
}

TEST(StatsParFile, BesideTheDataFile) {
  EXPECT_EQ(stats::ParFileFor("out/run1.dat"), "out/run1.par");
  EXPECT_EQ(stats::ParFileFor("run1.data"), "run1.data.par");
  EXPECT_EQ(stats::ParFileFor(".dat"), ".dat.par");
}

TEST(StatsSample, DiversityWithMissingDataAndAFixedLocus) {
  const GenoCounts c = Read(kTemporal);
  // S1: 1 missing genotype of 2 x 3. Locus 1: n = 2, p = (1/2, 1/2), Ho = 1,
  // He = 4/3 (1 - 1/2) = 2/3, 2 alleles. Locus 2: n = 1, allele 1 only, Ho = He = 0. Locus 3:
  // fixed, Ho = He = 0. Means over the 3 typed loci: alleles 4/3, Ho 1/3, He 2/9.
  const stats::SampleStats s1 = stats::SampleSummary(c, stats::kFirst);
  EXPECT_EQ(s1.individuals, 2);
  EXPECT_EQ(s1.loci, 3);
  EXPECT_DOUBLE_EQ(s1.missing, 1.0 / 6);
  EXPECT_DOUBLE_EQ(s1.alleles, 4.0 / 3);
  EXPECT_DOUBLE_EQ(s1.ho, 1.0 / 3);
  EXPECT_DOUBLE_EQ(s1.he, 2.0 / 9);
  // S2: locus 1 p = (1/4, 3/4), Ho 1/2, He 4/3 (1 - 10/16) = 1/2; locus 2 the same with the
  // alleles swapped; locus 3 fixed. Alleles 5/3, Ho 1/3, He 1/3.
  const stats::SampleStats s2 = stats::SampleSummary(c, stats::kSecond);
  EXPECT_DOUBLE_EQ(s2.missing, 0);
  EXPECT_DOUBLE_EQ(s2.alleles, 5.0 / 3);
  EXPECT_DOUBLE_EQ(s2.ho, 1.0 / 3);
  EXPECT_DOUBLE_EQ(s2.he, 1.0 / 3);
  // No source sample: counts 0, the rest does not apply.
  const stats::SampleStats s0 = stats::SampleSummary(c, stats::kSource);
  EXPECT_EQ(s0.individuals, 0);
  EXPECT_TRUE(std::isnan(s0.missing) && std::isnan(s0.he));
}

TEST(StatsSample, LociMissingInEverySampleMemberAreLeftOut) {
  // Locus 2 is missing in both individuals: means over locus 1 alone, (1,2) and (1,1):
  // p = (3/4, 1/4), Ho 1/2, He 4/3 (1 - 10/16) = 1/2; the missing fraction counts it.
  const GenoCounts c = Read("S1_1 1 2 0 0\nS1_2 1 1 0 0\n");
  const stats::SampleStats s1 = stats::SampleSummary(c, stats::kFirst);
  EXPECT_DOUBLE_EQ(s1.missing, 0.5);
  EXPECT_DOUBLE_EQ(s1.alleles, 2);
  EXPECT_DOUBLE_EQ(s1.ho, 0.5);
  EXPECT_DOUBLE_EQ(s1.he, 0.5);
  // Everything missing: nothing to average.
  const stats::SampleStats none = stats::SampleSummary(Read("S1_1 0 0\n"), stats::kFirst);
  EXPECT_DOUBLE_EQ(none.missing, 1);
  EXPECT_TRUE(std::isnan(none.alleles) && std::isnan(none.ho) && std::isnan(none.he));
}

TEST(StatsTemporal, FcFkFsOnHandComputedData) {
  // x, y: frequencies in S1 and S2; z = (x + y) / 2.
  // Locus 1: x = (1/2, 1/2), y = (1/4, 3/4), K = 2. Allele 1: (x-y)^2 = 1/16, z = 3/8,
  //   z - xy = 1/4, z(1-z) = 15/64; allele 2: 1/16, z = 5/8, z - xy = 1/4, z(1-z) = 15/64.
  //   Fc = (1/4 + 1/4) / 2 = 1/4; Fk terms (1/16)/(3/8) + (1/16)/(5/8) = 1/6 + 1/10 = 4/15.
  // Locus 2: S1 has one typed individual, x = (1, 0), y = (3/4, 1/4), K = 2. Allele 1:
  //   (x-y)^2 = 1/16, z = 7/8, z - xy = 1/8, z(1-z) = 7/64; allele 2: 1/16, z = 1/8,
  //   z - xy = 1/8, z(1-z) = 7/64. Fc = (1/2 + 1/2) / 2 = 1/2; Fk terms 1/14 + 1/2 = 4/7.
  // Locus 3: fixed in both, K = 1: weight 0 in Fc and Fk, adds 0 to both sums of Fs.
  // Fc = (1 x 1/4 + 1 x 1/2) / 2 = 3/8; Fk = (4/15 + 4/7) / 2 = 44/105;
  // Fs = (4 / 16) / (30/64 + 14/64) = 4/11.
  // Harmonic means of typed individuals: S1 3 / (1/2 + 1 + 1/2) = 3/2, S2 2; the sampling
  // correction 1/3 + 1/4 = 7/12 exceeds every F, so all three Ne are infinite.
  const stats::TemporalStats t = stats::TemporalSummary(Read(kTemporal), 4);
  EXPECT_DOUBLE_EQ(t.fc, 3.0 / 8);
  EXPECT_DOUBLE_EQ(t.fk, 44.0 / 105);
  EXPECT_DOUBLE_EQ(t.fs, 4.0 / 11);
  EXPECT_DOUBLE_EQ(t.s1, 1.5);
  EXPECT_DOUBLE_EQ(t.s2, 2);
  EXPECT_TRUE(std::isinf(t.neFc) && t.neFc > 0);
  EXPECT_TRUE(std::isinf(t.neFk) && t.neFk > 0);
  EXPECT_TRUE(std::isinf(t.neFs) && t.neFs > 0);
}

TEST(StatsTemporal, MomentEstimateOfNe) {
  // 10 / (2 (0.035 - 0.005 - 0.005)) = 200.
  EXPECT_NEAR(stats::MomentNe(0.035, 100, 100, 10), 200, 1e-9);
  // 3 / (2 (0.2 - 0.1 - 0.025)) = 20.
  EXPECT_NEAR(stats::MomentNe(0.2, 5, 20, 3), 20, 1e-9);
  EXPECT_TRUE(std::isinf(stats::MomentNe(0.01, 100, 100, 10)));   // zero denominator
  EXPECT_TRUE(std::isinf(stats::MomentNe(0.005, 100, 100, 10)));  // negative denominator
  EXPECT_TRUE(std::isnan(stats::MomentNe(std::nan(""), 100, 100, 10)));
}

TEST(StatsTemporal, NothingToCompareGivesNA) {
  // Every locus fixed for one allele in both samples, or missing in one of them.
  const stats::TemporalStats t = stats::TemporalSummary(Read("S1_1 1 1 0 0\nS2_1 1 1 2 2\n"), 5);
  EXPECT_TRUE(std::isnan(t.fc) && std::isnan(t.fk) && std::isnan(t.fs));
  EXPECT_TRUE(std::isnan(t.neFc) && std::isnan(t.neFs));
  // No second sample at all.
  EXPECT_TRUE(std::isnan(stats::TemporalSummary(Read("S1_1 1 2\n"), 5).fs));
}

TEST(StatsSource, HudsonFstOnHandComputedData) {
  // Locus 1: S1 p = (3/4, 1/4), S0 q = (1/4, 3/4), 4 gene copies each.
  //   sum (p-q)^2 / 2 = (1/4 + 1/4) / 2 = 1/4; h = 1 - 10/16 = 3/8 in both, h / (2 x 3) = 1/16;
  //   numerator 1/4 - 1/16 - 1/16 = 1/8; denominator 1 - (3/16 + 3/16) = 5/8.
  // Locus 2: fixed for allele 1 in both: numerator 0, denominator 1 - 1 = 0.
  // Locus 3: missing in the whole source sample, left out. Fst = (1/8) / (5/8) = 1/5.
  EXPECT_DOUBLE_EQ(stats::SourceFst(Read(kMigration)), 0.2);
  // Identical samples of 2 x 2 gene copies: numerator -2 x (1/2) / (2 x 3) = -1/6 over a
  // denominator 1/2: the small-sample correction makes Fst negative, -1/3.
  EXPECT_DOUBLE_EQ(stats::SourceFst(Read("S1_1 1 2\nS1_2 1 2\nS0_1 1 2\nS0_2 1 2\n")), -1.0 / 3);
  EXPECT_TRUE(std::isnan(stats::SourceFst(Read(kTemporal))));  // no source sample
}

TEST(StatsTable, MigrationDataSetRowByRow) {
  // S1: alleles (2 + 1 + 1) / 3; Ho (1/2) / 3; He: locus 1 p = (3/4, 1/4), 4/3 x 3/8 = 1/2, / 3.
  // S2: every locus fixed. S0: 2 of 6 genotypes missing; typed loci 1 and 2: alleles 3/2,
  // Ho (1/2) / 2, He (1/2) / 2.
  // S1-S2: only locus 1 varies, x = (3/4, 1/4), y = (0, 1), K = 2. Allele 1: (x-y)^2 = 9/16,
  // z = 3/8, z - xy = 3/8; allele 2: 9/16, z = 5/8, z - xy = 3/8. Fc = (3/2 + 3/2) / 2 = 3/2;
  // Fk = (9/16) / (3/8) + (9/16) / (5/8) = 3/2 + 9/10 = 12/5; Fs = (9/8) / (2 x 15/64) = 12/5.
  // S = 2 in both, correction 1/2: Ne_Fc = 3 / (2 x 1) = 1.5, Ne_Fk = Ne_Fs = 3 / (2 x 1.9).
  // S1-S0: Fst 1/5 as above.
  const std::string expected =
      "row\tindividuals\tloci\tmissing\talleles\tHo\tHe\tFc\tFk\tFs\tNe_Fc\tNe_Fk\tNe_Fs\tFst\n"
      "S1\t2\t3\t0\t1.33333\t0.166667\t0.166667\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n"
      "S2\t2\t3\t0\t1\t0\t0\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n"
      "S0\t2\t3\t0.333333\t1.5\t0.25\t0.25\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n"
      "S1-S2\tNA\tNA\tNA\tNA\tNA\tNA\t1.5\t2.4\t2.4\t1.5\t0.789474\t0.789474\tNA\n"
      "S1-S0\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0.2\n";
  EXPECT_EQ(stats::StatsTable(Read(kMigration), 3), expected);
}

TEST(StatsTable, IsolationDataSetHasNoSourceRows) {
  // Fc, Fk and Fs as in StatsTemporal.FcFkFsOnHandComputedData; their Ne are infinite.
  const std::string expected =
      "row\tindividuals\tloci\tmissing\talleles\tHo\tHe\tFc\tFk\tFs\tNe_Fc\tNe_Fk\tNe_Fs\tFst\n"
      "S1\t2\t3\t0.166667\t1.33333\t0.333333\t0.222222\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n"
      "S2\t2\t3\t0\t1.66667\t0.333333\t0.333333\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n"
      "S1-S2\tNA\tNA\tNA\tNA\tNA\tNA\t0.375\t0.419048\t0.363636\tinf\tinf\tinf\tNA\n";
  EXPECT_EQ(stats::StatsTable(Read(kTemporal), 4), expected);
  EXPECT_EQ(stats::FormatNumber(1234567.0), "1.23457e+06");
  EXPECT_EQ(stats::FormatNumber(-0.00040016), "-0.00040016");
}

// Exit status, standard output and standard error of the tool run with the arguments in dir.
struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun RunTool(const TempDir& dir, const std::string& args) {
  const std::string command = std::string("cd '") + dir.Path().string() + "' && '" +
                              DRIFTSIM_STATS_BINARY + "' " + args + " >stdout.txt 2>stderr.txt";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / "stdout.txt"),
          ReadFile(dir / "stderr.txt")};
}

TEST(StatsTool, GoldenRunsHelpAndErrors) {
  TempDir dir;
  const std::string cases = std::string(DRIFTSIM_TEST_DATA) + "/golden/cases/";
  // g1: migration model, the .par found beside the .dat; g2: isolation, the .par given.
  ToolRun run = RunTool(dir, "'" + cases + "g1.dat'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("row\tindividuals\tloci\t", 0), 0u);
  EXPECT_NE(run.out.find("\nS1\t9\t37\t"), std::string::npos);
  EXPECT_NE(run.out.find("\nS2\t11\t37\t"), std::string::npos);
  EXPECT_NE(run.out.find("\nS0\t7\t37\t"), std::string::npos);
  EXPECT_NE(run.out.find("\nS1-S0\t"), std::string::npos);
  run = RunTool(dir, "'" + cases + "g2.dat' '" + cases + "g2.par'");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\nS1\t10\t23\t"), std::string::npos);
  EXPECT_EQ(run.out.find("S0"), std::string::npos);

  for (const char* flag : {"--help", "-h"}) {
    run = RunTool(dir, flag);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: driftsim-stats RUN.dat [RUN.par]\n", 0), 0u);
    EXPECT_EQ(run.err, "");
  }
  run = RunTool(dir, "");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("driftsim-stats: no data file given\n", 0), 0u);
  EXPECT_EQ(RunTool(dir, "--bogus").status, 1);

  WriteFile(dir / "bad.dat", "S1_1 1 2 1 1\r\nS2_1 1 2 1\r\n");
  WriteFile(dir / "bad.par", ReadFile(cases + "g2.par"));
  run = RunTool(dir, "bad.dat");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "driftsim-stats: bad.dat, line 2: odd number of allele numbers (3); each genotype "
            "is a pair of allele numbers\n");
  run = RunTool(dir, "none.dat");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "driftsim-stats: cannot open none.dat: No such file or directory\n");
  run = RunTool(dir, "bad.dat none.par");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "driftsim-stats: cannot open none.par: No such file or directory\n");
}

// Drift alone: 20 replicate runs of Ne 200 individuals, samples of 100 taken 10 generations
// apart, 100 loci of 10 alleles, no genotyping errors. Averaged
// over the replicates, Fs is close to its expectation t / (2 Ne) + 1/(2 S1) + 1/(2 S2), so its
// moment estimate must come back near 200.
TEST(StatsSimulated, TemporalEstimateRecoversNeUnderDrift) {
  TempDir dir;
  ParamLines p;
  p[1] = "0";    // isolation
  p[2] = "200";  // Ne
  p[3] = "0";    // MigRate
  p[4] = "100";  // NumLoci
  p[5] = "10";   // NumAllele
  p[6] = "10";   // NumGen
  p[7] = "0";    // source sample
  p[8] = "100";  // sample 1
  p[9] = "100";  // sample 2
  p[11] = "'" + (dir / "rep") + "'";
  p[16] = p[17] = p[18] = "0";  // no missing data, dropout or false alleles
  const int replicates = 20;
  double fs = 0, fc = 0, fk = 0, s1 = 0, s2 = 0;
  int32_t generations = 0;
  for (int r = 0; r < replicates; ++r) {
    p[10] = std::to_string(1001 + 7919 * r);  // distinct seeds, none a multiple of 262144
    WriteFile(dir / "para.txt", p.Text());
    Console([&] { RunSimulation((dir / "para.txt").c_str()); });
    const GenoCounts c = stats::ReadGenoFile(dir / "rep.dat");
    generations = stats::ReadGenerationsFile(dir / "rep.par");
    ASSERT_EQ(c.loci, 100);
    ASSERT_EQ(c.samples[stats::kFirst].individuals, 100);
    const stats::TemporalStats t = stats::TemporalSummary(c, generations);
    fs += t.fs / replicates;
    fc += t.fc / replicates;
    fk += t.fk / replicates;
    s1 += t.s1 / replicates;
    s2 += t.s2 / replicates;
  }
  EXPECT_EQ(generations, 10);
  EXPECT_DOUBLE_EQ(s1, 100);
  const double ne = stats::MomentNe(fs, s1, s2, generations);
  EXPECT_NEAR(ne, 200, 50) << "mean Fs " << fs << " (Fc " << fc << ", Fk " << fk << ")";
  RecordProperty("Ne_Fs", std::to_string(ne));
  RecordProperty("Ne_Fc", std::to_string(stats::MomentNe(fc, s1, s2, generations)));
  RecordProperty("Ne_Fk", std::to_string(stats::MomentNe(fk, s1, s2, generations)));
}

}  // namespace
}  // namespace driftsim::test
