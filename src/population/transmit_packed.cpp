// Packed transmission: four biallelic loci per byte, a random bit only for each heterozygous
// parental field.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "population/transmit_kernels.hpp"

namespace driftsim {

namespace {

// For a parent byte x and the next four random bits r: the four transmitted alleles as a mask
// (bit f set when allele 2 passes at field f) in bits 0-3, and the bits used in bits 4-6. A
// heterozygous field takes the next unused bit; homozygous fields take none.
constexpr std::array<uint8_t, 256 * 16> MakeTransmitTable() {
  std::array<uint8_t, 256 * 16> t{};
  for (unsigned x = 0; x < 256; ++x) {
    for (unsigned r = 0; r < 16; ++r) {
      unsigned mask = 0, used = 0;
      for (unsigned f = 0; f < 4; ++f) {
        const unsigned code = (x >> (2 * f)) & 3u;
        const unsigned allele2 = code == 3 ? (r >> used++) & 1u : code == 2;
        mask |= allele2 << f;
      }
      t[x * 16 + r] = static_cast<uint8_t>(mask | used << 4);
    }
  }
  return t;
}

// Child byte from the allele masks of the first parent (bits 0-3) and the second (bits 4-7):
// the common allele's homozygote where they agree, the heterozygote elsewhere.
constexpr std::array<uint8_t, 256> MakeCombineTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned byte = 0;
    for (unsigned f = 0; f < 4; ++f) {
      const unsigned a1 = (m >> f) & 1u, a2 = (m >> (4 + f)) & 1u;
      byte |= (a1 == a2 ? 1 + a1 : 3u) << (2 * f);
    }
    t[m] = static_cast<uint8_t>(byte);
  }
  return t;
}

constexpr auto kTransmit = MakeTransmitTable();
constexpr auto kCombine = MakeCombineTable();

// Bits used per parent byte: one for each heterozygous field. Kept apart from the transmit
// table so that the position in the bit stream never waits for a table lookup.
constexpr std::array<uint8_t, 256> MakeHetCountTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned x = 0; x < 256; ++x) t[x] = static_cast<uint8_t>(kTransmit[x * 16] >> 4);
  return t;
}
constexpr auto kHetCount = MakeHetCountTable();

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

// The low bits of each byte of x deposited into the set bits of the same byte of m, in order:
// the expansion of Hacker's Delight (7-5) in eight lanes of eight bits. The shifts that move
// bits to the left are masked where they would cross into the next lane; the moves to the right
// never cross (a bit moves by at most the zeros below it in its own lane).
inline uint64_t DepositBytes(uint64_t x, uint64_t m) {
  constexpr uint64_t kAbove[3] = {0xFEFEFEFEFEFEFEFEu, 0xFCFCFCFCFCFCFCFCu, 0xF0F0F0F0F0F0F0F0u};
  const uint64_t m0 = m;
  uint64_t mk = ~m << 1 & kAbove[0];
  uint64_t mv[3];
  for (int i = 0; i < 3; ++i) {
    uint64_t mp = mk ^ (mk << 1 & kAbove[0]);
    mp ^= mp << 2 & kAbove[1];
    mp ^= mp << 4 & kAbove[2];
    mv[i] = mp & m;
    m = (m ^ mv[i]) | mv[i] >> (1 << i);
    mk &= ~mp;
  }
  for (int i = 2; i >= 0; --i) x = (x & ~mv[i]) | (x << (1 << i) & mv[i]);
  return x & m0;
}

// Per byte: the even bits (fields' low bits) gathered into the low nibble, and back.
inline uint64_t EvenToNibble(uint64_t x) {
  x = (x | x >> 1) & 0x3333333333333333u;
  return (x | x >> 2) & 0x0F0F0F0F0F0F0F0Fu;
}
inline uint64_t NibbleToEven(uint64_t x) {
  x = (x | x << 2) & 0x3333333333333333u;
  return (x | x << 1) & 0x5555555555555555u;
}

