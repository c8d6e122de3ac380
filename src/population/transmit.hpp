// Shared pieces of reproduction and sampling: genotypes drawn from the source frequencies and
// Mendelian transmission from drawn parents. Internal to the population subsystem.
#pragma once

#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "population/population.hpp"

namespace driftsim {

// Largest number of offspring made in one pass over the loci.
inline constexpr int kBlockSize = 10;

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

  inline uint8_t Pick(float u) const {
    int32_t below = 0;
#if defined(__SSE2__)
    static constexpr uint8_t kBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    const __m128 uu = _mm_set1_ps(u);
    for (size_t k = 0; k < cum_.size(); k += 4) {
      below += kBits[_mm_movemask_ps(_mm_cmplt_ps(_mm_loadu_ps(&cum_[k]), uu))];
    }
#else
    for (const float c : cum_) below += c < u;
#endif
    return static_cast<uint8_t>(below + 1);
  }

 private:
  int32_t K_;
  std::vector<float> cum_;
};

// Packed genotype from the cumulative Hardy-Weinberg probabilities of codes 1 and 2: code 1 if
// u <= hw[0], else 2 if u <= hw[1], else 3; in arithmetic, as the draws are unpredictable.
inline uint32_t PickCode(const float* hw, float u) {
  const uint32_t le0 = u <= hw[0], le1 = u <= hw[1];
  return 3u - le1 - le0 * (2u - le1);
}

// Genotypes of count consecutive records drawn locus by locus from the source frequencies:
// migrants and the source sample.
void DrawSourceGenotypes(SimState& sim, uint8_t* first, int64_t count);

// The parents and records of up to kBlockSize offspring made together.
struct Family {
  int n = 0;
  const uint8_t* p1[kBlockSize];
  const uint8_t* p2[kBlockSize];
  uint8_t* child[kBlockSize];
};

// Draws the first and then the second parent of each member of the family from buffer b.
void DrawParents(SimState& sim, int b, Family& fam);

// Offspring of the family, locus by locus (unpacked), or whole bytes first and then the
// remaining loci field by field (packed). Single offspring and sample members use the
// locus-by-locus form in both representations.
void TransmitBlock(const SimState& sim, const Family& fam, BitStream& bits);
void TransmitSingle(const SimState& sim, const Family& fam, BitStream& bits);

// The pieces of those, by representation. Unpacked: all loci, locus by locus.
void TransmitUnpacked(const Family& fam, int64_t NumLoci, BitStream& stream);
// Packed: whole bytes [0, nbytes) of a family, byte by byte; loci [L0, L1) field by field; and
// the whole bytes of one member locus by locus.
void TransmitBytes(const Family& fam, int64_t nbytes, BitStream& stream);
void TransmitFields(const Family& fam, int64_t L0, int64_t L1, BitReader& bits);
void SingleBytes(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t nbytes,
                 BitStream& stream);

}  // namespace driftsim
