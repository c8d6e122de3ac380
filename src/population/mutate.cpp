#include <cmath>

#include "population/population.hpp"

namespace driftsim {

namespace {

// Mutation rate per gene copy per generation (single precision).
constexpr float kMutationRate = 1e-4f;

// Mutations drawn before they are applied: the hit records are fetched meanwhile, since each
// lies anywhere in the generation buffer.
constexpr int kPending = 64;

struct Mutation {
  uint8_t* rec;
  int64_t L;
  int32_t g;  // gene copy 1..2*Ne
  int32_t a;  // new allele
};

// Applies mutations in the order they were drawn. Unpacked: the copy takes the new allele.
// Packed (no phase is stored): a hit heterozygote becomes homozygous for the new allele, a
// homozygote of the other allele becomes heterozygous; the record's count of heterozygous
// fields follows.
void Apply(const Mutation* m, int n, bool packed, int32_t* hets) {
  for (int k = 0; k < n; ++k) {
    if (!packed) {
      m[k].rec[2 * m[k].L + (m[k].g - 1) % 2] = static_cast<uint8_t>(m[k].a);
      continue;
    }
    const uint32_t x = PackedCode(m[k].rec, m[k].L);
    if (x == uint32_t(m[k].a)) continue;
    SetPackedCode(m[k].rec, m[k].L, x == 3 ? uint32_t(m[k].a) : 3u);
    if (hets) hets[(m[k].g - 1) / 2] += x == 3 ? -1 : 1;
  }
}

}  // namespace

void Mutate(const Params& par, RecordSpan generation, Random& rnd) {
  const bool packed = par.Packed();
  const float mean = static_cast<float>(par.Ne) * kMutationRate * 2.0f;
  const int32_t copies = 2 * par.Ne;
  Mutation pending[kPending];
  int n = 0;
  // The draws per locus depend on the deviates: they come from a chunked stream that ends
  // exactly after the last one taken.
  UniformAhead u(rnd.Uniform);
  const auto draw = [&u] { return u.Next(); };
  // Small means (all but the largest populations) inline PoissonDeviate's multiplication of
  // uniforms: the count is the number of products above exp(-mean) after the first.
  const bool small = mean < 12.0f;
  if (small) PoissonDeviate(mean, rnd.Memo, [] { return 0.0; });  // sets the memo, draws nothing
  const float limit = rnd.Memo.PoisG;
  for (int64_t L = 0; L < par.NumLoci; ++L) {
    int32_t hits = 0;
    if (small) {
      for (float t = static_cast<float>(u.Next()); t > limit; t *= static_cast<float>(u.Next())) {
        ++hits;
      }
    } else {
      hits = static_cast<int32_t>(std::lround(PoissonDeviate(mean, rnd.Memo, draw)));
    }
    for (int32_t m = 0; m < hits; ++m) {
      // Gene copy g = 2(j-1) + k: copy k of individual j, both from 1.
      const int32_t g = DrawIndex(u.Next(), copies);
      const int32_t a = DrawIndex(u.Next(), par.NumAllele);
      uint8_t* rec = generation[(g - 1) / 2];
      __builtin_prefetch(rec + (packed ? L / 4 : 2 * L), 1);
      pending[n++] = {rec, L, g, a};
      if (n == kPending) {
        Apply(pending, n, packed, generation.hets);
        n = 0;
      }
    }
  }
  Apply(pending, n, packed, generation.hets);
}

}  // namespace driftsim
