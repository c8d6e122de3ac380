// Linked loci: the map options and files, meiosis with Haldane crossovers, and what drift does
// to pairs of linked loci.
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <sstream>

#include "simulation/simulation.hpp"
#include "test_support.hpp"

using namespace driftsim;
using namespace driftsim::test;

namespace {

ParamLines Small(int Ne, int loci, int alleles, int seed = 7) {
  ParamLines p;
  p[1] = "0";
  p[2] = std::to_string(Ne);
  p[4] = std::to_string(loci);
  p[5] = std::to_string(alleles);
  p[10] = std::to_string(seed);
  p[13] = "100000";
  return p;
}

// Haldane's map function: the recombinant fraction of loci d Morgans apart.
double Haldane(double d) {
  return (1 - std::exp(-2 * d)) / 2;
}

// A map of the given chromosomes, each a list of locus positions in Morgans.
GeneticMap MapOf(const std::vector<std::vector<double>>& chromosomes) {
  GeneticMap map;
  for (const auto& loci : chromosomes) {
    const int64_t first = int64_t(map.Position.size());
    for (double x : loci) {
      map.Position.push_back(x);
      map.Bp.push_back(0);
    }
    map.Chromosomes.push_back({std::to_string(map.Chromosomes.size() + 1), first,
                               int64_t(map.Position.size()), loci.back()});
  }
  return map;
}

// The allele (0 or 1) of copy k of locus L of a phased packed record.
uint32_t PhasedAllele(const uint8_t* rec, int64_t L, int k) {
  return (rec[L >> 2] >> (2 * (L & 3) + k)) & 1u;
}

// The refusal of a map text for NumLoci loci, or "" when it is read.
std::string MapRefusal(const std::string& text, int64_t NumLoci) {
  std::istringstream in(text);
  try {
    ReadMapStream(in, "x.map", NumLoci);
  } catch (const FatalError& e) {
    return e.Message();
  }
  return "";
}

}  // namespace

TEST(GeneticMap, ReadsPlinkMapsAndRefusesBadOnes) {
  std::istringstream good("1 rs1 0 100\nchr1\trs2  2.5 200\n2 rs3 0.0 5\n2 rs4 150 9\n");
  const GeneticMap map = ReadMapStream(good, "x.map", 4);
  ASSERT_EQ(map.Chromosomes.size(), 2u);
  EXPECT_EQ(map.Chromosomes[0].End, 2);
  EXPECT_DOUBLE_EQ(map.Chromosomes[0].Morgans, 0.025);
  EXPECT_DOUBLE_EQ(map.Chromosomes[1].Morgans, 1.5);
  EXPECT_DOUBLE_EQ(map.Position[3], 1.5);
  const struct {
    std::string text;
    int64_t loci;
    const char* message;
  } bad[] = {
      {"1 a 0 1\n", 2, "x.map:1: the file has 1 lines, one per locus, but the run has 2 loci"},
      {"1 a 0 1\n1 b 0 2\n1 c 0 3\n", 2, "x.map:3: more lines than the run's 2 loci"},
      {"1 a 5 1\n1 b 4 2\n", 2, "x.map:2: positions out of order: 4 cM, 2 bp comes before"},
      {"1 a 0 5\n1 b 4 2\n", 2, "x.map:2: positions out of order"},
      {"1 a -1 1\n1 b 4 2\n", 2, "x.map:1: the position -1 cM is negative"},
      {"1 a nan 1\n1 b 4 2\n", 2, "x.map:1: the position 'nan' is not a number of cM"},
      {"X a 0 1\n1 b 4 2\n", 2, "x.map:1: unknown chromosome name 'X'"},
      {"1 a 0 1\n1 b\n", 2, "x.map:2: expected 'CHROMOSOME NAME CM BP', four fields"},
      {"1 a 0 1\n2 b 0 1\n1 c 0 2\n", 3, "x.map:3: chromosome 1 comes again after another"},
  };
  for (const auto& b : bad) {
    const std::string refusal = MapRefusal(b.text, b.loci);
    EXPECT_NE(refusal.find(b.message), std::string::npos) << b.text << "\n" << refusal;
  }
  TempDir dir;
  const std::string fifo = dir / "fifo.map";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  try {
    ReadMap(fifo, 2);
    ADD_FAILURE() << "a FIFO is read";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Message(), "Map file, " + fifo + ", cannot be read: not a regular file!");
  }
}

