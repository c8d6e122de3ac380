#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <functional>
#include <regex>
#include <tuple>

#include "population/transmit.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

std::unique_ptr<SimState> Initialized(const ParamLines& p,
                                      const RunContext& ctx = DefaultContext()) {
  auto sim = MakeState(p);
  Console([&] { Initialize(*sim, ctx); });
  return sim;
}

// A uniform stream in the same state as the simulation's, to replay its draws.
RngState Twin(const SimState& sim) {
  return sim.rnd.Uniform;
}

uint32_t Allele(const SimState& sim, int b, int64_t j, int64_t L, int copy) {
  return sim.tab.Focal(b, j)[2 * L + copy];
}

ParamLines Small(int model, int Ne, int loci, int alleles) {
  ParamLines p;
  p[1] = std::to_string(model);
  p[2] = std::to_string(Ne);
  p[4] = std::to_string(loci);
  p[5] = std::to_string(alleles);
  p[13] = "100000";
  return p;
}

TEST(GenotypeRecords, PackedFieldsAndSizes) {
  uint8_t rec[2] = {0x55, 0x00};
  SetPackedCode(rec, 1, 3);  // locus 4m+2 of the first byte
  EXPECT_EQ(rec[0], 0x5D);
  SetPackedCode(rec, 4, 2);  // the fifth locus opens the second byte
  EXPECT_EQ(rec[1], 0x02);
  EXPECT_EQ(PackedCode(rec, 1), 3u);
  EXPECT_EQ(PackedCode(rec, 0), 1u);
  EXPECT_EQ(GenoBytesOf(1, true), 1);
  EXPECT_EQ(GenoBytesOf(5, true), 2);
  EXPECT_EQ(GenoBytesOf(4, true), 1);
  EXPECT_EQ(GenoBytesOf(5, false), 10);
}

std::string OutOfMemory(ParamLines p, uint64_t limit) {
  auto sim = MakeState(p);
  sim->tab.MemoryLimit = limit;
  try {
    Console([&] { Initialize(*sim); });
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Routine(), "Initialize");
    return e.Message();
  }
  return "";
}

TEST(Initialize, OutOfMemoryMessages) {
  ParamLines p = Small(0, 5000, 1000, 10);
  p[8] = p[9] = "50";
  EXPECT_EQ(OutOfMemory(p, 1 << 20),
            "Too large Ne/SampleSize or/and too many loci. Out of memory!\n2000*10100 bytes are "
            "required!");
  p = Small(1, 100, 100000000, 127);
  EXPECT_EQ(OutOfMemory(p, 1 << 20), "The total number of  alleles = 12700000000. Out of memory!");
  // Tables that fit are allocated.
  EXPECT_EQ(OutOfMemory(Small(1, 100, 10, 2), 1 << 20), "");
}

// Limits in cgroup files on the process's cgroup and its parents, v2 and v1: the smallest holds.
TEST(MemoryLimit, CgroupFilesOfTheProcessAndItsParents) {
  TempDir root;
  const auto limit = [&](const std::string& path, const std::string& value) {
    std::filesystem::create_directories((root.Path() / path).parent_path());
    WriteFile(root / path, value + "\n");
  };
  limit("a/memory.max", "max");
  limit("a/b/memory.max", "1000000");
  limit("a/b/c/memory.max", "5000000");
  limit("top/memory.max", "max");
  limit("memory.max", "7000000");  // the top of a namespaced mount: the process's own cgroup
  limit("unified/u/memory.max", "3000000");
  limit("memory/x/memory.limit_in_bytes", "9223372036854771712");  // v1 without a limit
  limit("memory/x/y/memory.limit_in_bytes", "2000000");
  limit("memory/z/memory.limit_in_bytes", "not a number");
  const std::pair<const char*, uint64_t> cases[] = {
      {"0::/a/b/c\n", 1000000},  // the parent's limit is the smaller
      {"0::/\n", 7000000},
      {"0::/u\n", 3000000},
      {"4:memory:/x/y\n", 2000000},
      {"4:cpu,memory:/x/y\n", 2000000},
      {"4:cpu:/x/y\n", UINT64_MAX},  // not the memory controller
      {"4:memory:/z\n", UINT64_MAX},
      {"9:name=systemd:/\n4:memory:/x/y\n0::/a/b/c\n", 1000000},
      {"", UINT64_MAX},
      {"garbage", UINT64_MAX},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(CgroupMemoryLimit(text, root.Path().string()), expected) << text;
  }
}

