// The transmission routines and what they share, internal to the population subsystem and the
// CPU rows: the portable twins in transmit_packed.cpp and transmit_unpacked.cpp are the
// reference; each vector row's own live in its file of src/rows/, which also puts them into the
// kernel table.
#pragma once

#include <algorithm>
#include <cstdint>

#include "population/transmit.hpp"
#include "random/random.hpp"

namespace driftsim {

// A family's pointers as locals (the byte stores of the kernels could otherwise alias them),
// and the heterozygous fields counted in each child so far.
struct PackedBlock {
  explicit PackedBlock(const Family& fam) : n(fam.n) {
    std::copy(fam.p1, fam.p1 + n, p1);
    std::copy(fam.p2, fam.p2 + n, p2);
    std::copy(fam.child, fam.child + n, child);
  }
  int n;
  const uint8_t* p1[kBlockSize];
  const uint8_t* p2[kBlockSize];
  uint8_t* child[kBlockSize];
  int64_t hets[kBlockSize] = {};
};

// Unpacked offspring take, locus by locus, one bit per copy for each member in turn: with n
// members the bits of one copy of one member are every 2n-th bit of the stream. Each such
// stream comes 64 loci at a time from its own jump table, so that a whole chunk of a record is
// made at once.
class CopyBits {
 public:
  CopyBits(uint32_t seed, int n) : jump_(BitJump::For(2 * unsigned(n))), streams_(2 * n) {
    BitStream step{seed};
    for (int s = 0; s < streams_; ++s) {
      core_[s] = step.RanBitSeed;
      step.RanBit();
    }
  }
  // Bit L: the copy that stream s takes at locus L of the next 64.
  void Next(uint64_t* masks) {
    for (int s = 0; s < streams_; ++s) {
      const BitJump::Result r = jump_(core_[s]);
      masks[s] = r.bits;
      core_[s] = r.state;
    }
  }

 private:
  const BitJump& jump_;
  int streams_;
  uint32_t core_[2 * kBlockSize];
};

// Loci of one member made before the next member's: long runs of each record keep the thirty
// records of a block streaming well.
constexpr int64_t kRunChunks = 256;

// Unpacked loci of a family with the chunk copier Copy: the bits of kRunChunks chunks of 64
// loci for every member first, then each member's run of loci.
template <void (*Copy)(const uint8_t*, const uint8_t*, uint8_t*, uint64_t, uint64_t, int)>
void CopyLoci(const Family& fam, int64_t NumLoci, CopyBits& bits) {
  uint64_t masks[kRunChunks][2 * kBlockSize];
  for (int64_t L0 = 0; L0 < NumLoci; L0 += 64 * kRunChunks) {
    const int64_t L1 = std::min(NumLoci, L0 + 64 * kRunChunks);
    const int64_t chunks = (L1 - L0 + 63) / 64;
    for (int64_t c = 0; c < chunks; ++c) bits.Next(masks[c]);
    for (int i = 0; i < fam.n; ++i) {
      for (int64_t c = 0, L = L0; c < chunks; ++c, L += 64) {
        Copy(fam.p1[i] + 2 * L, fam.p2[i] + 2 * L, fam.child[i] + 2 * L, masks[c][2 * i],
             masks[c][2 * i + 1], static_cast<int>(std::min<int64_t>(64, L1 - L)));
      }
    }
  }
}

// Bytes [b0, b1) of a block of kBlockSize members, byte by byte, bits from the table at pos
// (advanced past them). A routine makes the whole chunks of its width and returns where it
// stopped; the portable loop makes the rest.
using PackedBytesFn = int64_t (*)(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                                  uint64_t& pos);

// Whole bytes [b0, b1) of one offspring (p1, p2, child), bits from the table at pos; returns
// where it stopped and adds the child's heterozygous fields to hets.
using SingleBytesFn = int64_t (*)(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t b0,
                                  int64_t b1, const unsigned char* bits, uint64_t& pos,
                                  int64_t& hets);

// One offspring's bytes eight at a time (SingleBytesPortable, SingleBytesAvx2Pdep). Locus by
// locus the first parent's field takes a bit when heterozygous, then the second's: with the
// first parent's heterozygous fields at the even bits of a word and the second's at the odd
// ones, the bits of eight bytes go to the set bits of that word in order (a deposit), and the
// child follows from the deposited bits by word arithmetic.
struct SingleWord {
  static constexpr uint64_t kLow = 0x5555555555555555u;  // bit 0 of every field

  // The slots of the bits: bit 2f heterozygous field f of x1, bit 2f + 1 of x2.
  static uint64_t Slots(uint64_t x1, uint64_t x2) {
    return (x1 & x1 >> 1 & kLow) | (x2 & x2 >> 1 & kLow) << 1;
  }
  // The child's fields from the parents' and the bits deposited into their slots: a
  // heterozygote passes 1 + bit, any other field its own code, and the child's field is the
  // OR of the two (1|2 = 3).
  static uint64_t Child(uint64_t x1, uint64_t x2, uint64_t deposited) {
    const uint64_t h1 = x1 & x1 >> 1 & kLow, h2 = x2 & x2 >> 1 & kLow;
    const uint64_t d1 = deposited & kLow, d2 = deposited >> 1 & kLow;
    const uint64_t a1 = (x1 & ~(h1 | h1 << 1)) | d1 << 1 | (h1 ^ d1);
    const uint64_t a2 = (x2 & ~(h2 | h2 << 1)) | d2 << 1 | (h2 ^ d2);
    return a1 | a2;
  }
  // Heterozygous fields of a child word. By word arithmetic: std::popcount is a library call
  // where the build may not assume the instruction.
  static int64_t Hets(uint64_t child) {
    const uint64_t h = child & child >> 1 & kLow;
    const uint64_t t = (h & 0x3333333333333333u) + (h >> 2 & 0x3333333333333333u);
    return static_cast<int64_t>((((t + (t >> 4)) & 0x0F0F0F0F0F0F0F0Fu) * 0x0101010101010101u) >>
                                56);
  }
};

int64_t PackedBytesPortable(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                            uint64_t& pos);
int64_t SingleBytesPortable(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t b0,
                            int64_t b1, const unsigned char* bits, uint64_t& pos, int64_t& hets);

void CopyLociPortable(const Family& fam, int64_t NumLoci, CopyBits& bits);

}  // namespace driftsim
