#include "driver/driver.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

#include "cpu/cpu.hpp"
#include "cpu/threads.hpp"
#include "genotyping/genotyping.hpp"
#include "output/output.hpp"

namespace driftsim {

namespace {
// Generations before the first sample.
constexpr int32_t kBurnIn = 250;

// Seconds since the previous lap, for the phase times.
class PhaseClock {
 public:
  double Lap() {
    const auto now = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return s;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};
}  // namespace

std::string FatalReport(const FatalError& error) {
  auto trimmed = [](const std::string& s) { return s.substr(0, s.find_last_not_of(' ') + 1); };
  std::string report(1, '\n');
  report += trimmed(error.Message());
  report += "\n\nProgram stopped in subroutine ";
  report += trimmed(error.Routine());
  report += '\n';
  return report;
}

void ReportFatalAndWait(const FatalError& error) {
  const std::string report = FatalReport(error);
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
  const int32_t t0 = MonotonicSeconds();
  while (MonotonicSeconds() < t0 + 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void ConsoleLine(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

void ConsoleText(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void ConsoleProgress::Frequencies(int32_t NumLoci) {
  ConsoleLine("  Uniform allele frequency of locus 1 to " + IntToText(NumLoci) + "...");
}

void ConsoleProgress::InitialGenotypes(int32_t NumLoci, int32_t Ne) {
  ConsoleLine("  Initial genotypes at " + IntToText(NumLoci) + " loci of " + IntToText(Ne) +
              " individuals...");
}

void ConsoleProgress::Loci(int64_t done) {
  ConsoleText("\r  Locus=" + IntToText(done));
}

void ConsoleProgress::LociDone(int32_t NumLoci) {
  ConsoleLine("\r  Done for locus 1 to " + IntToText(NumLoci));
}

void ConsoleProgress::Offspring(int32_t done) {
  ConsoleText("\r  Indiv=" + IntToText(done));
}

void ConsoleProgress::OffspringDone(int32_t Ne) {
  ConsoleLine("\r  Done for indiv 1 to " + IntToText(Ne) +
              ", TimeTaken(S) = " + IntToText(MonotonicSeconds() - start_));
}

void RunSimulation(const char* paramArg, RunTimes* times) {
  const int32_t StartSeconds = MonotonicSeconds();
  SelectKernelFromEnvironment();
  SelectThreadsFromEnvironment();
  const std::string paraFile = ParaFileName(paramArg);
  ConsoleLine("Reading parameter file: " + paraFile);
  SimState sim(ReadPara(paraFile));
  const Params& par = sim.par;
  Tables& tab = sim.tab;
  RunTimes unused;
  RunTimes& t = times ? *times : unused;
  PhaseClock clock;
  ConsoleProgress progress;

  ConsoleLine("Initialize variables...");
  Initialize(par, tab, sim.rnd.Uniform, progress);
  t.initialize = clock.Lap();

  // The generations alternate between the two buffers: the last one written holds the
  // current generation.
  int current = 0;
  auto generations = [&](int32_t from, int32_t to) {
    for (int32_t g = from; g <= to; ++g) {
      ConsoleLine("Simulating generation = " + IntToText(g));
      const int next = g % 2;
      progress.Start();
      Reproduce(par, tab.AlleleFreq.get(), tab.Generation(current), tab.Generation(next), sim.rnd,
                progress);
      Mutate(par, tab.Generation(next), sim.rnd);
      current = next;
      ++t.generationCount;
    }
    t.generations += clock.Lap();
  };
  generations(1, kBurnIn);
  ConsoleLine("Taking the 1st sample...");
  TakeSample(par, tab.Generation(current), SampleRecords(par, tab, kSample1), sim.rnd);
  t.samples += clock.Lap();
  generations(kBurnIn + 1, kBurnIn + par.NumGen);
  ConsoleLine("Taking the 2ed sample...");
  TakeSample(par, tab.Generation(current), SampleRecords(par, tab, kSample2), sim.rnd);
  if (par.Model == 1) {
    ConsoleLine("Taking the source population sample...");
    TakeSourceSample(par, tab.AlleleFreq.get(), SampleRecords(par, tab, kSourceSample),
                     sim.rnd.Uniform);
  }

  ConsoleLine("Generating genotyping errors & missing data...");
  AddGenoErrors(par, tab.Samples(par), sim.rnd);
  t.samples += clock.Lap();

  ConsoleLine("Write genotype data to file...");
  PendingFile dat(par.OutFile + ".dat", "WriteGenoFile");
  WriteGenoFile(par, tab.Samples(par), dat);
  ConsoleLine("Write parameters to file...");
  PendingFile para(par.OutFile + ".par", "WriteParaFile");
  WriteParaFile(par, para);
  CommitFiles(dat, para);
  t.write = clock.Lap();

  ConsoleLine("Simulation completed.");
  ConsoleLine("Data file = " + par.OutFile + ".dat");
  ConsoleLine("Parameter file = " + par.OutFile + ".par");
  ConsoleLine("");
  ConsoleLine("Time_Taken = " + IntToText(MonotonicSeconds() - StartSeconds));
  std::fflush(stdout);
}

}  // namespace driftsim
