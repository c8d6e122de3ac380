#include <algorithm>
#include <atomic>
#include <functional>

#include "population/alleles.hpp"
#include "population/parents.hpp"
#include "population/population.hpp"
#include "population/transmit.hpp"

namespace driftsim {

namespace {

// Offspring counts at which progress is reported.
constexpr int32_t kProgressStep = 500;

// The progress lines of the blocks, every kProgressStep offspring, shown in order by the calling
// thread however many blocks the other threads have made.
class BlockProgress {
 public:
  BlockProgress(Progress& progress, int64_t total, int32_t Ne)
      : progress_(progress), total_(total), Ne_(Ne) {}
  // Blocks of another count offspring are made.
  void Made(int64_t count) { made_.fetch_add(count, std::memory_order_relaxed); }
  // Shows the lines up to the offspring made so far (calling thread only).
  void Show() { ShowUpTo(made_.load(std::memory_order_relaxed)); }
  void Finish() {
    ShowUpTo(total_);
    if (total_ >= kProgressStep) progress_.OffspringDone(Ne_);
  }

 private:
  void ShowUpTo(int64_t made) {
    while (shown_ + kProgressStep <= made) {
      shown_ += kProgressStep;
      progress_.Offspring(static_cast<int32_t>(shown_));
    }
  }
  Progress& progress_;
  int64_t total_;
  int32_t Ne_;
  int64_t shown_ = 0;
  std::atomic<int64_t> made_{0};
};

// Makes a planned brood, split over threads.
void MakeBrood(const RunContext& ctx, const Geometry& geo, const Brood& brood) {
  const int64_t perTask = FamiliesPerTask(ctx, brood);
  ParallelFor(ctx, (brood.families + perTask - 1) / perTask, [&](int64_t task, int) {
    const int64_t f0 = task * perTask;
    MakeFamilies(ctx.kernels, geo, brood, f0, std::min(brood.families, f0 + perTask));
  });
}

}  // namespace

int32_t MigrantCount(float MigRate, int32_t N, Random& rnd) {
  const float mean = static_cast<float>(N) * MigRate;
  if (!(mean >= kMinMigrantMean)) return 0;
  return std::min(PoissonCount(rnd, mean), N);
}

void Reproduce(const RunContext& ctx, const Geometry& geo, float MigRate, const float* AlleleFreq,
               RecordSpan parents, RecordSpan offspring, Random& rnd, Progress& progress,
               double NeRatio, const std::function<void()>& alongside) {
  // Below an NeRatio of 1 the parents' fecundities are drawn first. Migrants, offspring 1..M,
  // are drawn from the source frequencies next; offspring M+1..last come in blocks of ten, then
  // last+1..N one at a time (individuals from 1).
  const ParentPicker picker = BreedingParents(parents, NeRatio, rnd.Uniform);
  const int32_t N = static_cast<int32_t>(offspring.count);
  const int32_t M = MigrantCount(MigRate, N, rnd);
  const int32_t born = N - M;

  // The migrants' draws come first in the uniform stream and the parents' after them: the
  // parents are drawn at once past the migrants' draws, and the migrants' loci are drawn in
  // ranges beside the offspring, each range from its own place in the stream.
  const RecordSpan migrants = offspring.Part(0, M);
  const uint64_t perLocus = SourceDrawsPerLocus(geo, M);
  const int64_t lociPerTask = SourceLociPerTask(ctx, geo, M);
  const int64_t migrantTasks = M >= 1 ? (geo.NumLoci + lociPerTask - 1) / lociPerTask : 0;
  const UniformSplit migrantDraws(rnd.Uniform, uint64_t(geo.NumLoci) * perLocus);

  const Brood brood = PlanBrood(ctx, geo, picker, offspring.Part(M, born), born / kBlockSize,
                                rnd.Uniform, rnd.Bits);
  const int64_t perTask = FamiliesPerTask(ctx, brood);
  const int64_t familyTasks = (brood.families + perTask - 1) / perTask;

  // The task alongside comes first: it is one long task, the others are many short ones.
  const int64_t alongsideTasks = alongside ? 1 : 0;
  BlockProgress lines(progress, brood.blocks * kBlockSize, N);
  ParallelFor(ctx, alongsideTasks + migrantTasks + familyTasks, [&](int64_t i, int thread) {
    if (i < alongsideTasks) {
      alongside();
      return;
    }
    const int64_t task = i - alongsideTasks;
    if (task < migrantTasks) {
      const int64_t L0 = task * lociPerTask;
      RngState u = migrantDraws.At(uint64_t(L0) * perLocus);
      DrawSourceLoci(ctx.kernels, geo, AlleleFreq, migrants, L0,
                     std::min<int64_t>(geo.NumLoci, L0 + lociPerTask), u);
      return;
    }
    const int64_t f0 = (task - migrantTasks) * perTask;
    const int64_t f1 = std::min(brood.families, f0 + perTask);
    MakeFamilies(ctx.kernels, geo, brood, f0, f1);
    lines.Made((std::min(f1, brood.blocks) - std::min(f0, brood.blocks)) * kBlockSize);
    if (thread == 0) lines.Show();
  });
  lines.Finish();
  if (offspring.hets) {
    for (int32_t j = 0; j < M; ++j) offspring.hets[j] = CountHets(offspring[j], geo.NumLoci);
  }
}

void TakeSample(const RunContext& ctx, const Geometry& geo, RecordSpan parents, RecordSpan sample,
                Random& rnd) {
  MakeBrood(ctx, geo, PlanBrood(ctx, geo, ParentPicker(parents), sample, 0, rnd.Uniform, rnd.Bits));
}

void TakeSourceSample(const RunContext& ctx, const Geometry& geo, const float* AlleleFreq,
                      RecordSpan sample, RngState& uniform) {
  DrawSourceGenotypes(ctx, geo, AlleleFreq, sample, uniform);
}

}  // namespace driftsim
