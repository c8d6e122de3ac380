// driftsim._core: the engine of the command line for Python. The same steps give the same bytes;
// errors raise instead of ending the process; nothing is written unless asked. The engine runs on
// a thread of its own while the calling thread, without the GIL, waits for it, hands its
// progress to Python and looks for Ctrl-C; an interrupt sets the run's cancel flag.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/memory.hpp"
#include "convert/convert.hpp"
#include "driver/driver.hpp"
#include "output/output.hpp"
#include "population/context.hpp"
#include "rows/rows.hpp"
#include "simulation/background.hpp"
#include "stats/stats.hpp"
#include "summary/summary.hpp"

namespace py = pybind11;

namespace driftsim::python {

extern const char* const kExampleParams;

namespace {

// The module's ParameterError, alive as long as the interpreter.
PyObject* gParameterError = nullptr;

// The Python exception of an engine error, by its kind: a bad value or input file is a
// ParameterError, a table that does not fit a MemoryError, an output that cannot be written an
// OSError(errno, strerror, filename) (with the message when no system call failed), a broken
// invariant a RuntimeError.
void RaiseFatal(const FatalError& e) {
  switch (e.Kind()) {
    case ErrorKind::kOutOfMemory:
      PyErr_SetString(PyExc_MemoryError, e.what());
      return;
    case ErrorKind::kCannotWrite: {
      const int err = e.OsError();
      py::object error = py::reinterpret_steal<py::object>(
          err != 0 ? PyObject_CallFunction(PyExc_OSError, "iss", err, std::strerror(err),
                                           e.File().c_str())
                   : PyObject_CallFunction(PyExc_OSError, "s", e.what()));
      if (!error) return;
      if (err == 0 && !e.File().empty()) error.attr("filename") = e.File();
      PyErr_SetObject(PyExc_OSError, error.ptr());
      return;
    }
    case ErrorKind::kInterrupted:
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      return;
    case ErrorKind::kInternal:
      PyErr_SetString(PyExc_RuntimeError, e.what());
      return;
    case ErrorKind::kBadValue:
    case ErrorKind::kBadFile:
      break;
  }
  PyErr_SetString(gParameterError, e.what());
}

// ---------------------------------------------------------------------------------------------
// Progress and cancellation

// Runs work on a thread of its own (simulation/background.hpp) and waits for it without the
// GIL. Every 50 ms the calling thread hands the events to progress (when callable) and runs
// Python's signal handlers: an exception from either (KeyboardInterrupt on Ctrl-C) cancels the
// run, and is raised once the engine has unwound.
template <typename Work>
auto RunInterruptible(Work work, const py::object& progress) {
  std::optional<py::error_already_set> raised;
  const auto poll = [&](ProgressEvents& events, bool /*finished*/) {
    if (raised) return false;
    try {
      if (!progress.is_none()) {
        for (const auto& [phase, count, total] : events.Take()) progress(phase, count, total);
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    } catch (py::error_already_set& e) {
      raised.emplace(std::move(e));
      return true;
    }
    return false;
  };
  // What Python raised comes first: the engine's error is then only the cancel it caused.
  try {
    auto result = RunInBackground<py::gil_scoped_release>(work, poll);
    if (raised) throw std::move(*raised);
    return result;
  } catch (const py::error_already_set&) {
    throw;
  } catch (...) {
    if (raised) throw std::move(*raised);
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Parameters

using Override = std::tuple<std::string, std::string, std::string, bool>;

std::vector<ParamOverride> Overrides(const std::vector<Override>& given) {
  std::vector<ParamOverride> overrides;
  for (const auto& [name, value, option, literal] : given) {
    overrides.push_back({name, value, option, literal});
  }
  return overrides;
}

Params ParamsFromText(const std::string& text, const std::string& name,
                      const std::vector<Override>& overrides) {
  std::istringstream in(text);
  return ReadParaStream(in, name, Overrides(overrides));
}

// ---------------------------------------------------------------------------------------------
// Samples

// The samples of a run, simulated or read: the records in the engine's table (source sample
// first) and the individuals in the order of the data file (S1, S2, S0).
struct Samples {
  RunSamples run;
  bool simulated = false;
  ModelOptions model;
  TrueValues truth;
  std::string kernel;
  int32_t generations = 0;
  int32_t width = 0;                // largest allele number
  std::vector<std::string> labels;  // file order
  std::vector<int> sample;          // file order
  std::vector<int64_t> record;      // file order: the individual's record

  int64_t Individuals() const { return int64_t(labels.size()); }
  int64_t Loci() const { return run.par.NumLoci; }

  // Allele numbers of individual i (file order), 0 for missing, as the data file has them;
  // returns the largest.
  int32_t Alleles(int64_t i, uint8_t* out) const {
    const uint8_t* rec = run.Records.get() + record[size_t(i)] * run.GenoBytes;
    static constexpr uint8_t kCodeAlleles[4][2] = {{0, 0}, {1, 1}, {2, 2}, {1, 2}};
    uint8_t largest = 0;
    for (int64_t L = 0; L < Loci(); ++L) {
      const uint8_t* pair = run.Packed ? kCodeAlleles[PackedCode(rec, L)] : rec + 2 * L;
      out[2 * L] = pair[0];
      out[2 * L + 1] = pair[1];
      largest = std::max({largest, pair[0], pair[1]});
    }
    return largest;
  }
};

// Hands every individual, in file order, to sink as driftsim-stats' reader would: the exports
// and the statistics read the records through the same lines as the files.
void EachLine(const Samples& s, stats::LineSink& sink) {
  std::vector<uint8_t> row(size_t(2 * s.Loci()));
  for (int64_t i = 0; i < s.Individuals(); ++i) {
    stats::GenoLine line;
    line.sample = s.sample[size_t(i)];
    line.label = s.labels[size_t(i)];
    line.line = i + 1;
    line.loci = s.Loci();
    line.largest = s.Alleles(i, row.data());
    line.alleles = row.data();
    sink.Line(line);
  }
}

// What the estimator parameter file of the samples says: loci, generations, sample sizes.
stats::ParInfo InfoOf(const Samples& s, const std::string& par) {
  stats::ParInfo info;
  info.name = par;
  info.generations = s.generations;
  info.loci = s.Loci();
  for (int k = 0; k < 3; ++k) info.individuals[size_t(k)] = s.run.par.NumIndiv[k];
  return info;
}

// The individuals of the data file written from a run's samples.
void LabelInFileOrder(Samples& s) {
  for (const int k : {kSample1, kSample2, kSourceSample}) {
    for (int32_t i = 0; i < s.run.par.NumIndiv[k]; ++i) {
      s.labels.push_back("S" + IntToText(k) + "_" + IntToText(i + 1));
      s.sample.push_back(k);
      s.record.push_back(SampleStart(GeometryOf(s.run.par), k) + i);
    }
  }
}

// Genotypes as scikit-allel lays them out: loci x individuals x 2, allele index = allele - 1,
// -1 for missing, the gene copies in their order (in phase under linkage). Loci in blocks, so that
// a block of the array stays in cache while every individual's record is read into it.
template <typename T>
py::array Genotypes(const Samples& s) {
  const int64_t n = s.Individuals(), loci = s.Loci();
  py::array_t<T> array({loci, n, int64_t{2}});
  T* out = array.mutable_data();
  {
    py::gil_scoped_release release;
    constexpr int64_t kBlock = 2048;
    for (int64_t L0 = 0; L0 < loci; L0 += kBlock) {
      const int64_t L1 = std::min(loci, L0 + kBlock);
      for (int64_t i = 0; i < n; ++i) {
        const int64_t r = s.record[size_t(i)];
        T* to = out + 2 * i;
        // Copy 1 first: in phase under linkage.
        for (int64_t L = L0; L < L1; ++L) {
          uint8_t pair[2];
          AllelesAt(s.run, r, L, pair);
          to[2 * n * L] = static_cast<T>(int(pair[0]) - 1);
          to[2 * n * L + 1] = static_cast<T>(int(pair[1]) - 1);
        }
      }
    }
  }
  return array;
}

// The JSON object of driftsim-stats --format json, from the records: the same counts, the same
// code. data and par name the files in the object.
std::string StatsJson(const Samples& s, const std::string& data, const std::string& par) {
  stats::GenoCounter counter;
  EachLine(s, counter);
  stats::GenoCounts counts = counter.Take();
  counts.loci = s.Loci();
  return stats::StatsJson(counts, InfoOf(s, par), data);
}

// Writes the samples in an export format with driftsim-convert's writers: the bytes of
// `driftsim-convert <data> --to <format>` (with --map of a linked run's map). names: one file, or
// the .ped and .map of plink.
void Export(const Samples& s, const std::string& format, const std::vector<std::string>& names,
            const std::string& data) {
  convert::Format f{};
  if (!convert::ParseFormat(format, f) || !convert::Available(f)) {
    throw std::invalid_argument("no export format " + format);
  }
  const stats::ParInfo info = InfoOf(s, stats::ParFileFor(data));
  std::vector<std::unique_ptr<convert::OutputFile>> files;
  for (const std::string& name : names) {
    files.push_back(std::make_unique<convert::OutputFile>(
        name, f == convert::Format::kVcfGz && files.empty() ? 1 : -1));
  }
  std::unique_ptr<convert::Writer> writer;
  if (f == convert::Format::kGenepop) writer = convert::MakeGenepop(*files[0], info, data);
  // A linked run's positions are its map's, as driftsim-convert --map gives them.
  const GeneticMap* map = s.model.Map.get();
  if (f == convert::Format::kVcf || f == convert::Format::kVcfGz) {
    writer = convert::MakeVcf(*files[0], info, data, map);
  }
  if (f == convert::Format::kPlink) {
    writer = convert::MakePlink(*files[0], *files[1], info, data, map);
  }
  {
    py::gil_scoped_release release;
    EachLine(s, *writer);
    writer->Finish();
    std::vector<convert::OutputFile*> all;
    for (const auto& file : files) {
      file->Finish();
      all.push_back(file.get());
    }
    convert::Commit(all);
  }
}

// Gives samples read from files the parameters of their run, so that they can be written: the
// sizes must be the files', the alleles within NumAllele. Biallelic records are packed as the
// engine packs them.
void AttachParams(Samples& s, const Params& par) {
  const Params& read = s.run.par;
  if (par.NumLoci != read.NumLoci || par.NumGen != s.generations ||
      par.NumIndiv[0] != read.NumIndiv[0] || par.NumIndiv[1] != read.NumIndiv[1] ||
      par.NumIndiv[2] != read.NumIndiv[2]) {
    throw std::invalid_argument(
        "the parameters are not those of the files: NumLoci " + IntToText(par.NumLoci) +
        ", NumGen " + IntToText(par.NumGen) + " and sample sizes " + IntToText(par.NumIndiv[0]) +
        " " + IntToText(par.NumIndiv[1]) + " " + IntToText(par.NumIndiv[2]) +
        " against the files' " + IntToText(read.NumLoci) + ", " + IntToText(s.generations) +
        " and " + IntToText(read.NumIndiv[0]) + " " + IntToText(read.NumIndiv[1]) + " " +
        IntToText(read.NumIndiv[2]));
  }
  if (s.width > par.NumAllele) {
    throw std::invalid_argument("the data file has allele " + IntToText(s.width) +
                                ", above the parameters' NumAllele " + IntToText(par.NumAllele));
  }
  if (par.Packed() && !s.run.Packed) {
    const int64_t bytes = GenoBytesOf(par.NumLoci, true);
    const int64_t n = par.TotalSampled();
    std::unique_ptr<uint8_t[], FreeDeleter> packed(
        static_cast<uint8_t*>(std::calloc(size_t(std::max<int64_t>(n * bytes, 1)), 1)));
    if (!packed) throw std::bad_alloc();
    for (int64_t r = 0; r < n; ++r) {
      const uint8_t* from = s.run.Records.get() + r * s.run.GenoBytes;
      uint8_t* to = packed.get() + r * bytes;
      for (int64_t L = 0; L < par.NumLoci; ++L) {
        const uint8_t a = from[2 * L], b = from[2 * L + 1];
        SetPackedCode(to, L, a == 0 || b == 0 ? 0u : a == b ? uint32_t(a) : 3u);
      }
    }
    s.run.Records = std::move(packed);
    s.run.GenoBytes = bytes;
    s.run.Packed = true;
  }
  s.run.par = par;
  s.simulated = true;
}

// The number in file, or the one after key in a file of "key number" lines; 0 when unreadable.
uint64_t NumberIn(const std::string& file, const std::string& key = "") {
  std::ifstream in(file);
  std::string word;
  uint64_t value = 0;
  if (key.empty()) return (in >> value) ? value : 0;
  while (in >> word >> value) {
    if (word == key) return value;
  }
  return 0;
}

// The memory the cgroups of the process hold, less their page cache (which the kernel gives
// back before it kills): the largest over v2 (memory.current) and v1 (memory.usage_in_bytes).
uint64_t CgroupUsedBytes(const std::string& procSelfCgroup, const std::string& mountRoot) {
  std::istringstream lines(procSelfCgroup);
  uint64_t used = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t a = line.find(':');
    const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
    std::string path = line.substr(b + 1);
    if (path == "/") path.clear();
    if (controllers == ",,") {
      for (const std::string& root : {mountRoot + path, mountRoot + "/unified" + path}) {
        const uint64_t current = NumberIn(root + "/memory.current");
        const uint64_t file = NumberIn(root + "/memory.stat", "file");
        if (current > file) used = std::max(used, current - file);
      }
    } else if (controllers.find(",memory,") != std::string::npos) {
      const std::string root = mountRoot + "/memory" + path;
      const uint64_t current = NumberIn(root + "/memory.usage_in_bytes");
      const uint64_t cache = NumberIn(root + "/memory.stat", "total_cache");
      if (current > cache) used = std::max(used, current - cache);
    }
  }
  return used;
}

uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGE_SIZE));
}

// The bytes a module run may still take for its tables: the limit that the command line
// measures, less the memory the interpreter already holds. That is this process's resident
// set, or in a cgroup with a limit the cgroup's own usage, whichever is more: the tables come
// on top of both. The command line starts small and needs no such allowance.
uint64_t ModuleUsableMemory(const std::string& procSelfCgroup, const std::string& mountRoot,
                            uint64_t usable, uint64_t resident) {
  const uint64_t limit = CgroupMemoryLimit(procSelfCgroup, mountRoot);
  const uint64_t held =
      std::max(resident, limit == UINT64_MAX ? 0 : CgroupUsedBytes(procSelfCgroup, mountRoot));
  // Never 0, which the engine reads as "no budget given".
  return usable > held ? usable - held : 1;
}

uint64_t ModuleUsableMemory() {
  std::ifstream in("/proc/self/cgroup");
  std::ostringstream text;
  text << in.rdbuf();
  return ModuleUsableMemory(text.str(), "/sys/fs/cgroup", UsableMemory(), ResidentBytes());
}

py::dict TrueValuesDict(const TrueValues& truth) {
  py::list sizes;
  for (const SizeRun& r : truth.Sizes) {
    py::dict run;
    run["first"] = r.First;
    run["last"] = r.Last;
    run["census"] = r.Census;
    run["effective"] = r.Effective;
    sizes.append(run);
  }
  py::dict d;
  d["harmonic_mean_ne"] = truth.HarmonicNe;
  d["drift_ne"] = truth.DriftNe;
  d["temporal_f"] = truth.TemporalF;
  d["sizes"] = sizes;
  return d;
}

// ---------------------------------------------------------------------------------------------
// Runs

// The model options as the command line takes them: texts for --burn-in, --mutation-rate and
// --ne-ratio, and the sizes as (generation, size) pairs or a file.
ModelOptions Model(const std::vector<std::pair<std::string, std::string>>& options,
                   const std::optional<std::vector<std::pair<int64_t, int64_t>>>& sizes,
                   const std::string& sizesFile) {
  return FrontEndModel(options, sizes ? &*sizes : nullptr, sizesFile);
}

// followMaxNe: MaxNe (handed on to the estimator) is raised to the largest size of the run.
Samples Simulate(Params par, const std::vector<std::pair<std::string, std::string>>& options,
                 const std::optional<std::vector<std::pair<int64_t, int64_t>>>& sizes,
                 const std::string& sizesFile, int threads, const py::object& progress,
                 bool followMaxNe) {
  Samples s;
  s.model = Model(options, sizes, sizesFile);
  PrepareFrontEndModel(par, s.model, followMaxNe);
  // Measured here, as the command line measures it before its files: what the tables may take
  // beside what the interpreter holds.
  RunDescription desc = DescribeRun(par, s.model);
  desc.KeepPhase = true;
  const MemoryBudget memory{
      ModuleUsableMemory(),
      (uint64_t{3} << 20) + 4 * uint64_t(LargestSize(par, s.model)) + LinkageBytesOf(desc).Total()};
  s.truth = ComputeTrueValues(par, s.model);
  // As on the command line: the thread count chosen, else DRIFTSIM_THREADS, else the CPUs; the
  // row DRIFTSIM_KERNEL names, else the best.
  const KernelTable kernels = KernelsFromEnvironment();
  const int threadCount = ResolveThreadCount(threads);
  s.kernel = kernels.Name();
  s.run = RunInterruptible(
      [&](std::atomic<bool>& cancel, ProgressEvents& events) {
        ThreadPool pool(threadCount);
        const RunContext ctx{kernels, &pool, TaskSize{}, &cancel};
        EventProgress console(ctx, events);
        RunTimes times;
        return SimulateSamples(ctx, desc, console, times, memory);
      },
      progress);
  s.simulated = true;
  s.generations = par.NumGen;
  s.width = par.NumAllele;
  LabelInFileOrder(s);
  return s;
}

// Writes <stem>.dat and <stem>.par as the command line does, both or neither.
void Write(const Samples& s, const std::string& stem, const py::object& progress) {
  if (!s.simulated) throw std::invalid_argument("a run read from files has no parameters to write");
  // The stem is checked as the command line's --out is.
  const std::vector<ParamOverride> out{{"OutFile", stem, "stem", true}};
  std::istringstream text(ParaFileText(s.run.par));
  const Params par = ReadParaStream(text, "stem", out);
  RunInterruptible(
      [&](std::atomic<bool>& cancel, ProgressEvents& events) {
        const RunContext ctx{KernelTable{}, nullptr, TaskSize{}, &cancel};
        EventProgress console(ctx, events);
        RunFiles files(par.OutFile);
        WriteRunOutputs(par, s.run.Samples(), files, console);
        return 0;
      },
      progress);
}

// Reads a data file and its estimator parameter file with driftsim-stats' reader and checks.
Samples Read(const std::string& dat, const std::string& parFile) {
  Samples s;
  // A pair whose commit was cut short may be a mix of two runs: refused as the tools refuse it.
  stats::CheckCommitted(dat, parFile);
  const stats::ParInfo info = stats::ReadParFile(parFile);
  Params& par = s.run.par;
  par.NumLoci = static_cast<int32_t>(info.loci);
  par.NumGen = info.generations;
  for (int k = 0; k < 3; ++k) par.NumIndiv[k] = static_cast<int32_t>(info.individuals[size_t(k)]);
  s.generations = info.generations;
  s.run.Packed = false;
  s.run.GenoBytes = 2 * info.loci;
  const auto bytes = size_t(par.TotalSampled() * s.run.GenoBytes);
  s.run.Records.reset(static_cast<uint8_t*>(std::malloc(std::max<size_t>(bytes, 1))));
  if (!s.run.Records) throw std::bad_alloc();
  struct Sink : stats::LineSink {
    Samples& s;
    int64_t next[3] = {0, 0, 0};
    explicit Sink(Samples& samples) : s(samples) {}
    void Line(const stats::GenoLine& line) override {
      const int k = line.sample;
      const int64_t r = SampleStart(GeometryOf(s.run.par), k) + next[k]++;
      std::memcpy(s.run.Records.get() + r * s.run.GenoBytes, line.alleles, size_t(s.run.GenoBytes));
      s.width = std::max(s.width, line.largest);
      s.labels.emplace_back(line.label);
      s.sample.push_back(k);
      s.record.push_back(r);
    }
  } sink(s);
  stats::GenoReader reader(dat, sink, {&info, false});
  stats::ReadFileInto(reader, dat);
  return s;
}

// The map of a linked run, per locus: (bp positions, chromosome names, positions in Morgans);
// None for an unlinked run or one read from files.
py::object Linkage(const Samples& s) {
  const GeneticMap* map = s.model.Map.get();
  if (!map) return py::none();
  py::array_t<int64_t> bp(py::ssize_t(map->Bp.size()));
  std::copy(map->Bp.begin(), map->Bp.end(), bp.mutable_data());
  py::array_t<double> morgans(py::ssize_t(map->Position.size()));
  std::copy(map->Position.begin(), map->Position.end(), morgans.mutable_data());
  return py::make_tuple(bp, LocusChromosomes(*map), morgans);
}

// The run record of a simulated run (--summary's JSON) without files or times: what ran, with
// the effective model options and the true values.
std::string RecordJson(const Samples& s) {
  if (!s.simulated) throw std::invalid_argument("a run read from files has no record to give");
  RunSummary r;
  r.version = kVersion;
  r.cpuPath = s.kernel;
  r.par = s.run.par;
  r.model = s.model;
  r.truth = s.truth;
  r.generationCount = s.model.BurnIn + s.run.par.NumGen;
  r.peakMemoryBytes = PeakResidentBytes();
  return SummaryJson(r);
}

// Writes text as the file path, whole or not at all, through the file transaction.
void WriteWholeFile(const std::string& path, const std::string& text) {
  OutputFile out(path, "WriteWholeFile");
  out.Write(text);
  out.Close();
  Commit({&out});
}

// The samples as a tuple of plain values, for pickle; SamplesFromState makes them again.
py::tuple SamplesState(const Samples& s) {
  const Params& p = s.run.par;
  const auto bytes = size_t(p.TotalSampled() * s.run.GenoBytes);
  return py::make_tuple(
      s.simulated, s.simulated ? ParaFileText(p) : std::string(),
      py::make_tuple(p.NumLoci, s.generations, p.NumIndiv[0], p.NumIndiv[1], p.NumIndiv[2]),
      s.run.Packed, s.run.GenoBytes,
      py::bytes(reinterpret_cast<const char*>(s.run.Records.get()), bytes), s.width, s.labels,
      s.sample, s.record, s.kernel,
      s.run.Phased ? py::bytes(reinterpret_cast<const char*>(s.run.Phased.get()), bytes)
                   : py::bytes());
}

// A copy of text in a buffer of its own, null when text is empty.
std::unique_ptr<uint8_t[], FreeDeleter> BufferOf(const std::string& text) {
  std::unique_ptr<uint8_t[], FreeDeleter> buffer;
  if (text.empty()) return buffer;
  buffer.reset(static_cast<uint8_t*>(std::malloc(text.size())));
  if (!buffer) throw std::bad_alloc();
  std::memcpy(buffer.get(), text.data(), text.size());
  return buffer;
}

Samples SamplesFromState(const py::tuple& t) {
  // Eleven items before samples kept their phase.
  if (t.size() != 11 && t.size() != 12) {
    throw std::invalid_argument("not the state of driftsim samples");
  }
  Samples s;
  s.simulated = t[0].cast<bool>();
  if (s.simulated) {
    s.run.par = ParamsFromText(t[1].cast<std::string>(), "pickled parameters", {});
  }
  const auto shape = t[2].cast<std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t>>();
  Params& p = s.run.par;
  p.NumLoci = std::get<0>(shape);
  s.generations = std::get<1>(shape);
  p.NumIndiv[0] = std::get<2>(shape);
  p.NumIndiv[1] = std::get<3>(shape);
  p.NumIndiv[2] = std::get<4>(shape);
  s.run.Packed = t[3].cast<bool>();
  s.run.GenoBytes = t[4].cast<int64_t>();
  const std::string records = t[5].cast<std::string>();
  if (records.size() != size_t(p.TotalSampled() * s.run.GenoBytes)) {
    throw std::invalid_argument("the pickled records do not match their sizes");
  }
  s.run.Records = BufferOf(records.empty() ? std::string(1, '\0') : records);
  const std::string phased = t.size() == 12 ? t[11].cast<std::string>() : std::string();
  if (!phased.empty() && (phased.size() != records.size() || !s.run.Packed)) {
    throw std::invalid_argument("the pickled phase does not match the records");
  }
  s.run.Phased = BufferOf(phased);
  s.width = t[6].cast<int32_t>();
  s.labels = t[7].cast<std::vector<std::string>>();
  s.sample = t[8].cast<std::vector<int>>();
  s.record = t[9].cast<std::vector<int64_t>>();
  s.kernel = t[10].cast<std::string>();
  return s;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "driftsim's engine; use the driftsim package.";
  gParameterError =
      py::exception<FatalError>(m, "ParameterError", PyExc_ValueError).release().ptr();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const FatalError& e) {  // driftsim-stats' errors and a cancelled run too
      RaiseFatal(e);
    }
  });
  m.attr("version") = kVersion;
  m.attr("example_params") = kExampleParams;

  py::class_<Params>(m, "Params")
      .def_static("from_file",
                  [](const std::string& path, const std::vector<Override>& overrides) {
                    return ReadPara(path, Overrides(overrides));
                  })
      .def_static("from_text", &ParamsFromText)
      .def("values",
           [](const Params& p) {
             std::vector<std::tuple<std::string, int, std::string>> values;
             for (const ParamValue& v : ParamValues(p)) {
               values.emplace_back(v.name, static_cast<int>(v.kind), v.text);
             }
             return values;
           })
      .def("file_text", &ParaFileText)
      .def("to_file", [](const Params& p, const std::string& path) {
        const std::string text = ParaFileText(p);
        OutputFile out(path, "WriteWholeFile");
        out.Write(text);
        out.Close();
        Commit({&out});
      });

  py::class_<Samples>(m, "Samples")
      .def_property_readonly("loci", &Samples::Loci)
      .def_property_readonly("individuals", &Samples::Individuals)
      .def_property_readonly("labels", [](const Samples& s) { return s.labels; })
      .def_property_readonly("sample", [](const Samples& s) { return s.sample; })
      .def_property_readonly("simulated", [](const Samples& s) { return s.simulated; })
      .def_property_readonly("kernel", [](const Samples& s) { return s.kernel; })
      .def_property_readonly("generations", [](const Samples& s) { return s.generations; })
      .def_property_readonly("true_values",
                             [](const Samples& s) -> py::object {
                               if (!s.simulated) return py::none();
                               return TrueValuesDict(s.truth);
                             })
      .def_property_readonly("record_bytes",
                             [](const Samples& s) { return s.run.GenoBytes * s.Individuals(); })
      .def("genotypes",
           [](const Samples& s) {
             // Allele indices beyond int8 (read files with alleles above 128) take int16.
             return s.width > 128 ? Genotypes<int16_t>(s) : Genotypes<int8_t>(s);
           })
      .def_property_readonly("params",
                             [](const Samples& s) -> py::object {
                               if (!s.simulated) return py::none();
                               return py::cast(s.run.par);
                             })
      .def("linkage", &Linkage)
      .def("attach_params", &AttachParams)
      .def("record_json", &RecordJson)
      .def("export", &Export, py::arg("format"), py::arg("names"), py::arg("data"))
      .def(py::pickle(&SamplesState, &SamplesFromState))
      .def("stats_json", &StatsJson)
      .def("write", &Write, py::arg("stem"), py::arg("progress") = py::none());

  m.def("simulate", &Simulate, py::arg("params"), py::arg("options"), py::arg("sizes"),
        py::arg("sizes_file"), py::arg("threads"), py::arg("progress"),
        py::arg("follow_max_ne") = false);
  m.def("write_whole_file", &WriteWholeFile, py::arg("path"), py::arg("text"));
  m.def(
      "true_values",
      [](const Params& par, const std::vector<std::pair<std::string, std::string>>& options,
         const std::optional<std::vector<std::pair<int64_t, int64_t>>>& sizes,
         const std::string& sizesFile) {
        ModelOptions model = Model(options, sizes, sizesFile);
        PrepareModel(par, model);
        return TrueValuesDict(ComputeTrueValues(par, model));
      },
      "The true values of the model of par with these options.");
  m.def(
      "usable_memory",
      [](const std::string& procSelfCgroup, const std::string& mountRoot, uint64_t usable,
         uint64_t resident) {
        return ModuleUsableMemory(procSelfCgroup, mountRoot, usable, resident);
      },
      "The memory a module run's tables may take, from these measures (for tests).");
  m.def("read", &Read, py::arg("dat"), py::arg("par"));
}

}  // namespace driftsim::python
