// Helpers shared by the test programs.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cpu/cpu.hpp"
#include "cpu/threads.hpp"
#include "driver/driver.hpp"
#include "genotyping/genotyping.hpp"
#include "output/output.hpp"
#include "params/params.hpp"
#include "population/population.hpp"

namespace driftsim::test {

// The nineteen value lines of a parameter file, by line number 1..19, each written with a
// comment after it.
struct ParamLines {
  std::vector<std::string> value = {"1",  "1000", "0.01", "100",  "10", "5",    "50",
                                    "50", "50",   "7",    "run1", "3",  "2000", "1",
                                    "0",  "0.01", "0.01", "0.01", "0"};
  std::string& operator[](int line) { return value.at(size_t(line - 1)); }
  std::string Text() const {
    std::string text;
    for (size_t i = 0; i < value.size(); ++i)
      text += value[i] + "   value " + std::to_string(i + 1) + "\n";
    return text;
  }
};

inline Params Parse(const std::string& text) {
  std::istringstream in(text);
  return ReadParaStream(in, "SimPara.txt");
}

// The message with which a parameter text is refused, or "" when it is accepted.
inline std::string Refusal(const std::string& text) {
  try {
    Parse(text);
  } catch (const FatalError& e) {
    return e.Message();
  }
  return "";
}

// A fresh directory removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "driftsim-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A simulation state for the given parameter lines, with stdout progress lines captured away.
inline std::unique_ptr<SimState> MakeState(const ParamLines& lines) {
  return std::make_unique<SimState>(Parse(lines.Text()));
}

// Console text written by f; the capture ends also when f throws.
inline std::string Console(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  return testing::internal::GetCapturedStdout();
}

// The model's steps on a whole run state, with the buffers as the driver alternates them:
// generation g is written into buffer g % 2 from the parents in the other one. Progress goes
// to the console, as in a run.
inline void Initialize(SimState& sim) {
  ConsoleProgress progress;
  driftsim::Initialize(sim.par, sim.tab, sim.rnd.Uniform, progress);
}
inline void AllocateFreqTable(SimState& sim) {
  driftsim::AllocateFreqTable(sim.par, sim.tab);
}
inline void AllocateGenoTables(SimState& sim) {
  driftsim::AllocateGenoTables(sim.par, sim.tab);
}
inline void Reproduce(SimState& sim, int b) {
  ConsoleProgress progress;
  progress.Start();
  driftsim::Reproduce(sim.par, sim.tab.AlleleFreq.get(), sim.tab.Generation(1 - b),
                      sim.tab.Generation(b), sim.rnd, progress);
}
inline void Mutate(SimState& sim, int b) {
  driftsim::Mutate(sim.par, sim.tab.Generation(b), sim.rnd);
}
// Sample s (1 or 2) from the parents in buffer b.
inline void TakeSample(SimState& sim, int s, int b) {
  driftsim::TakeSample(sim.par, sim.tab.Generation(b), SampleRecords(sim.par, sim.tab, s), sim.rnd);
}
inline void TakeSourceSample(SimState& sim) {
  driftsim::TakeSourceSample(sim.par, sim.tab.AlleleFreq.get(),
                             SampleRecords(sim.par, sim.tab, kSourceSample), sim.rnd.Uniform);
}
inline void AddGenoErrors(SimState& sim) {
  driftsim::AddGenoErrors(sim.par, sim.tab.Samples(sim.par), sim.rnd);
}
inline void WriteGenoFile(const SimState& sim, PendingFile& out) {
  driftsim::WriteGenoFile(sim.par, sim.tab.Samples(sim.par), out);
}
inline void WriteParaFile(const SimState& sim, PendingFile& out) {
  driftsim::WriteParaFile(sim.par, out);
}

// Runs body with CPU path k forced, and the best path again afterwards.
template <typename Body>
void OnKernel(Kernel k, Body body) {
  SetKernel(k);
  body();
  SetKernel(BestKernel());
}

}  // namespace driftsim::test
