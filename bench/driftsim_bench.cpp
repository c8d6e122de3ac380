// driftsim_bench: one whole run of one scenario, and the memory-traffic floor of its
// generations, printed as one row of a Markdown table.
//
//   driftsim_bench --header         prints the table header (two lines)
//   driftsim_bench NAME PARAMFILE   runs PARAMFILE in a temporary directory, prints one row
//
// Run one scenario per process: the peak resident memory (ru_maxrss) is a high-water mark of
// the whole process, so it belongs to that scenario only when nothing else ran before it.
#include <sys/resource.h>
#include <sys/stat.h>
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

#include "driver/driver.hpp"
#include "params/params.hpp"
#include "population/population.hpp"
#include "quiet_stdout.hpp"

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
// randomly drawn parents; the offspring table is written once.
void FloorPass(const uint8_t* parents, uint8_t* offspring, size_t bytes) {
  const size_t half = bytes / 2;
  const size_t split = bytes - half;
  for (size_t i = 0; i < split; ++i) offspring[i] = parents[i] ^ parents[i + half];
  for (size_t i = split; i < bytes; ++i) offspring[i] = parents[i] ^ parents[i - split];
}

// Shortest time of FloorPass over tables of Ne records of GenoBytes bytes each, held in one
// block of two generation buffers like the population's; the pages are touched before timing.
// At least five passes, and more until half a second has gone by.
double FloorSeconds(const driftsim::Params& par) {
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
  volatile uint8_t sink = 0;
  double best = 1e30;
  const auto start = Clock::now();
  for (int rep = 0; rep < 100000 && (rep < 5 || SecondsSince(start) < 0.5); ++rep) {
    const auto t0 = Clock::now();
    FloorPass(parents, offspring, bytes);
    best = std::min(best, SecondsSince(t0));
    sink = static_cast<uint8_t>(sink + offspring[static_cast<size_t>(rep) % bytes]);
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
      "| Scenario | Ne | NumLoci | NumAllele | Run s | Init s | Gen ms | Floor ms | Gen/floor "
      "| Floor GB/s | Samples s | Write ms | .dat MB | Write GB/s | Peak RSS MB | Tables MB |\n");
  std::printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--header") == 0) {
    PrintHeader();
    return EXIT_SUCCESS;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: driftsim_bench --header | driftsim_bench NAME PARAMFILE\n");
    return EXIT_FAILURE;
  }
  const std::string name = argv[1];
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
      driftsim::RunSimulation(paramFile.c_str(), &times);
      runSeconds = SecondsSince(t0);
    } catch (const driftsim::FatalError& error) {
      quiet.Restore();
      Fail(error.Message() + " (" + error.Routine() + ")");
    }
  }

  struct stat st {};
  const std::string dat = par.OutFile + ".dat";
  const double datBytes = stat(dat.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0.0;
  std::remove(dat.c_str());
  std::remove((par.OutFile + ".par").c_str());
  if (chdir(cwd) != 0 || rmdir(dir) != 0) Fail("cannot remove the temporary directory");

  // Peak of the run alone: read before the floor tables are allocated. Kilobytes on Linux.
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peakBytes = static_cast<double>(usage.ru_maxrss) * 1024.0;

  const double floor = FloorSeconds(par);
  const double tableBytes = static_cast<double>(par.Ne) *
                            static_cast<double>(driftsim::GenoBytesOf(par.NumLoci, par.Packed()));
  const double generation =
      times.generationCount > 0 ? times.generations / times.generationCount : 0.0;

  std::printf(
      "| %s | %d | %d | %d | %.3f | %.3f | %.3f | %.3f | %.1f | %.1f | %.3f | %.3f | %.1f | %.3f "
      "| %.1f | %.1f |\n",
      name.c_str(), par.Ne, par.NumLoci, par.NumAllele, runSeconds, times.initialize,
      generation * 1e3, floor * 1e3, generation / floor, 3.0 * tableBytes / floor / 1e9,
      times.samples, times.write * 1e3, datBytes / 1e6,
      times.write > 0 ? datBytes / times.write / 1e9 : 0.0, peakBytes / 1e6,
      static_cast<double>(TableBytes(par)) / 1e6);
  return EXIT_SUCCESS;
}
