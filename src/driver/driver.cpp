#include "driver/driver.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

#include "errors/errors.hpp"
#include "output/output.hpp"
#include "params/params.hpp"
#include "population/population.hpp"

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

std::string IntToText(int64_t n) {
  char digits[24];
  char* p = digits + sizeof digits;
  uint64_t m = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  do {
    *--p = static_cast<char>('0' + m % 10);
    m /= 10;
  } while (m != 0);
  if (n < 0) *--p = '-';
  return std::string(p, digits + sizeof digits);
}

int32_t WallSeconds() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

FatalError::FatalError(std::string message, std::string routine)
    : std::runtime_error(message), message_(std::move(message)), routine_(std::move(routine)) {}

void FatalStop(std::string_view message, std::string_view routine) {
  throw FatalError(std::string(message), std::string(routine));
}

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
  const int32_t t0 = WallSeconds();
  while (WallSeconds() < t0 + 2) {
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

void RunSimulation(const char* paramArg, RunTimes* times) {
  const int32_t StartSeconds = WallSeconds();
  SimState sim(ReadPara(paramArg));
  const Params& par = sim.par;
  RunTimes unused;
  RunTimes& t = times ? *times : unused;
  PhaseClock clock;

  ConsoleLine("Initialize variables...");
  Initialize(sim);
  t.initialize = clock.Lap();

  int Parity = 0;
  auto generations = [&](int32_t from, int32_t to) {
    for (int32_t g = from; g <= to; ++g) {
      ConsoleLine("Simulating generation = " + IntToText(g));
      Parity = g % 2;
      Reproduce(sim, Parity);
      Mutate(sim, Parity);
      ++t.generationCount;
    }
    t.generations += clock.Lap();
  };
  generations(1, kBurnIn);
  ConsoleLine("Taking the 1st sample...");
  TakeSample(sim, 1, Parity);
  t.samples += clock.Lap();
  generations(kBurnIn + 1, kBurnIn + par.NumGen);
  ConsoleLine("Taking the 2ed sample...");
  TakeSample(sim, 2, Parity);
  if (par.Model == 1) {
    ConsoleLine("Taking the source population sample...");
    TakeSourceSample(sim);
  }

  ConsoleLine("Generating genotyping errors & missing data...");
  AddGenoErrors(sim);
  t.samples += clock.Lap();

  ConsoleLine("Write genotype data to file...");
  PendingFile dat(par.OutFile + ".dat", "WriteGenoFile");
  WriteGenoFile(sim, dat);
  ConsoleLine("Write parameters to file...");
  PendingFile para(par.OutFile + ".par", "WriteParaFile");
  WriteParaFile(sim, para);
  CommitFiles(dat, para);
  t.write = clock.Lap();

  ConsoleLine("Simulation completed.");
  ConsoleLine("Data file = " + par.OutFile + ".dat");
  ConsoleLine("Parameter file = " + par.OutFile + ".par");
  ConsoleLine("");
  ConsoleLine("Time_Taken = " + IntToText(WallSeconds() - StartSeconds));
  std::fflush(stdout);
}

}  // namespace driftsim
