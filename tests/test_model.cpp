// Model options: their values, the sizes file, the true values of a run, the fecundity
// transform, and statistical checks of whole runs over replicates.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <regex>

#include "description/description.hpp"
#include "model/true_values.hpp"
#include "population/parents.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

TEST(ModelOptions, OptionValues) {
  struct Case {
    const char* name;
    const char* value;
    const char* refusal;  // "" when accepted
  };
  const Case cases[] = {
      {"burn-in", "0", ""},
      {"burn-in", "+250", ""},
      {"burn-in", "100000000", ""},
      {"burn-in", "100000001", "--burn-in: 100000001 is out of range (0 to 100000000)"},
      {"burn-in", "-1", "--burn-in: -1 is out of range (0 to 100000000)"},
      {"burn-in", "2e3", "--burn-in: '2e3' is not a whole number of generations"},
      {"burn-in", "99999999999999999999",
       "--burn-in: '99999999999999999999' is not a whole "
       "number of generations"},
      {"burn-in", "+-5", "--burn-in: '+-5' is not a whole number of generations"},
      {"mutation-rate", "0", ""},
      {"mutation-rate", "1E-3", ""},
      {"mutation-rate", "0.1", ""},
      {"mutation-rate", "0.1001", "--mutation-rate: 0.1001 is out of range (0 to 0.1)"},
      {"mutation-rate", "-1e-4", "--mutation-rate: -1e-4 is out of range (0 to 0.1)"},
      {"mutation-rate", "nan",
       "--mutation-rate: 'nan' is not a rate (a number such as 1e-4, 0 to 0.1, within single "
       "precision)"},
      {"mutation-rate", "1e-50",
       "--mutation-rate: '1e-50' is not a rate (a number such as 1e-4, 0 to 0.1, within single "
       "precision)"},
      {"ne-ratio", ".25", ""},
      {"ne-ratio", "0", "--ne-ratio: 0 is out of range (above 0, at most 1)"},
      {"ne-ratio", "1.01", "--ne-ratio: 1.01 is out of range (above 0, at most 1)"},
      {"ne-ratio", "1/4", "--ne-ratio: '1/4' is not a ratio (a number such as 0.25)"},
      {"sizes", "crash.txt", ""},
      {"sizes", "", "--sizes: the file name is empty"},
      {"threads", "2", "--threads is not a model option"},
  };
  for (const Case& c : cases) {
    ModelOptions m;
    EXPECT_EQ(SetModelOption(m, c.name, c.value), c.refusal) << c.name << " " << c.value;
    // A refused value leaves the options as they were.
    if (*c.refusal) {
      EXPECT_TRUE(m.BurnIn == kDefaultBurnIn && m.MutationRate == kDefaultMutationRate &&
                  m.NeRatio == 1.0 && m.SizesFile.empty())
          << c.name << " " << c.value;
    }
  }
  ModelOptions m;
  EXPECT_EQ(SetModelOption(m, "burn-in", "+250"), "");
  EXPECT_EQ(m.BurnIn, 250);
  // The text of the default rate reads as today's single-precision constant, bit for bit.
  for (const char* text : {"1e-4", "0.0001", "1E-04"}) {
    EXPECT_EQ(SetModelOption(m, "mutation-rate", text), "");
    EXPECT_EQ(std::bit_cast<uint32_t>(m.MutationRate), 0x38D1B717u) << text;
  }
  EXPECT_EQ(SetModelOption(m, "ne-ratio", ".25"), "");
  EXPECT_EQ(m.NeRatio, 0.25);
  EXPECT_EQ(SetModelOption(m, "sizes", "crash.txt"), "");
  EXPECT_EQ(m.SizesFile, "crash.txt");
  for (const ModelOptionName& o : kModelOptionNames) {
    EXPECT_NE(SetModelOption(m, o.Name, "x"),
              "--" + std::string(o.Name) + " is not a model option");
  }
}

// The changes read from a sizes text, or the message that refuses it.
std::string SizesRead(const std::string& text, std::vector<SizeChange>* changes = nullptr,
                      int32_t burnIn = kDefaultBurnIn) {
  std::istringstream in(text);
  try {
    const SizeSchedule s = ReadSizesStream(in, "crash.txt", burnIn);
    if (changes) *changes = s.Changes;
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Routine(), "ReadSizes");
    return e.Message();
  }
  return "";
}

