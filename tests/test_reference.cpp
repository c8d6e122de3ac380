// A plain reference simulation, written step by step from the model's rules with single draws
// and one genotype code per locus, compared byte for byte with the program's output files over
// many random parameter files and model options, every code path and several thread counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "test_support.hpp"

namespace driftsim::test {
namespace {

class Reference {
 public:
  // A rate of 0 is run as the model without its mutation step.
  explicit Reference(const Params& p, const ModelOptions& m = {})
      : par_(p), model_(m), mutation_(m.MutationRate != 0), rnd_(p.IDUM, p.RanBitSeed) {}

  // The .dat and .par bytes of a whole run.
  std::pair<std::string, std::string> Run() {
    Init();
    const int32_t B = model_.BurnIn;
    int parity = 0;
    int32_t N = par_.Ne;
    if (B == 0) Sample(1, parity, N);
    for (int g = 1; g <= B + par_.NumGen; ++g) {
      parity = g % 2;
      const int32_t next = Size(g);
      Reproduce(parity, N, next);
      if (mutation_) Mutate(parity, next);
      N = next;
      if (g == B) Sample(1, parity, N);
    }
    Sample(2, parity, N);
    if (par_.Model == 1) SourceSample();
    Errors();
    return {DataFile(), ParaFile()};
  }

 private:
  // A genotype: two alleles (unpacked) or the code in a[0] (packed).
  struct Geno {
    uint8_t a[2];
  };
  using Indiv = std::vector<Geno>;

  bool Packed() const { return par_.NumAllele == 2; }
  // Size of generation g: Ne until the last change at or before g.
  int32_t Size(int g) const {
    int32_t N = par_.Ne;
    for (const SizeChange& c : model_.Sizes.Changes) {
      if (c.First <= g) N = c.Size;
    }
    return N;
  }
  int32_t Idx(int32_t n) { return DrawIndex(rnd_.RanUniform(), n); }
  float U() { return static_cast<float>(rnd_.RanUniform()); }

  uint8_t PickAllele(int64_t L, float u) const {
    const int32_t K = par_.NumAllele;
    float cum = 0;
    for (int32_t k = 0; k < K - 1; ++k) {
      cum = k == 0 ? freq_[size_t(L * K)] : cum + freq_[size_t(L * K + k)];
      if (cum >= u) return uint8_t(k + 1);
    }
    return uint8_t(K);
  }
  uint8_t PickCode(int64_t L, float u) const {
    return u <= freq_[size_t(2 * L)] ? 1 : u <= freq_[size_t(2 * L + 1)] ? 2 : 3;
  }
  // Genotypes of records drawn from the source frequencies, locus by locus.
  void FromSource(std::vector<Indiv>& recs, size_t first, size_t count) {
    for (int64_t L = 0; L < par_.NumLoci; ++L) {
      for (size_t j = first; j < first + count; ++j) {
        Geno& g = recs[j][size_t(L)];
        if (Packed()) {
          g.a[0] = PickCode(L, U());
        } else {
          g.a[0] = PickAllele(L, U());
          g.a[1] = PickAllele(L, U());
        }
      }
    }
  }

  void Init() {
    const int32_t K = par_.NumAllele;
    const int64_t loci = par_.NumLoci;
    freq_.assign(size_t(loci * K), 0);
    for (int64_t L = 0; L < loci; ++L) {
      if (Packed()) {
        float p = 0.5f, q = 0.5f;
        if (par_.FreqDist == 0) {
          const float a = std::log(U()), b = std::log(U());
          p = a * (1.0f / (a + b));
          q = b * (1.0f / (a + b));
        }
        freq_[size_t(2 * L)] = p * p;
        freq_[size_t(2 * L + 1)] = p * p + q * q;
        continue;
      }
      float s = 0;
      for (int32_t k = 0; k < K; ++k) {
        float& f = freq_[size_t(L * K + k)];
        f = par_.FreqDist == 1 ? 1.0f / float(K) : std::log(U());
        s += f;
      }
      if (par_.FreqDist == 0) {
        const float r = 1.0f / s;
        for (int32_t k = 0; k < K; ++k) freq_[size_t(L * K + k)] *= r;
      }
    }
    int32_t largest = par_.Ne;
    for (int g = 1; g <= model_.BurnIn + par_.NumGen; ++g) largest = std::max(largest, Size(g));
    for (auto& buffer : pop_) buffer.assign(size_t(largest), Indiv(size_t(loci)));
    FromSource(pop_[0], 0, size_t(par_.Ne));
    smpl_.assign(size_t(par_.TotalSampled()), Indiv(size_t(loci)));
  }

