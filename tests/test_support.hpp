// Helpers shared by the test programs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "description/description.hpp"
#include "driver/driver.hpp"
#include "genotyping/genotyping.hpp"
#include "output/output.hpp"
#include "population/context.hpp"
#include "population/population.hpp"
#include "rows/rows.hpp"

namespace driftsim::test {

// Whether the programs run under an emulator (a cross build): resource limits then bound the
// emulator, not the program.
inline constexpr bool kEmulated = DRIFTSIM_EMULATED;

// Whether AddressSanitizer is built in: it reserves terabytes of address space.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The rows that the row-wise tests run: each row natively where this processor runs it, else
// its emulated twin. DRIFTSIM_TEST_ROWS=emulated takes every x86 row's emulated twin instead,
// so that one step proves every row's bytes on any processor. A row is never skipped: one that
// runs neither way fails (RequireRow).
inline std::vector<Kernel> TestRows() {
  const char* only = std::getenv("DRIFTSIM_TEST_ROWS");
  const bool emulated = only != nullptr && std::string(only) == "emulated";
  std::vector<Kernel> rows;
  for (const Kernel k : kKernels) rows.push_back(emulated ? EmulatedTwin(k) : ProvingRow(k));
  return rows;
}
inline std::vector<Kernel> TestVectorRows() {
  std::vector<Kernel> rows = TestRows();
  rows.erase(rows.begin());  // the portable row, the reference
  return rows;
}
// A row's name as a test name ("avx2_pdep_emulated").
inline std::string RowTestName(const testing::TestParamInfo<Kernel>& row) {
  std::string name = KernelName(row.param);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}
#define REQUIRE_ROW(k)                                                                     \
  ASSERT_TRUE(CanRun(k)) << "this processor cannot run the " << KernelName(k)              \
                         << " path, and this build has no emulated twin of it (configure " \
                            "with -DDRIFTSIM_EMULATED_ROWS=ON)"

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

// The lines of a text, without their ends.
inline std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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

// A run context of a test's choosing: a row, a thread count and task sizes.
struct Context {
  explicit Context(Kernel k, int threads = 1, TaskSize tasks = {})
      : pool(threads), ctx{KernelsFor(k), &pool, tasks} {}
  ThreadPool pool;
  RunContext ctx;
};

// The context of a run without options: the best row, the default thread count.
inline const RunContext& DefaultContext() {
  static const Context context(BestKernel(), ResolveThreadCount(0));
  return context.ctx;
}

// The whole run of a parameter file on row k and a thread count, with the given task sizes.
inline void RunOn(const std::string& paramFile, Kernel k, int threads, TaskSize tasks = {},
                  const ModelOptions& model = {}) {
  RunOptions options;
  options.paramFile = paramFile;
  options.kernel = k;
  options.threads = threads;
  options.tasks = tasks;
  options.model = model;
  RunSimulation(options);
}

// The model's steps on a whole run state, with the buffers as the driver alternates them:
// generation g is written into buffer g % 2 from the parents in the other one. Progress goes
// to the console, as in a run.
inline void Initialize(SimState& sim, Progress& progress,
                       const RunContext& ctx = DefaultContext()) {
  driftsim::Initialize(ctx, GeometryOf(sim.par), sim.par.FreqDist, sim.tab, sim.rnd.Uniform,
                       progress);
}
inline void Initialize(SimState& sim, const RunContext& ctx = DefaultContext()) {
  NormalConsole progress;
  Initialize(sim, progress, ctx);
}
inline void AllocateFreqTable(SimState& sim) {
  driftsim::AllocateFreqTable(GeometryOf(sim.par), sim.tab);
}
inline void AllocateGenoTables(SimState& sim) {
  driftsim::AllocateGenoTables(GeometryOf(sim.par), sim.tab);
}
inline void Reproduce(SimState& sim, int b, Progress& progress,
                      const RunContext& ctx = DefaultContext()) {
  driftsim::Reproduce(ctx, GeometryOf(sim.par), MigrationRate(sim.par), sim.tab.AlleleFreq.get(),
                      sim.tab.Generation(1 - b), sim.tab.Generation(b), sim.rnd, progress);
}
inline void Reproduce(SimState& sim, int b, const RunContext& ctx = DefaultContext()) {
  NormalConsole progress;
  progress.Start();
  Reproduce(sim, b, progress, ctx);
}
inline void Mutate(SimState& sim, int b, const RunContext& ctx = DefaultContext()) {
  driftsim::Mutate(ctx, GeometryOf(sim.par), sim.tab.Generation(b), sim.rnd);
}
// Sample s (1 or 2) from the parents in buffer b.
inline void TakeSample(SimState& sim, int s, int b, const RunContext& ctx = DefaultContext()) {
  const Geometry geo = GeometryOf(sim.par);
  driftsim::TakeSample(ctx, geo, sim.tab.Generation(b), SampleRecords(geo, sim.tab, s), sim.rnd);
}
inline void TakeSourceSample(SimState& sim, const RunContext& ctx = DefaultContext()) {
  const Geometry geo = GeometryOf(sim.par);
  driftsim::TakeSourceSample(ctx, geo, sim.tab.AlleleFreq.get(),
                             SampleRecords(geo, sim.tab, kSourceSample), sim.rnd.Uniform);
}
inline void AddGenoErrors(SimState& sim, const RunContext& ctx = DefaultContext()) {
  const Geometry geo = GeometryOf(sim.par);
  driftsim::AddGenoErrors(ctx, geo, GenoErrorRatesOf(sim.par), sim.tab.Samples(geo), sim.rnd);
}
inline void WriteGenoFile(const SimState& sim, OutputFile& out) {
  const Geometry geo = GeometryOf(sim.par);
  driftsim::WriteGenoFile(geo, sim.tab.Samples(geo), out);
}
inline void WriteParaFile(const SimState& sim, OutputFile& out) {
  driftsim::WriteParaFile(sim.par, out);
}

// A line of the estimator parameter file: the comment at column 30, or after two blanks when the
// value is too long for that.
inline std::string ParLine(const std::string& value, const std::string& comment) {
  return value + std::string(value.size() <= 27 ? 29 - value.size() : 2, ' ') + comment + "\r\n";
}

// The thirteen lines of <OutFile>.par that the estimation program reads, for the parameters p.
inline std::string ExpectedParFile(const Params& p) {
  return ParLine(std::to_string(p.Model), "!M_ESTIMATE, 1/0 for migration/isolation model") +
         ParLine("1", "!I_Equilibrium, 1/0 for equilibrium=Y/N") +
         ParLine(std::to_string(p.MaxNe), "!MaximumNe, maximal Ne allowed") +
         ParLine(std::to_string(p.Monitor), "!Monitor, 0/1/2/3 for monitoring level") +
         ParLine(std::to_string(p.NumThread),
                 "!NumThread, #openMP threads; when NumThread<=0 the maximal value is used") +
         ParLine(std::to_string(p.NumLoci), "!NLOCI_T, #All_Loci including monomorphic") +
         ParLine("\"" + p.OutFile + ".dat\"", "!DataFile, genotype data file name") +
         ParLine("2", "!DataForm, 0/1/2 for GenePop, 0123, 2Alleles/genotype formats") +
         ParLine("2", "!NumSmp, #temporal samples from focal pop") +
         ParLine("0 " + std::to_string(p.NumGen), "!NGEN, generations of temporal samples") +
         ParLine(std::to_string(p.NumIndiv[1]) + " " + std::to_string(p.NumIndiv[2]),
                 "!SmplSize, #genotyped individuals of each temporal sample from focal pop") +
         ParLine(std::to_string(p.NumIndiv[0]), "!SmplSize, #genotyped individuals of source pop") +
         ParLine(std::to_string(p.INIT_POINT), "!INIT_POINT, #initial random points to be used");
}

// ---------------------------------------------------------------------------------------------
// Runs of the binary

struct Launch {
  std::vector<std::string> args;
  std::filesystem::path dir;
  rlim_t fileSizeLimit = RLIM_INFINITY;      // bytes
  rlim_t addressSpaceLimit = RLIM_INFINITY;  // bytes, as `prlimit --as` sets it
  bool ignoreFileSizeSignal = true;
  // DRIFTSIM_TEST_STOP of the run: the commit step at which it stops itself (see stop_hook.cpp).
  std::string stopAt{};
  // Standard output into a pipe whose reading end is already closed, as `driftsim | head -1`.
  bool closedConsole = false;
  // The program, when not driftsim; DRIFTSIM_TEST_BINARY_DIR, when set, holds the programs
  // to run instead (those of another build, to see which rows fail there).
  std::string binary{};
  std::string stdoutFile{};        // standard output to this file rather than the console
  std::vector<int> closedFds{};    // descriptors closed in the program, as `>&-` does
  std::vector<std::string> env{};  // more NAME=VALUE entries
};

struct Ended {
  bool exited = false;
  int status = -1;  // exit status, or the signal that ended the process
  std::string console;
};

inline pid_t Start(const Launch& l) {
  const std::string console = (l.dir / "console.txt").string();
  std::vector<char*> argv;
  std::string binary = l.binary.empty() ? DRIFTSIM_BINARY : l.binary;
  if (const char* other = std::getenv("DRIFTSIM_TEST_BINARY_DIR")) {
    binary = (std::filesystem::path(other) / std::filesystem::path(binary).filename()).string();
  }
  argv.push_back(binary.data());
  std::vector<std::string> args = l.args;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with("DRIFTSIM_TEST_")) env.emplace_back(*e);
  }
  if (!l.stopAt.empty()) env.push_back("DRIFTSIM_TEST_STOP=" + l.stopAt);
  env.insert(env.end(), l.env.begin(), l.env.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return -1;
  int pipeEnds[2] = {-1, -1};
  if (l.closedConsole && pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
  if (l.closedConsole) close(pipeEnds[0]);
  const int stdoutFd =
      l.stdoutFile.empty() ? -1 : open(l.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    if (chdir(l.dir.c_str()) != 0) _exit(127);
    dup2(l.closedConsole ? pipeEnds[1] : out, 1);
    dup2(out, 2);
    if (stdoutFd >= 0) dup2(stdoutFd, 1);
    for (const int fd : l.closedFds) close(fd);
    if (l.fileSizeLimit != RLIM_INFINITY) {
      const struct rlimit limit = {l.fileSizeLimit, l.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (l.addressSpaceLimit != RLIM_INFINITY) {
      const struct rlimit limit = {l.addressSpaceLimit, l.addressSpaceLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    const struct rlimit noCore = {0, 0};  // runs ended by SIGQUIT or SIGABRT write no core
    setrlimit(RLIMIT_CORE, &noCore);
    if (l.ignoreFileSizeSignal) signal(SIGXFSZ, SIG_IGN);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out);
  if (stdoutFd >= 0) close(stdoutFd);
  if (l.closedConsole) close(pipeEnds[1]);
  return pid;
}

// Waits until the run has stopped itself at its DRIFTSIM_TEST_STOP step; false if it ended
// or did not stop within two minutes.
inline bool WaitStopped(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t r = waitpid(pid, &status, WNOHANG | WUNTRACED);
    if (r == pid) return WIFSTOPPED(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// Waits for the run; a run still going after two minutes is killed and reported as such.
inline Ended Wait(pid_t pid, const std::filesystem::path& dir,
                  std::chrono::seconds limit = std::chrono::minutes(2)) {
  Ended e;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "run did not end within " << limit.count() << " seconds";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  e.exited = WIFEXITED(status);
  e.status = e.exited ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  e.console = ReadFile((dir / "console.txt").string());
  return e;
}

// Runs all launches at the same time, so that their two-second fatal pauses overlap.
inline std::vector<Ended> RunAll(const std::vector<Launch>& launches) {
  std::vector<pid_t> pids;
  for (const Launch& l : launches) pids.push_back(Start(l));
  std::vector<Ended> ended;
  for (size_t i = 0; i < pids.size(); ++i) {
    if (pids[i] < 0) {
      ADD_FAILURE() << "could not start run " << i;
      ended.emplace_back();
      continue;
    }
    ended.push_back(Wait(pids[i], launches[i].dir));
  }
  return ended;
}

// Names in dir (not below it) that look like temporary output files.
inline std::vector<std::string> TempFilesIn(const std::filesystem::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".driftsim-") != std::string::npos || name.ends_with(".tmp")) {
      found.push_back(name);
    }
  }
  return found;
}

// The fatal report: the message between an empty first line and the stop line.
inline void ExpectFatal(const Ended& e, const std::string& messagePart,
                        const std::string& routine) {
  EXPECT_TRUE(e.exited) << "ended by signal " << e.status;
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.console.find("\n" + messagePart), std::string::npos)
      << "missing \"" << messagePart << "\" in:\n"
      << e.console.substr(e.console.size() > 2000 ? e.console.size() - 2000 : 0);
  EXPECT_TRUE(e.console.ends_with("\n\nProgram stopped in subroutine " + routine + "\n"))
      << e.console.substr(e.console.size() > 300 ? e.console.size() - 300 : 0);
  EXPECT_EQ(e.console.find("Simulation completed."), std::string::npos);
}

// A small valid run with the given lines replaced.
inline std::string SmallRun(const std::vector<std::pair<int, std::string>>& changes) {
  ParamLines p;
  p[2] = "20";
  p[4] = "12";
  p[6] = "2";
  p[7] = p[8] = p[9] = "5";
  p[11] = "out";
  p[13] = "20";
  for (const auto& [line, value] : changes) p[line] = value;
  return p.Text();
}

// Files standing for those of an earlier run: whatever a failed run does, they stay as they are.
struct EarlierFiles {
  EarlierFiles(const std::filesystem::path& d, const std::string& stem) : dir(d), stem_(stem) {
    WriteFile(Path(".dat"), "S1_1 1 2\r\nearlier data of " + stem + "\r\n");
    WriteFile(Path(".par"), "1                            !earlier parameters of " + stem + "\r\n");
    dat = ReadFile(Path(".dat"));
    par = ReadFile(Path(".par"));
  }
  std::string Path(const char* ext) const { return (dir / (stem_ + ext)).string(); }
  void ExpectUntouched() const {
    EXPECT_EQ(ReadFile(Path(".dat")), dat) << stem_ << ".dat changed";
    EXPECT_EQ(ReadFile(Path(".par")), par) << stem_ << ".par changed";
  }
  std::filesystem::path dir;
  std::string stem_, dat, par;
};

}  // namespace driftsim::test