// RLIMIT_AS, as `prlimit --as` sets it, bounds the limit too; checked in a child process, which
// alone has the address-space limit.
TEST(MemoryLimit, AddressSpaceLimit) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than any limit";
  if (kEmulated) GTEST_SKIP() << "an emulator keeps address-space limits to itself";
  const uint64_t outside = MemoryLimit();
  constexpr uint64_t kLimit = uint64_t{1} << 30;
  ASSERT_GT(outside, kLimit) << "the machine's own limit is below 1 GiB";
  const pid_t pid = fork();
  if (pid == 0) {
    const struct rlimit as = {kLimit, RLIM_INFINITY};
    _exit(setrlimit(RLIMIT_AS, &as) == 0 && MemoryLimit() == kLimit ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// --check's forecast: CheckTablesFit refuses with Initialize's message exactly when Initialize
// would, and TableSizes counts what Initialize requests.
TEST(Initialize, CheckTablesFitForetellsTheAllocation) {
  ParamLines wide = Small(0, 5000, 1000, 10);
  wide[8] = wide[9] = "50";
  const ParamLines packed = Small(1, 100, 1001, 2);
  const uint64_t packedBytes = TableSizes(GeometryOf(Parse(packed.Text()))).Total();
  const std::pair<ParamLines, uint64_t> cases[] = {
      {wide, 1 << 20},
      {wide, 100000000},
      {Small(1, 100, 100000000, 127), 1 << 20},
      {packed, packedBytes},
      {packed, packedBytes - 1},
      {packed, 8 * 1001 - 1},  // not even the frequencies
  };
  for (const auto& [lines, limit] : cases) {
    const Params par = Parse(lines.Text());
    std::string foretold;
    try {
      CheckTablesFit(GeometryOf(par), limit, 0);
    } catch (const FatalError& e) {
      foretold = e.Message();
    }
    EXPECT_EQ(foretold, OutOfMemory(lines, limit)) << limit;
    if (foretold.empty()) {
      auto sim = MakeState(lines);
      Console([&] { Initialize(*sim); });
      EXPECT_EQ(TableSizes(GeometryOf(par)).Total(), sim->tab.Allocated);
    }
  }
  // The working space beside the tables counts against the same limit.
  EXPECT_THROW(CheckTablesFit(GeometryOf(Parse(packed.Text())), packedBytes, 1), FatalError);
}

TEST(Initialize, UnpackedDrawOrder) {
  ParamLines p = Small(0, 4, 3, 3);
  auto sim = MakeState(p);
  RngState u = Twin(*sim);
  Console([&] { Initialize(*sim); });
  // Frequencies: normalised logarithms of three draws per locus.
  float freq[3][3];
  for (auto& f : freq) {
    float s = 0;
    for (float& x : f) s += x = std::log(float(u.RanUniform()));
    for (float& x : f) x *= 1.0f / s;
  }
  for (int L = 0; L < 3; ++L) {
    for (int k = 0; k < 3; ++k) EXPECT_EQ(sim->tab.AlleleFreq[size_t(3 * L + k)], freq[L][k]);
    const float cum1 = freq[L][0], cum2 = freq[L][0] + freq[L][1];
    for (int j = 0; j < 4; ++j) {
      for (int c = 0; c < 2; ++c) {
        const float x = float(u.RanUniform());
        const uint32_t expected = x <= cum1 ? 1 : x <= cum2 ? 2 : 3;
        EXPECT_EQ(Allele(*sim, 0, j, L, c), expected) << L << " " << j << " " << c;
      }
    }
  }
  EXPECT_EQ(sim->rnd.Uniform.XorWord, u.XorWord);
}

TEST(Initialize, PackedDrawOrderAndSpareFields) {
  ParamLines p = Small(0, 3, 6, 2);
  auto sim = MakeState(p);
  RngState u = Twin(*sim);
  Console([&] { Initialize(*sim); });
  float hw[6][2];
  for (auto& h : hw) {
    const float a = std::log(float(u.RanUniform())), b = std::log(float(u.RanUniform()));
    const float r = 1.0f / (a + b), pp = a * r, q = b * r;
    h[0] = pp * pp;
    h[1] = pp * pp + q * q;
  }
  uint32_t code[6][3];
  for (int L = 0; L < 6; ++L) {
    for (int j = 0; j < 3; ++j) {
      const float x = float(u.RanUniform());
      code[L][j] = x <= hw[L][0] ? 1 : x <= hw[L][1] ? 2 : 3;
    }
  }
  for (int j = 0; j < 3; ++j) {
    const uint8_t* rec = sim->tab.Focal(0, j);
    for (int L = 0; L < 6; ++L) EXPECT_EQ(PackedCode(rec, L), code[L][j]);
    // Fields past the last locus repeat the staged codes of loci 3 and 4.
    EXPECT_EQ(PackedCode(rec, 6), code[2][j]);
    EXPECT_EQ(PackedCode(rec, 7), code[3][j]);
  }
}

TEST(Initialize, EqualFrequenciesDrawNothing) {
  ParamLines p = Small(0, 10, 5, 4);
  p[19] = "1";
  auto sim = Initialized(p);
  for (int k = 0; k < 20; ++k) EXPECT_EQ(sim->tab.AlleleFreq[size_t(k)], 0.25f);
  p[5] = "2";
  sim = Initialized(p);
  EXPECT_EQ(sim->tab.AlleleFreq[0], 0.25f);
  EXPECT_EQ(sim->tab.AlleleFreq[1], 0.5f);
}

// What a step tells its progress, one word per report.
struct Recorder : Progress {
  std::string said;
  void Say(const std::string& word) { said += (said.empty() ? "" : " ") + word; }
  void Frequencies(int32_t NumLoci) override { Say("F" + std::to_string(NumLoci)); }
  void InitialGenotypes(int32_t NumLoci, int32_t Ne) override {
    Say("G" + std::to_string(NumLoci) + "x" + std::to_string(Ne));
  }
  void Loci(int64_t done) override { Say("L" + std::to_string(done)); }
  void LociDone(int32_t NumLoci) override { Say("D" + std::to_string(NumLoci)); }
  void Offspring(int32_t done) override { Say("O" + std::to_string(done)); }
  void OffspringDone(int32_t Ne) override { Say("E" + std::to_string(Ne)); }
};

TEST(Initialize, ProgressReports) {
  auto said = [](int loci, int alleles) {
    auto sim = MakeState(Small(0, 2, loci, alleles));
    Recorder progress;
    Initialize(*sim, progress);
    return progress.said;
  };
  EXPECT_EQ(said(99, 3), "F99 G99x2");
  EXPECT_EQ(said(100, 3), "F100 G100x2 L100 D100");
  EXPECT_EQ(said(396, 2), "F396 G396x2");
  EXPECT_EQ(said(397, 2), "F397 G397x2 L400 D397");
}

// A seed whose first migrant count after initialisation is want.
std::unique_ptr<SimState> WithMigrants(ParamLines p, int want) {
  for (int seed = 1; seed < 100000; ++seed) {
    p[10] = std::to_string(seed);
    auto sim = Initialized(p);
    Random twin(0, 0);
    twin.Uniform = sim->rnd.Uniform;
    twin.Memo = sim->rnd.Memo;
    const float mean = float(sim->par.Ne) * sim->par.MigRate;
    if (PoissonCount(twin, mean) == want) return sim;
  }
  return nullptr;
}

TEST(Reproduce, BlocksAndProgressReports) {
  const auto said = [](SimState& sim) {
    Recorder progress;
    Reproduce(sim, 1, progress);
    return progress.said;
  };
  ParamLines p = Small(1, 1000, 3, 5);
  p[3] = "0.003";
  auto sim = WithMigrants(p, 3);
  ASSERT_TRUE(sim);
  EXPECT_EQ(said(*sim), "O500 E1000");

  p[2] = "502";  // 499 offspring: 49 blocks, nothing reported
  sim = WithMigrants(p, 3);
  ASSERT_TRUE(sim);
  EXPECT_EQ(said(*sim), "");

  p = Small(0, 1000, 3, 5);
  sim = Initialized(p);
  EXPECT_EQ(said(*sim), "O500 O1000 E1000");
}

TEST(Reproduce, BlockAndSingleParentDraws) {
  // Ne 13 under isolation: one block of ten, then three single offspring; 26 parent draws, and
  // with seed bits each offspring copy is the parent's copy chosen by its bit.
  ParamLines p = Small(0, 13, 4, 9);
  auto sim = Initialized(p);
  RngState u = Twin(*sim);
  BitStream bits = sim->rnd.Bits;
  Console([&] { Reproduce(*sim, 1); });
  int parent[13][2];
  for (auto& pp : parent) {
    pp[0] = DrawIndex(u.RanUniform(), 13) - 1;
    pp[1] = DrawIndex(u.RanUniform(), 13) - 1;
  }
  auto check = [&](int j, int L) {
    for (int c = 0; c < 2; ++c) {
      const uint32_t bit = bits.RanBit();
      EXPECT_EQ(Allele(*sim, 1, j, L, c), Allele(*sim, 0, parent[j][c], L, int(bit)));
    }
  };
  for (int L = 0; L < 4; ++L) {
    for (int j = 0; j < 10; ++j) check(j, L);
  }
  for (int j = 10; j < 13; ++j) {
    for (int L = 0; L < 4; ++L) check(j, L);
  }
  EXPECT_EQ(sim->rnd.Bits.RanBitSeed, bits.RanBitSeed);
  EXPECT_EQ(sim->rnd.Uniform.XorWord, u.XorWord);
}

TEST(Reproduce, MigrantsAreCappedAtNe) {
  ParamLines p = Small(1, 3, 5, 6);
  p[3] = "1.0";
  auto sim = WithMigrants(p, 6);
  ASSERT_TRUE(sim);
  RngState u = Twin(*sim);
  const uint32_t bits = sim->rnd.Bits.RanBitSeed;
  Console([&] { Reproduce(*sim, 1); });
  // Seven Poisson draws for the count 6, then two per locus for each of the three migrants;
  // no offspring, so no bits.
  for (int i = 0; i < 7 + 2 * 5 * 3; ++i) u.RanUniform();
  EXPECT_EQ(sim->rnd.Uniform.XorWord, u.XorWord);
  EXPECT_EQ(sim->rnd.Bits.RanBitSeed, bits);
}

// Sets every locus of individual j in buffer 0 to code, keeping the buffer's counts.
void Fill(SimState& sim, int64_t j, uint32_t code) {
  for (int64_t L = 0; L < sim.par.NumLoci; ++L) SetPackedCode(sim.tab.Focal(0, j), L, code);
  CountGenerationHets(DefaultContext(), GeometryOf(sim.par), sim.tab.Generation(0));
}

TEST(Reproduce, PackedTransmission) {
  // Homozygous parents of either allele pass their allele without a bit.
  ParamLines p = Small(0, 2, 23, 2);
  auto sim = Initialized(p);
  Fill(*sim, 0, 1);
  Fill(*sim, 1, 2);
  const uint32_t bits = sim->rnd.Bits.RanBitSeed;
  Console([&] { Reproduce(*sim, 1); });
  EXPECT_EQ(sim->rnd.Bits.RanBitSeed, bits);
  for (int j = 0; j < 2; ++j) {
    const uint32_t first = PackedCode(sim->tab.Focal(1, j), 0);
    for (int L = 0; L < 23; ++L) EXPECT_EQ(PackedCode(sim->tab.Focal(1, j), L), first);
  }

  // Selfed heterozygotes (Ne 2, all heterozygous, in blocks of ten): 1/4, 1/4, 1/2.
  p = Small(0, 20, 4001, 2);
  sim = Initialized(p);
  for (int j = 0; j < 20; ++j) Fill(*sim, j, 3);
  Console([&] { Reproduce(*sim, 1); });
  double count[4] = {0, 0, 0, 0};
  for (int j = 0; j < 20; ++j) {
    for (int L = 0; L < 4001; ++L) ++count[PackedCode(sim->tab.Focal(1, j), L)];
  }
  const double n = 20 * 4001;
  EXPECT_EQ(count[0], 0);
  EXPECT_NEAR(count[1] / n, 0.25, 0.01);
  EXPECT_NEAR(count[2] / n, 0.25, 0.01);
  EXPECT_NEAR(count[3] / n, 0.5, 0.01);
}

TEST(Reproduce, KeptHeterozygousCountsFollowTheRecords) {
  // Packed generations keep a count per record for the next generation's bit layout: after
  // migrants, offspring of blocks and singles, and mutations (many: Ne 5000), on every thread
  // count, the counts are those of the records.
  for (const int threads : {1, 3}) {
    const Context c(BestKernel(), threads);
    ParamLines p = Small(1, 5003, 203, 2);
    p[3] = "0.05";
    auto sim = Initialized(p, c.ctx);
    Console([&] {
      for (int g = 1; g <= 3; ++g) {
        Reproduce(*sim, g % 2, c.ctx);
        Mutate(*sim, g % 2, c.ctx);
        const RecordSpan gen = sim->tab.Generation(g % 2);
        for (int64_t j = 0; j < gen.count; ++j) {
          ASSERT_EQ(gen.hets[j], CountHets(gen[j], 203)) << g << " " << j;
        }
      }
    });
  }
}

TEST(Mutate, ReplaysPoissonCountsAndTheGenotypeRule) {
  for (const int alleles : {2, 7}) {
    ParamLines p = Small(0, 5000, 40, alleles);  // mean of one mutation per locus
    auto sim = Initialized(p);
    if (alleles == 2) {
      for (int j = 0; j < 2500; ++j) Fill(*sim, j, 3);  // heterozygotes and homozygotes of 1
      for (int j = 2500; j < 5000; ++j) Fill(*sim, j, 1);
    }
    std::vector<uint8_t> before(sim->tab.Focal(0, 0),
                                sim->tab.Focal(0, 0) + 5000 * sim->tab.GenoBytes);
    Random twin(0, 0);
    twin.Uniform = sim->rnd.Uniform;
    twin.Memo = sim->rnd.Memo;
    Mutate(*sim, 0);
    int changed = 0;
    for (int64_t L = 0; L < 40; ++L) {
      const int n = PoissonCount(twin, 1.0f);
      for (int m = 0; m < n; ++m) {
        const int g = DrawIndex(twin.RanUniform(), 10000);
        const int a = DrawIndex(twin.RanUniform(), alleles);
        uint8_t* rec = before.data() + (g - 1) / 2 * sim->tab.GenoBytes;
        if (alleles > 2) {
          rec[2 * L + (g - 1) % 2] = uint8_t(a);
        } else {
          const uint32_t x = PackedCode(rec, L);
          // 1 hit by 2 becomes 3; 3 hit by a becomes a; a hit by a stays.
          const uint32_t next = x == uint32_t(a) ? x : x == 3 ? uint32_t(a) : 3u;
          SetPackedCode(rec, L, next);
        }
        ++changed;
      }
    }
    EXPECT_GT(changed, 15);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), sim->tab.Focal(0, 0)));
    EXPECT_EQ(sim->rnd.Uniform.XorWord, twin.Uniform.XorWord);
  }
}

