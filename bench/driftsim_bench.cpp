// driftsim_bench: one whole run of one scenario on a given number of threads, and the
// memory-traffic floor of its generations on one thread and on all the process's CPUs, printed
// as one row of a Markdown table.
//
//   driftsim_bench --header                 prints the table header (two lines)
//   driftsim_bench --cpu                    prints the processor and the rows it runs
//   driftsim_bench NAME PARAMFILE THREADS   runs PARAMFILE in a temporary directory on THREADS
//                                           threads (0: the default, all CPUs), prints one row
//
// Run one scenario per process: the peak resident memory (ru_maxrss) is a high-water mark of
// the whole process, so it belongs to that scenario only when nothing else ran before it.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "description/description.hpp"
#include "driver/driver.hpp"
#include "population/context.hpp"
#include "population/population.hpp"
#include "population/transmit.hpp"
#include "quiet_stdout.hpp"
#include "rows/rows.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Bytes of the three tables as the run allocates them: both generation buffers, the sampled
// records and the frequency table.
uint64_t TableBytes(const driftsim::Params& par) {
  const int64_t geno = driftsim::GenoBytesOf(par.NumLoci, par.Packed());
  const int64_t bytes = 2 * int64_t{par.Ne} * geno + par.TotalSampled() * geno +
                        int64_t{par.NumAllele} * par.NumLoci * 4;
  return static_cast<uint64_t>(bytes);
}

// The plainest generation that moves the same bytes as a real one: every offspring byte is made
// from two parent bytes of the previous generation. The parents are read as two streams half a
// table apart, so each parent byte is read twice, far apart in time, like the records of two
// randomly drawn parents; the offspring table is written once. Bytes [from, to) of the offspring.
void FloorPart(const uint8_t* parents, uint8_t* offspring, size_t bytes, size_t from, size_t to) {
  const size_t half = bytes / 2;
  const size_t split = bytes - half;
  for (size_t i = from; i < std::min(to, split); ++i) offspring[i] = parents[i] ^ parents[i + half];
  for (size_t i = std::max(from, split); i < to; ++i) {
    offspring[i] = parents[i] ^ parents[i - split];
  }
}

// The pass on threads threads, each making one contiguous part.
void FloorPass(const driftsim::RunContext& ctx, const uint8_t* parents, uint8_t* offspring,
               size_t bytes, int threads) {
  driftsim::ParallelFor(ctx, threads, [&](int64_t part, int) {
    const size_t n = static_cast<size_t>(threads);
    const size_t k = static_cast<size_t>(part);
    FloorPart(parents, offspring, bytes, bytes * k / n, bytes * (k + 1) / n);
  });
}

