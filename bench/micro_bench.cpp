// Micro benchmarks of the hot pieces of a generation: the uniform generator (single draws and
// the batches of a row), the 64-bit jump of the bit register, and one whole Reproduce on states
// shaped like the many-loci (W2), SNP (W3) and SNP-panel (W5) scenarios.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "description/description.hpp"
#include "driver/driver.hpp"
#include "population/context.hpp"
#include "population/population.hpp"
#include "random/random.hpp"
#include "rows/rows.hpp"

namespace {

using driftsim::Params;
using driftsim::SimState;

void BM_RanUniform(benchmark::State& state) {
  driftsim::RngState u;
  u.IDUM = -7;
  double sum = 0;
  for (auto _ : state) {
    sum += u.RanUniform();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RanUniform);

// Batches of 2048 single-precision draws through the row DRIFTSIM_KERNEL names (the size of
// the chunks the steps take).
void BM_UniformBatch(benchmark::State& state) {
  const driftsim::KernelTable kernels = driftsim::KernelsFromEnvironment();
  driftsim::RngState u;
  u.IDUM = -7;
  std::vector<float> out(2048);
  for (auto _ : state) {
    driftsim::RanUniformBatch(kernels.uniform, u, out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(out.size()));
}
BENCHMARK(BM_UniformBatch);

void BM_JumpBits64(benchmark::State& state) {
  uint32_t seed = 7;
  uint64_t sum = 0;
  for (auto _ : state) {
    const driftsim::BitWord w = driftsim::JumpBits64(seed);
    seed = w.state;
    sum ^= w.bits;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JumpBits64);

// Parameters of a migration run with ten generations between samples of 50 and 1% errors.
Params ScenarioParams(int32_t Ne, int32_t NumLoci, int32_t NumAllele) {
  Params p;
  p.Model = 1;
  p.Ne = Ne;
  p.MigRate = 0.01f;
  p.NumLoci = NumLoci;
  p.NumAllele = NumAllele;
  p.NumGen = 10;
  p.NumIndiv[0] = 50;
  p.NumIndiv[1] = 50;
  p.NumIndiv[2] = 50;
  p.IDUM = -12345;  // stored negative, as after reading
  p.RanBitSeed = 12345;
  p.OutFile = "micro";
  p.INIT_POINT = 1;
  p.MaxNe = Ne;
  p.Monitor = 1;
  p.MisRate = 0.01f;
  p.DropRate = 0.01f;
  p.FalseRate = 0.01f;
  return p;
}

// The initial state of a scenario, made once per process: the benchmark library calls
// BM_Reproduce several times to calibrate, and the initial draws would otherwise weigh on
// profiles of the generations.
struct Scenario {
  std::unique_ptr<SimState> sim;
  int current = 0;
};
Scenario& ScenarioState(const driftsim::RunContext& ctx, int32_t Ne, int32_t NumLoci,
                        int32_t NumAllele) {
  static std::map<std::tuple<int32_t, int32_t, int32_t>, Scenario> made;
  Scenario& s = made[{Ne, NumLoci, NumAllele}];
  if (!s.sim) {
    s.sim = std::make_unique<SimState>(ScenarioParams(Ne, NumLoci, NumAllele));
    driftsim::Progress silent;
    driftsim::Initialize(ctx, driftsim::GeometryOf(s.sim->par), s.sim->par.FreqDist, s.sim->tab,
                         s.sim->rnd.Uniform, silent);
  }
  return s;
}

// One generation per iteration, alternating buffers as the run does. Bytes processed count the
// traffic of a generation: two parent records read and one offspring record written per
// individual, comparable with the floor of driftsim_bench.
void BM_Reproduce(benchmark::State& state, int32_t Ne, int32_t NumLoci, int32_t NumAllele) {
  driftsim::ThreadPool pool(driftsim::ResolveThreadCount(0));
  const driftsim::RunContext ctx{driftsim::KernelsFromEnvironment(), &pool, {}};
  Scenario& s = ScenarioState(ctx, Ne, NumLoci, NumAllele);
  const driftsim::Params& par = s.sim->par;
  const driftsim::Geometry geo = driftsim::GeometryOf(par);
  driftsim::Tables& tab = s.sim->tab;
  driftsim::Progress silent;
  for (auto _ : state) {
    driftsim::Reproduce(ctx, geo, driftsim::MigrationRate(par), tab.AlleleFreq.get(),
                        tab.Generation(s.current), tab.Generation(1 - s.current), s.sim->rnd,
                        silent);
    s.current = 1 - s.current;
    benchmark::ClobberMemory();
  }
  const int64_t table = int64_t{Ne} * driftsim::GenoBytesOf(NumLoci, NumAllele == 2);
  state.SetBytesProcessed(state.iterations() * 3 * table);
}
BENCHMARK_CAPTURE(BM_Reproduce, W2_like, 1000, 10000, 10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Reproduce, W3_like, 1000, 100000, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Reproduce, W5_like, 2000, 400000, 2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
