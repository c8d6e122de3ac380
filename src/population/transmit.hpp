// Mendelian transmission: the parents of a family of offspring and the genes they pass on.
// Internal to the population subsystem.
#pragma once

#include <cstdint>

#include "population/population.hpp"

namespace driftsim {

// Largest number of offspring made in one pass over the loci.
inline constexpr int kBlockSize = 10;

// The parents and records of up to kBlockSize offspring made together.
struct Family {
  int n = 0;
  const uint8_t* p1[kBlockSize];
  const uint8_t* p2[kBlockSize];
  uint8_t* child[kBlockSize];
};

// Draws the first and then the second parent of each member of the family from parents.
void DrawParents(RecordSpan parents, RngState& uniform, Family& fam);

// Offspring of the family, locus by locus (unpacked), or whole bytes first and then the
// remaining loci field by field (packed). Single offspring and sample members use the
// locus-by-locus form in both representations.
void TransmitBlock(const Params& par, const Family& fam, BitStream& bits);
void TransmitSingle(const Params& par, const Family& fam, BitStream& bits);

// The pieces of those, by representation. Unpacked: all loci, locus by locus.
void TransmitUnpacked(const Family& fam, int64_t NumLoci, BitStream& stream);
// Packed: whole bytes [0, nbytes) of a family, byte by byte; loci [L0, L1) field by field; and
// the whole bytes of one member locus by locus.
void TransmitPackedBytes(const Family& fam, int64_t nbytes, BitStream& stream);
void TransmitPackedFields(const Family& fam, int64_t L0, int64_t L1, BitReader& bits);
void TransmitPackedSingle(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t nbytes,
                          BitStream& stream);

}  // namespace driftsim