TEST(GeneticMap, OptionsReadBackAndRefuse) {
  ModelOptions model;
  EXPECT_EQ(SetModelOption(model, "chromosomes", "20:1.5"), "");
  EXPECT_EQ(ModelLinesText(model), "--chromosomes 20:1.5\n");
  EXPECT_NE(ModelReport(model).find("linkage       20 chromosomes of 1.5 Morgans"),
            std::string::npos);
  EXPECT_EQ(ModelReport(ModelOptions{}).find("linkage"), std::string::npos);
  for (const char* v : {"20", "0:1", "3:0", "3:-1", "3:nan", "a:1", "3:101"}) {
    EXPECT_NE(SetModelOption(model, "chromosomes", v), "") << v;
  }
  PrepareModel(Parse(Small(10, 40, 2).Text()), model);
  ASSERT_TRUE(model.Map);
  EXPECT_EQ(model.Map->Chromosomes.size(), 20u);
  // Two chromosomes over seven loci; eight would be too many.
  const Params par = Parse(Small(10, 7, 2).Text());
  ModelOptions two;
  SetModelOption(two, "chromosomes", "2:1");
  PrepareModel(par, two);
  EXPECT_EQ(two.Map->Chromosomes[0].End, 3);
  EXPECT_DOUBLE_EQ(two.Map->Position[0], 1.0 / 6);
  ModelOptions many;
  SetModelOption(many, "chromosomes", "8:1");
  EXPECT_THROW(PrepareModel(par, many), FatalError);
  ModelOptions both = two;
  SetModelOption(both, "map", "x.map");
  both.Map = nullptr;
  EXPECT_THROW(PrepareModel(par, both), FatalError);
  // Either option on the command line replaces both model lines of a parameter file.
  ParamFile file{"p.txt", par, {{20, "map", "x.map", false}, {21, "chromosomes", "3:1", false}}};
  for (const char* given : {"chromosomes", "map"}) {
    ModelOptions m;
    SetModelOption(m, given, given == std::string("map") ? "y.map" : "2:1");
    ApplyModelLines(file, m, {given});
    EXPECT_EQ(m.MapFile, given == std::string("map") ? "y.map" : "") << given;
    EXPECT_EQ(m.ChromosomeCount, given == std::string("map") ? 0 : 2) << given;
  }
}

// Gametes drawn from one map: crossovers per chromosome are Poisson with mean and variance its
// length (the product method below a mean of 12, rejection above).
TEST(Meiosis, CrossoverCountsArePoissonWithTheChromosomeLength) {
  for (const double M : {0.1, 1.0, 3.0, 20.0}) {
    const GeneticMap map = MapOf({{0.0, M}});
    RngState u;
    u.IDUM = -11;
    GameteDraws draws(KernelsFor(Kernel::kPortable).uniform, u, map);
    std::vector<GameteSegment> seg;
    const int n = 40000;
    double sum = 0, sq = 0;
    for (int i = 0; i < n; ++i) {
      seg.clear();
      const double k = double(draws.Gamete(seg));
      sum += k;
      sq += k * k;
    }
    const double mean = sum / n, var = sq / n - mean * mean;
    EXPECT_NEAR(mean, M, 4 * std::sqrt(M / n)) << M;
    EXPECT_NEAR(var, M, 4 * std::sqrt((M + 2 * M * M) / n)) << M;
  }
}

