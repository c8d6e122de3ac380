// The engine of the command line for R. The same steps give the same bytes; errors come back as
// a value that the R side turns into a classed condition; nothing is printed unless asked. The
// engine runs on a thread of its own while R's thread waits for it, prints its progress when
// verbose and looks for Ctrl-C; an interrupt sets the run's cancel flag.
#include <R_ext/Utils.h>
#include <Rcpp.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// driver.hpp brings the run context and the model with it.
#include "driver/driver.hpp"
#include "output/output.hpp"
#include "rows/rows.hpp"
#include "simulation/background.hpp"
#include "stats/stats.hpp"

using namespace driftsim;

namespace {

// The plain model: every value is replaced by the R side's, so that each one is read and checked
// as an override naming its R argument.
constexpr const char* kTemplate =
    "0 Model\n1000 Ne\n0 MigRate\n100 NumLoci\n10 NumAllele\n5 NumGen\n50 NumIndiv\n"
    "50 NumIndiv\n50 NumIndiv\n7 IDUM\nrun1 OutFile\n3 INIT_POINT\n2000 MaxNe\n1 Monitor\n"
    "0 NumThread\n0 MisRate\n0 DropRate\n0 FalseRate\n0 FreqDist\n";

// The kind of a failure, named as the R side's condition classes are.
enum class Kind { kParameter, kFile, kWrite, kMemory, kInternal };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kParameter:
      return "parameter";
    case Kind::kFile:
      return "file";
    case Kind::kWrite:
      return "write";
    case Kind::kMemory:
      return "memory";
    case Kind::kInternal:
      break;
  }
  return "internal";
}

// A failure handed back to R: the R side raises it as a condition of class
// driftsim_<kind>_error.
struct Failure {
  Kind kind;
  std::string message;
  std::string file;
};

Rcpp::List FailureValue(const Failure& f) {
  Rcpp::List value =
      Rcpp::List::create(Rcpp::Named("kind") = KindName(f.kind), Rcpp::Named("message") = f.message,
                         Rcpp::Named("file") = f.file);
  value.attr("class") = "driftsim_failure";
  return value;
}

// The R kind of an engine error, by the engine's kind; a bad value is `otherwise`'s (a
// parameter when simulating, a file when reading one back).
Kind KindOf(const FatalError& e, Kind otherwise) {
  switch (e.Kind()) {
    case ErrorKind::kBadFile:
      return Kind::kFile;
    case ErrorKind::kCannotWrite:
      return Kind::kWrite;
    case ErrorKind::kOutOfMemory:
      return Kind::kMemory;
    case ErrorKind::kInternal:
      return Kind::kInternal;
    case ErrorKind::kBadValue:
    case ErrorKind::kInterrupted:  // raised as R's interrupt by Guarded
      break;
  }
  return otherwise;
}

// Set when the user interrupted: the caller unwinds its C++ frames, then R is told.
struct Interrupted {};

// Calls body and turns the engine's errors into a failure value; an interrupt is raised in R
// once every C++ frame is gone.
template <typename Body>
SEXP Guarded(Body body, Kind otherwise = Kind::kParameter, const std::string& file = "") {
  bool interrupted = false;
  SEXP result = R_NilValue;
  try {
    result = body();
  } catch (const Interrupted&) {
    interrupted = true;
  } catch (const FatalError& e) {
    if (e.Kind() == ErrorKind::kInterrupted) {
      interrupted = true;
    } else {
      result = FailureValue({KindOf(e, otherwise), e.what(), e.File().empty() ? file : e.File()});
    }
  } catch (const std::bad_alloc&) {
    result = FailureValue({Kind::kMemory, "Out of memory!", file});
  }
  if (interrupted) throw Rcpp::internal::InterruptedException();
  return result;
}

// ---------------------------------------------------------------------------------------------
// Progress and interrupts

// R_CheckUserInterrupt jumps out of the frame that calls it; R_ToplevelExec keeps the jump
// inside and says whether it happened.
void CheckInterrupt(void* /*unused*/) {
  R_CheckUserInterrupt();
}
bool UserInterrupted() {
  return R_ToplevelExec(CheckInterrupt, nullptr) == FALSE;
}