// Four packed loci share a byte: tasks that apply mutations split only between bytes, or two
// threads would write one byte at once (hits lost, and ThreadSanitizer reports it). One record
// hit at every locus in turn, a mutation a task on three threads, against one thread.
TEST(Mutate, TasksNeverShareAByte) {
  auto sim = Initialized(Small(0, 2, 4001, 2));
  std::vector<Mutation> drawn;
  for (int64_t L = 0; L < 4001; ++L) drawn.push_back({L, 1, int16_t(1 + (L * 7 / 3) % 2), 0});
  const RecordSpan gen = sim->tab.Generation(0);
  const std::vector<uint8_t> start(gen[0], gen[0] + sim->tab.GenoBytes);
  std::vector<uint8_t> result[2];
  int64_t hets[2];
  for (const int threads : {1, 3}) {
    const Context c(BestKernel(), threads, {TaskSize{}.bytes, TaskSize{}.draws, 1});
    std::copy(start.begin(), start.end(), gen[0]);
    gen.hets[0] = CountHets(gen[0], 4001);
    ApplyMutations(c.ctx, GeometryOf(sim->par), drawn, gen);
    result[threads / 3].assign(gen[0], gen[0] + sim->tab.GenoBytes);
    hets[threads / 3] = gen.hets[0];
  }
  EXPECT_EQ(result[0], result[1]);
  EXPECT_EQ(hets[0], hets[1]);
  EXPECT_EQ(hets[1], CountHets(gen[0], 4001));
}

