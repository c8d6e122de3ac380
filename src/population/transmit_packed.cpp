// Packed transmission: four biallelic loci per byte, a random bit only for each heterozygous
// parental field.
#include <algorithm>
#include <array>

#include "cpu/cpu.hpp"
#include "population/transmit.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Allele (1 or 2) passed by a parent with the given code; a bit only for the heterozygote, the
// bit at table position p.
inline uint32_t PassAllele(uint32_t code, const unsigned char* bits, uint64_t& p) {
  if (code != 3) return code;
  const uint32_t bit = (bits[p >> 3] >> (p & 7)) & 1u;
  ++p;
  return 1 + bit;
}

// The family's pointers as locals: the byte stores below could otherwise alias them.
struct Records {
  explicit Records(const Family& fam) : n(fam.n) {
    std::copy(fam.p1, fam.p1 + n, p1);
    std::copy(fam.p2, fam.p2 + n, p2);
    std::copy(fam.child, fam.child + n, child);
  }
  int n;
  const uint8_t* p1[kBlockSize];
  const uint8_t* p2[kBlockSize];
  uint8_t* child[kBlockSize];
};

// Bytes [b0, b1) of the family, one member at a time within each byte; pos is the running
// position in the bit table.
inline void PackedBytes(const Records& r, int64_t b0, int64_t b1, const unsigned char* bits,
                        uint64_t& pos) {
  for (int64_t b = b0; b < b1; ++b) {
    for (int i = 0; i < r.n; ++i) {
      const uint32_t x1 = r.p1[i][b], x2 = r.p2[i][b];
      const uint32_t h1 = kHetCount[x1];
      const uint64_t w = BitCycle::Load(bits, pos);
      pos += h1 + kHetCount[x2];
      const uint32_t m1 = kTransmit[x1 * 16u + (w & 15u)];
      const uint32_t m2 = kTransmit[x2 * 16u + ((w >> h1) & 15u)];
      r.child[i][b] = kCombine[(m1 & 15u) | (m2 & 15u) << 4];
    }
  }
}

#if defined(__x86_64__)
// The vector conversions start from deliberately undefined vectors, which GCC 12 reports as
// maybe uninitialised.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#define DRIFTSIM_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512bitalg,gfni")))

// Deposit of up to four bits into the set fields of a nibble mask (what pdep does), for all
// 256 pairs: entry 16 * mask + bits.
struct DepositTable {
  alignas(64) uint8_t bytes[256];
};
constexpr DepositTable MakeDepositTable() {
  DepositTable t{};
  for (unsigned m = 0; m < 16; ++m) {
    for (unsigned w = 0; w < 16; ++w) {
      unsigned out = 0, used = 0;
      for (unsigned f = 0; f < 4; ++f) {
        if ((m >> f) & 1u) out |= ((w >> used++) & 1u) << f;
      }
      t.bytes[m * 16 + w] = static_cast<uint8_t>(out);
    }
  }
  return t;
}
constexpr DepositTable kDeposit = MakeDepositTable();

// GF(2) matrices for the byte-wise affine instruction: bit i of the result is the parity of
// byte 7-i of the matrix ANDed with the source byte.
constexpr uint64_t kEvenBitsToNibble = 0x0104104000000000ull;  // bits 0,2,4,6 -> bits 0..3
constexpr uint64_t kNibbleToEvenBits = 0x0100020004000800ull;  // bits 0..3 -> bits 0,2,4,6

// Members whose bits one 32-bit gather covers: 3 x 8 bits plus a shift of up to 7.
constexpr int kMembersPerGather = 3;

// Bytes 16q..16q+15 of v widened to 32-bit lanes, and v with those bytes replaced. The lane
// number must be a constant of the instruction: the switch folds away in unrolled loops.
DRIFTSIM_AVX512 inline __m512i QuarterAsDwords(__m512i v, int q) {
  switch (q) {
    case 0:
      return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(v, 0));
    case 1:
      return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(v, 1));
    case 2:
      return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(v, 2));
    default:
      return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(v, 3));
  }
}
DRIFTSIM_AVX512 inline __m512i WithQuarter(__m512i v, __m128i part, int q) {
  switch (q) {
    case 0:
      return _mm512_inserti32x4(v, part, 0);
    case 1:
      return _mm512_inserti32x4(v, part, 1);
    case 2:
      return _mm512_inserti32x4(v, part, 2);
    default:
      return _mm512_inserti32x4(v, part, 3);
  }
}