  // Allele passed by a parent at locus L: a copy chosen by a bit, or (packed) allele 1 or 2 of
  // the code, with a bit for the heterozygote only.
  uint8_t Pass(const Indiv& parent, int64_t L) {
    const Geno& g = parent[size_t(L)];
    if (!Packed()) return g.a[rnd_.RanBit()];
    return g.a[0] == 3 ? uint8_t(1 + rnd_.RanBit()) : g.a[0];
  }
  void Child(Geno& c, uint8_t a1, uint8_t a2) const {
    if (Packed()) {
      c.a[0] = a1 == a2 ? a1 : 3;
    } else {
      c.a[0] = a1;
      c.a[1] = a2;
    }
  }
  void Offspring(Indiv& child, const Indiv& p1, const Indiv& p2) {
    for (int64_t L = 0; L < par_.NumLoci; ++L) {
      const uint8_t a1 = Pass(p1, L);
      Child(child[size_t(L)], a1, Pass(p2, L));
    }
  }

  // Parent index (from 0) among the Np of the previous generation: uniform, or the first whose
  // cumulative fecundity reaches the draw times the total.
  int32_t Parent(int32_t Np) {
    if (cum_.empty()) return Idx(Np) - 1;
    const double target = rnd_.RanUniform() * cum_.back();
    int32_t i = 0;
    while (cum_[size_t(i)] < target) ++i;
    return i;
  }

  void Reproduce(int parity, int32_t Np, int32_t Ne) {
    std::vector<Indiv>& next = pop_[parity];
    const std::vector<Indiv>& prev = pop_[1 - parity];
    cum_.clear();
    if (model_.NeRatio < 1) {
      // Log-fecundities of shape (R Np - 1) / (Np (1 - R)) in parent order, scaled to a
      // largest fecundity of 1.
      const double R = model_.NeRatio, n = Np;
      std::vector<double> logs;
      for (int32_t i = 0; i < Np; ++i) {
        logs.push_back(LogGammaDev((R * n - 1) / (n * (1 - R)), rnd_.Uniform));
      }
      const double top = *std::max_element(logs.begin(), logs.end());
      double sum = 0;
      for (const double x : logs) cum_.push_back(sum += std::exp(x - top));
    }
    int32_t M = 0;
    const float mean = float(Ne) * par_.MigRate;
    if (par_.Model == 1 && mean >= 0.00001f)
      M = std::min(int32_t(std::lround(rnd_.PoissonDev(mean))), Ne);
    FromSource(next, 0, size_t(M));
    const int32_t last = Ne - (Ne - M) % 10;
    for (int32_t s = M; s < last; s += 10) {
      const Indiv* par1[10];
      const Indiv* par2[10];
      for (int i = 0; i < 10; ++i) {
        par1[i] = &prev[size_t(Parent(Np))];
        par2[i] = &prev[size_t(Parent(Np))];
      }
      if (!Packed()) {
        for (int64_t L = 0; L < par_.NumLoci; ++L) {
          for (int i = 0; i < 10; ++i) {
            const uint8_t a1 = Pass(*par1[i], L);
            Child(next[size_t(s + i)][size_t(L)], a1, Pass(*par2[i], L));
          }
        }
        continue;
      }
      // Whole groups of four loci: four alleles of the first parent, then four of the second.
      const int64_t whole = par_.NumLoci / 4 * 4;
      for (int64_t L0 = 0; L0 < whole; L0 += 4) {
        for (int i = 0; i < 10; ++i) {
          uint8_t a1[4], a2[4];
          for (int f = 0; f < 4; ++f) a1[f] = Pass(*par1[i], L0 + f);
          for (int f = 0; f < 4; ++f) a2[f] = Pass(*par2[i], L0 + f);
          for (int f = 0; f < 4; ++f) Child(next[size_t(s + i)][size_t(L0 + f)], a1[f], a2[f]);
        }
      }
      for (int64_t L = whole; L < par_.NumLoci; ++L) {
        for (int i = 0; i < 10; ++i) {
          const uint8_t a1 = Pass(*par1[i], L);
          Child(next[size_t(s + i)][size_t(L)], a1, Pass(*par2[i], L));
        }
      }
    }
    for (int32_t j = last; j < Ne; ++j) {
      const Indiv& p1 = prev[size_t(Parent(Np))];
      const Indiv& p2 = prev[size_t(Parent(Np))];
      Offspring(next[size_t(j)], p1, p2);
    }
  }