TEST(Samples, StretchesUnderBothModels) {
  for (const int model : {0, 1}) {
    ParamLines p = Small(model, 30, 9, 4);
    p[7] = "3";
    p[8] = "4";
    p[9] = "5";
    auto sim = Initialized(p);
    const int64_t total = sim->par.TotalSampled();
    EXPECT_EQ(total, model ? 12 : 9);
    std::fill(sim->tab.Sample(0), sim->tab.Sample(total), 0xEE);
    auto untouched = [&](int64_t k) { return sim->tab.Sample(k)[0] == 0xEE; };
    const int64_t s1 = model ? 3 : 0;
    TakeSample(*sim, 1, 0);
    for (int64_t k = 0; k < total; ++k) EXPECT_EQ(untouched(k), k < s1 || k >= s1 + 4) << k;
    TakeSample(*sim, 2, 0);
    for (int64_t k = 0; k < total; ++k) EXPECT_EQ(untouched(k), k < s1) << k;
    if (model) TakeSourceSample(*sim);
    for (int64_t k = 0; k < total; ++k) EXPECT_FALSE(untouched(k)) << k;
  }
}

TEST(Samples, ZeroBitSeedAlwaysPassesTheFirstCopy) {
  ParamLines p = Small(0, 8, 6, 5);
  auto sim = Initialized(p);
  sim->rnd.Bits.RanBitSeed = 0;  // the reader refuses such seeds; the stream itself allows it
  RngState u = Twin(*sim);
  TakeSample(*sim, 2, 0);
  for (int i = 0; i < sim->par.NumIndiv[2]; ++i) {
    const int p1 = DrawIndex(u.RanUniform(), 8) - 1, p2 = DrawIndex(u.RanUniform(), 8) - 1;
    const uint8_t* member = sim->tab.Sample(sim->par.NumIndiv[1] + i);
    for (int L = 0; L < 6; ++L) {
      EXPECT_EQ(member[2 * L], Allele(*sim, 0, p1, L, 0));
      EXPECT_EQ(member[2 * L + 1], Allele(*sim, 0, p2, L, 0));
    }
  }
}

