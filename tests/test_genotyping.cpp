#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "genotyping/genotyping.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

// A run up to its samples: model 1, small sizes unless members is given (the size of both
// temporal samples), the given rates.
std::unique_ptr<SimState> Sampled(int alleles, const char* mis, const char* drop, const char* fal,
                                  const char* members = nullptr) {
  ParamLines p;
  p[2] = "60";
  p[4] = "13";
  p[5] = std::to_string(alleles);
  p[7] = "5";
  p[8] = members ? members : "6";
  p[9] = members ? members : "7";
  p[13] = "100";
  p[16] = mis;
  p[17] = drop;
  p[18] = fal;
  auto sim = MakeState(p);
  Console([&] {
    Initialize(*sim);
    Reproduce(*sim, 1);
    TakeSample(*sim, 1, 1);
    TakeSample(*sim, 2, 1);
    TakeSourceSample(*sim);
  });
  return sim;
}

std::vector<uint8_t> Samples(const SimState& sim) {
  return {sim.tab.Sample(0), sim.tab.Sample(sim.par.TotalSampled())};
}

// Alleles of genotype (k, L) as an ordered pair, in either representation.
std::pair<uint32_t, uint32_t> Pair(const SimState& sim, const uint8_t* table, int64_t k,
                                   int64_t L) {
  const uint8_t* rec = table + k * sim.tab.GenoBytes;
  if (!sim.tab.Packed) return {rec[2 * L], rec[2 * L + 1]};
  const uint32_t c = PackedCode(rec, L);
  return c == 3 ? std::pair{1u, 2u} : std::pair{c, c};
}

TEST(AddGenoErrors, SmallRatesDrawNothing) {
  for (const int alleles : {2, 8}) {
    for (const char* rate : {"0", "1E-5", "0.00001"}) {
      auto sim = Sampled(alleles, rate, rate, rate);
      const auto before = Samples(*sim);
      const RngState u = sim->rnd.Uniform;
      const uint32_t bits = sim->rnd.Bits.RanBitSeed;
      AddGenoErrors(*sim);
      EXPECT_EQ(Samples(*sim), before);
      EXPECT_EQ(sim->rnd.Uniform.XorWord, u.XorWord);
      EXPECT_EQ(sim->rnd.Bits.RanBitSeed, bits);
    }
    // Twice the threshold switches every pass on: one draw per genotype at least.
    auto sim = Sampled(alleles, "0.00002", "0", "0");
    const RngState u = sim->rnd.Uniform;
    AddGenoErrors(*sim);
    EXPECT_NE(sim->rnd.Uniform.XorWord, u.XorWord);
  }
}

TEST(AddGenoErrors, FullRates) {
  for (const int alleles : {2, 8}) {
    auto sim = Sampled(alleles, "0", "1", "0");
    const auto before = Samples(*sim);
    AddGenoErrors(*sim);
    int hets = 0;
    for (int64_t k = 0; k < sim->par.TotalSampled(); ++k) {
      for (int64_t L = 0; L < 13; ++L) {
        const auto [a, b] = Pair(*sim, before.data(), k, L);
        const auto [x, y] = Pair(*sim, sim->tab.Sample(0), k, L);
        EXPECT_EQ(x, y) << "dropout at rate 1 leaves no heterozygote";
        EXPECT_TRUE(x == a || x == b);
        hets += a != b;
      }
    }
    EXPECT_GT(hets, 20);

    sim = Sampled(alleles, "1", "0", "0");
    AddGenoErrors(*sim);
    for (int64_t k = 0; k < sim->par.TotalSampled(); ++k) {
      for (int64_t L = 0; L < 13; ++L) EXPECT_EQ(Pair(*sim, sim->tab.Sample(0), k, L).first, 0u);
    }
  }
}