TEST(ReadSizes, LinesAndRefusals) {
  std::vector<SizeChange> changes;
  EXPECT_EQ(SizesRead("# a crash and a recovery\n\n 260 20 # crash\r\n265\t+500\n300 1000000\n",
                      &changes),
            "");
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].First, 260);
  EXPECT_EQ(changes[0].Size, 20);
  EXPECT_EQ(changes[1].First, 265);
  EXPECT_EQ(changes[1].Size, 500);
  EXPECT_EQ(changes[2].Size, 1000000);

  const std::pair<const char*, const char*> refused[] = {
      {"260 20\n250 30\n",
       "crash.txt:2: generation 250 does not come after generation 260 of "
       "line 1!"},
      {"260 20\n\n# x\n260 30\n",
       "crash.txt:4: generation 260 does not come after generation "
       "260 of line 1!"},
      {"0 20\n", "crash.txt:1: generation 0 is out of range (generations count from 1)!"},
      {"5 1\n", "crash.txt:1: size 1 is out of range [2, 1000000]!"},
      {"5 1000001\n", "crash.txt:1: size 1000001 is out of range [2, 1000000]!"},
      {"5\n", "crash.txt:1: expected 'GENERATION SIZE', two whole numbers, not '5'!"},
      {"5 20 30\n", "crash.txt:1: expected 'GENERATION SIZE', two whole numbers, not '5 20 30'!"},
      {"5 20.5\n", "crash.txt:1: expected 'GENERATION SIZE', two whole numbers, not '5 20.5'!"},
      {"5,20\n", "crash.txt:1: expected 'GENERATION SIZE', two whole numbers, not '5,20'!"},
      {"", "crash.txt: no 'GENERATION SIZE' line!"},
      {"# only a comment\n", "crash.txt: no 'GENERATION SIZE' line!"},
  };
  for (const auto& [text, message] : refused) EXPECT_EQ(SizesRead(text), message) << text;

  // Counted from sample 1: the same crash whatever the burn-in, beside absolute lines.
  for (const int32_t burnIn : {250, 100, 0}) {
    EXPECT_EQ(SizesRead("S1+1 20\nS1+4 1000\n", &changes, burnIn), "");
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].First, burnIn + 1);
    EXPECT_EQ(changes[1].First, burnIn + 4);
  }
  EXPECT_EQ(SizesRead("S1-10 30\nS1 40\n300 50\n", &changes, 100), "");
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].First, 90);
  EXPECT_EQ(changes[1].First, 100);
  const std::pair<const char*, const char*> relative[] = {
      {"S1-250 20\n",
       "crash.txt:1: generation S1-250 (generation 0 with burn-in 250) is out of range "
       "(generations count from 1)!"},
      {"300 20\nS1+5 30\n",
       "crash.txt:2: generation 255 does not come after generation 300 of line 1!"},
      {"S1x 20\n", "crash.txt:1: expected 'GENERATION SIZE', two whole numbers, not 'S1x 20'!"},
      {"S1+ 20\n", "crash.txt:1: expected 'GENERATION SIZE', two whole numbers, not 'S1+ 20'!"},
      {"S2+1 20\n", "crash.txt:1: expected 'GENERATION SIZE', two whole numbers, not 'S2+1 20'!"},
  };
  for (const auto& [text, message] : relative) EXPECT_EQ(SizesRead(text), message) << text;
  // A long token is quoted only in part.
  EXPECT_EQ(
      SizesRead("S1-" + std::string(300, '0') + "300 20\n"),
      "crash.txt:1: generation S1-" + std::string(57, '0') +
          "... (generation -50 with burn-in 250) is out of range (generations count from 1)!");

  TempDir dir;
  for (const std::string& name : {dir / "missing.txt", dir.Path().string()}) {
    try {
      ReadSizes(name);
      ADD_FAILURE() << name;
    } catch (const FatalError& e) {
      EXPECT_EQ(e.Message().rfind("Sizes file, " + name + ", ", 0), 0u) << e.Message();
    }
  }
}