// Expected heterozygosity 1 - sum p^2 of buffer b, averaged over loci.
double GeneDiversity(const SimState& sim, int b) {
  double total = 0;
  std::vector<double> count(size_t(sim.par.NumAllele) + 1);
  for (int64_t L = 0; L < sim.par.NumLoci; ++L) {
    std::fill(count.begin(), count.end(), 0.0);
    for (int64_t j = 0; j < sim.par.Ne; ++j) {
      ++count[Allele(sim, b, j, L, 0)];
      ++count[Allele(sim, b, j, L, 1)];
    }
    double hom = 0;
    for (double c : count) hom += (c / (2.0 * sim.par.Ne)) * (c / (2.0 * sim.par.Ne));
    total += 1 - hom;
  }
  return total / double(sim.par.NumLoci);
}

TEST(Reproduce, DriftErodesHeterozygosityAtTheExpectedRate) {
  // Pure drift: H_t / H_0 = (1 - 1/(2 Ne))^t; mutation adds about 2*Ne*1e-4 per generation to
  // the loss rate's complement, negligible here.
  const int Ne = 40, t = 30, reps = 12;
  std::vector<double> ratios;
  for (int rep = 0; rep < reps; ++rep) {
    ParamLines p = Small(0, Ne, 400, 6);
    p[10] = std::to_string(101 + rep);
    auto sim = Initialized(p);
    const double h0 = GeneDiversity(*sim, 0);
    int Parity = 0;
    Console([&] {
      for (int g = 1; g <= t; ++g) {
        Parity = g % 2;
        Reproduce(*sim, Parity);
        Mutate(*sim, Parity);
      }
    });
    ratios.push_back(GeneDiversity(*sim, Parity) / h0);
  }
  double mean = 0, sq = 0;
  for (double r : ratios) mean += r / reps;
  for (double r : ratios) sq += (r - mean) * (r - mean);
  const double se = std::sqrt(sq / (reps - 1) / reps);
  const double expected = std::pow(1 - 1.0 / (2 * Ne), t);
  EXPECT_NEAR(mean, expected, 4 * se + 0.01) << "se " << se;
  RecordProperty("ratio", std::to_string(mean) + " expected " + std::to_string(expected));
}

