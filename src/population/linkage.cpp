// Meiosis under linkage: gametes that follow one parental copy along each chromosome and switch
// at Haldane crossovers, and the phased records they need.
//
// All of a step's random draws are made first, in stream order, into a plan of segments (which
// copy of which parent each stretch of loci comes from); the records are then copied from the
// plan, in ranges of offspring on any thread, with no draws at all. The plan's draws are a few
// per chromosome rather than one per locus, and every CPU row makes the same plan, since the
// row's uniform batches give the portable loop's values.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "population/alleles.hpp"
#include "population/parents.hpp"
#include "population/population.hpp"

namespace driftsim {

namespace {

constexpr uint64_t kEven = 0x5555555555555555ull;

// Even bits of the fields [a, b) of a 64-bit word of 32 fields, 0 <= a <= b <= 32, a < 32.
inline uint64_t FieldMask(int64_t a, int64_t b) {
  const uint64_t below = b >= 32 ? ~uint64_t{0} : (uint64_t{1} << (2 * b)) - 1;
  return below & ~((uint64_t{1} << (2 * a)) - 1) & kEven;
}

// Even bits of the fields from copy 2 of a gamete, among fields [L0, L0 + 32); s is the first
// segment that ends after L0 and is moved to the first that ends after L0 + 32.
inline uint64_t CopyTwoMask(const GameteSegment*& s, const GameteSegment* e, int64_t L0) {
  const int64_t L1 = L0 + 32;
  // Most words lie inside one segment: a gamete has a few segments per chromosome.
  if (s != e && s->End >= L1) {
    const uint64_t whole = s->Copy ? kEven : 0;
    if (s->End == L1) ++s;
    return whole;
  }
  uint64_t m = 0;
  int64_t from = L0;
  for (const GameteSegment* t = s; t != e && from < L1; from = (t++)->End) {
    if (t->Copy) m |= FieldMask(from - L0, std::min<int64_t>(t->End, L1) - L0);
  }
  while (s != e && s->End <= L1) ++s;
  return m;
}

// A gamete's allele bits, at the even bit of each field, from a phased word of a parent.
inline uint64_t GameteBits(uint64_t w, uint64_t copyTwo) {
  return ((w & ~copyTwo) | ((w >> 1) & copyTwo)) & kEven;
}

// One phased packed child from two gametes' segments, word by word: the gamete's allele bit
// is the parent's even bit (copy 1) or odd bit (copy 2) of each field, and the child keeps
// parent 1's gamete as copy 1 and parent 2's as copy 2.
// Whole words [w0, w1) of a child whose gametes keep one copy each through them.
void CopyPackedRun(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t w0, int64_t w1,
                   uint64_t m1, uint64_t m2) {
  for (int64_t w = w0; w < w1; ++w) {
    uint64_t a, b;
    std::memcpy(&a, p1 + 8 * w, 8);
    std::memcpy(&b, p2 + 8 * w, 8);
    const uint64_t c = GameteBits(a, m1) | (GameteBits(b, m2) << 1);
    std::memcpy(child + 8 * w, &c, 8);
  }
}

void MakeChildPacked(const uint8_t* p1, const GameteSegment* s1, const GameteSegment* e1,
                     const uint8_t* p2, const GameteSegment* s2, const GameteSegment* e2,
                     uint8_t* child, int64_t bytes) {
  const int64_t words = bytes / 8;
  int64_t w = 0;
  while (w < words) {
    // A word where either gamete may switch copy, field by field ...
    uint64_t a, b;
    std::memcpy(&a, p1 + 8 * w, 8);
    std::memcpy(&b, p2 + 8 * w, 8);
    const uint64_t c = GameteBits(a, CopyTwoMask(s1, e1, 32 * w)) |
                       (GameteBits(b, CopyTwoMask(s2, e2, 32 * w)) << 1);
    std::memcpy(child + 8 * w, &c, 8);
    ++w;
    // ... then the words both keep their copies through, whole.
    const int64_t run = std::min({words, s1 != e1 ? int64_t{s1->End} / 32 : words,
                                  s2 != e2 ? int64_t{s2->End} / 32 : words});
    if (run > w) {
      CopyPackedRun(p1, p2, child, w, run, s1 != e1 && s1->Copy ? kEven : 0,
                    s2 != e2 && s2->Copy ? kEven : 0);
      w = run;
    }
  }
  if (8 * words == bytes) return;
  const size_t n = static_cast<size_t>(bytes - 8 * words);
  uint64_t a = 0, b = 0;
  std::memcpy(&a, p1 + 8 * words, n);
  std::memcpy(&b, p2 + 8 * words, n);
  const uint64_t c = GameteBits(a, CopyTwoMask(s1, e1, 32 * words)) |
                     (GameteBits(b, CopyTwoMask(s2, e2, 32 * words)) << 1);
  std::memcpy(child + 8 * words, &c, n);
}

// One gamete into an unpacked child, child pointing at the copy it fills (copy 1 from parent
// 1, copy 2 from parent 2).
void MakeChildUnpacked(const uint8_t* parent, const GameteSegment* s, const GameteSegment* e,
                       uint8_t* child) {
  int64_t L = 0;
  for (; s != e; ++s) {
    const uint8_t* from = parent + s->Copy;
    for (; L < s->End; ++L) child[2 * L] = from[2 * L];
  }
}

// Draws of every offspring of a step: parents, then gametes, then the records made from them.
struct LinkedBrood {
  std::vector<int64_t> parent;  // per offspring: parent 1, parent 2 (from 0)
  std::vector<GameteSegment> segments;
  std::vector<int64_t> first;  // per gamete: its first segment; at [2n], the total
};

LinkedBrood PlanLinked(const RunContext& ctx, const GeneticMap& map, const ParentPicker& picker,
                       int64_t n, RngState& uniform) {
  LinkedBrood b;
  b.parent.resize(static_cast<size_t>(2 * n));
  if (n > 0) {
    UniformDoubles u(ctx.kernels.uniform, uniform, uint64_t(2 * n));
    for (int64_t& p : b.parent) p = picker.Index(u.Next());
  }
  b.first.reserve(static_cast<size_t>(2 * n + 1));
  GameteDraws draws(ctx.kernels.uniform, uniform, map);
  for (int64_t g = 0; g < 2 * n; ++g) {
    b.first.push_back(int64_t(b.segments.size()));
    draws.Gamete(b.segments);
  }
  b.first.push_back(int64_t(b.segments.size()));
  return b;
}

// Makes the offspring of a plan, in ranges on the context's threads; extra, when given, runs as
// one task beside them.
void MakeLinked(const RunContext& ctx, const Geometry& geo, const LinkedBrood& b,
                RecordSpan parents, RecordSpan offspring, const std::function<void()>& extra) {
  const int64_t perTask =
      std::max<int64_t>(1, ctx.tasks.bytes / std::max<int64_t>(1, offspring.bytes));
  const int64_t tasks = (offspring.count + perTask - 1) / perTask;
  const int64_t extraTasks = extra ? 1 : 0;
  const GameteSegment* seg = b.segments.data();
  ParallelFor(ctx, extraTasks + tasks, [&](int64_t i, int) {
    if (i < extraTasks) {
      extra();
      return;
    }
    const int64_t k0 = (i - extraTasks) * perTask;
    const int64_t k1 = std::min(offspring.count, k0 + perTask);
    for (int64_t k = k0; k < k1; ++k) {
      const size_t g = size_t(2 * k);
      const uint8_t* p1 = parents[b.parent[g]];
      const uint8_t* p2 = parents[b.parent[g + 1]];
      const GameteSegment* s1 = seg + b.first[g];
      const GameteSegment* s2 = seg + b.first[g + 1];
      const GameteSegment* e2 = seg + b.first[g + 2];
      if (geo.Packed()) {
        MakeChildPacked(p1, s1, s2, p2, s2, e2, offspring[k], offspring.bytes);
      } else {
        MakeChildUnpacked(p1, s1, s2, offspring[k]);
        MakeChildUnpacked(p2, s2, e2, offspring[k] + 1);
      }
    }
  });
}

// The first locus of [first, end) that lies beyond x on a chromosome of the given length: a
// binary search in a short window around the locus the position's share of the length points
// to, which holds the answer on a map with loci spread evenly (and most real maps), else over
// the whole chromosome. The whole search would miss the cache at every step on a long one.
int64_t LocusBeyond(const double* pos, int64_t first, int64_t end, double length, double x) {
  constexpr int64_t kWindow = 32;
  const double share = length > 0 ? x / length : 0;
  const int64_t guess =
      first +
      std::clamp<int64_t>(static_cast<int64_t>(share * double(end - first)), 0, end - first);
  const int64_t lo = std::max(first, guess - kWindow), hi = std::min(end, guess + kWindow);
  if ((lo == first || pos[lo - 1] <= x) && (hi == end || pos[hi] > x)) {
    return std::upper_bound(pos + lo, pos + hi, x) - pos;
  }
  return std::upper_bound(pos + first, pos + end, x) - pos;
}

// 32 bits to the even bits of a word.
inline uint64_t Spread(uint64_t x) {
  x &= 0xFFFFFFFFull;
  x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
  x = (x | (x << 8)) & 0x00FF00FF00FF00FFull;
  x = (x | (x << 4)) & 0x0F0F0F0F0F0F0F0Full;
  x = (x | (x << 2)) & 0x3333333333333333ull;
  return (x | (x << 1)) & kEven;
}

}  // namespace

GameteDraws::GameteDraws(const UniformRow& row, RngState& uniform, const GeneticMap& map)
    : u_(row, uniform), map_(map), memo_(map.Chromosomes.size()) {}

int64_t GameteDraws::Gamete(std::vector<GameteSegment>& out) {
  int64_t crossovers = 0;
  const double* pos = map_.Position.data();
  uint32_t last = 2;  // no segment yet
  const auto add = [&](int64_t end, uint32_t copy) {
    if (copy == last) {
      out.back().End = static_cast<int32_t>(end);
    } else {
      out.push_back({static_cast<int32_t>(end), copy});
      last = copy;
    }
  };
  for (size_t c = 0; c < map_.Chromosomes.size(); ++c) {
    const Chromosome& chr = map_.Chromosomes[c];
    // U <= 1/2 for copy 1: exactly half the draws, which are odd multiples of 1/(2^31 - 1).
    uint32_t copy = u_.Next() <= 0.5 ? 0u : 1u;
    PoissonCounts counts(static_cast<float>(chr.Morgans), memo_[c]);
    const int32_t k = counts.Next([this] { return u_.Next(); });
    crossovers += k;
    xs_.clear();
    for (int32_t i = 0; i < k; ++i) xs_.push_back(u_.Next() * chr.Morgans);
    std::sort(xs_.begin(), xs_.end());
    // The loci past a crossover, those lying beyond it on the map, take the other copy.
    int64_t from = chr.First;
    for (const double x : xs_) {
      const int64_t to = std::max(from, LocusBeyond(pos, chr.First, chr.End, chr.Morgans, x));
      if (to > from) add(to, copy);
      from = to;
      copy ^= 1u;
    }
    if (chr.End > from) add(chr.End, copy);
  }
  return crossovers;
}

// Every record's packed bytes, eight at a time (the last word of a record short), replaced by
// word(j, b, w): record j, its byte b, the word read there.
template <typename Word>
void RewriteWords(const RunContext& ctx, RecordSpan records, Word word) {
  ParallelFor(ctx, records.count, [&](int64_t j, int) {
    uint8_t* rec = records[j];
    for (int64_t b = 0; b < records.bytes; b += 8) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(8, records.bytes - b));
      uint64_t w = 0;
      std::memcpy(&w, rec + b, n);
      w = word(j, b, w);
      std::memcpy(rec + b, &w, n);
    }
  });
}

