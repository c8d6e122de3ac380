// Unpacked transmission: one byte per gene copy, one random bit per copy.
#include <algorithm>

#include "population/transmit_kernels.hpp"

namespace driftsim {

namespace {

// Copies of count loci (at most 64) of one member: bit L of m1 (m2) picks the copy that the
// first (second) parent passes at locus L.
inline void CopyChunk(const uint8_t* p1, const uint8_t* p2, uint8_t* child, uint64_t m1,
                      uint64_t m2, int count) {
  for (size_t L = 0; L < size_t(count); ++L) {
    child[2 * L] = p1[2 * L + ((m1 >> L) & 1u)];
    child[2 * L + 1] = p2[2 * L + ((m2 >> L) & 1u)];
  }
}

}  // namespace

__attribute__((flatten)) void CopyLociPortable(const Family& fam, int64_t NumLoci, CopyBits& bits) {
  CopyLoci<CopyChunk>(fam, NumLoci, bits);
}

// Unpacked: for each locus, for each member, copy 1 from the first parent and copy 2 from the
// second, each chosen by one bit.
void TransmitUnpacked(const KernelTable& kernels, const Family& fam, int64_t NumLoci,
                      BitStream& stream) {
  CopyBits bits(stream.RanBitSeed, fam.n);
  kernels.copyLoci(fam, NumLoci, bits);
  stream.Advance(uint64_t(2 * fam.n) * uint64_t(NumLoci));
}

}  // namespace driftsim
