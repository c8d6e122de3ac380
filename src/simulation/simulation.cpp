// The engine: a run's tables, its generations in the order of the streams, and its samples.
#include "simulation/simulation.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "genotyping/genotyping.hpp"

namespace driftsim {

LinkageBytes LinkageBytesOf(const RunDescription& desc) {
  LinkageBytes bytes;
  const GeneticMap* map = desc.options.Map.get();
  if (!map) return bytes;
  const Geometry& geo = desc.geo;
  bytes.Map = MapBytes(*map);
  bytes.PlanOffspring = std::max(
      {LargestSize(desc.par, desc.options), geo.NumIndiv[kSample1], geo.NumIndiv[kSample2]});
  bytes.Plan = LinkedPlanBytes(*map, bytes.PlanOffspring);
  if (desc.KeepPhase && geo.Packed()) {
    bytes.Phase = uint64_t(geo.TotalSampled()) * uint64_t(geo.GenoBytes());
  }
  return bytes;
}

RunSamples SimulateSamples(const RunContext& ctx, const Params& par, const ModelOptions& model,
                           Progress& progress, RunTimes& t, MemoryBudget memory) {
  return SimulateSamples(ctx, DescribeRun(par, model), progress, t, memory);
}

RunSamples SimulateSamples(const RunContext& ctx, const RunDescription& desc, Progress& progress,
                           RunTimes& t, MemoryBudget memory) {
  const TrueValues truth = ComputeTrueValues(desc.par, desc.options);
  SimState sim(desc);
  Tables& tab = sim.tab;
  const Geometry& geo = desc.geo;
  const ModelOptions& model = desc.options;
  tab.Ne = LargestSize(desc.par, model);
  tab.MemoryLimit = memory.usable;
  tab.Working = memory.working;
  PhaseClock clock;

  progress.Stage(RunStage::kInitialize);
  Initialize(ctx, geo, desc.FreqDist, tab, sim.rnd.Uniform, progress);
  // Under linkage the records keep phase, and the packed ones keep no heterozygous counts.
  const GeneticMap* map = model.Map.get();
  auto generation = [&](int b, int32_t n) {
    RecordSpan span = tab.Generation(b, n);
    if (map) span.hets = nullptr;
    return span;
  };
  if (map) PhaseRecords(ctx, geo, generation(0, geo.Ne), sim.rnd.Bits);
  progress.PhaseEnd();
  t.initialize = clock.Lap();
  // The phase of the samples, for a front end that gives it: a copy of the sample table, made
  // before the generations so that a shortage stops the run before its work.
  std::unique_ptr<uint8_t[], FreeDeleter> phased;
  if (map && geo.Packed() && desc.KeepPhase) {
    const auto bytes =
        static_cast<size_t>(std::max<int64_t>(geo.TotalSampled() * geo.GenoBytes(), 1));
    phased.reset(static_cast<uint8_t*>(std::calloc(bytes, 1)));
    if (!phased) {
      FatalStop(
          "The phase of the samples needs " + IntToText(int64_t(bytes)) + " bytes. Out of memory!",
          "SimulateSamples", ErrorKind::kOutOfMemory);
    }
  }

  // The generations alternate between the two buffers: the last one written holds the
  // current generation, of size individuals.
  int current = 0;
  int32_t size = geo.Ne;
  std::vector<Mutation> mutations;
  const int32_t last = model.BurnIn + desc.NumGen;
  auto generations = [&](int32_t from, int32_t to) {
    for (int32_t g = from; g <= to; ++g) {
      ctx.CheckCancel();
      progress.Generation(g, last);
      const int next = g % 2;
      const int32_t nextSize = model.Sizes.At(g, geo.Ne);
      // The mutations' draws follow reproduction's in the stream: they are made while the
      // offspring are, and applied to them after.
      const auto draw = [&] {
        DrawMutations(ctx, geo, nextSize, sim.rnd, model.MutationRate, mutations);
      };
      if (map) {
        ReproduceLinked(ctx, geo, *map, desc.MigRate, tab.AlleleFreq.get(),
                        generation(current, size), generation(next, nextSize), sim.rnd,
                        model.NeRatio, draw);
      } else {
        Reproduce(ctx, geo, desc.MigRate, tab.AlleleFreq.get(), generation(current, size),
                  generation(next, nextSize), sim.rnd, progress, model.NeRatio, draw);
      }
      ApplyMutations(ctx, geo, mutations, generation(next, nextSize));
      current = next;
      size = nextSize;
      ++t.generationCount;
    }
    t.generations += clock.Lap();
  };
  generations(1, model.BurnIn);
  progress.Stage(RunStage::kSample1);
  auto sample = [&](int s) {
    if (map) {
      TakeSampleLinked(ctx, geo, *map, generation(current, size), SampleRecords(geo, tab, s),
                       sim.rnd,
                       phased ? phased.get() + SampleStart(geo, s) * geo.GenoBytes() : nullptr);
    } else {
      TakeSample(ctx, geo, generation(current, size), SampleRecords(geo, tab, s), sim.rnd);
    }
  };
  sample(kSample1);
  t.samples += clock.Lap();
  generations(model.BurnIn + 1, last);
  progress.PhaseEnd();
  progress.Stage(RunStage::kSample2);
  sample(kSample2);
  if (desc.model == Model::kMigration) {
    progress.Stage(RunStage::kSourceSample);
    TakeSourceSample(ctx, geo, tab.AlleleFreq.get(), SampleRecords(geo, tab, kSourceSample),
                     sim.rnd.Uniform);
  }

  progress.Stage(RunStage::kGenoErrors);
  AddGenoErrors(ctx, geo, desc.errors, tab.Samples(geo), sim.rnd);
  t.samples += clock.Lap();
  ctx.CheckCancel();
  return {desc.par, truth, tab.Packed, tab.GenoBytes, std::move(tab.SmplGeno), std::move(phased)};
}

}  // namespace driftsim
