// Unpacked transmission: one byte per gene copy, one random bit per copy.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "population/transmit_kernels.hpp"

namespace driftsim {

namespace {

// Byte masks of four loci's choices: bit L of a nibble sets byte 2L (the first copy's byte).
constexpr std::array<uint64_t, 16> MakeSpreadTable() {
  std::array<uint64_t, 16> t{};
  for (unsigned x = 0; x < 16; ++x) {
    for (unsigned L = 0; L < 4; ++L) t[x] |= uint64_t{(x >> L) & 1u ? 0xFFu : 0u} << (16 * L);
  }
  return t;
}
constexpr auto kSpread = MakeSpreadTable();

inline uint64_t LoadWord(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Copies of count loci (at most 64) of one member: bit L of m1 (m2) picks the copy that the
// first (second) parent passes at locus L. Four loci (eight bytes) at a time within words: the
// child's byte 2L is the first parent's byte 2L or, swapped into place, 2L + 1; its byte 2L + 1
// is the second parent's byte 2L, swapped into place, or 2L + 1. A byte mask from the bits
// chooses.
inline void CopyChunk(const uint8_t* p1, const uint8_t* p2, uint8_t* child, uint64_t m1,
                      uint64_t m2, int count) {
  static_assert(std::endian::native == std::endian::little, "byte 2L is the low byte of a pair");
  constexpr uint64_t kEven = 0x00FF00FF00FF00FFu;
  size_t L = 0;
  for (; L + 4 <= size_t(count); L += 4) {
    const uint64_t a = LoadWord(p1 + 2 * L), b = LoadWord(p2 + 2 * L);
    const uint64_t swapA = (a >> 8 & kEven) | (a & kEven) << 8;
    const uint64_t swapB = (b >> 8 & kEven) | (b & kEven) << 8;
    const uint64_t s1 = kSpread[(m1 >> L) & 15u], s2 = kSpread[(m2 >> L) & 15u] << 8;
    const uint64_t first = ((a & ~s1) | (swapA & s1)) & kEven;
    const uint64_t second = ((swapB & ~s2) | (b & s2)) & ~kEven;
    const uint64_t out = first | second;
    std::memcpy(child + 2 * L, &out, sizeof out);
  }
  for (; L < size_t(count); ++L) {
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