// The last generation (buffer 0) and sample 1, locus by locus, of a short run on kernel k:
// the spare fields of packed records and the other samples hold nothing to compare.
std::pair<std::vector<uint8_t>, uint32_t> ShortRun(const ParamLines& p, Kernel k) {
  const Context c(k, DefaultContext().Threads());
  auto sim = Initialized(p, c.ctx);
  Console([&] {
    for (int g = 1; g <= 6; ++g) {
      Reproduce(*sim, g % 2, c.ctx);
      Mutate(*sim, g % 2, c.ctx);
    }
    TakeSample(*sim, 1, 0, c.ctx);
  });
  std::vector<uint8_t> r(sim->tab.Focal(0, 0), sim->tab.Focal(1, 0));
  for (int i = 0; i < sim->par.NumIndiv[1]; ++i) {
    const uint8_t* rec = sim->tab.Sample(sim->par.NumIndiv[0] + i);
    for (int64_t L = 0; L < sim->par.NumLoci; ++L) {
      r.push_back(sim->tab.Packed ? uint8_t(PackedCode(rec, L)) : rec[2 * L]);
      r.push_back(sim->tab.Packed ? 0 : rec[2 * L + 1]);
    }
  }
  return {r, sim->rnd.Bits.RanBitSeed};
}

