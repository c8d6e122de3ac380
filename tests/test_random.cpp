#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "cpu/cpu.hpp"
#include "random/random.hpp"
#include "test_support.hpp"

namespace driftsim {
namespace {

TEST(RanUniform, KnownSequenceFromSeedMinusOne) {
  RngState s;
  s.IDUM = -1;
  EXPECT_EQ(s.RanUniform(), 0.22518621442149683);
  EXPECT_EQ(s.RanUniform(), 0.32563851556071943);
  EXPECT_EQ(s.RanUniform(), 0.5471682686112673);
  EXPECT_EQ(s.IDUM, 2);
  EXPECT_EQ(s.UnitScale, 4.656612875245797e-10);
}

TEST(RanUniform, InitialisationAndWrapAround) {
  RngState s;
  s.IDUM = 0;
  s.Initialise();
  EXPECT_EQ(s.MulWord, 888889999);
  EXPECT_EQ(s.XorWord, 777755555u);
  EXPECT_EQ(s.IDUM, 1);

  // A running stream is not reinitialised by its positive IDUM.
  RngState a, b;
  a.IDUM = b.IDUM = -99;
  for (int i = 0; i < 5; ++i) a.RanUniform();
  const double next = a.RanUniform();
  for (int i = 0; i < 5; ++i) b.RanUniform();
  EXPECT_EQ(b.RanUniform(), next);
  EXPECT_NE(a.RanUniform(), next);

  // The largest magnitude wraps IDUM to the most negative value: every draw reinitialises, so
  // the stream alternates between two values.
  RngState w;
  w.IDUM = 2147483647;
  const double first = w.RanUniform();
  EXPECT_EQ(w.IDUM, INT32_MIN);
  const double second = w.RanUniform();
  EXPECT_EQ(w.RanUniform(), first);
  EXPECT_EQ(w.RanUniform(), second);
}

TEST(RanUniform, FoldedStepEqualsSchrage) {
  // Every value the multiplicative word can hold: all of [0, 2^31-1] in strides, plus the ends.
  for (int64_t w = 0; w <= 2147483647; w += 997) {
    ASSERT_EQ(MinStdStep(int32_t(w)), MinStdStepSchrage(int32_t(w))) << w;
  }
  for (const int32_t w : {0, 1, 127772, 127773, 2147483646, 2147483647}) {
    EXPECT_EQ(MinStdStep(w), MinStdStepSchrage(w)) << w;
  }
}

TEST(RanUniform, DrawsStayInUnitInterval) {
  RngState s;
  s.IDUM = -12345;
  double lo = 1, hi = 0, sum = 0;
  const int n = 200000;
  for (int i = 0; i < n; ++i) {
    const double u = s.RanUniform();
    lo = std::min(lo, u);
    hi = std::max(hi, u);
    sum += u;
  }
  EXPECT_GT(lo, 0.0);
  EXPECT_LE(hi, 1.0);
  EXPECT_NEAR(sum / n, 0.5, 0.005);
}

TEST(DrawIndex, CapsADrawOfOne) {
  EXPECT_EQ(DrawIndex(1.0, 7), 7);
  EXPECT_EQ(DrawIndex(kUnitScale, 7), 1);
  EXPECT_EQ(DrawIndex(0.5, 2), 2);
  EXPECT_EQ(DrawIndex(0.4999, 2), 1);
}

// Draws consumed by one call, counted against a twin uniform stream.
int DrawsUsed(Random& rnd, float mean) {
  RngState twin = rnd.Uniform;
  const RngState before = twin;
  rnd.PoissonDev(mean);
  int n = 0;
  while (twin.XorWord != rnd.Uniform.XorWord || twin.MulWord != rnd.Uniform.MulWord) {
    twin.RanUniform();
    ++n;
  }
  (void)before;
  return n;
}

TEST(PoissonDev, DrawCountsAndMethodSwitch) {
  Random rnd(-5, 5);
  rnd.RanUniform();
  EXPECT_EQ(DrawsUsed(rnd, 0.0f), 1);
  for (int i = 0; i < 50; ++i) {
    RngState twin = rnd.Uniform;
    const float k = rnd.PoissonDev(11.99f);
    int n = 0;
    while (twin.XorWord != rnd.Uniform.XorWord) {
      twin.RanUniform();
      ++n;
    }
    EXPECT_EQ(n, int(k) + 1) << "multiplication method uses result + 1 draws";
  }
  // From 12 on the rejection method runs and remembers its own constants.
  rnd.PoissonDev(12.0f);
  EXPECT_EQ(rnd.Memo.LastMean, 12.0f);
  EXPECT_FLOAT_EQ(rnd.Memo.PoisRoot, std::sqrt(24.0f));
  EXPECT_FLOAT_EQ(rnd.Memo.PoisLogMean, std::log(12.0f));
  rnd.PoissonDev(3.0f);
  EXPECT_EQ(rnd.Memo.PoisG, std::exp(-3.0f));
  EXPECT_EQ(rnd.PoissonDev(-1.0f), 0.0f);
}

// The rejection method's tangent gives x86-64's bits on every processor: a state whose deviate
// of mean 20 came out 17 with aarch64's own tanf and 30 on x86-64.
TEST(PoissonDev, RejectionDeviateIsTheSameOnEveryProcessor) {
  RngState u;
  u.IDUM = 31338;
  u.UnitScale = kUnitScale;
  u.MulWord = 1607064658;
  u.XorWord = 3655582390u;
  PoissonMemo memo;
  EXPECT_EQ(PoissonDeviate(20.0f, memo, [&u] { return u.RanUniform(); }), 30.0f);
}

// On x86-64 with glibc, the platform's tanf is the reference: every 61st float of (0, pi] (all
// of them were compared once, when the tangent was written).
TEST(PortableTan, GivesTheReferenceBits) {
#if defined(__x86_64__) && defined(__GLIBC__)
  const uint32_t pi = std::bit_cast<uint32_t>(3.1415927f);
  int64_t differ = 0;
  for (uint32_t b = 1; b <= pi; b += 61) {
    const float x = std::bit_cast<float>(b);
    differ += std::bit_cast<uint32_t>(PortableTan(x)) != std::bit_cast<uint32_t>(std::tan(x));
  }
  EXPECT_EQ(differ, 0);
#else
  GTEST_SKIP() << "the reference bits are those of x86-64 glibc's tanf";
#endif
}

TEST(PoissonDev, MeanAndVarianceMatch) {
  Random rnd(-2024, 1);
  for (const float mean : {0.2f, 3.0f, 11.5f, 12.0f, 20.0f, 250.0f}) {
    const int n = 40000;
    double sum = 0, sq = 0;
    for (int i = 0; i < n; ++i) {
      const double k = PoissonCount(rnd, mean);
      sum += k;
      sq += k * k;
    }
    const double m = sum / n, var = sq / n - m * m;
    // Standard error of the mean is sqrt(mean/n); of the variance about mean*sqrt(2/n).
    EXPECT_NEAR(m, mean, 5 * std::sqrt(mean / n)) << mean;
    EXPECT_NEAR(var, mean, 6 * mean * std::sqrt(2.0 / n) + 0.01) << mean;
  }
}

TEST(LnGamma, MatchesFactorials) {
  EXPECT_NEAR(LnGamma(1.0), 0.0, 1e-10);
  EXPECT_NEAR(LnGamma(5.0), std::log(24.0), 1e-10);
  EXPECT_NEAR(LnGamma(0.5), std::log(std::sqrt(M_PI)), 1e-10);
  EXPECT_NEAR(LnGamma(101.0), std::lgamma(101.0), 1e-8);
}

TEST(RanBit, KnownSequences) {
  BitStream one{1};
  for (int i = 0; i < 17; ++i) EXPECT_EQ(one.RanBit(), 0u) << i;
  EXPECT_EQ(one.RanBit(), 1u);

  BitStream top{131072};
  EXPECT_EQ(top.RanBit(), 1u);
  EXPECT_EQ(top.RanBitSeed, (1u << 18) | (1u << 5) | (1u << 2) | (1u << 1) | 1u);
  EXPECT_EQ(top.RanBit(), 0u);
  EXPECT_EQ(top.RanBitSeed, ((1u << 18) | (1u << 5) | (1u << 2) | (1u << 1) | 1u) << 1);

  BitStream zero{0};
  for (int i = 0; i < 100; ++i) EXPECT_EQ(zero.RanBit(), 0u);

  // A primitive register of 18 bits repeats after 2^18 - 1 steps, not before.
  BitStream s{777};
  const uint32_t start = s.RanBitSeed & 0x3FFFF;
  int period = 0;
  do {
    s.RanBit();
    ++period;
  } while ((s.RanBitSeed & 0x3FFFF) != start);
  EXPECT_EQ(period, 262143);
}

TEST(RanBit, JumpAheadEqualsSingleSteps) {
  for (const uint32_t seed : {1u, 131072u, 12345u, 0xDEADBEEFu, 262143u}) {
    BitStream single{seed};
    const BitWord w = JumpBits64(seed);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(single.RanBit(), (w.bits >> i) & 1u) << seed;
    EXPECT_EQ(w.state, single.RanBitSeed);
    BitStream again{seed};
    for (int i = 0; i < 100; ++i) again.RanBit();
    EXPECT_EQ(AdvanceBits(seed, 100), again.RanBitSeed);
  }
}

TEST(RanUniform, BatchesEqualSingleDraws) {
  // The portable row's lanes (stretches of 64 to 512 draws and a rest) and the vector rows'
  // (AVX2: eight lanes, or thirty-two after the first 32 draws, and a rest). Every row twice in
  // one process, the second time in the reverse order: whichever row builds its lane tables
  // first, the others still draw their own stream.
  std::vector<Kernel> rows = test::TestRows();
  rows.insert(rows.end(), rows.rbegin(), rows.rend());
  for (const Kernel k : rows) {
    REQUIRE_ROW(k);
    const KernelTable kernels = KernelsFor(k);
    for (const size_t n :
         {size_t(1), size_t(15), size_t(16), size_t(17), size_t(31), size_t(32), size_t(33),
          size_t(64), size_t(65), size_t(111), size_t(513), size_t(1000), size_t(4099)}) {
      for (const int32_t seed : {-1, -77, -2147483646}) {
        RngState single, batch, doubles;
        single.IDUM = batch.IDUM = doubles.IDUM = seed;
        std::vector<double> expected(n), gotDouble(n);
        std::vector<float> gotFloat(n);
        for (double& x : expected) x = single.RanUniform();
        RanUniformBatch(kernels.uniform, batch, gotFloat.data(), n);
        RanUniformBatch(kernels.uniform, doubles, gotDouble.data(), n);
        EXPECT_EQ(gotDouble, expected) << KernelName(k) << ", " << n << " draws from " << seed;
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(gotFloat[i], static_cast<float>(expected[i]));
        EXPECT_EQ(batch.XorWord, single.XorWord);
        EXPECT_EQ(batch.MulWord, single.MulWord);
        EXPECT_EQ(doubles.MulWord, single.MulWord);
        EXPECT_EQ(batch.RanUniform(), single.RanUniform());
      }
    }
  }
}

TEST(RanUniform, SkipEqualsSingleDraws) {
  // Skips of every size land where single draws do, from a fresh stream (which the first draw
  // initialises) and from a running one; long skips add up.
  for (const int32_t seed : {-1, -77, -2147483646}) {
    RngState single;
    single.IDUM = seed;
    RngState jumped = single;
    uint64_t drawn = 0;
    for (const uint64_t n : {0u, 1u, 2u, 15u, 16u, 17u, 1000u, 123457u}) {
      for (uint64_t i = 0; i < n; ++i) single.RanUniform();
      drawn += n;
      RngState fresh;
      fresh.IDUM = seed;
      fresh.Skip(drawn);
      jumped.Skip(n);
      ASSERT_EQ(jumped.XorWord, single.XorWord) << seed << " " << n;
      ASSERT_EQ(jumped.MulWord, single.MulWord);
      ASSERT_EQ(fresh.XorWord, single.XorWord);
      ASSERT_EQ(fresh.MulWord, single.MulWord);
      EXPECT_EQ(RngState(jumped).RanUniform(), RngState(single).RanUniform());
    }
    RngState a = single, b = single;
    a.Skip(uint64_t{1} << 40);
    a.Skip((uint64_t{1} << 40) + 12345);
    b.Skip((uint64_t{1} << 41) + 12345);
    EXPECT_EQ(a.XorWord, b.XorWord);
    EXPECT_EQ(a.MulWord, b.MulWord);
  }
}

TEST(RanBit, TheCycleTableIsTheStreamFromAnyState) {
  // From every kind of state (high bits set, the register's edge states, zero low bits), draw t
  // of the stream is bit At(t) of the table, also far beyond one period.
  for (const uint32_t seed : {1u, 131072u, 262143u, 12345u, 0xDEADBEEFu, 262144u, 0u}) {
    const BitCycle::Stream cycle = BitCycle::From(seed);
    BitStream single{seed};
    for (uint64_t t = 0; t < 300000; ++t) {
      const uint32_t p = cycle.At(t);
      ASSERT_EQ((cycle.bytes[p >> 3] >> (p & 7)) & 1u, single.RanBit()) << seed << " " << t;
    }
    for (const uint64_t t : {uint64_t{1} << 20, uint64_t{5} << 33}) {
      BitStream far{AdvanceBits(seed, t)};
      const uint32_t p = cycle.At(t);
      const uint64_t w = BitCycle::Load64(cycle.bytes, p);
      const uint64_t w57 = BitCycle::Load(cycle.bytes, p);
      for (int i = 0; i < 64; ++i) {
        const uint32_t bit = far.RanBit();
        ASSERT_EQ((w >> i) & 1u, bit) << seed << " " << t << " " << i;
        if (i < 57) {
          ASSERT_EQ((w57 >> i) & 1u, bit);
        }
      }
    }
  }
  // Long advances reduce modulo the period only past the steps that shift the high bits out.
  BitStream s{0xFFFC0001u};
  for (int i = 0; i < 262143 + 20; ++i) s.RanBit();
  EXPECT_EQ(AdvanceBits(0xFFFC0001u, 262143 + 20), s.RanBitSeed);
}

// Chunked hand-out ends the stream exactly after the stated number of draws.
TEST(RanUniform, ChunkedDrawsEndTheStreamExactly) {
  // Known totals, taken one by one and in runs of any length up to a chunk.
  RngState a, b;
  a.IDUM = b.IDUM = -5;
  RngState pick;
  pick.IDUM = -8;
  {
    UniformFloats chunks(KernelsFor(BestKernel()).uniform, a, 50000);
    int64_t taken = 0;
    while (taken < 50000) {
      const size_t k =
          std::min<size_t>(size_t(DrawIndex(pick.RanUniform(), 2048)), size_t(50000 - taken));
      const float* run = k % 3 == 0 ? nullptr : chunks.Take(k);
      for (size_t i = 0; i < k; ++i) {
        const float got = run ? run[i] : chunks.Next();
        ASSERT_EQ(got, static_cast<float>(b.RanUniform())) << taken + int64_t(i);
      }
      taken += int64_t(k);
    }
  }
  EXPECT_EQ(a.XorWord, b.XorWord);
  EXPECT_EQ(a.MulWord, b.MulWord);
  // Unknown totals: draws made ahead, the stream set right after the last one taken.
  for (const int n : {0, 1, 1023, 1024, 1025, 5000}) {
    RngState c = b, d = b;
    {
      UniformAhead ahead(KernelsFor(BestKernel()).uniform, c);
      for (int i = 0; i < n; ++i) ASSERT_EQ(ahead.Next(), d.RanUniform());
    }
    EXPECT_EQ(c.XorWord, d.XorWord) << n;
    EXPECT_EQ(c.MulWord, d.MulWord) << n;
  }
}

}  // namespace
}  // namespace driftsim