TEST(SizeSchedule, SizeOfEachGenerationAndTheLargest) {
  ModelOptions m;
  m.BurnIn = 10;
  m.Sizes.Changes = {{3, 50}, {6, 400}, {9, 20}, {30, 900}};
  const int32_t want[] = {100, 100, 100, 50, 50, 50, 400, 400, 400, 20, 20};
  for (int32_t g = 0; g <= 10; ++g) EXPECT_EQ(m.Sizes.At(g, 100), want[g]) << g;
  EXPECT_EQ(m.Sizes.At(29, 100), 20);
  EXPECT_EQ(m.Sizes.At(31, 100), 900);
  Params par;
  par.Ne = 100;
  par.NumGen = 19;  // the run ends at generation 29: the change to 900 never takes effect
  EXPECT_EQ(LargestSize(par, m), 400);
  par.NumGen = 20;
  EXPECT_EQ(LargestSize(par, m), 900);
  par.Ne = 1000;
  EXPECT_EQ(LargestSize(par, m), 1000);
}

TEST(PrepareModel, ReadsTheSizesAndNeedsAnEffectiveSizeAboveOne) {
  TempDir dir;
  WriteFile(dir / "sizes.txt", "10 3\n20 40\n");
  Params par;
  par.Ne = 8;
  par.NumGen = 5;
  par.MaxNe = 100;
  struct Case {
    double ratio;
    bool sizes;
    std::string refusal;
  };
  const Case cases[] = {
      {1.0, true, ""},
      {0.2, false, ""},
      {0.125, false,
       "--ne-ratio 0.125 needs R x size above 1, but the initial population (Ne, line 2) has "
       "size 8!"},
      {0.3, true, "--ne-ratio 0.3 needs R x size above 1, but generation 10 has size 3!"},
      {0.34, true, ""},
  };
  for (const Case& c : cases) {
    ModelOptions m;
    m.NeRatio = c.ratio;
    if (c.sizes) m.SizesFile = dir / "sizes.txt";
    std::string refusal;
    try {
      PrepareModel(par, m);
    } catch (const FatalError& e) {
      refusal = e.Message();
      EXPECT_EQ(e.Routine(), "PrepareModel");
    }
    EXPECT_EQ(refusal, c.refusal) << c.ratio;
    if (c.refusal.empty() && c.sizes) {
      EXPECT_EQ(m.Sizes.At(20, 8), 40);
    }
  }
}

TEST(TrueValues, RunsHarmonicMeanAndTemporalF) {
  Params par;
  par.Ne = 60;
  par.NumGen = 5;
  ModelOptions m;
  m.BurnIn = 2;
  // Generations 0-2: 60, 3-4: 6, 5-6: 40, 7: 4 (sample 2 is taken in the last crash).
  m.Sizes.Changes = {{3, 6}, {5, 40}, {6, 40}, {7, 4}, {9, 100}};
  TrueValues tv = ComputeTrueValues(par, m);
  ASSERT_EQ(tv.Sizes.size(), 4u);
  const int32_t runs[4][3] = {{0, 2, 60}, {3, 4, 6}, {5, 6, 40}, {7, 7, 4}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(tv.Sizes[i].First, runs[i][0]);
    EXPECT_EQ(tv.Sizes[i].Last, runs[i][1]);
    EXPECT_EQ(tv.Sizes[i].Census, runs[i][2]);
    EXPECT_EQ(tv.Sizes[i].Effective, runs[i][2]);
  }
  // Reproduction of generations 2..6: sizes 60, 6, 6, 40, 40.
  EXPECT_NEAR(tv.HarmonicNe, 5 / (1 / 60.0 + 2 / 6.0 + 2 / 40.0), 1e-12);
  // With R = 1 the frequency variance follows the offspring generations 3..7, and so does the
  // Ne of the drift: their harmonic mean.
  EXPECT_NEAR(tv.DriftNe, 5 / (2 / 6.0 + 2 / 40.0 + 1 / 4.0), 1e-12);
  const double kept = std::pow(1 - 1 / 12.0, 2) * std::pow(1 - 1 / 80.0, 2) * (1 - 1 / 8.0);
  EXPECT_NEAR(tv.TemporalF, 1 - kept, 1e-12);

  // Half the census size: effective sizes 30, 3, 3, 20, 20 between the samples, and the
  // sampled generations' census sizes 60 and 4.
  m.NeRatio = 0.5;
  tv = ComputeTrueValues(par, m);
  EXPECT_EQ(tv.Sizes[1].Effective, 3.0);
  EXPECT_NEAR(tv.HarmonicNe, 5 / (1 / 30.0 + 2 / 3.0 + 2 / 20.0), 1e-12);
  EXPECT_NEAR(tv.DriftNe, 5 / (1 / 30.0 + 2 / 3.0 + 2 / 20.0 + 1 / 4.0 - 1 / 60.0), 1e-12);
  const double keptHalf = (1 - 1 / 60.0) * std::pow(1 - 1 / 6.0, 2) * std::pow(1 - 1 / 40.0, 2) *
                          (1 - 1 / 8.0) / (1 - 1 / 120.0);
  EXPECT_NEAR(tv.TemporalF, 1 - keptHalf, 1e-12);

  // The default model: one run of Ne, and the textbook 1 - (1 - 1/(2Ne))^t.
  tv = ComputeTrueValues(par, ModelOptions{});
  ASSERT_EQ(tv.Sizes.size(), 1u);
  EXPECT_EQ(tv.Sizes[0].Last, 255);
  EXPECT_DOUBLE_EQ(tv.HarmonicNe, 60);
  EXPECT_DOUBLE_EQ(tv.DriftNe, 60);
  EXPECT_NEAR(tv.TemporalF, 1 - std::pow(1 - 1 / 120.0, 5), 1e-12);
}