// The rows taking turns in one process, in both orders, give the portable row's bytes: a table
// that one row builds for itself never serves another, whichever row runs first.
TEST(Rows, TakingTurnsInOneProcessGiveThePortableBytes) {
  std::vector<ParamLines> cases;
  for (const auto& [model, K, NumLoci] : {std::tuple(0, 2, 1000), std::tuple(1, 7, 130)}) {
    ParamLines p = Small(model, 40, NumLoci, K);
    p[3] = "0.05";
    cases.push_back(p);
  }
  std::vector<std::pair<std::vector<uint8_t>, uint32_t>> want;
  for (const ParamLines& p : cases) want.push_back(ShortRun(p, Kernel::kPortable));
  std::vector<Kernel> rows = TestVectorRows();
  rows.insert(rows.end(), rows.rbegin(), rows.rend());
  for (const Kernel k : rows) {
    REQUIRE_ROW(k);
    for (size_t c = 0; c < cases.size(); ++c) {
      EXPECT_TRUE(ShortRun(cases[c], k) == want[c]) << KernelName(k) << ": " << cases[c].Text();
    }
  }
}

// Each vector path against the portable one.
class Kernels : public testing::TestWithParam<Kernel> {};

TEST_P(Kernels, GiveThePortableBytes) {
  const Kernel k = GetParam();
  REQUIRE_ROW(k);
  // Random small populations of every shape, packed ones with whole vector chunks and tails,
  // run on each code path from the same seed.
  RngState pick;
  pick.IDUM = -77;
  for (int trial = 0; trial < 60; ++trial) {
    const bool packed = trial % 2 == 0;
    ParamLines p = Small(DrawIndex(pick.RanUniform(), 2) - 1, 1 + DrawIndex(pick.RanUniform(), 60),
                         DrawIndex(pick.RanUniform(), packed ? 2000 : 300),
                         packed ? 2 : 2 + DrawIndex(pick.RanUniform(), 20));
    p[3] = "0.05";
    p[10] = std::to_string(trial + 1);
    p[19] = std::to_string(trial % 3 == 0);
    const auto portable = ShortRun(p, Kernel::kPortable);
    const auto vector = ShortRun(p, k);
    const auto diff =
        std::mismatch(portable.first.begin(), portable.first.end(), vector.first.begin());
    EXPECT_TRUE(diff.first == portable.first.end())
        << p.Text() << " kernel " << KernelName(k) << ": first difference at "
        << (diff.first - portable.first.begin()) << " of " << portable.first.size();
    EXPECT_EQ(portable.second, vector.second);
  }
}

// The routines themselves against the portable row: blocks and single offspring, byte counts
// around the vector widths (32, 64) and the chunk of 256, loci not a multiple of 4, rows of
// every field heterozygous, and bit positions at the end of the bit table's period, where reads
// wrap.
TEST_P(Kernels, TransmitLikePortableAtEveryEdge) {
  const Kernel k = GetParam();
  REQUIRE_ROW(k);
  const KernelTable portable = KernelsFor(Kernel::kPortable), row = KernelsFor(k);
  const BitCycle::Stream cycle = BitCycle::From(12345);
  RngState u;
  u.IDUM = -3;
  for (const int64_t NumLoci : {int64_t(3), int64_t(127), int64_t(130), int64_t(257), int64_t(1023),
                                int64_t(1026), int64_t(2299)}) {
    const int64_t bytes = (NumLoci + 3) / 4;
    // The first third of every record heterozygous in every field: rows of 80 bits, the most.
    std::vector<uint8_t> parents(size_t(2 * kBlockSize * bytes));
    for (size_t j = 0; j < parents.size(); ++j) {
      parents[j] = j % size_t(bytes) < size_t(bytes / 3)
                       ? 0xFF
                       : static_cast<uint8_t>(DrawIndex(u.RanUniform(), 256) - 1);
    }
    for (const uint32_t at : {0u, BitCycle::kPeriod - 1, BitCycle::kPeriod - 700, 5000u}) {
      for (const int n : {kBlockSize, 1}) {
        std::vector<uint8_t> want(size_t(n * bytes)), got(want.size());
        int32_t wantHets[kBlockSize] = {}, gotHets[kBlockSize] = {};
        uint64_t tWant = (at + BitCycle::kPeriod - cycle.start) % BitCycle::kPeriod, tGot = tWant;
        for (auto [table, out, hets, t] : {std::tuple(&portable, &want, wantHets, &tWant),
                                           std::tuple(&row, &got, gotHets, &tGot)}) {
          Family fam;
          fam.n = n;
          fam.hets = hets;
          for (int i = 0; i < n; ++i) {
            fam.p1[i] = parents.data() + 2 * i * bytes;
            fam.p2[i] = parents.data() + (2 * i + 1) * bytes;
            fam.child[i] = out->data() + i * bytes;
          }
          if (n == 1) {
            TransmitPackedSingle(*table, fam, NumLoci, cycle, *t);
          } else {
            TransmitPackedBytes(*table, fam, NumLoci / 4, cycle, *t);
            TransmitPackedFields(fam, NumLoci / 4 * 4, NumLoci, cycle, *t);
          }
        }
        EXPECT_EQ(got, want) << KernelName(k) << " " << NumLoci << " loci, " << n << " at " << at;
        EXPECT_EQ(tGot, tWant);
        EXPECT_TRUE(std::equal(gotHets, gotHets + n, wantHets));
      }
    }
    // Unpacked: NumLoci copies of one byte each, ten members' bits from one stream.
    std::vector<uint8_t> want(size_t(2 * kBlockSize * NumLoci)), got(want.size());
    for (auto [table, out] : {std::pair(&portable, &want), std::pair(&row, &got)}) {
      Family fam;
      fam.n = kBlockSize;
      for (int i = 0; i < kBlockSize; ++i) {
        fam.p1[i] = parents.data() + (2 * i * bytes) % (int64_t(parents.size()) - 2 * NumLoci - 1);
        fam.p2[i] = fam.p1[i] + 1;
        fam.child[i] = out->data() + 2 * i * NumLoci;
      }
      BitStream stream{777};
      TransmitUnpacked(*table, fam, NumLoci, stream);
    }
    EXPECT_EQ(got, want) << KernelName(k) << " unpacked, " << NumLoci << " loci";
  }
}

