// Tests of the statistics tool: reading data files and parameter files and checking them
// against each other, the statistics and their intervals on small data sets computed by hand,
// the messages for malformed input, the table and JSON output, the command line, and the
// temporal Ne estimate on simulated drift.
#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "stats/stats.hpp"
#include "summary/summary.hpp"
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
    stats::ReadParStream(in, "x.par");
  } catch (const StatsError& e) {
    return e.what();
  }
  return "";
}

// An estimator parameter file with the given loci, NGEN line and sample sizes.
std::string ParText(const std::string& loci, const std::string& ngen, const std::string& sizes,
                    const std::string& source) {
  return "0 !M_ESTIMATE\r\n1\r\n100\r\n1\r\n0\r\n" + loci + " !NLOCI_T\r\n\"x.dat\"\r\n2\r\n2\r\n" +
         ngen + " !NGEN\r\n" + sizes + " !SmplSize\r\n" + source + " !SmplSize\r\n1\r\n";
}

stats::ParInfo Par(int64_t loci, int64_t n1, int64_t n2, int64_t n0) {
  std::istringstream in(ParText(std::to_string(loci), "0 4",
                                std::to_string(n1) + " " + std::to_string(n2), std::to_string(n0)));
  return stats::ReadParStream(in, "x.par");
}