// Allele-2 nibble of each parent byte: its homozygous-2 fields, and the bits w deposited into
// its heterozygous fields (a 256-entry table indexed by het nibble and bits).
DRIFTSIM_AVX512 inline __m512i AlleleNibbles(__m512i het, __m512i hom, __m512i w,
                                             const __m512i (&depositTable)[4]) {
  const __m512i toNibble = _mm512_set1_epi64(static_cast<int64_t>(kEvenBitsToNibble));
  const __m512i hn = _mm512_gf2p8affine_epi64_epi8(het, toNibble, 0);
  const __m512i idx = _mm512_or_si512(_mm512_slli_epi16(hn, 4), w);
  const __m512i lo = _mm512_permutex2var_epi8(depositTable[0], idx, depositTable[1]);
  const __m512i hi = _mm512_permutex2var_epi8(depositTable[2], idx, depositTable[3]);
  const __m512i dep = _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
  return _mm512_or_si512(dep, _mm512_gf2p8affine_epi64_epi8(hom, toNibble, 0));
}

// 64 bytes [b0, b0+64) of the family at once; the portable twin is PackedBytes.
//
// Bits: byte b of member i takes one bit for each heterozygous field of its first parent, then
// one for each of its second parent's, in the order (byte, member). So every byte's bits start
// at an offset that depends on all earlier bytes and members. The tricks:
// - Fields: with s = x >> 1 (16-bit shifts; bits crossing a byte edge land in odd positions,
//   which the 0x55 mask drops, so a 16-bit shift serves as a byte shift), x & s & 0x55 marks
//   heterozygous fields (code 3) and ~x & s & 0x55 homozygotes of allele 2 (code 2) at the even
//   bits; a byte popcount counts the bits each parent byte takes.
// - Offsets: per byte the members' counts are summed in member order (before[i]: bits of the
//   members ahead of i in the same byte); an exclusive prefix sum over the 64 byte lanes, done
//   in four quarters of sixteen 32-bit lanes by lane shifts of 1, 2, 4 and 8 (alignr against
//   zero), gives where each byte's bits start, carried from quarter to quarter.
// - Gathers: a member takes at most 8 bits per byte, so the 32 bits loaded at the first of
//   three members' offset (a byte gather, then a shift by the offset's low three bits) hold the
//   bits of all three; the other two shift by their distance from the first.
// - Alleles: a GF(2) affine step packs the even bits into a nibble (kEvenBitsToNibble); the
//   nibble of heterozygous fields and the member's four bits index the deposit table, a 256-byte
//   table held in four vectors: permutex2var looks up 128 entries by the low seven index bits,
//   and the index's top bit chooses between the two halves. Homozygotes of allele 2 add their
//   own nibble.
// - Child: a field is 1 unless both parents pass allele 2 (low bit) and has its high bit when
//   either does, so the heterozygote is 3; the inverse affine step (kNibbleToEvenBits) spreads
//   both nibbles back to the even bits, and a 16-bit shift moves the high bits up by one.
DRIFTSIM_AVX512 void PackedBytes64(const Records& r, int64_t b0, const unsigned char* bits,
                                   uint64_t& pos, const __m512i (&depositTable)[4]) {
  const __m512i evens = _mm512_set1_epi8(0x55);
  const __m512i toEvens = _mm512_set1_epi64(static_cast<int64_t>(kNibbleToEvenBits));
  __m512i het1[kBlockSize], het2[kBlockSize], hom1[kBlockSize], hom2[kBlockSize];
  __m512i count1[kBlockSize], before[kBlockSize];
  __m512i total = _mm512_setzero_si512();
  for (int i = 0; i < r.n; ++i) {
    const __m512i x1 = _mm512_loadu_si512(r.p1[i] + b0);
    const __m512i x2 = _mm512_loadu_si512(r.p2[i] + b0);
    const __m512i s1 = _mm512_srli_epi16(x1, 1), s2 = _mm512_srli_epi16(x2, 1);
    // Heterozygous fields (code 3) and homozygotes of allele 2 (code 2), at the even bits.
    het1[i] = _mm512_and_si512(_mm512_and_si512(x1, s1), evens);
    het2[i] = _mm512_and_si512(_mm512_and_si512(x2, s2), evens);
    hom1[i] = _mm512_and_si512(_mm512_andnot_si512(x1, s1), evens);
    hom2[i] = _mm512_and_si512(_mm512_andnot_si512(x2, s2), evens);
    count1[i] = _mm512_popcnt_epi8(het1[i]);
    before[i] = total;
    total = _mm512_add_epi8(total, _mm512_add_epi8(count1[i], _mm512_popcnt_epi8(het2[i])));
  }
  // Bits of the earlier bytes of the chunk: an exclusive prefix sum over the 64 byte lanes, in
  // four quarters of sixteen 32-bit lanes.
  __m512i start[4];
  uint32_t carry = static_cast<uint32_t>(pos);
  for (int q = 0; q < 4; ++q) {
    const __m512i t = QuarterAsDwords(total, q);
    __m512i inc = t;
    const __m512i zero = _mm512_setzero_si512();
    inc = _mm512_add_epi32(inc, _mm512_alignr_epi32(inc, zero, 15));
    inc = _mm512_add_epi32(inc, _mm512_alignr_epi32(inc, zero, 14));
    inc = _mm512_add_epi32(inc, _mm512_alignr_epi32(inc, zero, 12));
    inc = _mm512_add_epi32(inc, _mm512_alignr_epi32(inc, zero, 8));
    start[q] =
        _mm512_add_epi32(_mm512_sub_epi32(inc, t), _mm512_set1_epi32(static_cast<int>(carry)));
    carry += static_cast<uint32_t>(_mm512_reduce_add_epi32(t));
  }
  const int* base = reinterpret_cast<const int*>(bits);
  const __m512i low4 = _mm512_set1_epi32(15);
  __m512i gathered[4];
  int first = 0;  // member whose position the gathered words start at
  for (int i = 0; i < r.n; ++i) {
    // One gather serves three members: their bits follow one another (at most 8 each), so 32
    // bits from the first one's position hold them all.
    if (i % kMembersPerGather == 0) {
      first = i;
      for (int q = 0; q < 4; ++q) {
        const __m512i at = _mm512_add_epi32(start[q], QuarterAsDwords(before[i], q));
        gathered[q] = _mm512_srlv_epi32(_mm512_i32gather_epi32(_mm512_srli_epi32(at, 3), base, 1),
                                        _mm512_and_si512(at, _mm512_set1_epi32(7)));
      }
    }
    // The member's bits: the first parent's at its offset, the second parent's right after.
    const __m512i offset = _mm512_sub_epi8(before[i], before[first]);
    __m512i w1 = _mm512_setzero_si512(), w2 = _mm512_setzero_si512();
    for (int q = 0; q < 4; ++q) {
      const __m512i word = _mm512_srlv_epi32(gathered[q], QuarterAsDwords(offset, q));
      const __m512i h1 = QuarterAsDwords(count1[i], q);
      const __m128i v1 = _mm512_cvtepi32_epi8(_mm512_and_si512(word, low4));
      const __m128i v2 = _mm512_cvtepi32_epi8(_mm512_and_si512(_mm512_srlv_epi32(word, h1), low4));
      w1 = WithQuarter(w1, v1, q);
      w2 = WithQuarter(w2, v2, q);
    }
    const __m512i a1 = AlleleNibbles(het1[i], hom1[i], w1, depositTable);
    const __m512i a2 = AlleleNibbles(het2[i], hom2[i], w2, depositTable);
    // Codes: low bit set unless both pass allele 2, high bit set if either does.
    const __m512i lowBits = _mm512_andnot_si512(_mm512_and_si512(a1, a2), _mm512_set1_epi8(15));
    const __m512i highBits = _mm512_or_si512(a1, a2);
    const __m512i child =
        _mm512_or_si512(_mm512_gf2p8affine_epi64_epi8(lowBits, toEvens, 0),
                        _mm512_slli_epi16(_mm512_gf2p8affine_epi64_epi8(highBits, toEvens, 0), 1));
    _mm512_storeu_si512(r.child[i] + b0, child);
  }
  pos = carry;
}