// One generation from parents whose copy 1 carries allele 1 everywhere and copy 2 allele 2:
// the child's copy from each parent shows its gamete's origin locus by locus. Loci d apart on
// one chromosome differ in origin with Haldane's fraction, loci on two chromosomes with 1/2;
// the loci lie across many 32-locus words of packed records.
TEST(Meiosis, RecombinantFractionsFollowHaldane) {
  const std::vector<double> d = {0.02, 0.1, 0.3, 0.7, 1.5};
  std::vector<double> chr1(200);
  for (size_t i = 0; i < chr1.size(); ++i) chr1[i] = 1.5 * double(i) / 199.0;
  // Loci whose distance from locus 0 is each d (within 1.5/199).
  std::vector<int64_t> at;
  for (double x : d) at.push_back(std::lround(x * 199.0 / 1.5));
  const GeneticMap map = MapOf({chr1, {0.0, 0.5}});
  for (const int K : {2, 3}) {
    const int Ne = 4000;
    ParamLines p = Small(Ne, 202, K);
    auto sim = MakeState(p);
    Geometry geo = GeometryOf(sim->par);
    geo.Phased = true;
    AllocateFreqTable(*sim);
    AllocateGenoTables(*sim);
    RecordSpan parents = sim->tab.Generation(0), children = sim->tab.Generation(1);
    parents.hets = children.hets = nullptr;
    for (int64_t j = 0; j < Ne; ++j) {
      for (int64_t L = 0; L < geo.NumLoci; ++L) {
        if (K == 2) {
          SetPackedCode(parents[j], L, 2);  // phased: copy 1 allele 1, copy 2 allele 2
        } else {
          parents[j][2 * L] = 1;
          parents[j][2 * L + 1] = 2;
        }
      }
    }
    ReproduceLinked(DefaultContext(), geo, map, 0.0f, nullptr, parents, children, sim->rnd);
    auto origin = [&](int64_t j, int64_t L, int k) {
      return K == 2 ? PhasedAllele(children[j], L, k) : uint32_t(children[j][2 * L + k] - 1);
    };
    const double n = 2.0 * Ne;
    for (size_t i = 0; i < at.size(); ++i) {
      double recombinant = 0, across = 0;
      for (int64_t j = 0; j < Ne; ++j) {
        for (int k = 0; k < 2; ++k) {
          recombinant += origin(j, 0, k) != origin(j, at[i], k);
          across += origin(j, at[i], k) != origin(j, 201, k);
        }
      }
      const double x = chr1[size_t(at[i])], r = Haldane(x);
      EXPECT_NEAR(recombinant / n, r, 4 * std::sqrt(r * (1 - r) / n)) << "K " << K << " d " << x;
      EXPECT_NEAR(across / n, 0.5, 4 * std::sqrt(0.25 / n)) << "K " << K;
    }
  }
}

// Whole linked runs give the same bytes on every row and thread count, packed and unpacked,
// with and without migrants.
TEST(Meiosis, SameBytesOnEveryRowAndThreadCount) {
  for (const auto& [K, model1] : {std::pair(2, 0), std::pair(5, 0), std::pair(2, 1)}) {
    ParamLines lines = Small(60, 1001, K, 3);
    lines[1] = std::to_string(model1);
    lines[3] = "0.2";  // migrants, phased from the bit stream, under the migration model
    const Params par = Parse(lines.Text());
    ModelOptions model;
    model.BurnIn = 12;
    model.MutationRate = 0.01f;
    SetModelOption(model, "chromosomes", "7:2");
    PrepareModel(par, model);
    std::vector<uint8_t> want;
    for (const Kernel k : TestRows()) {
      REQUIRE_ROW(k);
      for (const int threads : {1, 3}) {
        const Context c(k, threads, TaskSize{.bytes = 1000, .mutations = 7});
        Progress quiet;
        RunTimes t;
        const RunSamples s = SimulateSamples(c.ctx, par, model, quiet, t);
        // The spare fields of packed records hold nothing to compare.
        std::vector<uint8_t> got;
        for (int64_t j = 0; j < par.TotalSampled(); ++j) {
          const uint8_t* rec = s.Samples()[j];
          for (int64_t L = 0; L < par.NumLoci; ++L) {
            if (K == 2) {
              got.push_back(uint8_t(PackedCode(rec, L)));
            } else {
              got.insert(got.end(), {rec[2 * L], rec[2 * L + 1]});
            }
          }
        }
        if (want.empty()) want = got;
        EXPECT_TRUE(got == want) << "K " << K << " model " << model1 << " " << KernelName(k)
                                 << " threads " << threads;
      }
    }
  }
}