TEST(LogGammaDev, MeanAndVarianceOfTheDeviates) {
  // Gamma(a, 1) has mean a and variance a. Tolerance: 5 standard errors, the variance's from
  // the fourth moment of the gamma (excess kurtosis 6/a).
  RngState u;
  u.IDUM = -31;
  const int n = 200000;
  for (const double a : {0.02, 0.33, 1.0, 9.0, 1000.0}) {
    double sum = 0, sq = 0;
    for (int i = 0; i < n; ++i) {
      const double x = std::exp(LogGammaDev(a, u));
      sum += x;
      sq += x * x;
    }
    const double mean = sum / n, var = sq / n - mean * mean;
    EXPECT_NEAR(mean, a, 5 * std::sqrt(a / n)) << a;
    EXPECT_NEAR(var, a, 5 * a * std::sqrt((2 + 6 / a) / n)) << a;
  }
}

TEST(ParentPicker, ChoosesInProportionToFecundity) {
  std::vector<uint8_t> recs(6);
  const RecordSpan parents{recs.data(), 6, 1};
  const ParentPicker weighted(parents, {0, 1, 2, 0, 5, 0});
  // A draw of exactly 1.0 takes the last record with fecundity, never a barren one.
  EXPECT_EQ(weighted.Index(1.0), 4);
  EXPECT_EQ(weighted.Index(1e-9), 1);
  const ParentPicker uniform(parents);
  EXPECT_FALSE(uniform.Weighted());
  EXPECT_EQ(uniform.Index(1.0), 5);
  RngState u;
  u.IDUM = -5;
  const int n = 80000;
  int count[6] = {};
  for (int i = 0; i < n; ++i) ++count[weighted.Index(u.RanUniform())];
  const double share[6] = {0, 1 / 8.0, 2 / 8.0, 0, 5 / 8.0, 0};
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(count[i] / double(n), share[i], 5 * std::sqrt(share[i] * (1 - share[i]) / n)) << i;
  }
}

TEST(Fecundities, GiveTheIntendedEffectiveSize) {
  // Two genes of the next generation come from the same parent with probability sum p_i^2,
  // p_i the fecundity shares; the inbreeding effective size is 1 / E[sum p_i^2] = R N.
  // Tolerance: 5 standard errors over the replicate generations.
  RngState u;
  u.IDUM = -8;
  const std::pair<int, double> cases[] = {{4, 0.3}, {10, 0.25}, {50, 0.9}, {1000, 0.5}};
  for (const auto& [N, R] : cases) {
    const int reps = 200000 / N + 200;
    double sum = 0, sq = 0;
    for (int rep = 0; rep < reps; ++rep) {
      const std::vector<double> f = DrawFecundities(N, FecundityShape(R, N), u);
      double total = 0, squares = 0;
      for (const double x : f) total += x;
      for (const double x : f) squares += (x / total) * (x / total);
      sum += squares;
      sq += squares * squares;
    }
    const double mean = sum / reps, se = std::sqrt((sq / reps - mean * mean) / reps);
    EXPECT_NEAR(mean, 1 / (R * N), 5 * se) << N << " " << R;
  }
}