  void Mutate(int parity, int32_t Ne) {
    const float mean = float(Ne) * model_.MutationRate * 2.0f;
    for (int64_t L = 0; L < par_.NumLoci; ++L) {
      const long n = std::lround(rnd_.PoissonDev(mean));
      for (long m = 0; m < n; ++m) {
        const int32_t g = Idx(2 * Ne);
        const uint8_t a = uint8_t(Idx(par_.NumAllele));
        Geno& x = pop_[parity][size_t((g - 1) / 2)][size_t(L)];
        if (!Packed()) {
          x.a[(g - 1) % 2] = a;
        } else if (x.a[0] != a) {
          x.a[0] = x.a[0] == 3 ? a : 3;
        }
      }
    }
  }

  // Sample members' parents are drawn uniformly, also under fecundities.
  void Sample(int s, int parity, int32_t Ne) {
    const int64_t first = s == 1 ? par_.NumIndiv[0] : par_.NumIndiv[0] + par_.NumIndiv[1];
    for (int32_t i = 0; i < par_.NumIndiv[s]; ++i) {
      const Indiv& p1 = pop_[parity][size_t(Idx(Ne) - 1)];
      const Indiv& p2 = pop_[parity][size_t(Idx(Ne) - 1)];
      Offspring(smpl_[size_t(first + i)], p1, p2);
    }
  }
  void SourceSample() { FromSource(smpl_, 0, size_t(par_.NumIndiv[0])); }

  // Visits every sampled genotype in storage order.
  template <typename F>
  void Each(F f) {
    for (Indiv& rec : smpl_) {
      for (Geno& g : rec) f(g);
    }
  }
  void Errors() {
    const double drop = par_.DropRate, fal = par_.FalseRate, mis = par_.MisRate;
    if (par_.DropRate > 1e-5f) {
      Each([&](Geno& g) {
        if (Packed() ? g.a[0] != 3 : g.a[0] == g.a[1]) return;
        if (rnd_.RanUniform() > drop) return;
        const uint32_t b = rnd_.RanBit();
        if (Packed()) {
          g.a[0] = uint8_t(b + 1);
        } else {
          g.a[0] = g.a[1] = g.a[b];
        }
      });
    }
    if (par_.FalseRate > 1e-5f) {
      Each([&](Geno& g) {
        if (!Packed()) {
          for (int c = 0; c < 2; ++c) {
            if (rnd_.RanUniform() <= fal) g.a[c] = uint8_t(Idx(par_.NumAllele));
          }
          return;
        }
        const double u1 = rnd_.RanUniform(), u2 = rnd_.RanUniform();
        uint8_t a1 = g.a[0] == 3 ? 1 : g.a[0], a2 = g.a[0] == 3 ? 2 : g.a[0];
        if (u1 < fal) a1 = uint8_t(rnd_.RanBit() + 1);
        if (u2 < fal) a2 = uint8_t(rnd_.RanBit() + 1);
        g.a[0] = a1 == a2 ? a1 : 3;
      });
    }
    if (par_.MisRate > 1e-5f) {
      Each([&](Geno& g) {
        if (rnd_.RanUniform() <= mis) g.a[0] = g.a[1] = 0;
      });
    }
  }