// An independent replay of the three passes on a copy of the samples.
void Replay(const SimState& sim, std::vector<uint8_t>& table, RngState& u, BitStream& bits) {
  const Params& par = sim.par;
  const double drop = par.DropRate, fal = par.FalseRate, mis = par.MisRate;
  const int64_t n = par.TotalSampled();
  auto rec = [&](int64_t k) { return table.data() + k * sim.tab.GenoBytes; };
  for (int64_t k = 0; k < n; ++k) {
    for (int64_t L = 0; L < par.NumLoci; ++L) {
      if (sim.tab.Packed) {
        if (PackedCode(rec(k), L) == 3 && u.RanUniform() <= drop)
          SetPackedCode(rec(k), L, bits.RanBit() + 1);
      } else if (rec(k)[2 * L] != rec(k)[2 * L + 1] && u.RanUniform() <= drop) {
        const uint8_t keep = rec(k)[2 * L + bits.RanBit()];
        rec(k)[2 * L] = rec(k)[2 * L + 1] = keep;
      }
    }
  }
  for (int64_t k = 0; k < n; ++k) {
    for (int64_t L = 0; L < par.NumLoci; ++L) {
      if (sim.tab.Packed) {
        const double u1 = u.RanUniform(), u2 = u.RanUniform();
        auto [a1, a2] = Pair(sim, table.data(), k, L);
        if (u1 < fal) a1 = bits.RanBit() + 1;
        if (u2 < fal) a2 = bits.RanBit() + 1;
        SetPackedCode(rec(k), L, a1 == a2 ? a1 : 3);
      } else {
        for (int c = 0; c < 2; ++c) {
          if (u.RanUniform() <= fal)
            rec(k)[2 * L + c] = uint8_t(DrawIndex(u.RanUniform(), par.NumAllele));
        }
      }
    }
  }
  for (int64_t k = 0; k < n; ++k) {
    for (int64_t L = 0; L < par.NumLoci; ++L) {
      if (u.RanUniform() > mis) continue;
      if (sim.tab.Packed) {
        SetPackedCode(rec(k), L, 0);
      } else {
        rec(k)[2 * L] = rec(k)[2 * L + 1] = 0;
      }
    }
  }
}

TEST(AddGenoErrors, DrawOrderOfThePasses) {
  for (const int alleles : {2, 5, 12}) {
    auto sim = Sampled(alleles, "0.2", "0.5", "0.3");
    auto expected = Samples(*sim);
    RngState u = sim->rnd.Uniform;
    BitStream bits = sim->rnd.Bits;
    Replay(*sim, expected, u, bits);
    AddGenoErrors(*sim);
    EXPECT_EQ(Samples(*sim), expected) << alleles;
    EXPECT_EQ(sim->rnd.Uniform.XorWord, u.XorWord);
    EXPECT_EQ(sim->rnd.Bits.RanBitSeed, bits.RanBitSeed);
  }
}

TEST(AddGenoErrors, ExpectedEffectOfEachPass) {
  // Each pass alone at rate 0.2 on about 26000 genotypes, against the expectations the model
  // text gives: dropout leaves 1 - d of the heterozygotes, each dropped one keeping either
  // allele with probability 1/2; a false allele makes the expected count of each allele a
  // among n copies (1 - f) c + f n / K (c its count before); missing data hit a fraction e of
  // the genotypes. Tolerance: 5 standard errors of each count.
  const double rate = 0.2;
  for (const int K : {2, 8}) {
    for (const int pass : {0, 1, 2}) {
      auto sim = Sampled(K, pass == 2 ? "0.2" : "0", pass == 0 ? "0.2" : "0",
                         pass == 1 ? "0.2" : "0", "1000");
      const auto before = Samples(*sim);
      AddGenoErrors(*sim);
      double hets = 0, dropped = 0, keptFirst = 0, missing = 0, genotypes = 0;
      std::vector<double> count(size_t(K) + 1), expected(size_t(K) + 1), variance(size_t(K) + 1);
      for (int64_t k = 0; k < sim->par.TotalSampled(); ++k) {
        for (int64_t L = 0; L < sim->par.NumLoci; ++L) {
          const auto [a, b] = Pair(*sim, before.data(), k, L);
          const auto [x, y] = Pair(*sim, sim->tab.Sample(0), k, L);
          ++genotypes;
          missing += x == 0;
          if (a != b) {
            ++hets;
            dropped += x == y;
            keptFirst += x == y && x == a;
          }
          ++count[x];
          ++count[y];
          for (const uint32_t c : {a, b}) {
            for (int allele = 1; allele <= K; ++allele) {
              const double pi = (1 - rate) * (c == uint32_t(allele)) + rate / K;
              expected[size_t(allele)] += pi;
              variance[size_t(allele)] += pi * (1 - pi);
            }
          }
        }
      }
      const std::string name = "K " + std::to_string(K) + ", pass " + std::to_string(pass);
      if (pass == 0) {
        EXPECT_NEAR(dropped, rate * hets, 5 * std::sqrt(hets * rate * (1 - rate))) << name;
        EXPECT_NEAR(keptFirst, dropped / 2, 5 * std::sqrt(dropped / 4)) << name;
      } else if (pass == 1) {
        for (size_t allele = 1; allele <= size_t(K); ++allele) {
          EXPECT_NEAR(count[allele], expected[allele], 5 * std::sqrt(variance[allele]))
              << name << ", allele " << allele;
        }
      } else {
        EXPECT_NEAR(missing, rate * genotypes, 5 * std::sqrt(genotypes * rate * (1 - rate)))
            << name;
      }
    }
  }
}

}  // namespace
}  // namespace driftsim::test
