// The uniform generator's jumps, internal to the random module: shared by the stream's skips
// (random.cpp) and the vector rows' lanes (src/rows/).
#pragma once

#include <cstdint>

namespace driftsim {

inline constexpr uint64_t kModulus = 2147483647;  // of the multiplicative word

// The xorshift steps are linear over GF(2): 2^j steps are a 32 x 32 bit matrix, held as the
// images of the 32 unit vectors, for j = 0..63.
struct XorJumps {
  uint32_t column[64][32];

  static uint32_t Apply(const uint32_t (&m)[32], uint32_t x) {
    uint32_t y = 0;
    for (int c = 0; c < 32; ++c) y ^= (0u - ((x >> c) & 1u)) & m[c];
    return y;
  }
};

// The matrices, built once.
const XorJumps& Jumps();

// 16807^n mod 2^31-1.
uint64_t MulPower(uint64_t n);

// Several xorshift steps at once, as the GF(2) matrix of those steps applied to a word a few
// bits at a time: the image of bits kBits*k.. of every lane is looked up in a table of 2^kBits
// entries by a vector permute, which takes its index from the low bits of each lane.
// Independent lookups instead of a chain of dependent shift-and-xor steps.
template <int kBits>
struct ChunkTables {
  static constexpr int kChunks = (32 + kBits - 1) / kBits;
  alignas(64) uint32_t image[kChunks][1 << kBits];
};

// The tables of the jump column of 2^kColumn steps, in chunks of kBits, built once per pair:
// both are template arguments, so that no row can fix the table another row reads.
template <int kBits, int kColumn>
const ChunkTables<kBits>& StepTables() {
  static_assert(kColumn >= 0 && kColumn < 64);
  static const ChunkTables<kBits> tables = [] {
    ChunkTables<kBits> t{};
    const auto& steps = Jumps().column[kColumn];
    for (int k = 0; k < ChunkTables<kBits>::kChunks; ++k) {
      for (uint32_t v = 0; v < (1u << kBits); ++v) {
        t.image[k][v] = XorJumps::Apply(steps, v << (kBits * k));
      }
    }
    return t;
  }();
  return tables;
}

}  // namespace driftsim