TEST(Initialize, TablesHoldTheLargestSize) {
  ParamLines p;
  p[2] = "50";
  p[4] = "1000";
  p[8] = p[9] = "50";
  auto sim = MakeState(p);
  ModelOptions m;
  m.Sizes.Changes = {{100, 5000}};
  sim->tab.Ne = LargestSize(sim->par, m);
  sim->tab.MemoryLimit = 1 << 20;
  try {
    Console([&] { Initialize(*sim); });
    ADD_FAILURE() << "the tables fit";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Message(),
              "Too large Ne/SampleSize or/and too many loci. Out of memory!\n2000*10150 bytes are "
              "required!");
  }
}

// A whole run of the parameter lines with the model options given as option texts (a sizes
// text, when given, is written to a file first). Returns the console text, with the seconds
// masked; the files are dir/run.dat and dir/run.par.
std::string RunWith(const TempDir& dir, ParamLines p,
                    const std::vector<std::pair<std::string, std::string>>& options,
                    const std::string& sizes = "", TrueValues* truth = nullptr) {
  p[11] = "'" + (dir / "run") + "'";
  WriteFile(dir / "p.txt", p.Text());
  ModelOptions m;
  for (const auto& [name, value] : options) EXPECT_EQ(SetModelOption(m, name, value), "");
  if (!sizes.empty()) {
    WriteFile(dir / "sizes.txt", sizes);
    EXPECT_EQ(SetModelOption(m, "sizes", dir / "sizes.txt"), "");
  }
  const std::string text =
      Console([&] { RunSimulation((dir / "p.txt").c_str(), m, nullptr, truth); });
  return std::regex_replace(text, std::regex("(Time_Taken = |TimeTaken\\(S\\) = )[0-9]+"), "$1#");
}

TEST(RunSimulation, ExplicitDefaultsGiveTheSameBytes) {
  TempDir dir;
  ParamLines packed;
  packed[2] = "520";  // blocks with progress text
  packed[4] = "23";
  packed[5] = "2";
  ParamLines unpacked;
  unpacked[1] = "0";
  unpacked[2] = "31";
  unpacked[4] = "9";
  unpacked[6] = "3";
  unpacked[19] = "1";
  for (const ParamLines& p : {packed, unpacked}) {
    const std::string console = RunWith(dir, p, {});
    const std::string files = ReadFile(dir / "run.dat") + ReadFile(dir / "run.par");
    const std::string Ne = p.value[1];
    const std::vector<std::vector<std::pair<std::string, std::string>>> defaults = {
        {{"burn-in", "250"}},
        {{"mutation-rate", "1e-4"}},
        {{"mutation-rate", "0.0001"}},
        {{"ne-ratio", "1"}},
        {{"burn-in", "250"}, {"mutation-rate", "1e-4"}, {"ne-ratio", "1.0"}},
    };
    for (const auto& options : defaults) {
      EXPECT_EQ(RunWith(dir, p, options), console) << options[0].first;
      EXPECT_TRUE(ReadFile(dir / "run.dat") + ReadFile(dir / "run.par") == files)
          << options[0].first;
    }
    // A sizes file that keeps Ne: only the line naming the file is added.
    for (const std::string& sizes : {"1 " + Ne + "\n", "100 " + Ne + "\n252 " + Ne + "\n"}) {
      std::string withSizes = console;
      const size_t at = withSizes.find('\n') + 1;
      withSizes.insert(at, "Reading sizes file: " + (dir / "sizes.txt") + "\n");
      EXPECT_EQ(RunWith(dir, p, {}, sizes), withSizes);
      EXPECT_TRUE(ReadFile(dir / "run.dat") + ReadFile(dir / "run.par") == files) << sizes;
    }
  }
}

TEST(RunSimulation, BurnInMovesTheFirstSample) {
  TempDir dir;
  ParamLines p;
  p[2] = "12";
  p[4] = "3";
  p[6] = "2";
  for (const size_t burnIn : {0u, 1u, 7u}) {
    const std::vector<std::string> lines =
        TextLines(RunWith(dir, p, {{"burn-in", std::to_string(burnIn)}}));
    // Reading and initialisation lines, the burn-in, then sample 1 and two generations more.
    ASSERT_EQ(lines.size(), 4u + burnIn + 1 + 2 + 1 + 9) << burnIn;
    EXPECT_EQ(lines[4 + burnIn], "Taking the 1st sample...");
    EXPECT_EQ(lines[5 + burnIn], "Simulating generation = " + std::to_string(burnIn + 1));
    EXPECT_EQ(lines[7 + burnIn], "Taking the 2ed sample...");
  }
}