namespace {

// A linked population of the given map: initial records phased, then generations.
struct LinkedPopulation {
  LinkedPopulation(const ParamLines& p, const GeneticMap& m) : sim(MakeState(p)), map(m) {
    geo = GeometryOf(sim->par);
    geo.Phased = true;
    Initialize(*sim);
    PhaseRecords(DefaultContext(), geo, Records(0), sim->rnd.Bits);
  }
  RecordSpan Records(int b) const {
    RecordSpan r = sim->tab.Generation(b);
    r.hets = nullptr;
    return r;
  }
  // Generation g (from 1) into buffer g % 2.
  void Next(int g) {
    ReproduceLinked(DefaultContext(), geo, map, 0.0f, nullptr, Records(1 - g % 2), Records(g % 2),
                    sim->rnd);
  }
  // Allele (0 for allele 1) of copy k of locus L of individual j of buffer b: packed records
  // keep 0/1, unpacked ones 1..K.
  uint32_t Allele(int b, int64_t j, int64_t L, int k) const {
    const uint8_t* rec = Records(b)[j];
    return geo.Packed() ? PhasedAllele(rec, L, k) : uint32_t(rec[2 * L + k] - 1);
  }
  std::unique_ptr<SimState> sim;
  GeneticMap map;
  Geometry geo;
};

// Means over pairs (L, L + 1), L in first, first + 2, ..., of the 2N haplotypes of buffer b,
// allele 1 against the rest: D^2, D u and p(1-p)q(1-q), with u = (1-2p)(1-2q), and the same
// products with B, the association of allele 1 at L on one copy of an individual with allele 1
// at L + 1 on its other copy (B = that frequency - pq): D B, B^2 and B u.
struct Moments {
  double DD = 0, Du = 0, PQ = 0, DB = 0, BB = 0, Bu = 0;
};

Moments PairMoments(const LinkedPopulation& pop, int b, int64_t first, int pairs) {
  Moments m;
  const int64_t N = pop.geo.Ne;
  for (int i = 0; i < pairs; ++i) {
    const int64_t L = first + 2 * i;
    double pA = 0, pB = 0, pAB = 0, across = 0;
    for (int64_t j = 0; j < N; ++j) {
      bool a[2], c[2];
      for (int k = 0; k < 2; ++k) {
        a[k] = pop.Allele(b, j, L, k) == 0;
        c[k] = pop.Allele(b, j, L + 1, k) == 0;
        pA += a[k];
        pB += c[k];
        pAB += a[k] && c[k];
      }
      across += (a[0] && c[1]) + (a[1] && c[0]);
    }
    const double n = 2.0 * double(N);
    pA /= n, pB /= n, pAB /= n, across /= n;
    const double D = pAB - pA * pB, B = across - pA * pB, u = (1 - 2 * pA) * (1 - 2 * pB);
    m.DD += D * D / pairs;
    m.Du += D * u / pairs;
    m.PQ += pA * (1 - pA) * pB * (1 - pB) / pairs;
    m.DB += D * B / pairs;
    m.BB += B * B / pairs;
    m.Bu += B * u / pairs;
  }
  return m;
}

using Vec3 = std::array<double, 3>;

Vec3 Times(const std::array<Vec3, 3>& A, const Vec3& x) {
  Vec3 y{};
  for (size_t i = 0; i < 3; ++i) y[i] = A[i][0] * x[0] + A[i][1] * x[1] + A[i][2] * x[2];
  return y;
}

// The gamete pool's (D*^2, D* u, p(1-p)q(1-q)) over the pairs of one generation: a gamete is
// a parental copy with probability 1 - c and a recombinant of its parent's two copies with c, so
// D* = (1 - c) D + c B.
Vec3 PoolMoments(const Moments& m, double c) {
  const double a = 1 - c;
  return {a * a * m.DD + 2 * a * c * m.DB + c * c * m.BB, a * m.Du + c * m.Bu, m.PQ};
}

// The expected moments of a generation of N monoecious individuals, selfing at random, each
// gamete a parental copy or a recombinant one (recombinant fraction c): the next generation's
// 2N gametes are independent draws from the pool of y = PoolMoments, and Sample gives the mean
// (D^2, D u, p(1-p)q(1-q)) of those draws, Pool the mean PoolMoments of the generation they
// make (docs/model.md, section 10). Hill and Robertson's (1968) matrix is Sample times
// diag((1-c)^2, 1-c, 1).
struct IndividualRecursion {
  IndividualRecursion(double c, double N) {
    const double n = 2 * N, n2 = n * n, n3 = n2 * n, a = 1 - c;
    Sample = {{{(n - 1) * (n2 - 2 * n + 2) / n3, (n - 1) * (n - 1) / n3, (n - 1) / n2},
               {4 * (n - 1) * (n - 2) / n3, (n - 1) * (n - 2) * (n - 2) / n3, 0},
               {2 * (n - 1) / n3, (n - 1) * (n - 1) / n3, (n - 1) * (n - 1) / n2}}};
    DB = {-(n2 - 2 * n + 2) / n3, -(n - 1) / n3, -1 / n2};
    BB = {(n2 - 2) / n3, 1 / n3, (n - 1) / n2};
    Bu = {-4 * (n - 2) / n3, -(n - 2) * (n - 2) / n3, 0};
    for (size_t j = 0; j < 3; ++j) {
      Pool[0][j] = a * a * Sample[0][j] + 2 * a * c * DB[j] + c * c * BB[j];
      Pool[1][j] = a * Sample[1][j] + c * Bu[j];
      Pool[2][j] = Sample[2][j];
    }
  }
  std::array<Vec3, 3> Sample, Pool;
  Vec3 DB, BB, Bu;  // rows of E(D B), E(B^2) and E(B u) of the draws
};

}  // namespace

