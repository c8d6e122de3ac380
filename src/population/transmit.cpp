#include "population/transmit.hpp"
#include "population/parents.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace driftsim {

namespace {

// Families ahead of the one being made whose parents' records are fetched.
constexpr int64_t kFetchFamiliesAhead = 2;

}  // namespace

int32_t CountHets(const uint8_t* rec, int64_t NumLoci) {
  // A field is heterozygous (code 3) when both its bits are set.
  const int64_t whole = NumLoci / 4;
  int64_t n = 0;
  int64_t b = 0;
  for (; b + 8 <= whole; b += 8) {
    uint64_t w;
    std::memcpy(&w, rec + b, sizeof w);
    // One bit per field, in its even position; the bit count without a popcount instruction,
    // which the default build may not use.
    w &= (w >> 1) & 0x5555555555555555ull;
    w = (w & 0x3333333333333333ull) + ((w >> 2) & 0x3333333333333333ull);
    w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    n += static_cast<int64_t>((w * 0x0101010101010101ull) >> 56);
  }
  for (; b < whole; ++b) n += std::popcount(static_cast<unsigned>(rec[b] & (rec[b] >> 1) & 0x55));
  for (int64_t L = 4 * whole; L < NumLoci; ++L) n += PackedCode(rec, L) == 3;
  return static_cast<int32_t>(n);
}

Brood PlanBrood(const RunContext& ctx, const Geometry& geo, const ParentPicker& picker,
                RecordSpan offspring, int64_t blocks, RngState& uniform, BitStream& bits) {
  const RecordSpan parents = picker.Parents();
  Brood b;
  std::vector<int32_t>& parent = b.parentStore;
  std::vector<uint64_t>& bitStart = b.bitStartStore;
  b.parents = parents;
  b.offspring = offspring;
  b.blocks = blocks;
  const int64_t n = offspring.count;
  b.families = blocks + (n - blocks * kBlockSize);
  const int32_t Ne = static_cast<int32_t>(parents.count);
  parent.resize(static_cast<size_t>(2 * n));
  if (n > 0) {
    UniformDoubles u(ctx.kernels.uniform, uniform, uint64_t(2 * n));
    for (int32_t& p : parent) p = static_cast<int32_t>(picker.Index(u.Next()));
  }

  // Where each family's bits start: unpacked, one bit per gene copy of every locus; packed, one
  // per heterozygous field of either parent.
  bitStart.resize(static_cast<size_t>(b.families + 1));
  const int32_t* hets = parents.hets;
  std::vector<int32_t> counted;  // of the parents, when their span keeps none
  if (geo.Packed() && hets == nullptr) {
    counted.resize(static_cast<size_t>(Ne));
    for (int32_t j = 0; j < Ne; ++j) counted[size_t(j)] = CountHets(parents[j], geo.NumLoci);
    hets = counted.data();
  }
#ifndef NDEBUG
  // Kept counts must be those of the records (a costly check: debug builds only).
  if (geo.Packed()) {
    for (int32_t j = 0; j < Ne; ++j) {
      Check(hets[j] == CountHets(parents[j], geo.NumLoci), "kept heterozygous-field counts");
    }
  }
#endif
  uint64_t t = 0;
  int64_t k = 0;
  for (int64_t f = 0; f < b.families; ++f) {
    bitStart[size_t(f)] = t;
    const int size = b.Size(f);
    if (!geo.Packed()) {
      t += 2 * uint64_t(size) * uint64_t(geo.NumLoci);
      continue;
    }
    for (int i = 0; i < size; ++i, ++k) {
      t += uint64_t(hets[parent[size_t(2 * k)]]) + uint64_t(hets[parent[size_t(2 * k + 1)]]);
    }
  }
  bitStart[size_t(b.families)] = t;
  b.parent = parent.data();
  b.bitStart = bitStart.data();
  b.start = bits;
  if (geo.Packed()) b.cycle = bits.Table();
  bits.Advance(t);
  return b;
}

void MakeFamilies(const KernelTable& kernels, const Geometry& geo, const Brood& brood, int64_t f0,
                  int64_t f1) {
  const bool packed = geo.Packed();
  const int64_t NumLoci = geo.NumLoci;
  const int64_t whole = NumLoci / 4;
  // Unpacked families take their bits by state: the state at the range's first bit, then
  // advanced family by family.
  BitStream state = packed ? BitStream{} : brood.start.Ahead(brood.bitStart[f0]);
  Family fam;
  for (int64_t f = f0; f < f1; ++f) {
    // The parents lie anywhere in their generation: the starts of the records of a family two
    // ahead are fetched now (short records are all start).
    if (f + kFetchFamiliesAhead < f1) {
      const int64_t ahead = brood.FirstOffspring(f + kFetchFamiliesAhead);
      for (int64_t k = 2 * ahead; k < 2 * (ahead + brood.Size(f + kFetchFamiliesAhead)); ++k) {
        const uint8_t* rec = brood.parents[brood.parent[k]];
        __builtin_prefetch(rec);
        __builtin_prefetch(rec + std::min<int64_t>(64, brood.parents.bytes - 1));
      }
    }
    fam.n = brood.Size(f);
    const int64_t first = brood.FirstOffspring(f);
    for (int i = 0; i < fam.n; ++i) {
      const int64_t k = first + i;
      fam.p1[i] = brood.parents[brood.parent[2 * k]];
      fam.p2[i] = brood.parents[brood.parent[2 * k + 1]];
      fam.child[i] = brood.offspring[k];
    }
    fam.hets = brood.offspring.hets ? brood.offspring.hets + first : nullptr;
    if (fam.hets) std::fill(fam.hets, fam.hets + fam.n, 0);
    if (!packed) {
      TransmitUnpacked(kernels, fam, NumLoci, state);
      continue;
    }
    uint64_t t = brood.bitStart[f];
    if (f < brood.blocks) {
      TransmitPackedBytes(kernels, fam, whole, brood.cycle, t);
      TransmitPackedFields(fam, 4 * whole, NumLoci, brood.cycle, t);
    } else {
      TransmitPackedSingle(kernels, fam, NumLoci, brood.cycle, t);
    }
    Check(t == brood.bitStart[f + 1], "a family takes the bits planned for it");
  }
}

void CountGenerationHets(const RunContext& ctx, const Geometry& geo, RecordSpan generation) {
  if (!generation.hets) return;
  constexpr int64_t kRecordsPerTask = 64;
  ParallelFor(ctx, (generation.count + kRecordsPerTask - 1) / kRecordsPerTask,
              [&](int64_t task, int) {
                const int64_t end = std::min(generation.count, (task + 1) * kRecordsPerTask);
                for (int64_t j = task * kRecordsPerTask; j < end; ++j) {
                  generation.hets[j] = CountHets(generation[j], geo.NumLoci);
                }
              });
}

int64_t FamiliesPerTask(const RunContext& ctx, const Brood& brood) {
  const int64_t family = kBlockSize * std::max<int64_t>(brood.offspring.bytes, 1);
  return std::max<int64_t>(1, ctx.tasks.bytes / family);
}

}  // namespace driftsim
