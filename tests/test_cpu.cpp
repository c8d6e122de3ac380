// The CPU paths (DRIFTSIM_KERNEL) and the threads (DRIFTSIM_THREADS, the pool).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "population/context.hpp"

#include "test_support.hpp"

namespace driftsim::test {
namespace {

// The message with which DRIFTSIM_KERNEL=value is refused, or "" when it is taken; the row
// taken.
std::pair<std::string, Kernel> Select(const char* value) {
  setenv("DRIFTSIM_KERNEL", value, 1);
  std::string message;
  Kernel chosen = BestKernel();
  try {
    chosen = KernelsFromEnvironment().row;
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Routine(), "SelectKernel");
    message = e.Message();
  }
  unsetenv("DRIFTSIM_KERNEL");
  return {message, chosen};
}

TEST(SelectKernel, TakesRunnablePathsAndRefusesOthers) {
  EXPECT_EQ(Select(""), std::make_pair(std::string(), BestKernel()));
  for (const Kernel k : kKernels) {
    const std::string name = KernelName(k);
    if (CanRun(k)) {
      EXPECT_EQ(Select(name.c_str()), std::make_pair(std::string(), k));
    } else {
      EXPECT_EQ(Select(name.c_str()).first,
                "DRIFTSIM_KERNEL=" + name + ": this processor cannot run the " + name + " path!");
    }
  }
  for (const char* bad : {"AVX2", "sse", "portable "}) {
    EXPECT_EQ(Select(bad).first, std::string("DRIFTSIM_KERNEL=") + bad +
                                     ": unknown CPU path; use portable, avx2, avx2-pdep, avx512!");
  }
  EXPECT_TRUE(CanRun(Kernel::kPortable));
  EXPECT_TRUE(CanRun(BestKernel()));
}

TEST(SelectKernel, NeverChoosesMicrocodedPdep) {
  struct Case {
    const char* vendor;
    unsigned family;
    bool microcoded;
  };
  for (const Case& c : {Case{"AuthenticAMD", 0x15, true}, Case{"AuthenticAMD", 0x17, true},
                        Case{"AuthenticAMD", 0x19, false}, Case{"AuthenticAMD", 0x1A, false},
                        Case{"HygonGenuine", 0x18, true}, Case{"GenuineIntel", 0x6, false}}) {
    EXPECT_EQ(PdepMicrocoded(c.vendor, c.family), c.microcoded) << c.vendor << " " << c.family;
  }
  // Here: the chosen row uses pdep only when this processor's is fast.
  const bool pdepRow = BestKernel() == Kernel::kAvx2Pdep || BestKernel() == Kernel::kAvx512;
  if (pdepRow) {
    EXPECT_EQ(CpuDescription().find("microcoded"), std::string::npos);
  }
}

// A row runs exactly where the processor has every feature its file names, and a misspelt
// feature would keep a row from ever running: every row names only features the reader knows.
TEST(SelectKernel, RowsRunWhereTheProcessorHasWhatTheyNeed) {
  for (const Kernel k : kKernels) {
    const char* needs = RowNeeds(k);
    if (needs == nullptr) {
      EXPECT_FALSE(CanRun(k)) << KernelName(k);
      continue;
    }
    EXPECT_TRUE(CpuFeatures::Knows(needs)) << KernelName(k) << ": " << needs;
    EXPECT_EQ(CanRun(k), Cpu().Has(needs)) << KernelName(k);
  }
  struct Case {
    const char* names;
    bool known;
  };
  for (const Case& c : {Case{"", true}, Case{"avx2,bmi2", true}, Case{"avx2,avx3", false},
                        Case{"avx2,", true}, Case{"AVX2", false}}) {
    EXPECT_EQ(CpuFeatures::Knows(c.names), c.known) << c.names;
    if (!c.known) {
      EXPECT_FALSE(Cpu().Has(c.names)) << c.names;
    }
  }
  EXPECT_TRUE(Cpu().Has(""));
}

}  // namespace
}  // namespace driftsim::test