DRIFTSIM_AVX512 void PackedBytesAvx512(const Records& r, int64_t b0, int64_t b1,
                                       const unsigned char* bits, uint64_t& pos) {
  const uint8_t* deposit = kDeposit.bytes;
  const __m512i table[4] = {_mm512_load_si512(deposit), _mm512_load_si512(deposit + 64),
                            _mm512_load_si512(deposit + 128), _mm512_load_si512(deposit + 192)};
  int64_t b = b0;
  for (; b + 64 <= b1; b += 64) PackedBytes64(r, b, bits, pos, table);
  PackedBytes(r, b, b1, bits, pos);
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

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
    }
  }
  t += p - p0;
}

// Packed, one offspring, all loci, locus by locus: the first parent's allele, then the second
// parent's, each taking a bit only when heterozygous; whole bytes first, then the last fields.
void TransmitPackedSingle(const Family& fam, int64_t NumLoci, BitCycle::Stream bits, uint64_t& t) {
  // Bytes between two reductions of the table position: at most eight bits each.
  constexpr int64_t kChunk = 2048;
  static_assert(kChunk * 8 <= BitCycle::kSpan);
  const uint8_t* p1 = fam.p1[0];
  const uint8_t* p2 = fam.p2[0];
  uint8_t* child = fam.child[0];
  const int64_t nbytes = NumLoci / 4;
  for (int64_t b0 = 0; b0 < nbytes; b0 += kChunk) {
    const int64_t b1 = std::min(nbytes, b0 + kChunk);
    uint64_t pos = bits.At(t);
    const uint64_t pos0 = pos;
    for (int64_t b = b0; b < b1; ++b) {
      const uint64_t w = BitCycle::Load(bits.bytes, pos);
      uint32_t used = 0, out = 0;
      // Arithmetic instead of branches, which the random codes would mispredict: a
      // heterozygote (h = 1) passes 1 + bit, a homozygote its own allele.
      for (int f = 0; f < 8; f += 2) {
        const uint32_t c1 = (p1[b] >> f) & 3u, c2 = (p2[b] >> f) & 3u;
        const uint32_t h1 = c1 >> 1 & c1, h2 = c2 >> 1 & c2;
        const uint32_t a1 = c1 - h1 * (2 - static_cast<uint32_t>((w >> used) & 1u));
        used += h1;
        const uint32_t a2 = c2 - h2 * (2 - static_cast<uint32_t>((w >> used) & 1u));
        used += h2;
        out |= (a1 | a2) << f;  // 1|1, 2|2, and 1|2 = 3 for the heterozygote
      }
      pos += used;
      child[b] = static_cast<uint8_t>(out);
    }
    t += pos - pos0;
  }
  TransmitPackedFields(fam, 4 * nbytes, NumLoci, bits, t);
}

// Packed, whole bytes [0, nbytes): per member the first parent's four alleles in locus order,
// then the second parent's, then the child's byte written whole. A byte takes one bit per
// heterozygous parental field, so the bits come from the table at a running position.
void TransmitPackedBytes(const Family& fam, int64_t nbytes, BitCycle::Stream bits, uint64_t& t) {
  // Bytes between two reductions of the table position; each member takes at most eight bits
  // per byte.
  constexpr int64_t kChunk = 256;
  static_assert(kChunk * 8 * kBlockSize <= BitCycle::kSpan);
  const Records r(fam);
  for (int64_t b0 = 0; b0 < nbytes; b0 += kChunk) {
    const int64_t b1 = std::min(nbytes, b0 + kChunk);
    uint64_t pos = bits.At(t);
    const uint64_t pos0 = pos;
#if defined(__x86_64__)
    if (ActiveKernel() == Kernel::kAvx512) {
      PackedBytesAvx512(r, b0, b1, bits.bytes, pos);
    } else {
      PackedBytes(r, b0, b1, bits.bytes, pos);
    }
#else
    PackedBytes(r, b0, b1, bits.bytes, pos);
#endif
    t += pos - pos0;
  }
}

}  // namespace driftsim