// The rows of the recursion are the exact moments of 2N draws from a pool paired in
// individuals: every sequence of draws of 2N = 2, 4 and 6 haplotypes, weighted by its
// probability, gives the means of D^2, D u, p(1-p)q(1-q), D B, B^2 and B u.
TEST(Drift, RecursionRowsAreTheMomentsOfPairedDraws) {
  const std::array<double, 4> pools[] = {{0.4, 0.1, 0.15, 0.35}, {0.1, 0.5, 0.3, 0.1}};
  for (const int n : {2, 4, 6}) {
    const IndividualRecursion r(0.5, n / 2);
    for (const auto& f : pools) {  // haplotypes 11, 12, 21, 22 (allele 1 first)
      const double p = f[0] + f[1], q = f[0] + f[2], D = f[0] - p * q;
      const Vec3 y = {D * D, (1 - 2 * p) * (1 - 2 * q) * D, p * (1 - p) * q * (1 - q)};
      Moments m;
      std::vector<int> h(size_t(n), 0);
      for (int seq = 0; seq < 1 << (2 * n); ++seq) {
        double w = 1, pA = 0, pB = 0, pAB = 0, across = 0;
        for (size_t k = 0; k < h.size(); ++k) {
          h[k] = (seq >> (2 * k)) & 3;
          w *= f[size_t(h[k])];
        }
        for (size_t k = 0; k < h.size(); ++k) {
          const int a = h[k] < 2, b = h[k] % 2 == 0, b2 = h[k ^ 1] % 2 == 0;
          pA += a, pB += b, pAB += a && b, across += a && b2;
        }
        pA /= n, pB /= n, pAB /= n, across /= n;
        const double d = pAB - pA * pB, B = across - pA * pB;
        const double u = (1 - 2 * pA) * (1 - 2 * pB);
        m.DD += w * d * d, m.Du += w * d * u, m.PQ += w * pA * (1 - pA) * pB * (1 - pB);
        m.DB += w * d * B, m.BB += w * B * B, m.Bu += w * B * u;
      }
      const auto row = [&](const Vec3& v) { return v[0] * y[0] + v[1] * y[1] + v[2] * y[2]; };
      const double want[] = {row(r.Sample[0]), row(r.Sample[1]), row(r.Sample[2]),
                             row(r.DB),        row(r.BB),        row(r.Bu)};
      const double got[] = {m.DD, m.Du, m.PQ, m.DB, m.BB, m.Bu};
      for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(got[i], want[i], 1e-14) << "n " << n << " " << i;
    }
  }
}

