// driftsim-stats: summary statistics of a data set written by driftsim.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "stats/stats.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: driftsim-stats RUN.dat [RUN.par]\n"
    "\n"
    "Reads a genotype data file written by driftsim and its estimator parameter file (by\n"
    "default the .par file of the same name beside it) and prints one tab-separated table:\n"
    "a header line, one row per sample (S1, S2, and S0 when there is a source sample) with\n"
    "individuals, loci, fraction of missing genotypes, mean alleles per locus, Ho and He,\n"
    "a row S1-S2 with the temporal F statistics Fc, Fk, Fs and their moment estimates of Ne,\n"
    "and a row S1-S0 with Fst when there is a source sample. NA marks cells that do not apply.\n"
    "\n"
    "Options:\n"
    "  -h, --help   print this help and exit\n"
    "\n"
    "Exit status: 0 on success, 1 on any error (message on standard error).\n";

int Misuse(const std::string& message) {
  std::fprintf(stderr, "driftsim-stats: %s\n", message.c_str());
  std::fputs("Usage: driftsim-stats RUN.dat [RUN.par]  (driftsim-stats --help for more)\n", stderr);
  return EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  std::string files[2];
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return EXIT_SUCCESS;
    }
    if (arg.size() > 1 && arg[0] == '-') return Misuse("unknown option " + arg);
    if (count == 2) return Misuse("too many arguments");
    files[count++] = arg;
  }
  if (count == 0) return Misuse("no data file given");
  try {
    namespace st = driftsim::stats;
    const std::string par = count == 2 ? files[1] : st::ParFileFor(files[0]);
    // A data file that cannot be opened is reported before anything else; the parameter file
    // is read next, so that a missing one is found before the data file is streamed.
    if (access(files[0].c_str(), R_OK) != 0) {
      throw st::StatsError("cannot open " + files[0] + ": " + std::strerror(errno));
    }
    const int32_t generations = st::ReadGenerationsFile(par);
    const st::GenoCounts counts = st::ReadGenoFile(files[0]);
    const std::string table = st::StatsTable(counts, generations);
    if (std::fwrite(table.data(), 1, table.size(), stdout) != table.size() ||
        std::fflush(stdout) != 0) {
      std::fputs("driftsim-stats: cannot write to standard output\n", stderr);
      return EXIT_FAILURE;
    }
  } catch (const driftsim::stats::StatsError& error) {
    std::fprintf(stderr, "driftsim-stats: %s\n", error.what());
    return EXIT_FAILURE;
  } catch (const std::bad_alloc&) {
    std::fputs("driftsim-stats: out of memory\n", stderr);
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