// Set even bits (fields) per byte, in each byte.
inline uint64_t FieldsPerByte(uint64_t evenBits) {
  const uint64_t t = (evenBits & 0x3333333333333333u) + (evenBits >> 2 & 0x3333333333333333u);
  return (t + (t >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
}
// The sum of the bytes of x, by pairs in 16-bit lanes (the sum may pass 255).
inline uint64_t SumBytes(uint64_t x) {
  const uint64_t pairs = (x & 0x00FF00FF00FF00FFu) + (x >> 8 & 0x00FF00FF00FF00FFu);
  return (pairs * 0x0001000100010001u) >> 48;
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

// Bytes [b0, b1) of the family, eight at a time per member. Each member's byte takes the bits
// of its slots (the first parent's heterozygous fields, then the second's) in the order of the
// bit stream: byte by byte, within a byte member by member. So a member's bits of byte k start
// at the byte's first bit plus the bits of the members before it; each is fetched on its own,
// and the eight bytes' bits go into the slots at once (DepositBytes). The children follow by
// word arithmetic, as for one offspring (SingleWord).
int64_t PackedBytesPortable(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                            uint64_t& pos) {
  constexpr uint64_t kLow = SingleWord::kLow;
  constexpr int64_t kWord = 8;
  // Whole words of a full block; the byte loop makes the rest (and any smaller family).
  const int64_t wordsEnd = r.n == kBlockSize ? b0 + (b1 - b0) / kWord * kWord : b0;
  constexpr int n = kBlockSize;
  const unsigned char* octets = wordsEnd > b0 ? BitCycle::Octets(bits) : nullptr;
  uint64_t p = pos;
  int64_t b = b0;
  // The children's heterozygous fields per byte lane, added up every kFold words (at most four
  // per byte and word).
  constexpr int kFold = 63;
  uint64_t hetBytes[kBlockSize] = {};
  int words = 0;
  const auto fold = [&] {
    for (int i = 0; i < n; ++i) r.hets[i] += static_cast<int64_t>(SumBytes(hetBytes[i]));
    std::fill(hetBytes, hetBytes + n, 0);
    words = 0;
  };
  for (; b < wordsEnd; b += kWord) {
    // Per member; the loops without loads or stores through the family's pointers are plain
    // word arithmetic that the compiler vectorises.
    uint64_t x1[kBlockSize], x2[kBlockSize], slots[kBlockSize], counts[kBlockSize];
    uint64_t v[kBlockSize], out[kBlockSize];
    if ((b & 63) == 0) {
      for (int i = 0; i < n; ++i) {
        __builtin_prefetch(r.p1[i] + b + kPrefetchAhead);
        __builtin_prefetch(r.p2[i] + b + kPrefetchAhead);
        __builtin_prefetch(r.child[i] + b + kPrefetchAhead, 1);
      }
    }
    for (int i = 0; i < n; ++i) {
      std::memcpy(&x1[i], r.p1[i] + b, kWord);
      std::memcpy(&x2[i], r.p2[i] + b, kWord);
    }
    for (int i = 0; i < n; ++i) {
      slots[i] = EvenToNibble(x1[i] & x1[i] >> 1 & kLow) | EvenToNibble(x2[i] & x2[i] >> 1 & kLow)
                                                               << 4;
      const uint64_t nibbles = NibblePopcounts(slots[i]);
      counts[i] = (nibbles + (nibbles >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    }
    // Byte by byte, each member's eight bits at the running position.
    uint8_t count[kBlockSize][kWord], got[kBlockSize][kWord];
    std::memcpy(count, counts, sizeof count);
    for (int k = 0; k < kWord; ++k) {
      for (int i = 0; i < n; ++i) {
        got[i][k] = octets[p];
        p += count[i][k];
      }
    }
    std::memcpy(v, got, sizeof got);
    for (int i = 0; i < n; ++i) {
      const uint64_t d = DepositBytes(v[i], slots[i]);
      const uint64_t hom1 = x1[i] >> 1 & ~x1[i] & kLow, hom2 = x2[i] >> 1 & ~x2[i] & kLow;
      // Allele 2 passed, per field (even bits): by each parent, then the child's code.
      const uint64_t a1 = hom1 | NibbleToEven(d & 0x0F0F0F0F0F0F0F0Fu);
      const uint64_t a2 = hom2 | NibbleToEven(d >> 4 & 0x0F0F0F0F0F0F0F0Fu);
      out[i] = (~(a1 & a2) & kLow) | (a1 | a2) << 1;
      hetBytes[i] += FieldsPerByte(a1 ^ a2);
    }
    for (int i = 0; i < n; ++i) std::memcpy(r.child[i] + b, &out[i], kWord);
    if (++words == kFold) fold();
  }
  fold();
  for (; b < b1; ++b) {
    uint64_t w = BitCycle::Load(bits, p);
    uint32_t used = 0;
    for (int i = 0; i < r.n; ++i) {
      const uint32_t x1 = r.p1[i][b], x2 = r.p2[i][b];
      const uint32_t h1 = kHetCount[x1], h = h1 + kHetCount[x2];
      if (used + h > 57) [[unlikely]] {
        p += used;
        used = 0;
        w = BitCycle::Load(bits, p);
      }
      const uint64_t v = w >> used;
      used += h;
      const uint32_t m1 = kTransmit[x1 * 16u + (v & 15u)];
      const uint32_t m2 = kTransmit[x2 * 16u + ((v >> h1) & 15u)];
      r.child[i][b] = kCombine[(m1 & 15u) | (m2 & 15u) << 4];
      r.hets[i] += kHetCount[r.child[i][b]];
    }
    p += used;
  }
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