// Allele counts of the temporal samples in a data file: [sample 1 or 2][locus][allele].
using Counts = std::vector<std::vector<std::vector<double>>>;
Counts CountAlleles(const std::string& dat, int loci, int alleles) {
  Counts c(
      3, std::vector<std::vector<double>>(size_t(loci), std::vector<double>(size_t(alleles) + 1)));
  std::istringstream in(dat);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string label;
    fields >> label;
    const size_t s = size_t(label[1] - '0');
    if (s == 0) continue;
    for (int L = 0; L < loci; ++L) {
      int a, b;
      fields >> a >> b;
      ++c[s][size_t(L)][size_t(a)];
      ++c[s][size_t(L)][size_t(b)];
    }
  }
  return c;
}

// Sums over loci and alleles of a sample's unbiased gene diversity x(1 - x) n/(n - 1).
double Diversity(const std::vector<std::vector<double>>& counts) {
  double total = 0;
  for (const auto& locus : counts) {
    double n = 0;
    for (const double k : locus) n += k;
    for (const double k : locus) total += (k / n) * (1 - k / n) * n / (n - 1);
  }
  return total;
}

// Temporal F of two samples, corrected for the binomial sampling of each: the squared change
// less x(1 - x)/(n - 1) of each sample, over the gene diversity of sample 1.
double TemporalF(const Counts& c) {
  double change = 0;
  for (size_t L = 0; L < c[1].size(); ++L) {
    double n1 = 0, n2 = 0;
    for (const double k : c[1][L]) n1 += k;
    for (const double k : c[2][L]) n2 += k;
    for (size_t a = 0; a < c[1][L].size(); ++a) {
      const double x1 = c[1][L][a] / n1, x2 = c[2][L][a] / n2;
      change += (x2 - x1) * (x2 - x1) - x1 * (1 - x1) / (n1 - 1) - x2 * (1 - x2) / (n2 - 1);
    }
  }
  return change / Diversity(c[1]);
}

struct Estimate {
  double mean = 0, se = 0;
};
Estimate MeanOf(const std::vector<double>& v) {
  Estimate e;
  for (const double x : v) e.mean += x / double(v.size());
  for (const double x : v) e.se += (x - e.mean) * (x - e.mean);
  e.se = std::sqrt(e.se / double(v.size() - 1) / double(v.size()));
  return e;
}

TEST(ModelChecks, DriftBetweenTheSamplesFollowsTheSizesAndTheRatio) {
  // Whole runs without mutation and with equal initial frequencies; samples of 500. The gene
  // diversity x(1 - x) of a generation's gene pool falls by 1 - 1/(2 N_g) with each generation
  // of N_g offspring (R = 1); with fecundities, by 1 - 1/(2 R N) per generation of constant
  // size. Both samples estimate their generation's diversity without bias, so the ratio of their
  // diversities estimates the product, and their sampling-corrected F is 1 minus it.
  // Tolerance: 4 standard errors over the replicates, plus 0.01.
  struct Case {
    const char* name;
    int alleles, Ne, NumGen, model;
    std::vector<std::pair<std::string, std::string>> options;
    std::string sizes;
    double kept;  // expected diversity ratio
  };
  const double crash = std::pow(1 - 1 / 12.0, 2) * std::pow(1 - 1 / 80.0, 2) * (1 - 1 / 8.0);
  const double quarter = std::pow(1 - 1 / 20.0, 10);
  const double halfCrash =
      std::pow(1 - 1 / 40.0, 2) * std::pow(1 - 1 / 10.0, 2) * (1 - 1 / 60.0) / (1 - 1 / 80.0);
  const Case cases[] = {
      {"bottleneck, packed", 2, 60, 5, 0, {{"burn-in", "2"}}, "3 6\n5 40\n7 4\n", crash},
      {"bottleneck, unpacked", 5, 60, 5, 1, {{"burn-in", "2"}}, "3 6\n5 40\n7 4\n", crash},
      {"ne-ratio 0.25, packed",
       2,
       40,
       10,
       0,
       {{"burn-in", "0"}, {"ne-ratio", "0.25"}},
       "",
       quarter},
      {"ne-ratio 0.25, unpacked",
       6,
       40,
       10,
       1,
       {{"burn-in", "0"}, {"ne-ratio", "0.25"}},
       "",
       quarter},
      // Effective sizes 20, 20 (census 40), 5, 5 (census 10), census 30 when sampled again.
      {"ne-ratio 0.5 and a crash, unpacked",
       4,
       40,
       4,
       0,
       {{"burn-in", "0"}, {"ne-ratio", "0.5"}},
       "2 10\n4 30\n",
       halfCrash},
  };
  TempDir dir;
  for (const Case& c : cases) {
    ParamLines p;
    p[1] = std::to_string(c.model);
    p[2] = std::to_string(c.Ne);
    p[3] = "0";
    p[4] = "300";
    p[5] = std::to_string(c.alleles);
    p[6] = std::to_string(c.NumGen);
    p[7] = "1";
    p[8] = p[9] = "500";
    p[16] = p[17] = p[18] = "0";
    p[19] = "1";
    std::vector<std::pair<std::string, std::string>> options = c.options;
    options.push_back({"mutation-rate", "0"});
    std::vector<double> ratios, fs;
    TrueValues truth;
    for (int rep = 0; rep < 10; ++rep) {
      p[10] = std::to_string(1001 + rep);
      RunWith(dir, p, options, c.sizes, &truth);
      const Counts counts = CountAlleles(ReadFile(dir / "run.dat"), 300, c.alleles);
      ratios.push_back(Diversity(counts[2]) / Diversity(counts[1]));
      fs.push_back(TemporalF(counts));
    }
    EXPECT_NEAR(truth.TemporalF, 1 - c.kept, 1e-12) << c.name;
    const Estimate ratio = MeanOf(ratios), f = MeanOf(fs);
    EXPECT_NEAR(ratio.mean, c.kept, 4 * ratio.se + 0.01) << c.name << ", se " << ratio.se;
    EXPECT_NEAR(f.mean, 1 - c.kept, 4 * f.se + 0.01) << c.name << ", se " << f.se;
    RecordProperty(c.name, "se " + std::to_string(ratio.se) + " ratio " +
                               std::to_string(ratio.mean) + " F " + std::to_string(f.mean) +
                               " expected " + std::to_string(c.kept));
  }
}

