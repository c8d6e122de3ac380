// Packed transmission: four biallelic loci per byte, a random bit only for each heterozygous
// parental field.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "population/transmit_kernels.hpp"

namespace driftsim {

namespace {

// Bytes ahead of the current one whose cache lines the block loop asks for.
constexpr int64_t kPrefetchAhead = 256;

// Allele (1 or 2) passed by a parent with the given code; a bit only for the heterozygote, the
// bit at table position p.
inline uint32_t PassAllele(uint32_t code, const unsigned char* bits, uint64_t& p) {
  if (code != 3) return code;
  const uint32_t bit = (bits[p >> 3] >> (p & 7)) & 1u;
  ++p;
  return 1 + bit;
}

// The bits v (low nibble) deposited into the set bits of the nibble s, each at the even bit of
// its field (bit f of s to bit 2f): entry 16 * s + v.
constexpr std::array<uint8_t, 256> MakeSpreadDepositTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned s = 0; s < 16; ++s) {
    for (unsigned v = 0; v < 16; ++v) {
      unsigned out = 0, k = 0;
      for (unsigned f = 0; f < 4; ++f) {
        if ((s >> f) & 1u) out |= ((v >> k++) & 1u) << (2 * f);
      }
      t[s * 16 + v] = static_cast<uint8_t>(out);
    }
  }
  return t;
}
constexpr auto kSpreadDeposit = MakeSpreadDepositTable();

constexpr uint64_t kLow = SingleWord::kLow;

// Heterozygous fields of eight parent bytes: bit 2f of each byte.
inline uint64_t HetFields(uint64_t x) {
  return x & x >> 1 & kLow;
}
// Per byte, the count of the bits at 2f (at most 4).
inline uint64_t FieldCounts(uint64_t h) {
  const uint64_t t = (h & 0x3333333333333333u) + (h >> 2 & 0x3333333333333333u);
  return (t + (t >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
}
// Per byte, the bits at 2f gathered into bits 0-3.
inline uint64_t Compact(uint64_t h) {
  const uint64_t t = (h | h >> 1) & 0x3333333333333333u;
  return (t | t >> 2) & 0x0F0F0F0F0F0F0F0Fu;
}

// Bytes [b, b + m) of the block (m <= 8), as a word per member; p is the position of the
// bytes' first bit, advanced past them. Byte by byte and member by member, each member takes
// its first parent's bits and then its second's, so a member's bits of byte k start at the
// byte's first bit plus the counts of the members before it: both come from word arithmetic
// first (bytes' counts side by side in a word), and the deposits of the members do not wait
// for one another.
[[gnu::always_inline]] inline void PackedWord(const uint8_t* const* p1, const uint8_t* const* p2,
                                              uint8_t* const* child, int n, int64_t b, size_t m,
                                              const unsigned char* bits, uint64_t& p,
                                              int64_t* hets) {
  static_assert(std::endian::native == std::endian::little, "byte k of a word is its k-th byte");
  uint64_t x1[kBlockSize], x2[kBlockSize], before[kBlockSize];
  uint64_t total = 0;
  for (int i = 0; i < n; ++i) {
    x1[i] = x2[i] = 0;
    std::memcpy(&x1[i], p1[i] + b, m);
    std::memcpy(&x2[i], p2[i] + b, m);
    before[i] = total;
    total += FieldCounts(HetFields(x1[i])) + FieldCounts(HetFields(x2[i]));  // at most 80
  }
  uint64_t start[8];
  for (unsigned k = 0; k < 8; ++k) {
    start[k] = p;
    p += total >> 8 * k & 0xFFu;
  }
  for (int i = 0; i < n; ++i) {
    // Per byte: the member's first bit after the byte's, its first parent's heterozygous fields
    // (times 16, a table row), their count, and its second parent's (a row): bytes of small
    // arrays, read by single loads, leave the arithmetic units to the deposits.
    const uint64_t h1 = HetFields(x1[i]), h2 = HetFields(x2[i]);
    const uint64_t words[4] = {before[i], Compact(h1) << 4, FieldCounts(h1), Compact(h2) << 4};
    uint8_t at[4][8];
    std::memcpy(at, words, sizeof at);
    uint64_t deposited = 0;
    for (unsigned k = 0; k < 8; ++k) {
      const uint64_t v = BitCycle::Load(bits, start[k] + at[0][k]);
      const unsigned d1 = kSpreadDeposit[at[1][k] | (v & 15u)];
      const unsigned d2 = kSpreadDeposit[at[3][k] | (v >> at[2][k] & 15u)];
      deposited |= uint64_t(d1 | d2 << 1) << 8 * k;
    }
    // Allele 2 passes from a homozygote of code 2 and from a heterozygote whose bit is set; the
    // child is 1 or 2 where the parents pass the same allele, 3 elsewhere.
    const uint64_t a1 = (x1[i] >> 1 & ~x1[i] & kLow) | (deposited & kLow);
    const uint64_t a2 = (x2[i] >> 1 & ~x2[i] & kLow) | (deposited >> 1 & kLow);
    const uint64_t out = (~(a1 & a2) & kLow) | (a1 | a2) << 1;
    std::memcpy(child[i] + b, &out, m);
    hets[i] += SingleWord::Hets(out);  // bytes past m are 1|1
  }
}

// Bits deposited into the set bits of a nibble: entry 16 * slots + bits.
constexpr std::array<uint8_t, 256> MakeDepositTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned m = 0; m < 16; ++m) {
    for (unsigned v = 0; v < 16; ++v) {
      unsigned out = 0, k = 0;
      for (unsigned f = 0; f < 4; ++f) {
        if ((m >> f) & 1u) out |= ((v >> k++) & 1u) << f;
      }
      t[m * 16 + v] = static_cast<uint8_t>(out);
    }
  }
  return t;
}
constexpr auto kDeposit = MakeDepositTable();