// Shortest time of FloorPass on threads threads over tables of Ne records of GenoBytes bytes
// each, held in one block of two generation buffers like the population's; the pages are
// touched before timing. At least five passes, and more until half a second has gone by.
double FloorSeconds(const driftsim::Params& par, int threads) {
  const size_t bytes = static_cast<size_t>(par.Ne) *
                       static_cast<size_t>(driftsim::GenoBytesOf(par.NumLoci, par.Packed()));
  auto* block = static_cast<uint8_t*>(std::malloc(2 * bytes));
  if (!block) {
    std::fprintf(stderr, "driftsim_bench: no memory for the floor tables\n");
    std::exit(EXIT_FAILURE);
  }
  for (size_t i = 0; i < 2 * bytes; ++i) block[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
  uint8_t* parents = block;
  uint8_t* offspring = block + bytes;
  driftsim::ThreadPool pool(threads);
  const driftsim::RunContext ctx{driftsim::KernelsFor(driftsim::Kernel::kPortable), &pool, {}};
  volatile uint8_t sink = 0;
  double best = 1e30;
  const auto start = Clock::now();
  for (int rep = 0; rep < 100000 && (rep < 5 || SecondsSince(start) < 0.5); ++rep) {
    const auto t0 = Clock::now();
    FloorPass(ctx, parents, offspring, bytes, threads);
    best = std::min(best, SecondsSince(t0));
    sink = static_cast<uint8_t>(sink + offspring[static_cast<size_t>(rep) % bytes]);
    std::swap(parents, offspring);
  }
  std::free(block);
  return best;
}

[[noreturn]] void Fail(const std::string& what);

// The floor of a generation made as the packed transmission makes it: families of kBlockSize
// offspring, each from two parents drawn at random, advanced together a cache line at a time
// (with the kernels' prefetch), so that three records per member stream at once. Each offspring
// byte is again made from its parents' two bytes. Shortest of several one-thread passes: the
// time of the records' traffic alone, which no kernel of this layout can beat.
double FamilyFloorSeconds(const driftsim::Params& par) {
  using Lane = uint8_t __attribute__((vector_size(16)));
  constexpr int64_t kLine = 64, kAhead = 256;
  const int64_t Ne = par.Ne;
  const int64_t geno = driftsim::GenoBytesOf(par.NumLoci, par.Packed());
  const size_t bytes = static_cast<size_t>(Ne * geno);
  auto* block = static_cast<uint8_t*>(std::malloc(2 * bytes));
  if (!block) Fail("no memory for the floor tables");
  for (size_t i = 0; i < 2 * bytes; ++i) block[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
  uint8_t* parents = block;
  uint8_t* offspring = block + bytes;
  std::vector<int64_t> parent(static_cast<size_t>(2 * Ne));
  uint64_t draw = 88172645463325252u;  // xorshift64: any fixed sequence of parents will do
  for (int64_t& p : parent) {
    draw ^= draw << 13;
    draw ^= draw >> 7;
    draw ^= draw << 17;
    p = static_cast<int64_t>(draw % static_cast<uint64_t>(Ne));
  }
  double best = 1e30;
  const auto start = Clock::now();
  for (int rep = 0; rep < 1000 && (rep < 3 || SecondsSince(start) < 0.5); ++rep) {
    const auto t0 = Clock::now();
    for (int64_t f = 0; f < Ne; f += driftsim::kBlockSize) {
      const int n = static_cast<int>(std::min<int64_t>(driftsim::kBlockSize, Ne - f));
      const uint8_t* p1[driftsim::kBlockSize];
      const uint8_t* p2[driftsim::kBlockSize];
      uint8_t* child[driftsim::kBlockSize];
      for (int i = 0; i < n; ++i) {
        p1[i] = parents + parent[size_t(2 * (f + i))] * geno;
        p2[i] = parents + parent[size_t(2 * (f + i) + 1)] * geno;
        child[i] = offspring + (f + i) * geno;
      }
      int64_t b = 0;
      for (; b + kLine <= geno; b += kLine) {
        for (int i = 0; i < n; ++i) {
          __builtin_prefetch(p1[i] + b + kAhead);
          __builtin_prefetch(p2[i] + b + kAhead);
          __builtin_prefetch(child[i] + b + kAhead, 1);
          for (int64_t k = 0; k < kLine; k += int64_t{sizeof(Lane)}) {
            Lane x, y;
            std::memcpy(&x, p1[i] + b + k, sizeof x);
            std::memcpy(&y, p2[i] + b + k, sizeof y);
            x ^= y;
            std::memcpy(child[i] + b + k, &x, sizeof x);
          }
        }
      }
      for (int i = 0; i < n; ++i) {
        for (int64_t k = b; k < geno; ++k) child[i][k] = p1[i][k] ^ p2[i][k];
      }
    }
    best = std::min(best, SecondsSince(t0));
    std::swap(parents, offspring);
  }
  std::free(block);
  return best;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "driftsim_bench: %s\n", what.c_str());
  std::exit(EXIT_FAILURE);
}

driftsim::Params ReadScenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) Fail("cannot open " + path);
  try {
    return driftsim::ReadParaStream(in, path);
  } catch (const driftsim::FatalError& error) {
    Fail(path + ": " + error.Message());
  }
}

