#include <algorithm>
#include <cmath>
#include <vector>

#include "population/population.hpp"

namespace driftsim {

namespace {

// How far ahead of the mutation applied a hit record is fetched: each lies anywhere in the
// generation buffer.
constexpr size_t kFetchAhead = 32;

// Applies mutations [k0, k1) in the order they were drawn. Unpacked: the copy takes the new
// allele. Packed (no phase is stored): a hit heterozygote becomes homozygous for the new allele,
// a homozygote of the other allele becomes heterozygous; the change of the record's count of
// heterozygous fields is noted, to be added once every range is done (another range may hit
// the same record). Phased packed records: the copy's bit takes the new allele.
void Apply(std::vector<Mutation>& m, size_t k0, size_t k1, RecordSpan generation, bool packed,
           bool phased) {
  for (size_t k = k0; k < k1; ++k) {
    if (k + kFetchAhead < k1) {
      const Mutation& ahead = m[k + kFetchAhead];
      const uint8_t* rec = generation[(ahead.g - 1) / 2];
      __builtin_prefetch(rec + (packed ? ahead.L / 4 : 2 * ahead.L), 1);
    }
    uint8_t* rec = generation[(m[k].g - 1) / 2];
    if (!packed) {
      rec[2 * m[k].L + (m[k].g - 1) % 2] = static_cast<uint8_t>(m[k].a);
      continue;
    }
    m[k].hets = 0;
    if (phased) {
      const int bit = static_cast<int>(2 * (m[k].L & 3) + (m[k].g - 1) % 2);
      const uint32_t set = static_cast<uint32_t>(m[k].a - 1) << bit;
      uint8_t& byte = rec[m[k].L >> 2];
      byte = static_cast<uint8_t>((byte & ~(1u << bit)) | set);
      continue;
    }
    const uint32_t x = PackedCode(rec, m[k].L);
    if (x == uint32_t(m[k].a)) continue;
    SetPackedCode(rec, m[k].L, x == 3 ? uint32_t(m[k].a) : 3u);
    m[k].hets = x == 3 ? -1 : 1;
  }
}

}  // namespace

void DrawMutations(const RunContext& ctx, const Geometry& geo, int32_t N, Random& rnd,
                   float MutationRate, std::vector<Mutation>& drawn) {
  drawn.clear();
  // A rate of 0 draws nothing, not even the Poisson count of each locus.
  if (MutationRate == 0.0f) return;
  const float mean = static_cast<float>(N) * MutationRate * 2.0f;
  const int32_t copies = 2 * N;
  // The draws per locus depend on the deviates: they come from a chunked stream that ends
  // exactly after the last one taken.
  UniformAhead u(ctx.kernels.uniform, rnd.Uniform);
  const auto draw = [&u] { return u.Next(); };
  PoissonCounts counts = rnd.Counts(mean);
  for (int64_t L = 0; L < geo.NumLoci; ++L) {
    const int32_t hits = counts.Next(draw);
    for (int32_t m = 0; m < hits; ++m) {
      const int32_t g = DrawIndex(u.Next(), copies);
      const int32_t a = DrawIndex(u.Next(), geo.NumAllele);
      drawn.push_back({L, g, static_cast<int16_t>(a), 0});
    }
  }
}

void ApplyMutations(const RunContext& ctx, const Geometry& geo, std::vector<Mutation>& drawn,
                    RecordSpan generation) {
  const bool packed = geo.Packed();
  // Mutations come in the order of their loci. Those in different bytes of the records never
  // meet, so ranges are applied on their own; a range ends where a byte does: after a locus
  // unpacked, after a group of four loci packed (four loci share each byte).
  const int64_t lociPerByte = packed ? 4 : 1;
  const size_t perTask = std::max<size_t>(1, ctx.tasks.mutations);
  const size_t total = drawn.size();
  const int64_t tasks = static_cast<int64_t>((total + perTask - 1) / perTask);
  const auto boundary = [&](int64_t task) {
    size_t k = std::min(total, static_cast<size_t>(task) * perTask);
    while (k > 0 && k < total && drawn[k].L / lociPerByte == drawn[k - 1].L / lociPerByte) ++k;
    return k;
  };
  ParallelFor(ctx, tasks, [&](int64_t task, int) {
    Apply(drawn, boundary(task), boundary(task + 1), generation, packed, geo.Phased);
  });
  if (packed && generation.hets) {
    for (const Mutation& m : drawn) generation.hets[(m.g - 1) / 2] += m.hets;
  }
}

void Mutate(const RunContext& ctx, const Geometry& geo, RecordSpan generation, Random& rnd,
            float MutationRate) {
  std::vector<Mutation> drawn;
  DrawMutations(ctx, geo, static_cast<int32_t>(generation.count), rnd, MutationRate, drawn);
  ApplyMutations(ctx, geo, drawn, generation);
}

}  // namespace driftsim
