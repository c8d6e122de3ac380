// driftsim-stats: summary statistics of a data set written by driftsim.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "stats/stats.hpp"
#include "summary/summary.hpp"
#include "transaction/transaction.hpp"

namespace {

constexpr const char* kUsage =
    "driftsim-stats " DRIFTSIM_VERSION
    " - summary statistics of a data set simulated by driftsim\n"
    "\n"
    "Usage: driftsim-stats [--format tsv|json] [--map FILE] RUN.dat [RUN.par]\n"
    "\n"
    "Reads a genotype data file written by driftsim and its estimator parameter file (by\n"
    "default the .par file of the same name beside it), checks that they agree, and prints\n"
    "one tab-separated table: a header line, one row per sample (S1, S2, and S0 when there\n"
    "is a source sample) with individuals, loci, fraction of missing genotypes, mean alleles\n"
    "per locus, Ho, He and Hs; a row S1-S2 with the temporal F statistics Fc, Fk, Fs, their\n"
    "moment estimates of Ne, the generations t, the harmonic-mean sample sizes and the loci\n"
    "and alleles that entered F; a row S1-S0 with Fst when there is a source sample; then\n"
    "the bounds of the 95% jackknife and chi-square intervals of F and Ne, one row each.\n"
    "NA marks cells that do not apply. See driftsim-stats(1) for the definitions.\n"
    "\n"
    "Linked loci: with the run's genetic map (--map, or else the linkage of driftsim's run\n"
    "record, a *.json beside RUN.dat that names it), two rows follow with the bounds of the\n"
    "95% block jackknife over chromosomes, beside the jackknife over loci.\n"
    "\n"
    "Options:\n"
    "  --format tsv|json  the table (default) or one JSON object with every digit\n"
    "  --map FILE         the run's PLINK .map, one line per locus (default: the run\n"
    "                     record's linkage, if any)\n"
    "  -h, --help         print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 on any error (message on standard error), 2 for a wrong\n"
    "command line.\n";

constexpr int kUsageError = 2;

int Misuse(const std::string& message) {
  std::fprintf(stderr, "driftsim-stats: %s\n", message.c_str());
  std::fputs(
      "Usage: driftsim-stats [--format tsv|json] [--map FILE] RUN.dat [RUN.par]  (--help for "
      "more)\n",
      stderr);
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  driftsim::OpenStandardDescriptors();
  enum { kFormat = 256, kMap, kVersion };
  const option options[] = {{"format", required_argument, nullptr, kFormat},
                            {"map", required_argument, nullptr, kMap},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, kVersion},
                            {nullptr, 0, nullptr, 0}};
  bool json = false;
  std::string mapFile;
  opterr = 0;  // messages are ours
  for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
    switch (c) {
      case 'h':
        std::fputs(kUsage, stdout);
        return EXIT_SUCCESS;
      case kVersion:
        std::puts("driftsim-stats " DRIFTSIM_VERSION);
        return EXIT_SUCCESS;
      case kFormat:
        if (std::strcmp(optarg, "tsv") != 0 && std::strcmp(optarg, "json") != 0) {
          return Misuse(std::string("unknown format ") + optarg + " (tsv or json)");
        }
        json = std::strcmp(optarg, "json") == 0;
        break;
      case kMap:
        if (*optarg == '\0') return Misuse("--map needs a file name");
        mapFile = optarg;
        break;
      case ':':
        return Misuse(std::string(argv[optind - 1]) + " needs a value" +
                      (std::strcmp(argv[optind - 1], "--format") == 0 ? " (tsv or json)" : ""));
      default:
        return Misuse(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  const int count = argc - optind;
  if (count == 0) return Misuse("no data file given");
  if (count > 2) return Misuse("too many arguments");
  const std::string data = argv[optind];
  try {
    namespace st = driftsim::stats;
    const std::string parPath = count == 2 ? argv[optind + 1] : st::ParFileFor(data);
    // A data file that cannot be opened is reported before anything else; the parameter file
    // is read next, so that a missing one is found before the data file is streamed.
    st::CheckReadable(data);
    st::CheckCommitted(data, parPath);
    const st::ParInfo par = st::ReadParFile(parPath);
    // Chromosomes alone are needed: a record's map file is not read.
    const auto map = driftsim::RunMap(data, mapFile, par.loci, false);
    const st::GenoCounts counts = st::ReadGenoFile(data, &par);
    const std::string text = json ? st::StatsJson(counts, par, data, map.get())
                                  : st::StatsTable(counts, par.generations, map.get());
    if (map != nullptr && map->Chromosomes.size() < 2) {
      std::fputs(
          "driftsim-stats: note: the loci lie on one chromosome: no jackknife over chromosomes "
          "(NA), which needs two\n",
          stderr);
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
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
