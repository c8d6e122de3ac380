// Alleles drawn from frequencies: the cumulative frequencies of a locus, the packed genotype
// of a Hardy-Weinberg draw, and whole genotypes drawn from the source frequencies. Internal to
// the population subsystem.
#pragma once

#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "population/population.hpp"

namespace driftsim {

// CumFreq: the cumulative frequencies of one locus in allele order, single precision; the last
// entry is 1.1, above every draw, so a search always ends there. An allele is drawn as the
// smallest k with CumFreq(k) >= u. The entries rise (or are NaN from the first NaN on), so that
// allele is one more than the number of entries below u: counted four at a time without a
// branch, as the drawn allele is unpredictable. Padding entries of 1.1 count as never below.
class CumFreq {
 public:
  explicit CumFreq(int32_t NumAllele)
      : K_(NumAllele), cum_(static_cast<size_t>((NumAllele + 3) / 4 * 4), 1.1f) {}

  // The entries of the locus whose frequencies start at freq.
  void Build(const float* freq) {
    cum_[0] = freq[0];
    for (int32_t k = 1; k < K_ - 1; ++k) cum_[size_t(k)] = cum_[size_t(k - 1)] + freq[k];
    cum_[size_t(K_ - 1)] = 1.1f;
  }

  // The entries below which a draw is counted: the last one (1.1) and the padding never are.
  const float* Entries() const { return cum_.data(); }
  size_t Counted() const { return static_cast<size_t>(K_ - 1); }

  inline uint8_t Pick(float u) const { return PickFrom(cum_.data(), cum_.size(), u); }

  // Pick over the entries cum[0..padded), padded a multiple of four.
  static inline uint8_t PickFrom(const float* cum, size_t padded, float u) {
    int32_t below = 0;
#if defined(__SSE2__)
    static constexpr uint8_t kBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    const __m128 uu = _mm_set1_ps(u);
    for (size_t k = 0; k < padded; k += 4) {
      below += kBits[_mm_movemask_ps(_mm_cmplt_ps(_mm_loadu_ps(cum + k), uu))];
    }
#else
    for (size_t k = 0; k < padded; ++k) below += cum[k] < u;
#endif
    return static_cast<uint8_t>(below + 1);
  }

 private:
  int32_t K_;
  std::vector<float> cum_;
};

// Packed genotype from the cumulative Hardy-Weinberg probabilities of codes 1 and 2: code 1 if
// u <= hw[0], else 2 if u <= hw[1], else 3; in arithmetic, as the draws are unpredictable.
inline uint32_t PickPackedCode(const float* hw, float u) {
  const uint32_t le0 = u <= hw[0], le1 = u <= hw[1];
  return 3u - le1 - le0 * (2u - le1);
}

// Alleles of n draws u (as Pick), into out[0..n).
void PickAlleles(const KernelTable& kernels, const CumFreq& cum, const float* u, uint8_t* out,
                 size_t n);

// Packed codes of n draws u (as PickPackedCode) shifted left by shift: stored into out[0..n)
// when first, ORed into them otherwise.
void PickPackedCodes(const KernelTable& kernels, const float* hw, const float* u, uint8_t* out,
                     size_t n, int shift, bool first);

// The rows of the kernel table (cpu/kernels.hpp): the portable twins, eight bytes of a record
// at a time with AVX2 (rows/avx2.cpp) and sixteen draws at a time with AVX-512
// (rows/avx512.cpp). PickAlleles takes the entries counted of a CumFreq.
void PickAllelesPortable(const float* cum, size_t entries, const float* u, uint8_t* out, size_t n);
void PickPackedCodesPortable(const float* hw, const float* u, uint8_t* out, size_t n, int shift,
                             bool first);
// Packed bytes [0, nbytes) of count records, record j at first + j * stride: field f of byte k
// of record j is the code of draw u[(4k + f) * count + j] against hw[8k + 2f], hw[8k + 2f + 1]
// (PickPackedCode). The draws of a byte come field after field, record after record: the
// order in which the few records of the migrants take them.
void PackedRecordsOfDrawsPortable(const float* hw, const float* u, uint8_t* first, int64_t stride,
                                  size_t count, size_t nbytes);

// Genotypes drawn locus by locus from the source frequencies freq, for the initial population,
// migrants and the source sample: each locus takes SourceDrawsPerLocus draws, record after
// record.
inline uint64_t SourceDrawsPerLocus(const Geometry& geo, int64_t records) {
  return uint64_t(records) * (geo.Packed() ? 1u : 2u);
}

// Loci [L0, L1) of the records of out, with uniform at the first draw of locus L0; uniform ends
// past the range's draws. Packed ranges start at a multiple of four loci.
void DrawSourceLoci(const KernelTable& kernels, const Geometry& geo, const float* freq,
                    RecordSpan out, int64_t L0, int64_t L1, RngState& uniform);

// Smallest migrant mean that calls for a Poisson draw (single precision).
inline constexpr float kMinMigrantMean = 0.00001f;

// Poisson number of migrants into a generation of N individuals, mean N x MigRate, capped at N
// after the draw (the draws consumed stay the same). A rate of 0 (isolation) draws nothing.
int32_t MigrantCount(float MigRate, int32_t N, Random& rnd);

// Loci per task when the loci of records are split over threads (a multiple of four).
int64_t SourceLociPerTask(const RunContext& ctx, const Geometry& geo, int64_t records);

// All loci of the records of out, split over threads; uniform ends past all their draws.
void DrawSourceGenotypes(const RunContext& ctx, const Geometry& geo, const float* freq,
                         RecordSpan out, RngState& uniform);

}  // namespace driftsim