// From linkage equilibrium, the mean moments over pairs follow the individual-based recursion,
// compared by replicate (simulated minus expected from the replicate's own generation 0)
// within 4 SE. At c = 0.5 the gamete-pool recursion of Hill and Robertson lies more than 4 SE
// (about 8 to 10) below the simulated E(D^2): the test tells the two apart.
TEST(Drift, LinkageDisequilibriumFollowsHillAndRobertson) {
  const int N = 40, pairs = 250, reps = 24, last = 24;
  const std::vector<int> checked = {3, 8, 16, 24};
  const double dTenth = -std::log(0.8) / 2, dHundredth = -std::log(0.98) / 2;
  std::vector<std::vector<double>> chromosomes;
  for (int i = 0; i < pairs; ++i) chromosomes.push_back({0.0, dTenth});
  for (int i = 0; i < pairs; ++i) chromosomes.push_back({0.0, dHundredth});
  for (int i = 0; i < 2 * pairs; ++i) chromosomes.push_back({0.0});
  const GeneticMap map = MapOf(chromosomes);
  const struct {
    double c;
    int64_t first;
  } groups[] = {{0.1, 0}, {0.01, 2 * pairs}, {0.5, 4 * pairs}};
  std::vector<IndividualRecursion> recursion;
  for (const auto& g : groups) recursion.emplace_back(g.c, N);
  // diff[group][checked generation][moment]: per replicate, the three moments and, last, D^2
  // against the gamete-pool recursion.
  std::vector<std::vector<std::array<std::vector<double>, 4>>> diff(
      3, std::vector<std::array<std::vector<double>, 4>>(checked.size()));
  for (int rep = 0; rep < reps; ++rep) {
    ParamLines p = Small(N, 6 * pairs, 2, 100 + rep);
    p[19] = "1";  // equal frequencies: every locus polymorphic
    LinkedPopulation pop(p, map);
    std::array<Vec3, 3> pool, gametic;
    for (size_t gr = 0; gr < 3; ++gr) {
      const Moments m0 = PairMoments(pop, 0, groups[gr].first, pairs);
      pool[gr] = PoolMoments(m0, groups[gr].c);
      gametic[gr] = {m0.DD, m0.Du, m0.PQ};
    }
    size_t next = 0;
    for (int g = 1; g <= last; ++g) {
      pop.Next(g);
      std::array<Vec3, 3> expected;
      for (size_t gr = 0; gr < 3; ++gr) {
        expected[gr] = Times(recursion[gr].Sample, pool[gr]);
        pool[gr] = Times(recursion[gr].Pool, pool[gr]);
        const double a = 1 - groups[gr].c;
        const Vec3& x = gametic[gr];
        gametic[gr] = Times(recursion[gr].Sample, {a * a * x[0], a * x[1], x[2]});
      }
      if (g != checked[next]) continue;
      for (size_t gr = 0; gr < 3; ++gr) {
        const Moments got = PairMoments(pop, g % 2, groups[gr].first, pairs);
        const Vec3 x = {got.DD, got.Du, got.PQ};
        for (size_t m = 0; m < 3; ++m) diff[gr][next][m].push_back(x[m] - expected[gr][m]);
        diff[gr][next][3].push_back(x[0] - gametic[gr][0]);
      }
      ++next;
    }
  }
  for (size_t gr = 0; gr < 3; ++gr) {
    for (size_t t = 0; t < checked.size(); ++t) {
      for (size_t m = 0; m < 4; ++m) {
        const std::vector<double>& v = diff[gr][t][m];
        double mean = 0, sq = 0;
        for (double x : v) mean += x / reps;
        for (double x : v) sq += (x - mean) * (x - mean);
        const double se = std::sqrt(sq / (reps - 1) / reps);
        if (m < 3) {
          EXPECT_LE(std::abs(mean), 4 * se + 1e-12)
              << "c " << groups[gr].c << " generation " << checked[t] << " moment " << m;
        } else if (groups[gr].c == 0.5) {
          EXPECT_GT(mean, 4 * se) << "the gamete pool, generation " << checked[t];
        }
      }
    }
  }
}

