// The command line's face: the consoles, `run` around the engine, `check`, and the fatal report.
#include "driver/driver.hpp"
#include "rows/rows.hpp"

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/memory.hpp"
#include "cpu/cpu.hpp"
#include "cpu/threads.hpp"
#include "output/output.hpp"
#include "summary/summary.hpp"

namespace driftsim {

std::string FatalReport(const FatalError& error) {
  auto trimmed = [](const std::string& s) { return s.substr(0, s.find_last_not_of(' ') + 1); };
  std::string report(1, '\n');
  report += trimmed(error.Message());
  report += "\n\nProgram stopped in subroutine ";
  report += trimmed(error.Routine());
  report += '\n';
  return report;
}

void ReportFatalAndWait(const FatalError& error, std::FILE* to) {
  const std::string report = FatalReport(error);
  std::fwrite(report.data(), 1, report.size(), to);
  std::fflush(to);
  const int32_t t0 = MonotonicSeconds();
  while (MonotonicSeconds() < t0 + 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void Console::Line(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
}

void Console::Text(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void Console::Stage(RunStage stage) {
  switch (stage) {
    case RunStage::kInitialize:
      return Step("Initialize variables...");
    case RunStage::kSample1:
      return Step("Taking the 1st sample...");
    case RunStage::kSample2:
      return Step("Taking the 2ed sample...");
    case RunStage::kSourceSample:
      return Step("Taking the source population sample...");
    case RunStage::kGenoErrors:
      return Step("Generating genotyping errors & missing data...");
    case RunStage::kWriteData:
      return Step("Write genotype data to file...");
    case RunStage::kWritePara:
      return Step("Write parameters to file...");
  }
}

void Console::Final(std::string_view line) {
  Line(line);
}

void NormalConsole::Generation(int32_t g, int32_t /*last*/) {
  Line("Simulating generation = " + IntToText(g));
  Start();
}

void NormalConsole::Frequencies(int32_t NumLoci) {
  Line("  Uniform allele frequency of locus 1 to " + IntToText(NumLoci) + "...");
}

void NormalConsole::InitialGenotypes(int32_t NumLoci, int32_t Ne) {
  Line("  Initial genotypes at " + IntToText(NumLoci) + " loci of " + IntToText(Ne) +
       " individuals...");
}

void NormalConsole::Loci(int64_t done) {
  Text("\r  Locus=" + IntToText(done));
}

void NormalConsole::LociDone(int32_t NumLoci) {
  Line("\r  Done for locus 1 to " + IntToText(NumLoci));
}

void NormalConsole::Offspring(int32_t done) {
  Text("\r  Indiv=" + IntToText(done));
}

void NormalConsole::OffspringDone(int32_t Ne) {
  Line("\r  Done for indiv 1 to " + IntToText(Ne) +
       ", TimeTaken(S) = " + IntToText(MonotonicSeconds() - start_));
}

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Whole seconds as M:SS, or H:MM:SS from an hour on.
std::string Clock(double seconds) {
  const auto s = static_cast<int64_t>(seconds + 0.5);
  const auto two = [](int64_t n) { return (n < 10 ? "0" : "") + IntToText(n); };
  if (s < 3600) return IntToText(s / 60) + ":" + two(s % 60);
  return IntToText(s / 3600) + ":" + two(s / 60 % 60) + ":" + two(s % 60);
}

// A terminal redraws at most this often; the count of a fast phase would only flicker.
constexpr double kRedrawSeconds = 0.1;

}  // namespace

BarConsole::BarConsole(std::FILE* out, std::FILE* err, bool terminal, int width)
    : Console(out), err_(err), terminal_(terminal), width_(width) {}

void BarConsole::Begin(int64_t total) {
  PhaseEnd();
  active_ = true;
  total_ = total;
  tenthsShown_ = 0;
  start_ = Now();
  lastDraw_ = -1;
}

void BarConsole::Show(std::string label, double done) {
  if (!active_) return;
  label_ = std::move(label);
  const double f = total_ > 0 ? std::clamp(done / double(total_), 0.0, 1.0) : 1.0;
  const double now = Now();
  const int tenths = static_cast<int>(f * 10 + 1e-9);
  if (terminal_ ? f < 1 && now - lastDraw_ < kRedrawSeconds : tenths <= tenthsShown_) return;
  lastDraw_ = now;
  tenthsShown_ = tenths;
  const double elapsed = now - start_;
  const int percent = static_cast<int>(f * 100 + 1e-9);
  const std::string left = f > 0 ? Clock(elapsed * (1 - f) / f) : "?";
  std::string tail = IntToText(percent) + "%  elapsed " + Clock(elapsed) + "  left " + left;
  tail.insert(0, 6 - IntToText(percent).size(), ' ');  // percentages right-aligned
  std::string line;
  if (!terminal_) {
    line = label_ + tail + "\n";
  } else {
    // The bar takes what the terminal leaves, within bounds; none on a narrow one.
    const int room = width_ - 1 - static_cast<int>(label_.size() + tail.size()) - 3;
    const int bar = std::min(room, 30);
    line = label_;
    if (bar >= 10) {
      const int full = static_cast<int>(f * bar);
      line += " [" + std::string(size_t(full), '#') + std::string(size_t(bar - full), '.') + "]";
    }
    line += tail;
    // A line that wrapped could not be redrawn: cut to the width.
    if (line.size() >= size_t(width_)) line.resize(size_t(std::max(width_ - 1, 1)));
    line = "\r" + line + "\x1b[K";  // the erase clears what a longer earlier line left
  }
  std::fwrite(line.data(), 1, line.size(), err_);
  std::fflush(err_);
}

void BarConsole::PhaseEnd() {
  if (!active_) return;
  lastDraw_ = -1;
  Show(label_, double(total_));
  if (terminal_) std::fputc('\n', err_);
  active_ = false;
}

void BarConsole::Frequencies(int32_t NumLoci) {
  Begin(NumLoci);
  Show("initialising: allele frequencies", 0);
}

void BarConsole::InitialGenotypes(int32_t NumLoci, int32_t Ne) {
  Ne_ = Ne;
  Show("initialising: locus 0 of " + IntToText(NumLoci), 0);
}

void BarConsole::Loci(int64_t done) {
  const int64_t loci = std::min(done, total_);
  Show("initialising: locus " + IntToText(loci) + " of " + IntToText(total_), double(loci));
}

void BarConsole::Generation(int32_t g, int32_t last) {
  if (!active_ || last != lastGeneration_) Begin(last);
  generation_ = g;
  lastGeneration_ = last;
  Show("generation " + IntToText(g) + " of " + IntToText(last), g - 1);
}

void BarConsole::Offspring(int32_t done) {
  Show(label_, generation_ - 1 + double(done) / Ne_);
}

void BarConsole::Writing(int64_t records) {
  Begin(records);
  Show("writing: individual 0 of " + IntToText(records), 0);
}

void BarConsole::Records(int64_t done) {
  Show("writing: individual " + IntToText(done) + " of " + IntToText(total_), double(done));
}

std::unique_ptr<Console> MakeConsole(ConsoleMode mode, std::FILE* out) {
  switch (mode) {
    case ConsoleMode::kQuiet:
      return std::make_unique<Console>(out);
    case ConsoleMode::kProgress: {
      const bool terminal = isatty(STDERR_FILENO) != 0;
      struct winsize size {};
      const int width = terminal && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
                            ? size.ws_col
                            : 80;
      return std::make_unique<BarConsole>(out, stderr, terminal, width);
    }
    case ConsoleMode::kNormal:
      break;
  }
  return std::make_unique<NormalConsole>(out);
}

namespace {

std::string ParamFileOf(const RunOptions& options) {
  return ParaFileName(options.paramFile ? options.paramFile->c_str() : nullptr);
}

// Bytes of working space beside the tables: the output buffers, and slack for the allocator
// and the packed staging rows.
uint64_t WorkingBytes(const Params& par) {
  return 2 * uint64_t{OutputFile::kBufferSize} + 4 * uint64_t(par.Ne) + (uint64_t{1} << 20);
}

// Bytes, with their size in the largest binary unit that keeps it at 1 or more.
std::string Bytes(uint64_t n) {
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double size = double(n) / 1024;
  int unit = 0;
  for (; size >= 1024 && unit < 3; ++unit) size /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, " (%.1f %s)", size, units[unit]);
  return IntToText(int64_t(n)) + " bytes" + (n >= 1024 ? text : "");
}

// The row of CPU routines of a run: the one the caller forced, else DRIFTSIM_KERNEL's, else the
// best this processor runs.
KernelTable KernelsOf(const RunOptions& options) {
  return options.kernel ? KernelsFor(*options.kernel) : KernelsFromEnvironment();
}

// Every file the run writes, made at the start (so that a folder or name that cannot take
// them stops the run before the work), once no output is found to be an input or another output.
RunFiles OpenRunFiles(const Params& par, const RunOptions& options, const std::string& paraFile,
                      const ModelOptions& model) {
  std::vector<FileRole> roles = {{paraFile, "the parameter file", true}};
  if (!model.SizesFile.empty()) roles.push_back({model.SizesFile, "the sizes file", true});
  if (!model.MapFile.empty()) roles.push_back({model.MapFile, "the map file", true});
  const OutputNames out = OutputFiles(par.OutFile);
  roles.push_back({out.Data, "the data file", false});
  roles.push_back({out.Para, "the estimator parameter file", false});
  const bool record = !options.summary.empty() && options.summary != "-";
  if (!options.writeParams.empty()) {
    roles.push_back({options.writeParams, "the --write-params file", false});
  }
  if (record) roles.push_back({options.summary, "the run record", false});
  CheckDistinctFiles(roles, "CheckFiles");
  return RunFiles(par.OutFile, options.writeParams, record ? options.summary : "");
}

// The parameter file that reproduces the run: the nineteen values and the model options.
void WriteParams(const Params& par, const ModelOptions& model, OutputFile& out) {
  out.Write(ParaFileText(par) + ModelLinesText(model));
  out.Close();
}

}  // namespace

void CheckSimulation(const RunOptions& options) {
  KernelsOf(options);
  ResolveThreadCount(options.threads);
  NormalConsole console;
  const std::string paraFile = ParamFileOf(options);
  console.Step("Reading parameter file: " + paraFile);
  const ParamFile file = ReadParamFile(paraFile, options.overrides);
  const Params& par = file.par;
  ModelOptions model = options.model;
  ApplyModelLines(file, model, options.modelGiven);
  PrepareModel(par, model);
  const int32_t records = LargestSize(par, model);
  std::string report = "Parameters:\n";
  for (const ParamValue& v : ParamValues(par)) {
    std::string name = v.name;
    name.resize(12, ' ');
    report += "  " + name + v.text + "\n";
  }
  report += "Model:\n" + ModelReport(model);
  const Geometry geo = GeometryOf(par);
  const TableBytes tables = TableSizes(geo, records);
  const int64_t genoBytes = geo.GenoBytes();
  report += "Tables:\n  allele frequencies  " + Bytes(tables.AlleleFreq) +
            "\n  generations         " + Bytes(tables.FocalPop) + ", 2 x " + IntToText(records) +
            " records of " + IntToText(genoBytes) + " bytes\n  samples             " +
            Bytes(tables.SmplGeno) + ", " + IntToText(geo.TotalSampled()) + " records of " +
            IntToText(genoBytes) + " bytes\n";
  const LinkageBytes linkage = LinkageBytesOf(DescribeRun(par, model));
  if (const GeneticMap* map = model.Map.get()) {
    report += "  genetic map         " + Bytes(linkage.Map) + ", " +
              IntToText(int64_t(map->Position.size())) + " loci on " +
              IntToText(int64_t(map->Chromosomes.size())) + " chromosomes\n  crossover plan      " +
              Bytes(linkage.Plan) + ", " + IntToText(linkage.PlanOffspring) +
              " offspring at most\n";
  }
  const uint64_t usable = UsableMemory();
  const uint64_t working = WorkingBytes(par) + linkage.Total();
  report += "Memory:\n  tables and buffers  " + Bytes(tables.Total() + working) +
            "\n  estimated peak      " + Bytes(tables.Total() + working + PeakResidentBytes()) +
            "\n  the process may use " + Bytes(usable) + " more\n";
  console.Step(report.substr(0, report.size() - 1));
  const std::string dataFile = OutputFiles(par.OutFile).Data;
  if (CommitPending(dataFile)) {
    console.Step("A stopped run left the commit of " + dataFile +
                 " unfinished: the run completes it first.");
  }
  // A record beside the other outputs that cannot be trusted stops the run as this one does.
  for (const std::string& name : {options.writeParams, options.summary}) {
    if (!name.empty() && name != "-") CommitPending(name);
  }
  std::fflush(stdout);
  // In the order of the run: every output is tried before the tables are made.
  RunFiles files = OpenRunFiles(par, options, paraFile, model);
  // A file-size limit (ulimit -f) that the data file may pass would stop the run in its writing.
  files.dat->CheckRoom(GenoFileBytes(par));
  CheckTablesFit(geo, usable, working, records);
  if (files.params) {
    WriteParams(par, model, *files.params);
    Commit({&*files.params});
  }
  console.Step("The run would start.");
  std::fflush(stdout);
}

void RunSimulation(const char* paramArg, RunTimes* times) {
  RunSimulation(paramArg, ModelOptions{}, times);
}

void RunSimulation(const char* paramArg, const ModelOptions& model, RunTimes* times,
                   TrueValues* truth) {
  RunOptions options;
  if (paramArg) options.paramFile = paramArg;
  options.model = model;
  RunSimulation(options, times, truth);
}

void RunSimulation(const RunOptions& options, RunTimes* times, TrueValues* truth) {
  const int32_t StartSeconds = MonotonicSeconds();
  const double startTime = Now();
  // The run's context: its row of CPU routines and its threads, for this run alone.
  ThreadPool pool(ResolveThreadCount(options.threads));
  const RunContext ctx{KernelsOf(options), &pool, options.tasks};
  // A record on standard output moves the console to standard error.
  const std::unique_ptr<Console> console =
      MakeConsole(options.console, options.summary == "-" ? stderr : stdout);
  const std::string paraFile = ParamFileOf(options);
  console->Step("Reading parameter file: " + paraFile);
  const ParamFile file = ReadParamFile(paraFile, options.overrides);
  const Params& par = file.par;
  // A commit of this stem that a killed run left is completed before anything else, with the
  // records it left in the folders of the other outputs.
  for (const std::string& name :
       {OutputFiles(par.OutFile).Data, options.writeParams, options.summary}) {
    if (!name.empty() && name != "-") RecoverCommit(name);
  }
  ModelOptions model = options.model;
  ApplyModelLines(file, model, options.modelGiven);
  // Measured where --check measures it, before the output files map their buffers, so that the
  // run refuses exactly what --check refuses.
  MemoryBudget memory{UsableMemory(), WorkingBytes(par)};
  // Every output is tried before the work: the temporary files exist from here on.
  RunFiles files = OpenRunFiles(par, options, paraFile, model);
  if (!model.SizesFile.empty()) console->Step("Reading sizes file: " + model.SizesFile);
  if (!model.MapFile.empty()) console->Step("Reading map file: " + model.MapFile);
  PrepareModel(par, model);
  if (files.params) WriteParams(par, model, *files.params);
  RunTimes unused;
  RunTimes& t = times ? *times : unused;
  const RunDescription desc = DescribeRun(par, model);
  memory.working += LinkageBytesOf(desc).Total();
  const RunSamples samples = SimulateSamples(ctx, desc, *console, t, memory);
  if (truth) *truth = samples.truth;
  PhaseClock clock;

  WriteRunOutputs(par, samples.Samples(), files, *console);
  t.write = clock.Lap();
  const double runSeconds = Now() - startTime;

  console->Final("Simulation completed.");
  console->Final("Data file = " + files.dat->FinalName());
  console->Final("Parameter file = " + files.para->FinalName());
  console->Final("");
  console->Final("Time_Taken = " + IntToText(MonotonicSeconds() - StartSeconds));
  std::fflush(stdout);
  std::fflush(stderr);

  if (!options.summary.empty()) {
    RunSummary run;
    run.version = kVersion;
    run.cpuPath = ctx.kernels.Name();
    run.paramFile = paraFile;
    run.par = par;
    run.model = model;
    run.truth = samples.truth;
    run.files = {DescribeFile(files.dat->FinalName()), DescribeFile(files.para->FinalName())};
    run.initialize = t.initialize;
    run.generations = t.generations;
    run.samples = t.samples;
    run.write = t.write;
    run.total = runSeconds;
    run.generationCount = t.generationCount;
    run.peakMemoryBytes = PeakResidentBytes();
    const std::string json = SummaryJson(run);
    if (options.summary == "-") {
      // The record is the output: a record that does not arrive is an error.
      if (std::fwrite(json.data(), 1, json.size(), stdout) != json.size() ||
          std::fflush(stdout) != 0) {
        const int err = errno;
        FatalStop("Cannot write the run record to standard output: " +
                      std::string(std::strerror(err)) + "!",
                  "WriteSummary", ErrorKind::kCannotWrite, err, "");
      }
    } else {
      WriteRunRecord(json, files);
    }
  }
}

}  // namespace driftsim