void PrintHeader() {
  std::printf(
      "| Scenario | Row | Threads | Run s | Init s | Gen ms | Samples s | Write ms | Floor ms 1 "
      "thr "
      "| Floor ms all | Floor GB/s 1 thr | Family floor ms | Gen/floor | Gen/family floor | "
      "Run/floor "
      "| Peak RSS MB | Tables MB |\n");
  std::printf("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
}

// A figure with the given decimals, or "-" where it does not apply (0).
std::string OrDash(double value, int decimals) {
  if (value <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Generations of a run: the burn-in and NumGen.
constexpr int kBurnIn = 250;

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--cpu") == 0) {
    std::printf("%s\n", driftsim::CpuDescription().c_str());
    return EXIT_SUCCESS;
  }
  if (argc == 2 && std::strcmp(argv[1], "--header") == 0) {
    PrintHeader();
    return EXIT_SUCCESS;
  }
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: driftsim_bench --header | driftsim_bench NAME PARAMFILE THREADS\n");
    return EXIT_FAILURE;
  }
  const std::string name = argv[1];
  const int threads = std::atoi(argv[3]);
  if (threads < 0 || threads > driftsim::kMaxThreads) Fail("THREADS from 0 to 1024");
  char resolved[PATH_MAX];
  if (!realpath(argv[2], resolved)) Fail(std::string("cannot find ") + argv[2]);
  const std::string paramFile = resolved;
  const driftsim::Params par = ReadScenario(paramFile);

  // The run writes its files in a directory of its own, removed afterwards.
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) Fail("cannot read the working directory");
  const char* tmp = std::getenv("TMPDIR");
  std::string dirTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/driftsim_bench.XXXXXX";
  const char* dir = mkdtemp(dirTemplate.data());
  if (!dir || chdir(dir) != 0) Fail("cannot make a temporary directory");

  driftsim::RunTimes times;
  double runSeconds = 0;
  {
    driftsim_bench::QuietStdout quiet;
    try {
      const auto t0 = Clock::now();
      driftsim::RunOptions options;
      options.paramFile = paramFile;
      options.threads = threads;
      driftsim::RunSimulation(options, &times);
      runSeconds = SecondsSince(t0);
    } catch (const driftsim::FatalError& error) {
      quiet.Restore();
      Fail(error.Message() + " (" + error.Routine() + ")");
    }
  }

  std::remove((par.OutFile + ".dat").c_str());
  std::remove((par.OutFile + ".par").c_str());
  if (chdir(cwd) != 0 || rmdir(dir) != 0) Fail("cannot remove the temporary directory");

  // Peak of the run alone: read before the floor tables are allocated. Kilobytes on Linux.
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peakBytes = static_cast<double>(usage.ru_maxrss) * 1024.0;

  const int used = driftsim::ResolveThreadCount(threads);
  const int all = driftsim::AffinityCpuCount();
  const double floor1 = FloorSeconds(par, 1);
  const double floorAll = FloorSeconds(par, all);
  const double familyFloor = par.Packed() ? FamilyFloorSeconds(par) : 0.0;
  const double tableBytes = static_cast<double>(par.Ne) *
                            static_cast<double>(driftsim::GenoBytesOf(par.NumLoci, par.Packed()));
  const double generation =
      times.generationCount > 0 ? times.generations / times.generationCount : 0.0;
  const double floorRun = floor1 * (kBurnIn + par.NumGen);

  std::printf(
      "| %s | %s | %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.1f | %s | %.2f | %s | "
      "%.2f | %.1f | %.1f |\n",
      name.c_str(), driftsim::KernelName(driftsim::KernelFromEnvironment()), used, runSeconds,
      times.initialize, generation * 1e3, times.samples, times.write * 1e3, floor1 * 1e3,
      floorAll * 1e3, 3.0 * tableBytes / floor1 / 1e9, OrDash(familyFloor * 1e3, 3).c_str(),
      generation / floor1, OrDash(familyFloor > 0 ? generation / familyFloor : 0.0, 2).c_str(),
      runSeconds / floorRun, peakBytes / 1e6, static_cast<double>(TableBytes(par)) / 1e6);
  return EXIT_SUCCESS;
}