TEST(ModelChecks, LongBurnInReachesTheKAlleleEquilibrium) {
  // K-allele model, N = 50, u = 1e-3: each gene copy receives Poisson(u) hits, each setting a
  // uniformly drawn allele, so after drift and mutation two distinct genes are identical with
  //   F' = e^(-2u) (1/(2N) + (1 - 1/(2N)) F) + (1 - e^(-2u)) / K,
  // whose fixed point is F = (e^(-2u)/(2N) + (1 - e^(-2u))/K) / (1 - e^(-2u) (1 - 1/(2N))).
  // The gene pool's diversity is (1 - 1/(2N)) (1 - F), which sample 1 estimates without bias.
  // The equilibrium is approached within about 1/(2u + 1/(2N)) = 83 generations; 2000 leave
  // nothing of the start. Tolerance: 4 standard errors over the replicates, plus 0.005.
  // (Packed records mutate by genotype: a hit heterozygote becomes homozygous, which is not
  // this process.)
  const int N = 50, loci = 400;
  const double u = 1e-3, keep = std::exp(-2 * u);
  TempDir dir;
  for (const int K : {3, 10}) {
    const double F = (keep / (2 * N) + (1 - keep) / K) / (1 - keep * (1 - 1.0 / (2 * N)));
    const double expected = (1 - 1.0 / (2 * N)) * (1 - F);
    ParamLines p;
    p[1] = "0";
    p[2] = std::to_string(N);
    p[4] = std::to_string(loci);
    p[5] = std::to_string(K);
    p[6] = "1";
    p[8] = p[9] = "500";
    p[16] = p[17] = p[18] = "0";
    std::vector<double> he;
    for (int rep = 0; rep < 6; ++rep) {
      p[10] = std::to_string(71 + rep);
      RunWith(dir, p, {{"burn-in", "2000"}, {"mutation-rate", "1e-3"}});
      he.push_back(Diversity(CountAlleles(ReadFile(dir / "run.dat"), loci, K)[1]) / loci);
    }
    const Estimate e = MeanOf(he);
    EXPECT_NEAR(e.mean, expected, 4 * e.se + 0.005) << "K " << K << ", se " << e.se;
    RecordProperty("K" + std::to_string(K), "se " + std::to_string(e.se) + " He " +
                                                std::to_string(e.mean) + " expected " +
                                                std::to_string(expected));
  }
}

}  // namespace
}  // namespace driftsim::test