// The message with which a data text is refused under a parameter file and the reader's rules.
std::string CheckedRefusal(const std::string& text, const stats::ParInfo& par,
                           bool driftsimOrder = false) {
  try {
    std::istringstream in(text);
    stats::GenoCounter counter;
    stats::GenoReader reader("x.dat", counter, {&par, driftsimOrder});
    stats::ReadInto(reader, in);
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
  stats::GenoCounter counter;
  stats::GenoReader bytes("x.dat", counter);
  for (char ch : text) bytes.Feed(&ch, 1);
  bytes.Finish();
  same(counter.Take());
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
  // Labels number individuals once each, from 1, as driftsim writes them.
  EXPECT_EQ(DataRefusal("S1_1 1 2\nS2_1 1 1\nS1_1 2 2\n"),
            "x.dat, line 3: label S1_1 appears a second time");
  for (const char* label : {"S1_0", "S1_01", "S1_1000001"}) {
    EXPECT_EQ(DataRefusal(std::string(label) + " 1 2\n"),
              "x.dat, line 1: label " + std::string(label) +
                  ": individuals are numbered 1 to 1000000 without leading zeros");
  }
  EXPECT_EQ(DataRefusal("S1_1000000 1 2\nS0_9 1 1\n"), "");
}

TEST(StatsReader, FastPathAgreesWithACountByHand) {
  // A long line of one-digit alleles with missing genotypes at irregular places, two-digit
  // alleles in between, and a genotype with one allele 0: read whole and in pieces of 7 bytes
  // (every word boundary of the fast path), the counts are those tallied here.
  constexpr int64_t kLoci = 1000;
  std::string line = "S1_1";
  std::array<int, kLoci> first{}, second{};
  uint32_t state = 12345;
  const auto next = [&state](uint32_t n) {
    state = state * 1103515245U + 12345U;
    return static_cast<int>((state >> 16) % n);
  };
  for (size_t l = 0; l < first.size(); ++l) {
    const int kind = next(20);
    first[l] = kind == 0 ? 0 : kind == 1 ? 10 + next(5) : 1 + next(9);
    second[l] = kind == 2 ? 0 : 1 + next(9);
    line += " " + std::to_string(first[l]) + " " + std::to_string(second[l]);
  }
  line += "\r\n";
  stats::GenoCounter pieces;
  stats::GenoReader reader("x.dat", pieces);
  for (size_t at = 0; at < line.size(); at += 7) {
    reader.Feed(line.data() + at, std::min<size_t>(7, line.size() - at));
  }
  reader.Finish();
  for (const GenoCounts& c : {Read(line), pieces.Take()}) {
    ASSERT_EQ(c.loci, kLoci);
    int64_t missing = 0;
    for (size_t l = 0; l < first.size(); ++l) {
      const auto locus = static_cast<int64_t>(l);
      if (first[l] == 0 || second[l] == 0) {
        ++missing;
        EXPECT_EQ(c.Typed(stats::kFirst, locus), 0) << "locus " << l;
        continue;
      }
      for (int32_t a = 1; a <= c.width; ++a) {
        const uint32_t expected = (first[l] == a ? 1U : 0U) + (second[l] == a ? 1U : 0U);
        ASSERT_EQ(c.Count(stats::kFirst, locus, a), expected) << "locus " << l << " allele " << a;
      }
      EXPECT_EQ(c.samples[stats::kFirst].hets[l], first[l] != second[l] ? 1U : 0U);
    }
    EXPECT_EQ(c.samples[stats::kFirst].missing, missing);
  }
}

TEST(StatsReader, DataMustAgreeWithTheParameterFile) {
  const stats::ParInfo par = Par(2, 2, 1, 1);  // 2 loci; S1 2, S2 1, S0 1
  const std::string good = "S1_1 1 2 1 1\r\nS1_2 2 2 0 0\r\nS2_1 1 1 2 2\r\nS0_1 1 2 1 2\r\n";
  EXPECT_EQ(CheckedRefusal(good, par, true), "");
  const struct {
    std::string text;
    bool driftsimOrder;
    std::string message;
  } cases[] = {
      // Cut at a line end: the counts are complete only at the end of the file.
      {"S1_1 1 2 1 1\r\nS1_2 2 2 0 0\r\nS2_1 1 1 2 2\r\n", false,
       "x.dat, line 3: the file ends with 0 individuals of sample S0, but x.par, line 12 "
       "gives 1"},
      {"S1_1 1 2 1 1\r\nS2_1 1 1 2 2\r\nS0_1 1 2 1 2\r\n", false,
       "x.dat, line 3: the file ends with 1 individuals of sample S1, but x.par, line 11 "
       "gives 2"},
      {good + "S2_2 1 1 1 1\r\n", false,
       "x.dat, line 5: 2 individuals of sample S2 so far, but x.par, line 11 gives 1"},
      {"S1_1 1 2 1 1 2 2\r\n", false,
       "x.dat, line 1: wrong number of genotypes: more than 2, but x.par, line 6 gives 2 loci"},
      {"S1_1 1 2 1 1\r\nS1_2 2 2\r\n", false,
       "x.dat, line 2: wrong number of genotypes: 1, but x.par, line 6 gives 2 loci"},
      {"S1_1 1 2\r\n", false,
       "x.dat, line 1: wrong number of genotypes: 1, but x.par, line 6 gives 2 loci"},
      {"S1_1 1 2 1 1\r\nS1_1 2 2 0 0\r\n", false,
       "x.dat, line 2: label S1_1 appears a second time"},
      // The order S1, S2, S0, when asked for (the exports).
      {"S1_1 1 2 1 1\r\nS2_1 1 1 2 2\r\nS1_2 2 2 0 0\r\nS0_1 1 2 1 2\r\n", false, ""},
      {"S1_1 1 2 1 1\r\nS2_1 1 1 2 2\r\nS1_2 2 2 0 0\r\nS0_1 1 2 1 2\r\n", true,
       "x.dat, line 3: sample S1 after sample S2; the individuals must come in driftsim's "
       "order: S1, then S2, then S0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckedRefusal(c.text, par, c.driftsimOrder), c.message) << c.text;
  }
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
    EXPECT_EQ(std::string(e.what()), "cannot open " + dir.Path().string() + ": Is a directory");
  }
  try {
    stats::ReadParFile(dir / "none.par");
    FAIL() << "a missing parameter file was read";
  } catch (const StatsError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot open " + (dir / "none.par") + ": No such file or directory");
  }
}

TEST(StatsParFile, LociGenerationsAndSampleSizes) {
  std::istringstream golden(ReadFile(std::string(DRIFTSIM_TEST_DATA) + "/golden/cases/g1.par"));
  const stats::ParInfo g1 = stats::ReadParStream(golden, "g1.par");
  EXPECT_EQ(g1.generations, 3);
  EXPECT_EQ(g1.loci, 37);
  EXPECT_EQ(g1.individuals, (std::array<int64_t, 3>{7, 9, 11}));
  // Last line without line end or comment; LF line ends.
  std::istringstream bare("1\n1\n1\n1\n1\n100000000\nx\n2\n2\n5 12\n1 1000000\n0");
  const stats::ParInfo b = stats::ReadParStream(bare, "x.par");
  EXPECT_EQ(b.generations, 7);
  EXPECT_EQ(b.loci, 100000000);
  EXPECT_EQ(b.individuals, (std::array<int64_t, 3>{0, 1, 1000000}));

  const std::string good = ParText("10", "0 5", "20 30", "0");
  EXPECT_EQ(ParRefusal(good), "");
  const std::string cut = good.substr(0, good.find("20 30"));
  EXPECT_EQ(ParRefusal(cut),
            "x.par: 10 lines; lines 6, 10, 11 and 12 must give the loci (NLOCI_T), the "
            "generations (NGEN) and the sample sizes (SmplSize)");
  const struct {
    std::string loci, ngen, sizes, source, message;
  } cases[] = {
      {"x", "0 5", "20 30", "0",
       "x.par, line 6: expected the number of loci (NLOCI_T), found \"x !NLOCI_T\""},
      {"0", "0 5", "20 30", "0", "x.par, line 6: number of loci 0 not within 1 to 100000000"},
      {"10", "10", "20 30", "0",
       "x.par, line 10: expected the NGEN line \"0 <NumGen>\", found \"10 !NGEN\""},
      {"10", "0 5x", "20 30", "0",
       "x.par, line 10: expected the NGEN line \"0 <NumGen>\", found \"0 5x !NGEN\""},
      {"10", "0 0", "20 30", "0",
       "x.par, line 10: the second sample is not later than the first (NGEN 0 0)"},
      {"10", "0 4294967301", "20 30", "0",
       "x.par, line 10: generation 4294967301 of the NGEN line is out of range (0 to "
       "2147483647)"},
      {"10", "-2147483648 2147483647", "20 30", "0",
       "x.par, line 10: generation -2147483648 of the NGEN line is out of range (0 to "
       "2147483647)"},
      {"10", "0 5", "20", "0",
       "x.par, line 11: expected the sizes of samples 1 and 2 (SmplSize), found \"20 "
       "!SmplSize\""},
      {"10", "0 5", "20 0", "0", "x.par, line 11: size of sample S2 0 not within 1 to 1000000"},
      {"10", "0 5", "20 30", "-1", "x.par, line 12: size of sample S0 -1 not within 0 to 1000000"},
      {"10", "0 5", "20 30", "",
       "x.par, line 12: expected the size of the source sample (SmplSize), found \" "
       "!SmplSize\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParRefusal(ParText(c.loci, c.ngen, c.sizes, c.source)), c.message) << c.message;
  }
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
  // Loci 1 and 2 enter (K = 2 each): 2 loci, 4 alleles.
  const stats::TemporalStats t = stats::TemporalSummary(Read(kTemporal), 4);
  EXPECT_DOUBLE_EQ(t.f[stats::kFc].f, 3.0 / 8);
  EXPECT_DOUBLE_EQ(t.f[stats::kFk].f, 44.0 / 105);
  EXPECT_DOUBLE_EQ(t.f[stats::kFs].f, 4.0 / 11);
  EXPECT_DOUBLE_EQ(t.s1, 1.5);
  EXPECT_DOUBLE_EQ(t.s2, 2);
  EXPECT_EQ(t.generations, 4);
  EXPECT_EQ(t.loci, 2);
  EXPECT_EQ(t.alleles, 4);
  for (const stats::TemporalF& f : t.f) EXPECT_TRUE(std::isinf(f.ne) && f.ne > 0);
}

TEST(StatsTemporal, JackknifeAndChiSquareIntervalsOnHandComputedData) {
  // kTemporal as above. Jackknife over the 2 loci that enter: without locus 1, Fc = 1/2,
  // Fk = 4/7, Fs = (1/8) / (14/64) = 4/7; without locus 2, Fc = 1/4, Fk = Fs = 4/15. With L = 2
  // the variance (L-1)/L sum (F_-l - mean)^2 is (d/2)^2 for d the difference: standard errors
  // 1/8 for Fc and 16/105 for Fk and Fs; interval F -+ 1.959964 se.
  // Chi-square: n' = 4 - 2 = 2, whose quantiles are -2 ln(1 - p): 2 F / 7.377759 and
  // 2 F / 0.0506356.
  const stats::TemporalStats t = stats::TemporalSummary(Read(kTemporal), 4);
  const double z = 1.959963984540054;
  const double high = -2 * std::log(0.025), low = -2 * std::log(0.975);
  const double se[] = {1.0 / 8, 16.0 / 105, 16.0 / 105};
  for (size_t k = 0; k < 3; ++k) {
    const stats::TemporalF& f = t.f[k];
    EXPECT_NEAR(f.jackknife.low, f.f - z * se[k], 1e-12) << k;
    EXPECT_NEAR(f.jackknife.high, f.f + z * se[k], 1e-12) << k;
    EXPECT_NEAR(f.chiSquare.low, 2 * f.f / high, 1e-9) << k;
    EXPECT_NEAR(f.chiSquare.high, 2 * f.f / low, 1e-6) << k;
    // Ne bounds come from the other side of F: a larger F is a smaller Ne.
    EXPECT_DOUBLE_EQ(f.neJackknife.low, stats::MomentNe(f.jackknife.high, 1.5, 2, 4));
    EXPECT_TRUE(std::isinf(f.neJackknife.high));
  }
  // One locus that enters: no jackknife; the chi-square interval has n' = 1.
  const stats::TemporalStats one = stats::TemporalSummary(Read(kMigration), 3);
  EXPECT_EQ(one.loci, 1);
  EXPECT_TRUE(std::isnan(one.f[stats::kFc].jackknife.low));
  EXPECT_NEAR(one.f[stats::kFc].chiSquare.low, 1.5 / 5.0238861873148934, 1e-9);
}

// A data set of two samples of 6 individuals at the given loci of a fixed table of alleles
// 1 to 3 (scrambled by a small linear congruential step, every locus polymorphic).
std::string BlockData(const std::vector<int>& loci) {
  std::string text;
  for (int s = 1; s <= 2; ++s) {
    for (int i = 1; i <= 6; ++i) {
      text += "S" + std::to_string(s) + "_" + std::to_string(i);
      for (const int l : loci) {
        for (int copy = 0; copy < 2; ++copy) {
          const unsigned x =
              (unsigned(s * 7919 + i * 104729 + l * 1299709 + copy * 15485863) * 2654435761u) >> 16;
          text += " " + std::to_string(1 + x % (l % 4 == 0 ? 2 : 3));
        }
      }
      text += "\n";
    }
  }
  return text;
}

TEST(StatsTemporal, BlockJackknifeOverChromosomesOnKnownCases) {
  // The standard error of the jackknife over chromosomes, computed apart from it: each F
  // without one chromosome's loci is the F of the data without them, and the delete-m_j
  // jackknife (Busing et al. 1999) of those, with h_j = n / m_j, is
  //   (1/g) sum (h_j F - (h_j - 1) F_(-j) - J)^2 / (h_j - 1),  J = g F - sum (1 - 1/h_j) F_(-j);
  // with equal blocks it is the plain jackknife over blocks, (g - 1)/g sum (F_(-j) - mean)^2,
  // and with one locus per chromosome the jackknife over loci.
  const int n = 12;
  std::vector<int> all(n);
  for (int l = 0; l < n; ++l) all[size_t(l)] = l;
  const GenoCounts counts = Read(BlockData(all));
  const auto fromSizes = [&](const std::vector<int64_t>& sizes) {
    GeneticMap map;
    int64_t first = 0;
    for (const int64_t m : sizes) {
      map.Chromosomes.push_back({std::to_string(map.Chromosomes.size() + 1), first, first + m, 1});
      first += m;
    }
    return map;
  };
  const struct {
    const char* what;
    GeneticMap map;
    bool equal;  // blocks of equal size: the plain jackknife over blocks
  } cases[] = {
      {"4 equal chromosomes", EvenMap(n, 4, 1.0), true},
      {"a locus per chromosome", EvenMap(n, n, 0.5), true},
      {"chromosomes of 2, 3 and 7 loci", fromSizes({2, 3, 7}), false},
  };
  const double z = 1.959963984540054;
  for (const auto& c : cases) {
    const stats::TemporalStats t = stats::TemporalSummary(counts, 4, &c.map);
    ASSERT_EQ(t.loci, n) << c.what;
    EXPECT_EQ(t.chromosomes, int64_t(c.map.Chromosomes.size())) << c.what;
    for (size_t k = 0; k < 3; ++k) {
      const double f = t.f[k].f;
      std::vector<double> without;
      for (const Chromosome& chr : c.map.Chromosomes) {
        std::vector<int> rest;
        for (int l = 0; l < n; ++l) {
          if (l < chr.First || l >= chr.End) rest.push_back(l);
        }
        without.push_back(stats::TemporalSummary(Read(BlockData(rest)), 4).f[k].f);
      }
      const auto g = double(without.size());
      double variance = 0;
      if (c.equal) {
        double mean = 0;
        for (const double w : without) mean += w / g;
        for (const double w : without) variance += (g - 1) / g * (w - mean) * (w - mean);
      } else {
        double jack = g * f;
        for (size_t j = 0; j < without.size(); ++j) {
          jack -=
              (1 - double(c.map.Chromosomes[j].End - c.map.Chromosomes[j].First) / n) * without[j];
        }
        for (size_t j = 0; j < without.size(); ++j) {
          const double h = n / double(c.map.Chromosomes[j].End - c.map.Chromosomes[j].First);
          const double pseudo = h * f - (h - 1) * without[j];
          variance += (pseudo - jack) * (pseudo - jack) / (h - 1) / g;
        }
      }
      const double se = std::sqrt(variance);
      EXPECT_GT(se, 0) << c.what;
      EXPECT_NEAR(t.f[k].byChromosomes.low, f - z * se, 1e-12) << c.what << " F " << k;
      EXPECT_NEAR(t.f[k].byChromosomes.high, f + z * se, 1e-12) << c.what << " F " << k;
      if (c.map.Chromosomes.size() == size_t(n)) {
        EXPECT_NEAR(t.f[k].byChromosomes.low, t.f[k].jackknife.low, 1e-12) << k;
      }
    }
  }
  // One chromosome: no block jackknife; without a map none either, and the table is unchanged.
  const GeneticMap one = EvenMap(n, 1, 1.0);
  const stats::TemporalStats single = stats::TemporalSummary(counts, 4, &one);
  EXPECT_TRUE(std::isnan(single.f[stats::kFs].byChromosomes.low));
  EXPECT_TRUE(std::isnan(stats::TemporalSummary(counts, 4).f[stats::kFs].byChromosomes.low));
  const std::string table = stats::StatsTable(counts, 4);
  EXPECT_EQ(table.find("chromosomes"), std::string::npos);
  const GeneticMap four = EvenMap(n, 4, 1.0);
  EXPECT_EQ(stats::StatsTable(counts, 4, &four).rfind(table, 0), 0u);
  EXPECT_NE(stats::StatsTable(counts, 4, &four).find("\nS1-S2_jackknife_by_chromosomes_high\t"),
            std::string::npos);
}

TEST(StatsRunMap, TheMapOfARunFromItsRecordOrAMapFile) {
  // Real records of driftsim: of --chromosomes 3:0.5 and of --map with 2 chromosomes (the
  // 23 loci of g2), each in a folder of its own, then edited copies of them.
  TempDir dir;
  const std::string params = std::string(DRIFTSIM_TEST_DATA) + "/golden/cases/g2.txt";
  const int64_t loci = 23;
  std::string mapText;
  for (int l = 0; l < loci; ++l) {
    mapText += (l < 10 ? "1 L" : "2 L") + std::to_string(l + 1) + " " + std::to_string(l) + " " +
               std::to_string(1000 * l) + "\n";
  }
  std::filesystem::create_directories(dir.Path() / "even");
  std::filesystem::create_directories(dir.Path() / "file");
  WriteFile(dir / "file/run.map", mapText);
  WriteFile(dir / "short.map", "1 L1 0 0\n");
  const auto simulate = [&](const std::string& folder, const std::string& linkage) {
    const std::string command = "cd '" + (dir / folder) + "' && '" + DRIFTSIM_BINARY + "' '" +
                                params + "' -q --out run " + linkage +
                                " --summary run.json > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  };
  simulate("even", "--chromosomes 3:0.5");
  simulate("file", "--map run.map");
  const std::string even = dir / "even/run.dat", file = dir / "file/run.dat";
  const nlohmann::json record = nlohmann::json::parse(ReadFile(dir / "even/run.json"));
  const auto edited = [&](const std::string& name, const std::function<void(nlohmann::json&)>& f) {
    nlohmann::json r = record;
    f(r);
    WriteFile(dir / ("even/" + name), r.dump(2));
  };
  const auto names = [](const GeneticMap* map) {
    std::string text;
    for (const Chromosome& c : map->Chromosomes) {
      text += c.Name + ":" + std::to_string(c.End - c.First) + " ";
    }
    return text;
  };
  const GeneticMap evenMap = EvenMap(loci, 3, 0.5);
  const auto map = RunMap(even, "", loci, false);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->Position, evenMap.Position);
  EXPECT_EQ(names(map.get()), "1:7 2:8 3:8 ");
  // A record of the map file gives its chromosomes; the file itself only when positions are
  // wanted, as named or beside the record.
  EXPECT_EQ(names(RunMap(file, "", loci, false).get()), "1:10 2:13 ");
  EXPECT_TRUE(RunMap(file, "", loci, false)->Position.empty());
  std::string read;
  EXPECT_EQ(RunMap(file, "", loci, true, &read)->Bp[22], 22000);
  EXPECT_EQ(read, dir / "file/run.map");
  // --map wins over the record.
  EXPECT_EQ(names(RunMap(even, dir / "file/run.map", loci, false).get()), "1:10 2:13 ");

  const struct {
    const char* what;
    std::function<void()> setUp;
    std::string refusal;  // "" when the run is taken as unlinked
  } cases[] = {
      {"a stale record of another run's linkage",
       [&] {
         std::filesystem::remove(dir / "even/run.json");
         edited("old.json", [](nlohmann::json& r) { r["files"][0]["sha256"] = "00"; });
       },
       ""},
      {"a record of the same run without linkage",
       [&] {
         std::filesystem::remove(dir / "even/old.json");
         edited("run.json", [](nlohmann::json& r) { r["model"].erase("linkage"); });
       },
       ""},
      {"two records that disagree", [&] { WriteFile(dir / "even/z.json", record.dump()); },
       "Run records " + (dir / "even/run.json") + " and " + (dir / "even/z.json") +
           " both describe " + even + " but differ in its linkage; give the map with --map!"},
      {"a record of more chromosomes than loci",
       [&] {
         std::filesystem::remove(dir / "even/z.json");
         edited("run.json", [](nlohmann::json& r) { r["model"]["linkage"]["chromosomes"] = 24; });
       },
       "Run record " + (dir / "even/run.json") +
           ": its linkage gives neither a map file nor 1 to 23 chromosomes of a length above 0 "
           "and at most 100 Morgans!"},
      {"records whose fields have other types",
       [&] {
         edited("run.json", [](nlohmann::json& r) { r["files"][0]["sha256"] = 5; });
         edited("p.json", [](nlohmann::json& r) { r["program"] = 1; });
       },
       ""},
  };
  for (const auto& c : cases) {
    c.setUp();
    try {
      EXPECT_EQ(RunMap(even, "", loci, false), nullptr) << c.what;
      EXPECT_EQ(c.refusal, "") << c.what;
    } catch (const FatalError& e) {
      EXPECT_EQ(e.Message(), c.refusal) << c.what;
    }
  }
  // A map of another number of loci is refused, with the file and line.
  try {
    RunMap(even, dir / "short.map", loci, false);
    FAIL() << "a map of 1 locus was taken for 23";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Message(), (dir / "short.map") +
                               ":1: the file has 1 lines, one per locus, but the run has 23 loci "
                               "(NumLoci, line 4)!");
  }
}

TEST(StatsTemporal, ChiSquareQuantilesMatchTheTables) {
  // Quantiles as R's qchisq gives them; df 2 is -2 ln(1 - p) exactly. The largest df are
  // those of a hundred million loci, within 1e-9 of the quantile (the printed figures have 6
  // digits).
  const struct {
    double p, df, quantile, tolerance;
  } cases[] = {
      {0.975, 1, 5.0238861873148934, 1e-9},   {0.025, 1, 0.0009820691171752492, 1e-12},
      {0.975, 2, -2 * std::log(0.025), 1e-9}, {0.025, 2, -2 * std::log(0.975), 1e-12},
      {0.975, 10, 20.483177350807395, 1e-8},  {0.025, 10, 3.246972780236841, 1e-8},
      {0.975, 100, 129.56119718583927, 1e-7}, {0.025, 100, 74.221927474923717, 1e-7},
      {0.975, 1e8, 100027719.970744237, 0.1}, {0.025, 1e8, 99972283.817867517, 0.1},
      {0.975, 1e10, 10000277182.6591702, 10}, {0.025, 1e10, 9999722821.1294403, 10},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(stats::ChiSquareQuantile(c.p, c.df), c.quantile, c.tolerance)
        << "p " << c.p << " df " << c.df;
  }
}

TEST(StatsTemporal, MomentEstimateOfNe) {
  // 10 / (2 (0.035 - 0.005 - 0.005)) = 200.
  EXPECT_NEAR(stats::MomentNe(0.035, 100, 100, 10), 200, 1e-9);
  // 3 / (2 (0.2 - 0.1 - 0.025)) = 20.
  EXPECT_NEAR(stats::MomentNe(0.2, 5, 20, 3), 20, 1e-9);
  EXPECT_TRUE(std::isinf(stats::MomentNe(0.01, 100, 100, 10)));   // zero denominator
  EXPECT_TRUE(std::isinf(stats::MomentNe(0.005, 100, 100, 10)));  // negative denominator
  EXPECT_TRUE(std::isnan(stats::MomentNe(std::nan(""), 100, 100, 10)));
  // F equal to its correction but for rounding (computed another way) is infinite, not a
  // huge number.
  for (const auto& [s1, s2] : {std::pair{3.0, 7.0}, {1.5, 2.0}, {97.3, 101.9}, {8.38, 10.39}}) {
    const double f = (s1 + s2) / (2 * s1 * s2);
    EXPECT_TRUE(std::isinf(stats::MomentNe(f, s1, s2, 5))) << s1 << " " << s2;
    EXPECT_TRUE(std::isinf(stats::MomentNe(f * (1 + 1e-12), s1, s2, 5))) << s1 << " " << s2;
  }
  EXPECT_FALSE(std::isinf(stats::MomentNe(0.01 * (1 + 1e-6), 100, 100, 10)));
}

TEST(StatsTemporal, NothingToCompareGivesNA) {
  // Every locus fixed for one allele in both samples, or missing in one of them.
  const stats::TemporalStats t = stats::TemporalSummary(Read("S1_1 1 1 0 0\nS2_1 1 1 2 2\n"), 5);
  for (const stats::TemporalF& f : t.f) {
    EXPECT_TRUE(std::isnan(f.f) && std::isnan(f.ne) && std::isnan(f.jackknife.low) &&
                std::isnan(f.chiSquare.high));
  }
  EXPECT_EQ(t.loci, 0);
  // No second sample at all.
  EXPECT_TRUE(std::isnan(stats::TemporalSummary(Read("S1_1 1 2\n"), 5).f[stats::kFs].f));
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

// Runs of NA cells of the table: the 5 columns after Hs, the 6 sample columns before Fc, and
// the 7 columns after Ne_Fs of the interval rows; each ends its line.
const std::string kNA5 = "\tNA\tNA\tNA\tNA\tNA\n";
const std::string kNA6 = "\tNA\tNA\tNA\tNA\tNA\tNA\t";
const std::string kNA7 = "\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n";

TEST(StatsTable, MigrationDataSetRowByRow) {
  // S1: alleles (2 + 1 + 1) / 3; Ho (1/2) / 3; He: locus 1 p = (3/4, 1/4), 4/3 x 3/8 = 1/2, / 3.
  // S2: every locus fixed. S0: 2 of 6 genotypes missing; typed loci 1 and 2: alleles 3/2,
  // Ho (1/2) / 2, He (1/2) / 2.
  // S1-S2: only locus 1 varies, x = (3/4, 1/4), y = (0, 1), K = 2. Allele 1: (x-y)^2 = 9/16,
  // z = 3/8, z - xy = 3/8; allele 2: 9/16, z = 5/8, z - xy = 3/8. Fc = (3/2 + 3/2) / 2 = 3/2;
  // Fk = (9/16) / (3/8) + (9/16) / (5/8) = 3/2 + 9/10 = 12/5; Fs = (9/8) / (2 x 15/64) = 12/5.
  // S = 2 in both, correction 1/2: Ne_Fc = 3 / (2 x 1) = 1.5, Ne_Fk = Ne_Fs = 3 / (2 x 1.9).
  // S1-S0: Fst 1/5 as above.
  // Hs: S1 (3/8) / 3, S2 0, S0 (3/8) / 2. S1-S2: t 3, harmonic means 2 and 2 (no locus
  // missing in S1 or S2), 1 locus and 2 alleles enter. Its intervals: no jackknife with one
  // locus; chi-square with n' = 1 (quantiles 5.023886 and 0.0009820691): Fc 0.298574 to
  // 1527.39, Fk and Fs 0.477718 to 2443.82; Ne from the upper F bounds, 3 / (2 (F - 1/2)).
  const std::string expected =
      "row\tindividuals\tloci\tmissing\talleles\tHo\tHe\tFc\tFk\tFs\tNe_Fc\tNe_Fk\tNe_Fs\tFst"
      "\tHs\tt\tS1_hmean\tS2_hmean\tF_loci\tF_alleles\n"
      "S1\t2\t3\t0\t1.33333\t0.166667\t0.166667\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0.125" +
      kNA5 + "S2\t2\t3\t0\t1\t0\t0\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0" + kNA5 +
      "S0\t2\t3\t0.333333\t1.5\t0.25\t0.25\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0.1875" + kNA5 +
      "S1-S2\tNA\tNA\tNA\tNA\tNA\tNA\t1.5\t2.4\t2.4\t1.5\t0.789474\t0.789474\tNA\tNA\t3\t2\t2"
      "\t1\t2\n"
      "S1-S0\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0.2\tNA" +
      kNA5 + "S1-S2_jackknife_low" + kNA6 + "NA\tNA\tNA\tNA\tNA\tNA" + kNA7 +
      "S1-S2_jackknife_high" + kNA6 + "NA\tNA\tNA\tNA\tNA\tNA" + kNA7 + "S1-S2_chisq_low" + kNA6 +
      "0.298574\t0.477718\t0.477718\t0.000982391\t0.000613919"
      "\t0.000613919" +
      kNA7 + "S1-S2_chisq_high" + kNA6 + "1527.39\t2443.82\t2443.82\tinf\tinf\tinf" + kNA7;
  EXPECT_EQ(stats::StatsTable(Read(kMigration), 3), expected);
}

TEST(StatsTable, IsolationDataSetHasNoSourceRows) {
  // Fc, Fk and Fs as in StatsTemporal.FcFkFsOnHandComputedData; their Ne are infinite. Hs: S1
  // (1/2) / 3, S2 (3/8 + 3/8) / 3. The intervals of
  // StatsTemporal.JackknifeAndChiSquareIntervalsOnHandComputedData, with Ne 4 / (2 (F - 7/12))
  // from the upper F bounds.
  const std::string expected =
      "row\tindividuals\tloci\tmissing\talleles\tHo\tHe\tFc\tFk\tFs\tNe_Fc\tNe_Fk\tNe_Fs\tFst"
      "\tHs\tt\tS1_hmean\tS2_hmean\tF_loci\tF_alleles\n"
      "S1\t2\t3\t0.166667\t1.33333\t0.333333\t0.222222\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0.166667" +
      kNA5 + "S2\t2\t3\t0\t1.66667\t0.333333\t0.333333\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0.25" + kNA5 +
      "S1-S2\tNA\tNA\tNA\tNA\tNA\tNA\t0.375\t0.419048\t0.363636\tinf\tinf\tinf\tNA\tNA\t4\t1.5"
      "\t2\t2\t4\n"
      "S1-S2_jackknife_low" +
      kNA6 + "0.130005\t0.120386\t0.0649752\t54.5522\t14.8837\t25.3279" + kNA7 +
      "S1-S2_jackknife_high" + kNA6 + "0.619995\t0.717709\t0.662298\tinf\tinf\tinf" + kNA7 +
      "S1-S2_chisq_low" + kNA6 + "0.101657\t0.113598\t0.0985764\t0.140564\t0.125249\t0.145143" +
      kNA7 + "S1-S2_chisq_high" + kNA6 + "14.8117\t16.5515\t14.3629\tinf\tinf\tinf" + kNA7;
  EXPECT_EQ(stats::StatsTable(Read(kTemporal), 4), expected);
  EXPECT_EQ(stats::FormatNumber(1234567.0), "1.23457e+06");
  EXPECT_EQ(stats::FormatNumber(-0.00040016), "-0.00040016");
}

TEST(StatsTable, JsonHoldsTheSameFiguresAtFullPrecision) {
  const GenoCounts c = Read(kMigration);
  stats::ParInfo par;
  par.name = "x.par";
  par.generations = 3;
  const nlohmann::json j = nlohmann::json::parse(stats::StatsJson(c, par, "x.dat"));
  EXPECT_EQ(j["data"], "x.dat");
  EXPECT_EQ(j["loci"], 3);
  for (const int s : {stats::kFirst, stats::kSecond, stats::kSource}) {
    const stats::SampleStats st = stats::SampleSummary(c, s);
    const nlohmann::json& o = j["samples"][stats::SampleName(s)];
    EXPECT_EQ(o["individuals"], st.individuals);
    EXPECT_EQ(o["He"].get<double>(), st.he);  // every digit
    EXPECT_EQ(o["Hs"].get<double>(), st.hs);
    EXPECT_EQ(o["missing"].get<double>(), st.missing);
  }
  const nlohmann::json& t = j["S1-S2"];
  EXPECT_EQ(t["t"], 3);
  EXPECT_EQ(t["loci"], 1);
  EXPECT_EQ(t["alleles"], 2);
  EXPECT_EQ(t["Fk"]["F"].get<double>(), 2.4);
  // NA is null, an infinite Ne the string "inf": one locus has no jackknife, and the upper
  // chi-square bound of Ne is infinite (see MigrationDataSetRowByRow).
  EXPECT_TRUE(t["Fc"]["jackknife"]["F"][0].is_null());
  EXPECT_EQ(t["Fc"]["chisq"]["Ne"][1], "inf");
  EXPECT_EQ(j["S1-S0"]["Fst"].get<double>(), stats::SourceFst(c));
  // Without a source sample there is neither S0 nor S1-S0.
  const nlohmann::json iso = nlohmann::json::parse(stats::StatsJson(Read(kTemporal), par, "y"));
  EXPECT_FALSE(iso["samples"].contains("S0"));
  EXPECT_FALSE(iso.contains("S1-S0"));
  EXPECT_EQ(iso["S1-S2"]["Fs"]["Ne"], "inf");
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

  // --help and --version as in driftsim: standard output, exit 0, whatever follows.
  for (const char* flag : {"--help", "-h", "--help x.dat"}) {
    run = RunTool(dir, flag);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("driftsim-stats " DRIFTSIM_VERSION_TEXT " - summary", 0), 0u) << flag;
    EXPECT_NE(
        run.out.find("Usage: driftsim-stats [--format tsv|json] [--map FILE] RUN.dat [RUN.par]\n"),
        std::string::npos);
    EXPECT_EQ(run.err, "");
  }
  run = RunTool(dir, "--version");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "driftsim-stats " DRIFTSIM_VERSION_TEXT "\n");
  // Usage errors: exit 2 at once, nothing on standard output.
  const struct {
    const char* args;
    const char* message;
  } misuse[] = {{"", "no data file given"},
                {"--bogus x.dat", "unknown option --bogus"},
                {"--format xml x.dat", "unknown format xml (tsv or json)"},
                {"x.dat --format", "--format needs a value (tsv or json)"},
                {"a b c", "too many arguments"}};
  for (const auto& m : misuse) {
    run = RunTool(dir, m.args);
    EXPECT_EQ(run.status, 2) << m.args;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("driftsim-stats: " + std::string(m.message) + "\n", 0), 0u) << run.err;
  }

  // A data file cut at a line end no longer passes: its counts disagree with the .par.
  const std::string g1 = ReadFile(cases + "g1.dat");
  size_t cut = 0;
  for (int line = 0; line < 15; ++line) cut = g1.find('\n', cut) + 1;
  WriteFile(dir / "cut.dat", g1.substr(0, cut));
  run = RunTool(dir, "cut.dat '" + cases + "g1.par'");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "driftsim-stats: cut.dat, line 15: the file ends with 6 individuals of "
            "sample S2, but " +
                cases + "g1.par, line 11 gives 11\n");

  WriteFile(dir / "bad.dat", "S1_1 1 2 1 1\r\nS2_1 1 2 1\r\n");
  WriteFile(dir / "bad.par", ParText("2", "0 3", "1 1", "0"));
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
// moment estimate must come back near 200; the intervals of single replicates mostly hold 200.
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
  int jackknifeCovers = 0, chiSquareCovers = 0;
  for (int r = 0; r < replicates; ++r) {
    p[10] = std::to_string(1001 + 7919 * r);  // distinct seeds, none a multiple of 262144
    WriteFile(dir / "para.txt", p.Text());
    Console([&] { RunSimulation((dir / "para.txt").c_str()); });
    const GenoCounts c = stats::ReadGenoFile(dir / "rep.dat");
    generations = stats::ReadParFile(dir / "rep.par").generations;
    ASSERT_EQ(c.loci, 100);
    ASSERT_EQ(c.samples[stats::kFirst].individuals, 100);
    const stats::TemporalStats t = stats::TemporalSummary(c, generations);
    fs += t.f[stats::kFs].f / replicates;
    fc += t.f[stats::kFc].f / replicates;
    fk += t.f[stats::kFk].f / replicates;
    s1 += t.s1 / replicates;
    s2 += t.s2 / replicates;
    const stats::TemporalF& f = t.f[stats::kFs];
    jackknifeCovers += f.neJackknife.low <= 200 && 200 <= f.neJackknife.high ? 1 : 0;
    chiSquareCovers += f.neChiSquare.low <= 200 && 200 <= f.neChiSquare.high ? 1 : 0;
  }
  // Nominal 95% intervals of single replicates: most of them hold the true Ne.
  EXPECT_GE(jackknifeCovers, 16);
  EXPECT_GE(chiSquareCovers, 16);
  RecordProperty("jackknife_covers", jackknifeCovers);
  RecordProperty("chisq_covers", chiSquareCovers);
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