// Runs work on a thread of its own (simulation/background.hpp). Every 50 ms R's thread prints
// the progress (when verbose) and looks for an interrupt, which cancels the run; once the
// engine has unwound, an interrupt throws Interrupted and an engine error is rethrown here.
template <typename Work>
auto RunInterruptible(Work work, bool verbose) {
  bool interrupted = false;
  std::string shown;
  int tenths = -1;
  const auto poll = [&](ProgressEvents& events, bool finished) {
    for (const auto& [phase, count, total] : events.Take()) {
      if (!verbose) continue;
      // One line at every tenth of a phase.
      const int now = total > 0 ? int(10 * std::min(count, total) / total) : 10;
      if (phase != shown) tenths = -1;
      if (now > tenths) {
        REprintf("%s: %lld/%lld (%d%%)\n", phase.c_str(), static_cast<long long>(count),
                 static_cast<long long>(total), 10 * now);
      }
      shown = phase;
      tenths = std::max(tenths, now);
    }
    if (interrupted || finished || !UserInterrupted()) return false;
    interrupted = true;
    return true;
  };
  try {
    auto result = RunInBackground(work, poll);
    if (interrupted) throw Interrupted{};
    return result;
  } catch (const Interrupted&) {
    throw;
  } catch (...) {
    if (interrupted) throw Interrupted{};
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Parameters and records

// The parameters of named values (the table's names, e.g. "Ne", "NumIndiv1"), each read as an
// override whose option names the R argument.
Params ParamsOf(const Rcpp::CharacterVector& values, const Rcpp::CharacterVector& arguments) {
  const auto names = Rcpp::as<Rcpp::CharacterVector>(values.names());
  std::vector<ParamOverride> overrides;
  for (R_xlen_t i = 0; i < values.size(); ++i) {
    const std::string name(names[i]);
    overrides.push_back(
        {name, std::string(values[i]), std::string(arguments[i]), name == "OutFile"});
  }
  std::istringstream in(kTemplate);
  return ReadParaStream(in, "parameters", overrides);
}

Rcpp::CharacterVector ValuesOf(const Params& par) {
  const std::vector<ParamValue> values = ParamValues(par);
  Rcpp::CharacterVector texts(values.size());
  Rcpp::CharacterVector names(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    texts[R_xlen_t(i)] = values[i].text;
    names[R_xlen_t(i)] = values[i].name;
  }
  texts.names() = names;
  return texts;
}

// The samples in the order of the data file (S1, S2, S0): their first record and size.
struct Layout {
  std::vector<int> sample;
  std::vector<int64_t> record;
};

Layout FileOrder(const Params& par) {
  Layout layout;
  for (const int k : {kSample1, kSample2, kSourceSample}) {
    for (int32_t i = 0; i < par.NumIndiv[k]; ++i) {
      layout.sample.push_back(k);
      layout.record.push_back(SampleStart(GeometryOf(par), k) + i);
    }
  }
  return layout;
}

// Genotypes loci x individuals x 2 (file order), allele numbers, NA for a missing allele; the
// gene copies in their order (in phase under linkage).
Rcpp::IntegerVector GenotypeArray(const RunSamples& run, const Layout& layout) {
  const int64_t n = int64_t(layout.record.size()), loci = run.par.NumLoci;
  Rcpp::IntegerVector array(Rcpp::no_init(R_xlen_t(2 * n * loci)));
  int* out = array.begin();
  // R's column-major order: locus fastest, then individual, then the allele of the pair.
  for (int64_t i = 0; i < n; ++i) {
    for (int64_t L = 0; L < loci; ++L) {
      uint8_t pair[2];
      AllelesAt(run, layout.record[size_t(i)], L, pair);
      for (int64_t a = 0; a < 2; ++a) {
        out[L + loci * (i + n * a)] = pair[a] == 0 ? NA_INTEGER : int(pair[a]);
      }
    }
  }
  array.attr("dim") = Rcpp::IntegerVector::create(int(loci), int(n), 2);
  return array;
}

// The records of par's samples from a genotype array laid out as GenotypeArray makes it.
RunSamples RecordsOf(const Params& par, const Rcpp::IntegerVector& genotypes) {
  RunSamples run;
  run.par = par;
  run.Packed = par.Packed();
  run.GenoBytes = GenoBytesOf(par.NumLoci, run.Packed);
  const Layout layout = FileOrder(par);
  const int64_t n = int64_t(layout.record.size()), loci = par.NumLoci;
  if (genotypes.size() != 2 * n * loci) {
    FatalStop("The genotypes hold " + IntToText(int64_t(genotypes.size())) +
                  " alleles where the parameters give " + IntToText(2 * n * loci) + "!",
              "RecordsOf");
  }
  const auto bytes = size_t(std::max<int64_t>(n * run.GenoBytes, 1));
  run.Records.reset(static_cast<uint8_t*>(std::calloc(bytes, 1)));
  if (!run.Records) throw std::bad_alloc();
  const int* in = genotypes.begin();
  for (int64_t i = 0; i < n; ++i) {
    uint8_t* rec = run.Records.get() + layout.record[size_t(i)] * run.GenoBytes;
    for (int64_t L = 0; L < loci; ++L) {
      int pair[2];
      for (int64_t a = 0; a < 2; ++a) {
        const int allele = in[L + loci * (i + n * a)];
        if (allele != NA_INTEGER && (allele < 1 || allele > par.NumAllele)) {
          FatalStop("Allele " + IntToText(allele) + " is not one of the 1 to " +
                        IntToText(par.NumAllele) + " alleles of the run!",
                    "RecordsOf");
        }
        pair[a] = allele == NA_INTEGER ? 0 : allele;
      }
      // One missing allele makes the genotype missing, as the readers take it.
      if (pair[0] == 0 || pair[1] == 0) pair[0] = pair[1] = 0;
      if (run.Packed) {
        const uint32_t code = pair[0] == 0 ? 0 : pair[0] == pair[1] ? uint32_t(pair[0]) : 3;
        SetPackedCode(rec, L, code);
      } else {
        rec[2 * L] = uint8_t(pair[0]);
        rec[2 * L + 1] = uint8_t(pair[1]);
      }
    }
  }
  return run;
}

Rcpp::List TrueValuesList(const TrueValues& truth) {
  Rcpp::IntegerVector first, last;
  Rcpp::NumericVector census, effective;
  for (const SizeRun& r : truth.Sizes) {
    first.push_back(r.First);
    last.push_back(r.Last);
    census.push_back(double(r.Census));
    effective.push_back(double(r.Effective));
  }
  return Rcpp::List::create(
      Rcpp::Named("harmonic_mean_ne") = truth.HarmonicNe, Rcpp::Named("drift_ne") = truth.DriftNe,
      Rcpp::Named("temporal_f") = truth.TemporalF,
      Rcpp::Named("sizes") = Rcpp::DataFrame::create(
          Rcpp::Named("first") = first, Rcpp::Named("last") = last, Rcpp::Named("census") = census,
          Rcpp::Named("effective") = effective));
}

// A linked run's map per locus (bp positions, chromosome names, Morgans), NULL unlinked.
SEXP LinkageOf(const ModelOptions& model) {
  const GeneticMap* map = model.Map.get();
  if (!map) return R_NilValue;
  // bp as doubles: R has no 64-bit integers, and doubles hold every bp position whole.
  return Rcpp::List::create(
      Rcpp::Named("positions") = Rcpp::NumericVector(map->Bp.begin(), map->Bp.end()),
      Rcpp::Named("chromosomes") = Rcpp::wrap(LocusChromosomes(*map)),
      Rcpp::Named("map_positions") = Rcpp::wrap(map->Position));
}

ModelOptions ModelOf(const Rcpp::CharacterVector& options, const Rcpp::IntegerMatrix& sizes,
                     const std::string& sizesFile) {
  std::vector<std::pair<std::string, std::string>> named;
  const auto names = Rcpp::as<Rcpp::CharacterVector>(options.names());
  for (R_xlen_t i = 0; i < options.size(); ++i) {
    named.emplace_back(std::string(names[i]), std::string(options[i]));
  }
  std::vector<std::pair<int64_t, int64_t>> pairs;
  for (int r = 0; r < sizes.nrow(); ++r) pairs.emplace_back(sizes(r, 0), sizes(r, 1));
  return FrontEndModel(named, sizes.nrow() > 0 ? &pairs : nullptr, sizesFile);
}

}  // namespace

// [[Rcpp::export(.engine_simulate)]]
SEXP EngineSimulate(Rcpp::CharacterVector values, Rcpp::CharacterVector arguments,
                    Rcpp::CharacterVector options, Rcpp::IntegerMatrix sizes, std::string sizesFile,
                    int threads, bool followMaxNe, bool verbose) {
  return Guarded([&]() -> SEXP {
    Params par = ParamsOf(values, arguments);
    ModelOptions model = ModelOf(options, sizes, sizesFile);
    PrepareFrontEndModel(par, model, followMaxNe);
    const TrueValues truth = ComputeTrueValues(par, model);
    const KernelTable kernels = KernelsFromEnvironment();
    const int threadCount = ResolveThreadCount(threads);
    RunDescription desc = DescribeRun(par, model);
    desc.KeepPhase = true;
    const RunSamples run = RunInterruptible(
        [&](std::atomic<bool>& cancel, ProgressEvents& events) {
          ThreadPool pool(threadCount);
          const RunContext ctx{kernels, &pool, TaskSize{}, &cancel};
          EventProgress console(ctx, events);
          RunTimes times;
          return SimulateSamples(ctx, desc, console, times);
        },
        verbose);
    const Layout layout = FileOrder(par);
    return Rcpp::List::create(Rcpp::Named("parameters") = ValuesOf(par),
                              Rcpp::Named("genotypes") = GenotypeArray(run, layout),
                              Rcpp::Named("sample") = Rcpp::wrap(layout.sample),
                              Rcpp::Named("true_values") = TrueValuesList(truth),
                              Rcpp::Named("cpu_path") = kernels.Name(),
                              Rcpp::Named("linkage") = LinkageOf(model));
  });
}

// Writes <stem>.dat and <stem>.par of the parameters and genotypes, both or neither.
// [[Rcpp::export(.engine_write)]]
SEXP EngineWrite(Rcpp::CharacterVector values, Rcpp::CharacterVector arguments,
                 Rcpp::IntegerVector genotypes, bool verbose) {
  return Guarded(
      [&]() -> SEXP {
        const Params par = ParamsOf(values, arguments);
        const RunSamples run = RecordsOf(par, genotypes);
        const OutputNames names = OutputFiles(par.OutFile);
        RunInterruptible(
            [&](std::atomic<bool>& cancel, ProgressEvents& events) {
              const RunContext ctx{KernelTable{}, nullptr, TaskSize{}, &cancel};
              EventProgress console(ctx, events);
              RunFiles files(par.OutFile);
              WriteRunOutputs(par, run.Samples(), files, console);
              return 0;
            },
            verbose);
        return Rcpp::CharacterVector::create(names.Data, names.Para);
      },
      Kind::kParameter);
}

// Reads a data file and its estimator parameter file with driftsim-stats' reader and checks.
// [[Rcpp::export(.engine_read)]]
SEXP EngineRead(std::string dat, std::string parFile) {
  return Guarded(
      [&]() -> SEXP {
        const stats::ParInfo info = stats::ReadParFile(parFile);
        const int64_t loci = info.loci;
        const int64_t n = info.individuals[0] + info.individuals[1] + info.individuals[2];
        std::vector<int> alleles(size_t(2 * n * loci));
        std::vector<int> sample;
        std::vector<std::string> labels;
        struct Sink : stats::LineSink {
          std::vector<int>& alleles;
          std::vector<int>& sample;
          std::vector<std::string>& labels;
          int64_t n, loci, next = 0;
          Sink(std::vector<int>& a, std::vector<int>& s, std::vector<std::string>& l,
               int64_t individuals, int64_t L)
              : alleles(a), sample(s), labels(l), n(individuals), loci(L) {}
          void Line(const stats::GenoLine& line) override {
            for (int64_t L = 0; L < loci; ++L) {
              for (int64_t a = 0; a < 2; ++a) {
                const uint8_t allele = line.alleles[2 * L + a];
                alleles[size_t(L + loci * (next + n * a))] = allele == 0 ? NA_INTEGER : allele;
              }
            }
            sample.push_back(line.sample);
            labels.emplace_back(line.label);
            ++next;
          }
        } sink(alleles, sample, labels, n, loci);
        // The order of driftsim's files, so that a read run lays out as a simulated one.
        stats::GenoReader reader(dat, sink, {&info, true});
        stats::ReadFileInto(reader, dat);
        Rcpp::IntegerVector genotypes(alleles.begin(), alleles.end());
        genotypes.attr("dim") = Rcpp::IntegerVector::create(int(loci), int(n), 2);
        return Rcpp::List::create(Rcpp::Named("genotypes") = genotypes,
                                  Rcpp::Named("sample") = Rcpp::wrap(sample),
                                  Rcpp::Named("labels") = Rcpp::wrap(labels),
                                  Rcpp::Named("generations") = info.generations,
                                  Rcpp::Named("sample_sizes") = Rcpp::NumericVector::create(
                                      double(info.individuals[0]), double(info.individuals[1]),
                                      double(info.individuals[2])));
      },
      Kind::kFile, dat);
}

// The largest allele number a data file's reader takes: one byte.
constexpr int kMaxAllele = 255;

// driftsim-stats' JSON object of the genotypes (file order, sample of each individual): the same
// counts, the same code. data and par name the files in the object.
// [[Rcpp::export(.engine_stats_json)]]
SEXP EngineStatsJson(Rcpp::IntegerVector genotypes, Rcpp::IntegerVector sample,
                     Rcpp::CharacterVector labels, int generations, std::string data,
                     std::string par) {
  return Guarded([&]() -> SEXP {
    const auto dim = Rcpp::as<Rcpp::IntegerVector>(genotypes.attr("dim"));
    const int64_t loci = dim[0], n = dim[1];
    stats::GenoCounter counter;
    std::vector<uint8_t> row(size_t(2 * loci));
    std::array<int64_t, 3> sizes{};
    for (int64_t i = 0; i < n; ++i) {
      int32_t largest = 0;
      for (int64_t L = 0; L < loci; ++L) {
        const int a = genotypes[L + loci * i], b = genotypes[L + loci * (i + n)];
        for (const int allele : {a, b}) {
          if (allele != NA_INTEGER && (allele < 1 || allele > kMaxAllele)) {
            FatalStop("Allele " + IntToText(allele) + " is not an allele number (1 to " +
                          IntToText(kMaxAllele) + ")!",
                      "StatsJson");
          }
        }
        const bool missing = a == NA_INTEGER || b == NA_INTEGER;
        row[size_t(2 * L)] = missing ? 0 : uint8_t(a);
        row[size_t(2 * L + 1)] = missing ? 0 : uint8_t(b);
        largest = std::max({largest, int32_t(row[size_t(2 * L)]), int32_t(row[size_t(2 * L + 1)])});
      }
      const std::string label(labels[i]);
      stats::GenoLine line;
      line.sample = sample[i];
      line.label = label;
      line.line = i + 1;
      line.loci = loci;
      line.largest = largest;
      line.alleles = row.data();
      counter.Line(line);
      ++sizes[size_t(sample[i])];
    }
    stats::GenoCounts counts = counter.Take();
    counts.loci = loci;
    stats::ParInfo info;
    info.name = par;
    info.generations = generations;
    info.loci = loci;
    info.individuals = sizes;
    return Rcpp::wrap(stats::StatsJson(counts, info, data));
  });
}

// The seed of attempt `attempt` of replicate k: the first eight bytes of the SHA-256 of
// "base\0scenario\0k\0attempt", big-endian, modulo the largest seed, plus 1. A double holds
// the result whole (R has no 64-bit integers); the key holds NULs, which an R string cannot.
// [[Rcpp::export(.engine_hashed_seed)]]
double EngineHashedSeed(std::string base, std::string scenario, int k, int attempt) {
  std::string key = base;
  key += '\0';
  key += scenario;
  key += '\0';
  key += IntToText(k);
  key += '\0';
  key += IntToText(attempt);
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | digest[i];
  return double(value % 2147483646u + 1);
}

// [[Rcpp::export(.engine_version)]]
std::string EngineVersion() {
  return kVersion;
}