// Set bits per nibble of a word, in each nibble.
inline uint64_t NibblePopcounts(uint64_t x) {
  x -= x >> 1 & 0x5555555555555555u;
  return (x & 0x3333333333333333u) + (x >> 2 & 0x3333333333333333u);
}

// Bytes [b, b + m) of one offspring (m <= 8) from the bits at pos, advanced past them.
[[gnu::always_inline]] inline void SingleWordBytes(const uint8_t* p1, const uint8_t* p2,
                                                   uint8_t* child, int64_t b, size_t m,
                                                   const unsigned char* bits, uint64_t& pos,
                                                   int64_t& hets) {
  uint64_t x1 = 0, x2 = 0;
  std::memcpy(&x1, p1 + b, m);
  std::memcpy(&x2, p2 + b, m);
  const uint64_t slots = SingleWord::Slots(x1, x2);
  const uint64_t nibbles = NibblePopcounts(slots);
  const uint64_t counts = (nibbles + (nibbles >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  // Byte k: the bits of the bytes before it (at most 56).
  const uint64_t before = (counts * 0x0101010101010101u) << 8;
  const uint64_t w = BitCycle::Load64(bits, pos);
  uint64_t deposited = 0;
  for (unsigned k = 0; k < 8; ++k) {
    const unsigned s = static_cast<unsigned>(slots >> 8 * k) & 0xFFu;
    const uint64_t v = w >> (before >> 8 * k & 0xFFu);
    const unsigned lo = kDeposit[(s & 15u) * 16 + (v & 15u)];
    const unsigned hi = kDeposit[(s >> 4) * 16 + ((v >> (nibbles >> 8 * k & 15u)) & 15u)];
    deposited |= uint64_t(lo | hi << 4) << 8 * k;
  }
  pos += (counts * 0x0101010101010101u) >> 56;
  const uint64_t out = SingleWord::Child(x1, x2, deposited);
  std::memcpy(child + b, &out, m);
  hets += SingleWord::Hets(out);  // bytes past m are 0|0
}

}  // namespace

// Bytes [b0, b1) of the family, eight at a time (PackedWord). The family's pointers are locals
// (a byte store could otherwise alias them).
int64_t PackedBytesPortable(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                            uint64_t& pos) {
  const int n = r.n;
  const uint8_t* p1[kBlockSize];
  const uint8_t* p2[kBlockSize];
  uint8_t* child[kBlockSize];
  std::copy(r.p1, r.p1 + n, p1);
  std::copy(r.p2, r.p2 + n, p2);
  std::copy(r.child, r.child + n, child);
  uint64_t p = pos;
  int64_t b = b0;
  for (; b + 8 <= b1; b += 8) {
    // Thirty records stream at once: more than the hardware prefetchers follow.
    if (((b - b0) & 63) == 0) {
      for (int i = 0; i < n; ++i) {
        __builtin_prefetch(p1[i] + b + kPrefetchAhead);
        __builtin_prefetch(p2[i] + b + kPrefetchAhead);
        __builtin_prefetch(child[i] + b + kPrefetchAhead, 1);
      }
    }
    PackedWord(p1, p2, child, n, b, 8, bits, p, r.hets);
  }
  if (b < b1) PackedWord(p1, p2, child, n, b, size_t(b1 - b), bits, p, r.hets);
  pos = p;
  return b1;
}

// Whole bytes [b0, b1) of one offspring, eight at a time (SingleWord). The deposit goes byte by
// byte through nibble tables; each byte's first bit comes from a prefix sum of the bytes'
// counts, so that the bytes do not wait for one another.
int64_t SingleBytesPortable(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t b0,
                            int64_t b1, const unsigned char* bits, uint64_t& pos, int64_t& hets) {
  int64_t b = b0;
  for (; b + 8 <= b1; b += 8) SingleWordBytes(p1, p2, child, b, 8, bits, pos, hets);
  if (b < b1) SingleWordBytes(p1, p2, child, b, size_t(b1 - b), bits, pos, hets);
  return b1;
}

// Packed, loci [L0, L1) field by field: first parent's allele, second parent's, child's code.
void TransmitPackedFields(const Family& fam, int64_t L0, int64_t L1, BitCycle::Stream bits,
                          uint64_t& t) {
  // At most three loci of a block: far fewer bits than the table holds past a position.
  uint64_t p = bits.At(t);
  const uint64_t p0 = p;
  for (int64_t L = L0; L < L1; ++L) {
    for (int i = 0; i < fam.n; ++i) {
      const uint32_t a1 = PassAllele(PackedCode(fam.p1[i], L), bits.bytes, p);
      const uint32_t a2 = PassAllele(PackedCode(fam.p2[i], L), bits.bytes, p);
      SetPackedCode(fam.child[i], L, a1 == a2 ? a1 : 3u);
      if (fam.hets) fam.hets[i] += a1 != a2;
    }
  }
  t += p - p0;
}

// Packed, one offspring, all loci, locus by locus: the first parent's allele, then the second
// parent's, each taking a bit only when heterozygous; whole bytes first, then the last fields.
void TransmitPackedSingle(const KernelTable& kernels, const Family& fam, int64_t NumLoci,
                          BitCycle::Stream bits, uint64_t& t) {
  // Bytes between two reductions of the table position: at most eight bits each.
  constexpr int64_t kChunk = 2048;
  static_assert(kChunk * 8 <= BitCycle::kSpan);
  const uint8_t* p1 = fam.p1[0];
  const uint8_t* p2 = fam.p2[0];
  uint8_t* child = fam.child[0];
  const int64_t nbytes = NumLoci / 4;
  int64_t hets = 0;
  for (int64_t b0 = 0; b0 < nbytes; b0 += kChunk) {
    const int64_t b1 = std::min(nbytes, b0 + kChunk);
    uint64_t pos = bits.At(t);
    const uint64_t pos0 = pos;
    const int64_t b = kernels.singleBytes(p1, p2, child, b0, b1, bits.bytes, pos, hets);
    SingleBytesPortable(p1, p2, child, b, b1, bits.bytes, pos, hets);
    t += pos - pos0;
  }
  if (fam.hets) fam.hets[0] += static_cast<int32_t>(hets);
  TransmitPackedFields(fam, 4 * nbytes, NumLoci, bits, t);
}

// Packed, whole bytes [0, nbytes): per member the first parent's four alleles in locus order,
// then the second parent's, then the child's byte written whole. A byte takes one bit per
// heterozygous parental field, so the bits come from the table at a running position.
void TransmitPackedBytes(const KernelTable& kernels, const Family& fam, int64_t nbytes,
                         BitCycle::Stream bits, uint64_t& t) {
  // Bytes between two reductions of the table position; each member takes at most eight bits
  // per byte.
  constexpr int64_t kChunk = 256;
  static_assert(kChunk * 8 * kBlockSize <= BitCycle::kSpan);
  PackedBlock r(fam);
  for (int64_t b0 = 0; b0 < nbytes; b0 += kChunk) {
    const int64_t b1 = std::min(nbytes, b0 + kChunk);
    uint64_t pos = bits.At(t);
    const uint64_t pos0 = pos;
    const int64_t b = kernels.packedBytes(r, b0, b1, bits.bytes, pos);
    PackedBytesPortable(r, b, b1, bits.bytes, pos);
    t += pos - pos0;
  }
  if (fam.hets) {
    for (int i = 0; i < r.n; ++i) fam.hets[i] += static_cast<int32_t>(r.hets[i]);
  }
}

}  // namespace driftsim