void PhaseRecords(const RunContext& ctx, const Geometry& geo, RecordSpan records, BitStream& bits) {
  if (!geo.Packed()) return;
  const BitCycle::Stream cycle = bits.Table();
  const int64_t NumLoci = geo.NumLoci;
  RewriteWords(ctx, records, [&](int64_t j, int64_t b, uint64_t w) {
    // Codes 1 and 2 are homozygotes (phase 00 and 11); a heterozygote (3) takes allele 2 on
    // copy 1 when its bit is 1, on copy 2 when it is 0.
    const uint64_t lo = w & kEven, hi = (w >> 1) & kEven;
    const uint64_t r = Spread(BitCycle::Load(cycle.bytes, cycle.At(uint64_t(j * NumLoci + 4 * b))));
    const uint64_t het = lo & hi, hom2 = hi & ~lo;
    return hom2 | (hom2 << 1) | (het & r) | ((het & ~r) << 1);
  });
  bits.Advance(uint64_t(records.count) * uint64_t(NumLoci));
}

void PhasedToCodes(const RunContext& ctx, const Geometry& geo, RecordSpan records) {
  if (!geo.Packed()) return;
  RewriteWords(ctx, records, [](int64_t, int64_t, uint64_t w) {
    const uint64_t a = w & kEven, c = (w >> 1) & kEven;
    // 00 -> 1, 11 -> 2, 01 or 10 -> 3.
    return (~(a & c) & kEven) | ((a | c) << 1);
  });
}