namespace driftsim {
namespace {

// Runs body with DRIFTSIM_THREADS set to value (null: unset), then restores it.
template <typename Body>
void WithEnvironment(const char* value, Body body) {
  const char* was = std::getenv("DRIFTSIM_THREADS");
  const std::string saved = was ? was : "";
  if (value) {
    setenv("DRIFTSIM_THREADS", value, 1);
  } else {
    unsetenv("DRIFTSIM_THREADS");
  }
  body();
  if (was) {
    setenv("DRIFTSIM_THREADS", saved.c_str(), 1);
  } else {
    unsetenv("DRIFTSIM_THREADS");
  }
}

TEST(ThreadCount, ChosenCountThenEnvironmentThenAffinityMask) {
  WithEnvironment(nullptr, [] {
    EXPECT_EQ(ResolveThreadCount(0), AffinityCpuCount());
    EXPECT_GE(AffinityCpuCount(), 1);
  });
  WithEnvironment("5", [] {
    EXPECT_EQ(ResolveThreadCount(0), 5);
    EXPECT_EQ(ResolveThreadCount(3), 3);  // the command line wins
  });
  WithEnvironment("", [] { EXPECT_EQ(ResolveThreadCount(0), AffinityCpuCount()); });
}

TEST(ThreadCount, EnvironmentValuesRefused) {
  for (const char* bad : {"0", "-2", "2x", " 2", "1025", "99999999999", "two"}) {
    WithEnvironment(bad, [&] {
      for (const int chosen : {0, 3}) {  // refused also beside a count of the command line
        try {
          ResolveThreadCount(chosen);
          ADD_FAILURE() << bad << " accepted";
        } catch (const FatalError& e) {
          EXPECT_EQ(e.Message(), std::string("DRIFTSIM_THREADS=") + bad +
                                     ": the thread count must be a whole number from 1 to 1024!");
          EXPECT_EQ(e.Routine(), "SelectThreads");
        }
      }
    });
  }
  WithEnvironment("1024", [] { EXPECT_EQ(ResolveThreadCount(0), 1024); });
  // The same check serves a command-line option.
  EXPECT_EQ(ThreadCountFromText("7"), 7);
  EXPECT_EQ(ThreadCountFromText("007"), 7);
  EXPECT_EQ(ThreadCountFromText(""), 0);
  EXPECT_EQ(ThreadCountFromText("1025"), 0);
}

TEST(ParallelFor, EveryTaskOnceOnAThreadOfTheCount) {
  for (const int threads : {1, 2, 3, 7}) {
    const test::Context c(Kernel::kPortable, threads);
    for (const int64_t count : {0, 1, 5, 1000}) {
      std::vector<std::atomic<int>> runs(static_cast<size_t>(count));
      std::atomic<int> badThread{0};
      ParallelFor(c.ctx, count, [&](int64_t i, int thread) {
        runs[size_t(i)].fetch_add(1);
        if (thread < 0 || thread >= threads) badThread.fetch_add(1);
      });
      for (int64_t i = 0; i < count; ++i)
        ASSERT_EQ(runs[size_t(i)].load(), 1) << threads << " " << i;
      EXPECT_EQ(badThread.load(), 0);
    }
  }
}

TEST(ParallelFor, NestedCallsRunOnTheirThread) {
  const test::Context c(Kernel::kPortable, 3);
  std::atomic<int64_t> sum{0};
  std::atomic<int> crossed{0};
  ParallelFor(c.ctx, 8, [&](int64_t i, int outer) {
    ParallelFor(c.ctx, 10, [&](int64_t j, int inner) {
      sum.fetch_add(i * 10 + j);
      if (inner != outer) crossed.fetch_add(1);
    });
  });
  EXPECT_EQ(sum.load(), 79 * 80 / 2);
  EXPECT_EQ(crossed.load(), 0);
}

TEST(ParallelFor, FirstErrorReachesTheCallerAndThePoolGoesOn) {
  const test::Context c(Kernel::kPortable, 4);
  // The other tasks take a while, so that however slowly the error unwinds (an emulator's
  // unwinding takes milliseconds) they cannot all have started before it reaches the pool.
  constexpr int kTasks = 20000;
  std::atomic<int> started{0};
  try {
    ParallelFor(c.ctx, kTasks, [&](int64_t i, int) {
      started.fetch_add(1);
      if (i == 10) FatalStop("task ten failed", "Test");
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    ADD_FAILURE() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Message(), "task ten failed");
  }
  EXPECT_LT(started.load(), kTasks);  // the tasks not yet started were skipped
  std::atomic<int> after{0};
  ParallelFor(c.ctx, 50, [&](int64_t, int) { after.fetch_add(1); });
  EXPECT_EQ(after.load(), 50);
}

}  // namespace
}  // namespace driftsim