// With every locus on its own chromosome, drift is that of the unlinked model: gene diversity
// falls as (1 - 1/(2N))^t, and the squared change of an allele's frequency has mean
// p0(1 - p0)(1 - (1 - 1/(2N))^t).
TEST(Drift, EveryLocusOnItsOwnChromosomeDriftsAsUnlinked) {
  const int N = 30, t = 20, reps = 16, loci = 300;
  for (const int K : {2, 4}) {
    std::vector<double> diversity, change;
    for (int rep = 0; rep < reps; ++rep) {
      ParamLines p = Small(N, loci, K, 300 + rep);
      p[19] = "1";
      LinkedPopulation pop(p, EvenMap(loci, loci, 1.0));
      auto freq = [&](int b, int64_t L, uint32_t a) {
        double n = 0;
        for (int64_t j = 0; j < N; ++j)
          n += (pop.Allele(b, j, L, 0) == a) + (pop.Allele(b, j, L, 1) == a);
        return n / (2.0 * N);
      };
      std::vector<double> p0(loci);
      double h0 = 0;
      for (int64_t L = 0; L < loci; ++L) {
        p0[size_t(L)] = freq(0, L, 0);
        double hom = 0;
        for (uint32_t a = 0; a < uint32_t(K); ++a) hom += freq(0, L, a) * freq(0, L, a);
        h0 += 1 - hom;
      }
      for (int g = 1; g <= t; ++g) pop.Next(g);
      double ht = 0, sq = 0, var0 = 0;
      for (int64_t L = 0; L < loci; ++L) {
        double hom = 0;
        for (uint32_t a = 0; a < uint32_t(K); ++a) hom += freq(t % 2, L, a) * freq(t % 2, L, a);
        ht += 1 - hom;
        const double d = freq(t % 2, L, 0) - p0[size_t(L)];
        sq += d * d;
        var0 += p0[size_t(L)] * (1 - p0[size_t(L)]);
      }
      diversity.push_back(ht / h0);
      change.push_back(sq / var0);
    }
    const double lost = std::pow(1 - 1.0 / (2 * N), t);
    for (const auto& [v, expected] : {std::pair(diversity, lost), std::pair(change, 1 - lost)}) {
      double mean = 0, sq = 0;
      for (double x : v) mean += x / reps;
      for (double x : v) sq += (x - mean) * (x - mean);
      const double se = std::sqrt(sq / (reps - 1) / reps);
      EXPECT_NEAR(mean, expected, 4 * se) << "K " << K;
    }
  }
}
