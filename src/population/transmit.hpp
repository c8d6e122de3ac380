// Shared pieces of reproduction and sampling: genotypes drawn from the source frequencies and
// Mendelian transmission from drawn parents. Internal to the population subsystem.
#pragma once

#include <cstdint>

#include "population/population.hpp"

namespace driftsim {

// Largest number of offspring made in one pass over the loci.
inline constexpr int kBlockSize = 10;

// Cumulative frequencies of one locus in allele order, single precision; the last entry is 1.1,
// above every draw, so a search always ends there.
void BuildCumFreq(const float* freq, int32_t NumAllele, float* cum);

// Smallest allele k (1-based) with cum[k] >= u. The entries rise (or are NaN from the first NaN
// on), so that allele is one more than the number of entries below u: counted without a branch,
// since the drawn allele is unpredictable.
inline uint8_t PickAllele(const float* cum, int32_t NumAllele, float u) {
  int32_t below = 0;
  for (int32_t k = 0; k < NumAllele - 1; ++k) below += cum[k] < u;
  return static_cast<uint8_t>(below + 1);
}

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

}  // namespace driftsim