void ReproduceLinked(const RunContext& ctx, const Geometry& geo, const GeneticMap& map,
                     float MigRate, const float* AlleleFreq, RecordSpan parents,
                     RecordSpan offspring, Random& rnd, double NeRatio,
                     const std::function<void()>& alongside) {
  const ParentPicker picker = BreedingParents(parents, NeRatio, rnd.Uniform);
  const int32_t N = static_cast<int32_t>(offspring.count);
  const int32_t M = MigrantCount(MigRate, N, rnd);
  const RecordSpan migrants = offspring.Part(0, M);
  if (M > 0) {
    // The migrants' loci as Reproduce draws them, then their phase from the bit stream.
    const uint64_t perLocus = SourceDrawsPerLocus(geo, M);
    const int64_t lociPerTask = SourceLociPerTask(ctx, geo, M);
    const UniformSplit draws(rnd.Uniform, uint64_t(geo.NumLoci) * perLocus);
    ParallelFor(ctx, (geo.NumLoci + lociPerTask - 1) / lociPerTask, [&](int64_t task, int) {
      const int64_t L0 = task * lociPerTask;
      RngState u = draws.At(uint64_t(L0) * perLocus);
      DrawSourceLoci(ctx.kernels, geo, AlleleFreq, migrants, L0,
                     std::min<int64_t>(geo.NumLoci, L0 + lociPerTask), u);
    });
    PhaseRecords(ctx, geo, migrants, rnd.Bits);
  }
  const RecordSpan born = offspring.Part(M, N - M);
  const LinkedBrood b = PlanLinked(ctx, map, picker, born.count, rnd.Uniform);
  MakeLinked(ctx, geo, b, parents, born, alongside);
}

void TakeSampleLinked(const RunContext& ctx, const Geometry& geo, const GeneticMap& map,
                      RecordSpan parents, RecordSpan sample, Random& rnd, uint8_t* phased) {
  const LinkedBrood b = PlanLinked(ctx, map, ParentPicker(parents), sample.count, rnd.Uniform);
  MakeLinked(ctx, geo, b, parents, sample, {});
  if (phased && sample.count > 0) {
    std::memcpy(phased, sample[0], static_cast<size_t>(sample.count * sample.bytes));
  }
  PhasedToCodes(ctx, geo, sample);
}

uint64_t LinkedPlanBytes(const GeneticMap& map, int32_t N) {
  double morgans = 0;
  for (const Chromosome& c : map.Chromosomes) morgans += c.Morgans;
  const auto segments =
      static_cast<uint64_t>(std::ceil(double(map.Chromosomes.size()) + morgans));  // per gamete
  const uint64_t gametes = 2 * uint64_t(N);
  return gametes * (2 * sizeof(int64_t) + segments * sizeof(GameteSegment)) +
         uint64_t(map.Chromosomes.size()) * sizeof(PoissonMemo);
}

}  // namespace driftsim