// The packed codes of draws against the portable routines: the migrants' bytes (record counts
// around the vector width, runs of bytes with and without a tail of fewer than eight), the
// codes of one field of many records (every shift, first or added) and the alleles of unpacked
// loci, with draws equal to their thresholds and NaN thresholds; the bytes between records stay
// untouched.
TEST_P(Kernels, PackedCodesLikePortable) {
  const Kernel k = GetParam();
  REQUIRE_ROW(k);
  const KernelTable portable = KernelsFor(Kernel::kPortable), row = KernelsFor(k);
  RngState u;
  u.IDUM = -5;
  for (const auto& [count, nbytes] :
       {std::pair<size_t, size_t>(1, 1), {3, 7}, {10, 8}, {10, 51}, {17, 30}, {512, 1}}) {
    std::vector<float> hw(8 * nbytes), draws(4 * count * nbytes);
    for (float& x : draws) x = static_cast<float>(u.RanUniform());
    for (size_t i = 0; i < hw.size(); i += 2) {
      hw[i] = static_cast<float>(u.RanUniform());
      hw[i + 1] = hw[i] + (1 - hw[i]) * static_cast<float>(u.RanUniform());
    }
    draws[0] = hw[0];
    draws[count] = hw[3];
    draws.back() = hw[4];
    hw[8 * (nbytes - 1) + 5] = std::nanf("");
    const int64_t stride = static_cast<int64_t>(nbytes) + 3;
    std::vector<uint8_t> want(count * size_t(stride), 0xAA), got(want);
    portable.packedRecordsOfDraws(hw.data(), draws.data(), want.data(), stride, count, nbytes);
    row.packedRecordsOfDraws(hw.data(), draws.data(), got.data(), stride, count, nbytes);
    EXPECT_EQ(got, want) << KernelName(k) << ", " << count << " records of " << nbytes << " bytes";
    // One field's codes of all the draws but the first, stored or added to other bits.
    const size_t n = draws.size() - 1;
    const int shift = int(2 * (nbytes % 4));
    const bool store = count % 2 == 0;
    want.assign(n, 0x41);
    got = want;
    portable.pickPackedCodes(hw.data() + 4, draws.data() + 1, want.data(), n, shift, store);
    row.pickPackedCodes(hw.data() + 4, draws.data() + 1, got.data(), n, shift, store);
    EXPECT_EQ(got, want) << KernelName(k) << ", codes of " << n << " draws";
    // Allele choices over a table of 1 to 9 entries, one of them NaN, padded as CumFreq's.
    const size_t entries = 1 + nbytes % 9;
    std::vector<float> cum(hw.begin(), hw.begin() + std::ptrdiff_t(entries));
    cum[entries / 2] = std::nanf("");
    cum.resize(entries + 8, 1.1f);
    want.assign(n, 0);
    got = want;
    portable.pickAlleles(cum.data(), entries, draws.data() + 1, want.data(), n);
    row.pickAlleles(cum.data(), entries, draws.data() + 1, got.data(), n);
    EXPECT_EQ(got, want) << KernelName(k) << ", alleles of " << n << " draws";
  }
}

INSTANTIATE_TEST_SUITE_P(VectorPaths, Kernels, testing::ValuesIn(TestVectorRows()), RowTestName);

}  // namespace
}  // namespace driftsim::test
