// driftsim-convert: a data set written by driftsim as GENEPOP, VCF or PLINK files.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "convert/convert.hpp"

namespace {

constexpr const char* kUsage =
    "driftsim-convert " DRIFTSIM_VERSION
    " - a data set simulated by driftsim as GENEPOP, VCF or PLINK files\n"
    "\n"
    "Usage: driftsim-convert RUN.dat [RUN.par] --to FORMAT [-o OUT] [--pop-map FILE]\n"
    "                        [--map FILE]\n"
    "\n"
    "Reads a genotype data file written by driftsim and its estimator parameter file (by\n"
    "default the .par file beside it), checks them as driftsim-stats does, and writes\n"
    "  --to genepop   OUT (default RUN.gen): one POP block per sample, S1, S2, S0\n"
    "  --to vcf       OUT (default RUN.vcf): VCF 4.2, one record per locus\n"
    "  --to vcf.gz    OUT (default RUN.vcf.gz): the same, BGZF-compressed (tabix-ready)\n"
    "  --to plink     OUT.ped and OUT.map (default RUN.ped, RUN.map), biallelic data only\n"
    "The files appear whole or not at all.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT   output file name, with the format's extension (for plink: the\n"
    "                     stem of the two files); a name without it is warned about\n"
    "  --pop-map FILE     also write FILE: one line \"label<TAB>S1|S2|S0\" per individual\n"
    "  --map FILE         the run's PLINK .map (driftsim --map): VCF CHROM and POS from\n"
    "                     its chromosomes and bp, PLINK .map lines with its cM and bp\n"
    "                     (default: the map of driftsim's run record beside RUN.dat)\n"
    "  --level N          BGZF compression level of vcf.gz, 0 to 9 (default 1)\n"
    "  --threads N        extra threads compressing vcf.gz (default 0)\n"
    "  -h, --help         print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 on any error (message on standard error), 2 for a wrong\n"
    "command line, 130 or 143 when interrupted. See driftsim-convert(1).\n";

constexpr int kUsageError = 2;

int Misuse(const std::string& message) {
  std::fprintf(stderr, "driftsim-convert: %s\n", message.c_str());
  std::fputs(
      "Usage: driftsim-convert RUN.dat [RUN.par] --to genepop|vcf|vcf.gz|plink [-o OUT]"
      "  (--help for more)\n",
      stderr);
  return kUsageError;
}

// A whole number within [low, high] from an option value; false if it is not one.
bool Bounded(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < low || v > high) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace cv = driftsim::convert;
  driftsim::OpenStandardDescriptors();
  enum { kTo = 256, kPopMap, kMap, kLevel, kThreads, kVersion };
  const option options[] = {{"to", required_argument, nullptr, kTo},
                            {"output", required_argument, nullptr, 'o'},
                            {"pop-map", required_argument, nullptr, kPopMap},
                            {"map", required_argument, nullptr, kMap},
                            {"level", required_argument, nullptr, kLevel},
                            {"threads", required_argument, nullptr, kThreads},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, kVersion},
                            {nullptr, 0, nullptr, 0}};
  cv::Options o;
  bool haveFormat = false, haveLevel = false, haveThreads = false;
  opterr = 0;  // messages are ours
  for (int c; (c = getopt_long(argc, argv, ":ho:", options, nullptr)) != -1;) {
    switch (c) {
      case 'h':
        std::fputs(kUsage, stdout);
        return EXIT_SUCCESS;
      case kVersion:
        std::puts("driftsim-convert " DRIFTSIM_VERSION);
        return EXIT_SUCCESS;
      case kTo:
        if (!cv::ParseFormat(optarg, o.format)) {
          return Misuse(std::string("unknown format ") + optarg +
                        " (genepop, vcf, vcf.gz or plink)");
        }
        haveFormat = true;
        break;
      case 'o':
      case kPopMap:
      case kMap:
        // An empty name would silently mean the default one.
        if (*optarg == '\0') {
          return Misuse(std::string(c == 'o'    ? "-o"
                                    : c == kMap ? "--map"
                                                : "--pop-map") +
                        " needs a file name");
        }
        (c == 'o' ? o.output : c == kMap ? o.map : o.popMap) = optarg;
        break;
      case kLevel:
        if (!Bounded(optarg, 0, 9, o.level)) {
          return Misuse(std::string("--level ") + optarg + ": expected 0 to 9");
        }
        haveLevel = true;
        break;
      case kThreads:
        if (!Bounded(optarg, 0, 64, o.threads)) {
          return Misuse(std::string("--threads ") + optarg + ": expected 0 to 64");
        }
        haveThreads = true;
        break;
      case ':':
        return Misuse(std::string("option ") + argv[optind - 1] + " needs a value");
      default:
        return Misuse(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  const int count = argc - optind;
  if (count == 0) return Misuse("no data file given");
  if (count > 2) return Misuse("too many arguments");
  if (!haveFormat) return Misuse("no output format given (--to)");
  if ((haveLevel || haveThreads) && o.format != cv::Format::kVcfGz) {
    return Misuse("--level and --threads apply to --to vcf.gz only");
  }
  o.data = argv[optind];
  if (count == 2) o.par = argv[optind + 1];

  driftsim::InstallSignalHandling();
  try {
    cv::Convert(o);
  } catch (const cv::StatsError& error) {
    std::fprintf(stderr, "driftsim-convert: %s\n", error.what());
    return EXIT_FAILURE;
  } catch (const std::bad_alloc&) {
    std::fputs("driftsim-convert: out of memory\n", stderr);
    return EXIT_FAILURE;
  }
  // After the files are written: a refusal alone says what went wrong.
  const std::string warning = cv::OutputNameWarning(o);
  if (!warning.empty()) std::fprintf(stderr, "driftsim-convert: warning: %s\n", warning.c_str());
  return EXIT_SUCCESS;
}