  std::string DataFile() const {
    std::string out;
    const int64_t starts[3] = {0, par_.NumIndiv[0], par_.NumIndiv[0] + par_.NumIndiv[1]};
    for (const int s : {1, 2, 0}) {
      for (int32_t i = 0; i < par_.NumIndiv[s]; ++i) {
        out += "S" + std::to_string(s) + "_" + std::to_string(i + 1);
        for (const Geno& g : smpl_[size_t(starts[s] + i)]) {
          int a = g.a[0], b = g.a[1];
          if (Packed()) b = a == 3 ? 2 : a, a = a == 3 ? 1 : a;
          out += " " + std::to_string(a) + " " + std::to_string(b);
        }
        out += "\r\n";
      }
    }
    return out;
  }

  std::string ParaFile() const { return ExpectedParFile(par_); }

  Params par_;
  ModelOptions model_;
  bool mutation_;
  Random rnd_;
  std::vector<double> cum_;  // cumulative fecundities of this generation's parents
  std::vector<float> freq_;
  std::vector<Indiv> pop_[2];
  std::vector<Indiv> smpl_;
};

// Random parameter files of every shape and their reference files, made once for all paths.
struct RandomRun {
  std::string text;
  std::pair<std::string, std::string> expected;
  std::vector<std::pair<std::string, std::string>> options;  // model options as texts
  std::string sizes;                                         // sizes file, when given
};
const std::vector<RandomRun>& RandomRuns(const std::string& stem) {
  static std::vector<RandomRun> runs;
  if (!runs.empty()) return runs;
  RngState pick;
  pick.IDUM = -2026;
  auto choose = [&](std::initializer_list<const char*> values) {
    return std::string(values.begin()[DrawIndex(pick.RanUniform(), int32_t(values.size())) - 1]);
  };
  for (int trial = 0; trial < 80; ++trial) {
    ParamLines p;
    const bool big = trial % 10 == 0;  // blocks with progress texts, whole vector chunks
    p[1] = choose({"0", "1"});
    p[2] = std::to_string(big ? 500 + DrawIndex(pick.RanUniform(), 200)
                              : 1 + DrawIndex(pick.RanUniform(), 40));
    p[3] = choose({"0", "0.01", "0.2", "1.0"});
    p[4] = std::to_string(big ? 250 + DrawIndex(pick.RanUniform(), 600)
                              : DrawIndex(pick.RanUniform(), 30));
    p[5] = choose({"2", "2", "3", "9", "10", "127"});
    p[6] = std::to_string(DrawIndex(pick.RanUniform(), 3));
    for (int line = 7; line <= 9; ++line) p[line] = std::to_string(DrawIndex(pick.RanUniform(), 6));
    p[10] = std::to_string(1 + DrawIndex(pick.RanUniform(), 100000));
    p[11] = "'" + stem + "'";
    p[13] = "100000";
    for (int line = 16; line <= 18; ++line) p[line] = choose({"0", "1E-5", "0.05", "0.3", "1"});
    p[19] = choose({"0", "1"});
    runs.push_back({p.Text(), Reference(Parse(p.Text())).Run(), {}, {}});
  }
  return runs;
}

// Random model options on small random runs: burn-in, sizes that shrink and grow, mutation
// rates including 0 (the reference then has no mutation step), ratios of fecundity variance.
const std::vector<RandomRun>& RandomOptionRuns(const std::string& stem,
                                               const std::string& sizesFile) {
  static std::vector<RandomRun> runs;
  if (!runs.empty()) return runs;
  RngState pick;
  pick.IDUM = -1717;
  auto draw = [&](int32_t n) { return DrawIndex(pick.RanUniform(), n); };
  auto choose = [&](std::initializer_list<const char*> values) {
    return std::string(values.begin()[draw(int32_t(values.size())) - 1]);
  };
  for (int trial = 0; trial < 40; ++trial) {
    ParamLines p;
    const bool big = trial % 10 == 0;
    p[1] = choose({"0", "1"});
    p[2] = std::to_string(big ? 500 + draw(100) : 1 + draw(40));
    p[3] = choose({"0", "0.01", "0.2", "1.0"});
    p[4] = std::to_string(big ? 200 + draw(300) : draw(30));
    p[5] = choose({"2", "2", "3", "9", "127"});
    p[6] = std::to_string(draw(3));
    for (int line = 7; line <= 9; ++line) p[line] = std::to_string(draw(6));
    p[10] = std::to_string(1 + draw(100000));
    p[11] = "'" + stem + "'";
    p[13] = "100000";
    for (int line = 16; line <= 18; ++line) p[line] = choose({"0", "0.05", "1"});
    p[19] = choose({"0", "1"});
    RandomRun run;
    const int32_t burnIn = std::stoi(choose({"0", "1", "2", "9", "30"}));
    run.options = {{"burn-in", std::to_string(burnIn)},
                   {"mutation-rate", choose({"0", "1e-4", "0.003", "0.05"})},
                   {"ne-ratio", choose({"1", "0.6", "0.95"})}};
    // Up to three changes within the run, shrinking or growing. A change just past its end is
    // drawn as before, so that the runs stay those of the reference, but not written: the
    // sizes reader refuses it.
    const int32_t end = burnIn + std::stoi(p[6]);
    for (int32_t g = draw(4), n = 0; g <= end + 1 && n < 3; g += draw(end + 2), ++n) {
      const std::string line = std::to_string(g) + " " + std::to_string(1 + draw(big ? 900 : 60));
      if (g <= end) run.sizes += line + "\n";
    }
    ModelOptions m;
    for (const auto& [name, value] : run.options) EXPECT_EQ(SetModelOption(m, name, value), "");
    if (!run.sizes.empty()) {
      std::istringstream in(run.sizes);
      m.Sizes = ReadSizesStream(in, sizesFile);
    }
    run.text = p.Text();
    run.expected = Reference(Parse(run.text), m).Run();
    runs.push_back(run);
  }
  return runs;
}

class ReferenceRuns : public testing::TestWithParam<Kernel> {};

TEST_P(ReferenceRuns, MatchTheReference) {
  const Kernel k = GetParam();
  REQUIRE_ROW(k);
  static const TempDir dir;
  // Runs take turns at 1, 2, 3 and 7 threads, with tasks of a few hundred bytes and draws so
  // that even these small runs are split into many.
  constexpr int kThreads[] = {1, 2, 3, 7};
  int turn = 0;
  for (const RandomRun& run : RandomRuns(dir / "run")) {
    const int threads = kThreads[turn++ % 4];
    WriteFile(dir / "p.txt", run.text);
    Console([&] { RunOn(dir / "p.txt", k, threads, {512, 64, 16}); });
    EXPECT_TRUE(ReadFile(dir / "run.dat") == run.expected.first)
        << run.text << "on " << threads << " threads";
    EXPECT_EQ(ReadFile(dir / "run.par"), run.expected.second);
  }
}

TEST_P(ReferenceRuns, MatchTheReferenceWithModelOptions) {
  const Kernel k = GetParam();
  REQUIRE_ROW(k);
  static const TempDir dir;
  for (const RandomRun& run : RandomOptionRuns(dir / "run", dir / "sizes.txt")) {
    WriteFile(dir / "p.txt", run.text);
    ModelOptions m;
    for (const auto& [name, value] : run.options) SetModelOption(m, name, value);
    if (!run.sizes.empty()) {
      WriteFile(dir / "sizes.txt", run.sizes);
      SetModelOption(m, "sizes", dir / "sizes.txt");
    }
    Console([&] { RunOn(dir / "p.txt", k, 0, {}, m); });
    EXPECT_TRUE(ReadFile(dir / "run.dat") == run.expected.first)
        << run.text << run.sizes << run.options[0].second << " " << run.options[1].second << " "
        << run.options[2].second;
    EXPECT_EQ(ReadFile(dir / "run.par"), run.expected.second);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, ReferenceRuns, testing::ValuesIn(TestRows()), RowTestName);

}  // namespace
}  // namespace driftsim::test
