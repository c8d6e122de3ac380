// AVX2 transmission routines. Every function here carries its own target attribute instead of
// the file being built with -mavx2: inline functions of the headers, compiled in this file with
// AVX2, could otherwise be the copy the linker keeps for the whole program.
//
// Packed block kernel (PackedBytesAvx2, PackedBytesAvx2Pdep; portable twin PackedBytesPortable):
// 32 bytes of a block of ten members per step. The bit order is that of the portable loop: byte
// by byte, within a byte member by member, each member one bit per heterozygous field of its
// first parent's byte, then of its second's.
// - Slots: per member, one byte per record byte: the first parent's heterozygous fields as the
//   low nibble, the second's as the high one (pshufb on the parents' nibbles); beside it the
//   fields homozygous for allele 2, in the same layout.
// - Transpose: the members' slot bytes, 32 per member, become one 16-byte row per record byte,
//   lanes = members (a 16 x 16 byte transpose in each 128-bit half, by unpacks).
// - Deposit, with pdep (fast on Intel from Haswell and AMD from Zen 3): per record byte, the
//   bits at the running position go into the 64 slots of members 0-7 and then the 16 of members
//   8 and 9, as in the AVX-512 kernel.
// - Deposit without pdep (microcoded on AMD Zen 1 and 2): the record byte's bits are at most 80,
//   so a 16-byte window of the bit table at its first bit holds them all. Lane i's first bit in
//   the window is the byte's bit offset plus the counts of members 0..i-1 (a prefix sum across
//   the lanes); pshufb fetches the two window bytes holding it as a 16-bit lane, and a multiply
//   by a power of two (pmulhuw) shifts out the offset: one multiply for the first parent's four
//   bits, one for the second's, which start c1 bits later. The four bits then go into the
//   nibble's slots by lookups: for k = 0..3, the k-th set bit of the slot nibble (pshufb of the
//   nibble) where bit k of the bits is set (pshufb of the bits), two k at a time.
// - Back: the deposited nibbles are transposed back to per member; with the homozygotes of
//   allele 2 added they say which allele each parent passes, and the child's byte follows
//   (codes: both 1 gives 1, both 2 gives 2, else 3), with its heterozygous fields counted.
#include <cstring>

#include "cpu/cpu.hpp"
#include "population/transmit_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace driftsim {

DRIFTSIM_VECTOR_CODE_BEGIN

namespace {

#define DRIFTSIM_AVX2 __attribute__((target("avx2,popcnt")))
#define DRIFTSIM_AVX2_PDEP __attribute__((target("avx2,bmi2,popcnt")))

static_assert(kBlockSize == 10, "a row of sixteen lanes holds the ten members of a byte");

constexpr int64_t kWidth = 32;
// Bytes ahead of the current chunk that the kernel asks for (thirty record streams).
constexpr int64_t kPrefetchAhead = 256;

// Sixteen-entry tables for pshufb, repeated in both halves.
struct Tables {
  // A parent's nibble (two fields): heterozygous fields in bits 0-1, homozygotes of allele 2
  // in bits 4-5.
  uint8_t fields[16];
  uint8_t popcount[16];
  // Nibble to even bits: bit f to bit 2f.
  uint8_t spread[16];
  // The k-th set bit of a nibble, for k = 0, 1 (low and high nibble of the entry) and 2, 3.
  uint8_t select01[16], select23[16];
  // Bits 0, 1 (2, 3) of a nibble as full nibbles: 0x0F for bit 0 (2), 0xF0 for bit 1 (3).
  uint8_t expand01[16], expand23[16];
  // 2^(15 - s) for s = 0..15 as a 16-bit lane: low and high bytes.
  uint8_t powerLow[16], powerHigh[16];
};

constexpr Tables MakeTables() {
  Tables t{};
  for (unsigned x = 0; x < 16; ++x) {
    unsigned het = 0, hom2 = 0, spread = 0, n = 0;
    unsigned select[4] = {};
    for (unsigned f = 0; f < 2; ++f) {
      const unsigned code = (x >> (2 * f)) & 3u;
      het |= unsigned{code == 3} << f;
      hom2 |= unsigned{code == 2} << f;
    }
    for (unsigned f = 0; f < 4; ++f) {
      spread |= ((x >> f) & 1u) << (2 * f);
      if ((x >> f) & 1u) select[n++] = 1u << f;
    }
    t.fields[x] = static_cast<uint8_t>(het | hom2 << 4);
    t.popcount[x] = static_cast<uint8_t>(n);
    t.spread[x] = static_cast<uint8_t>(spread);
    t.select01[x] = static_cast<uint8_t>(select[0] | select[1] << 4);
    t.select23[x] = static_cast<uint8_t>(select[2] | select[3] << 4);
    t.expand01[x] = static_cast<uint8_t>((x & 1u ? 0x0F : 0) | (x & 2u ? 0xF0 : 0));
    t.expand23[x] = static_cast<uint8_t>((x & 4u ? 0x0F : 0) | (x & 8u ? 0xF0 : 0));
    const unsigned power = 1u << (15 - x);
    t.powerLow[x] = static_cast<uint8_t>(power & 0xFF);
    t.powerHigh[x] = static_cast<uint8_t>(power >> 8);
  }
  return t;
}
constexpr Tables kTables = MakeTables();

DRIFTSIM_AVX2 inline __m256i Table(const uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

DRIFTSIM_AVX2 inline __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Transposes the 16 x 16 byte matrix in each 128-bit half: byte c of row r becomes byte r of
// row c.
DRIFTSIM_AVX2 inline void Transpose16(__m256i (&x)[16]) {
  __m256i a[16], b[16], c[16];
  for (int j = 0; j < 8; ++j) {
    a[j] = _mm256_unpacklo_epi8(x[2 * j], x[2 * j + 1]);
    a[8 + j] = _mm256_unpackhi_epi8(x[2 * j], x[2 * j + 1]);
  }
  // a[8h + j]: columns 8h..8h+7 of rows 2j, 2j+1.
  for (int h = 0; h < 2; ++h) {
    for (int j = 0; j < 4; ++j) {
      b[8 * h + j] = _mm256_unpacklo_epi16(a[8 * h + 2 * j], a[8 * h + 2 * j + 1]);
      b[8 * h + 4 + j] = _mm256_unpackhi_epi16(a[8 * h + 2 * j], a[8 * h + 2 * j + 1]);
    }
  }
  // b[4q + j]: columns 4q..4q+3 of rows 4j..4j+3.
  for (int q = 0; q < 4; ++q) {
    for (int k = 0; k < 2; ++k) {
      c[4 * q + k] = _mm256_unpacklo_epi32(b[4 * q + 2 * k], b[4 * q + 2 * k + 1]);
      c[4 * q + 2 + k] = _mm256_unpackhi_epi32(b[4 * q + 2 * k], b[4 * q + 2 * k + 1]);
    }
  }
  // c[2p + k]: columns 2p, 2p+1 of rows 8k..8k+7.
  for (int p = 0; p < 8; ++p) {
    x[2 * p] = _mm256_unpacklo_epi64(c[2 * p], c[2 * p + 1]);
    x[2 * p + 1] = _mm256_unpackhi_epi64(c[2 * p], c[2 * p + 1]);
  }
}

// A chunk's slots and homozygotes, per member, and the bits each record byte takes.
struct Slots {
  __m256i slot[16];  // rows 10-15: zero, or the row of bit offsets
  __m256i hom2[kBlockSize];
  __m256i count;  // bits taken per record byte (at most 80)
};

// Heterozygous fields (bits 0-3) and homozygotes of allele 2 (bits 4-7) of 32 parent bytes.
DRIFTSIM_AVX2 inline __m256i Fields(__m256i x) {
  const __m256i fields = Table(kTables.fields);
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_shuffle_epi8(fields, _mm256_and_si256(x, low4));
  const __m256i hi = _mm256_shuffle_epi8(fields, _mm256_and_si256(_mm256_srli_epi16(x, 4), low4));
  return _mm256_or_si256(lo, _mm256_slli_epi16(hi, 2));
}

DRIFTSIM_AVX2 inline void MakeSlots(const PackedBlock& r, int64_t b0, Slots& s) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i high4 = _mm256_set1_epi8(static_cast<char>(0xF0));
  const __m256i pop = Table(kTables.popcount);
  s.count = _mm256_setzero_si256();
  for (int i = 0; i < kBlockSize; ++i) {
    _mm_prefetch(reinterpret_cast<const char*>(r.p1[i] + b0 + kPrefetchAhead), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(r.p2[i] + b0 + kPrefetchAhead), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(r.child[i] + b0 + kPrefetchAhead), _MM_HINT_T0);
    const __m256i f1 = Fields(Load(r.p1[i] + b0));
    const __m256i f2 = Fields(Load(r.p2[i] + b0));
    const __m256i h1 = _mm256_and_si256(f1, low4), h2 = _mm256_and_si256(f2, low4);
    s.slot[i] = _mm256_or_si256(h1, _mm256_slli_epi16(h2, 4));
    s.hom2[i] = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(f1, 4), low4),
                                _mm256_and_si256(f2, high4));
    s.count = _mm256_add_epi8(
        s.count, _mm256_add_epi8(_mm256_shuffle_epi8(pop, h1), _mm256_shuffle_epi8(pop, h2)));
  }
  for (int i = kBlockSize; i < 16; ++i) s.slot[i] = _mm256_setzero_si256();
}

// The children of a chunk from the deposited nibbles, per member after the transpose back.
DRIFTSIM_AVX2 inline void MakeChildren(PackedBlock& r, int64_t b0, const __m256i (&deposited)[16],
                                       const Slots& s, __m256i (&hetSum)[kBlockSize]) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i spread = Table(kTables.spread);
  const __m256i pop = Table(kTables.popcount);
  for (int i = 0; i < kBlockSize; ++i) {
    // a: the first parent passes allele 2 at the bits of the low nibble, the second at the high.
    const __m256i a = _mm256_or_si256(deposited[i], s.hom2[i]);
    const __m256i a1 = _mm256_and_si256(a, low4);
    const __m256i a2 = _mm256_and_si256(_mm256_srli_epi16(a, 4), low4);
    const __m256i low = _mm256_andnot_si256(_mm256_and_si256(a1, a2), low4);
    const __m256i high = _mm256_or_si256(a1, a2);
    const __m256i child = _mm256_or_si256(_mm256_shuffle_epi8(spread, low),
                                          _mm256_slli_epi16(_mm256_shuffle_epi8(spread, high), 1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(r.child[i] + b0), child);
    const __m256i het = _mm256_shuffle_epi8(pop, _mm256_xor_si256(a1, a2));
    hetSum[i] = _mm256_add_epi64(hetSum[i], _mm256_sad_epu8(het, _mm256_setzero_si256()));
  }
}

// The four bits of a nibble's slots from bits v (low nibble): the k-th bit goes to the k-th
// set bit of m. Result in the low nibble (the high one is garbage).
DRIFTSIM_AVX2 inline __m256i Deposit4(__m256i v, __m256i m) {
  const __m256i t =
      _mm256_or_si256(_mm256_and_si256(_mm256_shuffle_epi8(Table(kTables.select01), m),
                                       _mm256_shuffle_epi8(Table(kTables.expand01), v)),
                      _mm256_and_si256(_mm256_shuffle_epi8(Table(kTables.select23), m),
                                       _mm256_shuffle_epi8(Table(kTables.expand23), v)));
  return _mm256_or_si256(t, _mm256_srli_epi16(t, 4));
}

// 2^(15 - s) in the 16-bit lanes of the bytes s of lanes 0-7 (lo) and 8-15 (hi) of each half.
DRIFTSIM_AVX2 inline void Powers(__m256i s, __m256i& lo, __m256i& hi) {
  const __m256i l = _mm256_shuffle_epi8(Table(kTables.powerLow), s);
  const __m256i h = _mm256_shuffle_epi8(Table(kTables.powerHigh), s);
  lo = _mm256_unpacklo_epi8(l, h);
  hi = _mm256_unpackhi_epi8(l, h);
}

// Deposit without pdep, for the rows of two record bytes (one per half; lane 10 holds the
// byte's first bit within its window) and their windows of the bit table.
DRIFTSIM_AVX2 inline __m256i DepositRow(__m256i row, __m256i window) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i pop = Table(kTables.popcount);
  const __m256i m1 = _mm256_and_si256(row, low4);
  const __m256i m2 = _mm256_and_si256(_mm256_srli_epi16(row, 4), low4);
  const __m256i c1 = _mm256_shuffle_epi8(pop, m1);
  // Bits before each lane: exclusive prefix sum of the lanes' counts.
  __m256i e = _mm256_bslli_epi128(_mm256_add_epi8(c1, _mm256_shuffle_epi8(pop, m2)), 1);
  e = _mm256_add_epi8(e, _mm256_bslli_epi128(e, 1));
  e = _mm256_add_epi8(e, _mm256_bslli_epi128(e, 2));
  e = _mm256_add_epi8(e, _mm256_bslli_epi128(e, 4));
  e = _mm256_add_epi8(e, _mm256_bslli_epi128(e, 8));
  const __m256i s1 = _mm256_add_epi8(e, _mm256_shuffle_epi8(row, _mm256_set1_epi8(10)));
  // The window's bytes k and k + 1 of each lane's first bit as a 16-bit lane, doubled: the
  // bits used lie below bit 15 (offset at most 7, then at most 8 bits).
  const __m256i k = _mm256_and_si256(_mm256_srli_epi16(s1, 3), _mm256_set1_epi8(0x1F));
  const __m256i lo = _mm256_shuffle_epi8(window, k);
  const __m256i hi = _mm256_shuffle_epi8(window, _mm256_add_epi8(k, _mm256_set1_epi8(1)));
  const __m256i wLo = _mm256_slli_epi16(_mm256_unpacklo_epi8(lo, hi), 1);
  const __m256i wHi = _mm256_slli_epi16(_mm256_unpackhi_epi8(lo, hi), 1);
  const __m256i r = _mm256_and_si256(s1, _mm256_set1_epi8(7));
  __m256i p1Lo, p1Hi, p2Lo, p2Hi;
  Powers(r, p1Lo, p1Hi);
  Powers(_mm256_add_epi8(r, c1), p2Lo, p2Hi);
  // (w << 1) * 2^(15 - s) >> 16 is w >> s.
  const __m256i low16 = _mm256_set1_epi16(0x0F);
  const __m256i high16 = _mm256_set1_epi16(0xF0);
  const __m256i vLo = _mm256_or_si256(
      _mm256_and_si256(_mm256_mulhi_epu16(wLo, p1Lo), low16),
      _mm256_and_si256(_mm256_slli_epi16(_mm256_mulhi_epu16(wLo, p2Lo), 4), high16));
  const __m256i vHi = _mm256_or_si256(
      _mm256_and_si256(_mm256_mulhi_epu16(wHi, p1Hi), low16),
      _mm256_and_si256(_mm256_slli_epi16(_mm256_mulhi_epu16(wHi, p2Hi), 4), high16));
  const __m256i v = _mm256_packus_epi16(vLo, vHi);
  const __m256i d1 = _mm256_and_si256(Deposit4(_mm256_and_si256(v, low4), m1), low4);
  const __m256i d2 = Deposit4(_mm256_and_si256(_mm256_srli_epi16(v, 4), low4), m2);
  return _mm256_or_si256(d1, _mm256_andnot_si256(low4, _mm256_slli_epi16(d2, 4)));
}

DRIFTSIM_AVX2 void PackedBytes32(PackedBlock& r, int64_t b0, const unsigned char* bits,
                                 uint64_t& pos, __m256i (&hetSum)[kBlockSize]) {
  Slots s;
  MakeSlots(r, b0, s);
  // Each record byte's first bit: its window of the table, and the offset within it (row 10).
  alignas(32) uint8_t count[kWidth], offset[kWidth];
  const unsigned char* window[kWidth];
  _mm256_store_si256(reinterpret_cast<__m256i*>(count), s.count);
  uint64_t p = pos;
  for (int b = 0; b < kWidth; ++b) {
    window[b] = bits + (p >> 3);
    offset[b] = static_cast<uint8_t>(p & 7);
    p += count[b];
  }
  pos = p;
  s.slot[10] = _mm256_load_si256(reinterpret_cast<const __m256i*>(offset));
  Transpose16(s.slot);
  // Row q: record byte q in the low half, 16 + q in the high one.
  for (int q = 0; q < 16; ++q) {
    const __m256i w = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(window[16 + q]),
                                          reinterpret_cast<const __m128i*>(window[q]));
    s.slot[q] = DepositRow(s.slot[q], w);
  }
  Transpose16(s.slot);
  MakeChildren(r, b0, s.slot, s, hetSum);
}

DRIFTSIM_AVX2_PDEP void PackedBytes32Pdep(PackedBlock& r, int64_t b0, const unsigned char* bits,
                                          uint64_t& pos, __m256i (&hetSum)[kBlockSize]) {
  Slots s;
  MakeSlots(r, b0, s);
  Transpose16(s.slot);
  // Row of record byte b: members 0-7 as one 64-bit word, members 8 and 9 as a 16-bit one.
  alignas(32) uint8_t row[kWidth][16];
  for (int q = 0; q < 16; ++q) {
    _mm_store_si128(reinterpret_cast<__m128i*>(row[q]), _mm256_castsi256_si128(s.slot[q]));
    _mm_store_si128(reinterpret_cast<__m128i*>(row[16 + q]),
                    _mm256_extracti128_si256(s.slot[q], 1));
  }
  uint64_t p = pos;
#pragma GCC unroll 8
  for (int b = 0; b < kWidth; ++b) {
    uint64_t w;
    uint16_t w2;
    std::memcpy(&w, row[b], sizeof w);
    std::memcpy(&w2, row[b] + 8, sizeof w2);
    const unsigned n = static_cast<unsigned>(__builtin_popcountll(w));
    const unsigned n2 = static_cast<unsigned>(__builtin_popcount(w2));
    const uint64_t x = BitCycle::Load(bits, p);
    uint64_t d;
    uint16_t d2;
    if (n + n2 <= 57) [[likely]] {
      d = _pdep_u64(x, w);
      d2 = static_cast<uint16_t>(_pdep_u64(x >> n, w2));
    } else {
      d = _pdep_u64(n > 57 ? BitCycle::Load64(bits, p) : x, w);
      d2 = static_cast<uint16_t>(_pdep_u64(BitCycle::Load(bits, p + n), w2));
    }
    std::memcpy(row[b], &d, sizeof d);
    std::memcpy(row[b] + 8, &d2, sizeof d2);
    p += n + n2;
  }
  pos = p;
  for (int q = 0; q < 16; ++q) {
    s.slot[q] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(row[16 + q]),
                                    reinterpret_cast<const __m128i*>(row[q]));
  }
  Transpose16(s.slot);
  MakeChildren(r, b0, s.slot, s, hetSum);
}

template <void (*Chunk)(PackedBlock&, int64_t, const unsigned char*, uint64_t&,
                        __m256i (&)[kBlockSize])>
DRIFTSIM_AVX2 inline int64_t PackedChunks(PackedBlock& r, int64_t b0, int64_t b1,
                                          const unsigned char* bits, uint64_t& pos) {
  if (r.n != kBlockSize) return b0;
  __m256i hetSum[kBlockSize];
  for (__m256i& h : hetSum) h = _mm256_setzero_si256();
  int64_t b = b0;
  for (; b + kWidth <= b1; b += kWidth) Chunk(r, b, bits, pos, hetSum);
  for (int i = 0; i < kBlockSize; ++i) {
    alignas(32) int64_t sum[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(sum), hetSum[i]);
    r.hets[i] += sum[0] + sum[1] + sum[2] + sum[3];
  }
  return b;
}

// Unpacked copies, 16 loci (32 bytes) per step; CopyChunk in transmit_unpacked.cpp is the
// portable twin. Each child byte takes its parent's byte or the neighbouring one (the parent's
// other copy): both candidates come from byte swaps within pairs and blends of the two parents'
// vectors, and the choice is a byte mask built from the bits: the 16 bits of each parent as one
// 32-bit word, a byte shuffle sends the byte holding locus L's bit of the first parent to lane
// 2L and of the second to lane 2L + 1, and a compare with the lane's own bit (0x01, 0x01, 0x02,
// 0x02, ...) turns it into a full byte mask. No pdep: it is microcoded on AMD Zen 1 and 2.
DRIFTSIM_AVX2 inline void CopyChunkAvx2(const uint8_t* p1, const uint8_t* p2, uint8_t* child,
                                        uint64_t m1, uint64_t m2, int count) {
  const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0,
                                        3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  const __m256i odd = _mm256_set1_epi16(static_cast<int16_t>(0xFF00));
  const __m256i spread = _mm256_setr_epi8(0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 1, 3, 1,
                                          3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3);
  const __m256i bit = _mm256_setr_epi8(1, 1, 2, 2, 4, 4, 8, 8, 16, 16, 32, 32, 64, 64, -128, -128,
                                       1, 1, 2, 2, 4, 4, 8, 8, 16, 16, 32, 32, 64, 64, -128, -128);
  int L = 0;
  for (; L + 16 <= count; L += 16) {
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p1 + 2 * L));
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p2 + 2 * L));
    // Even bytes (copy 1) come from the first parent, odd bytes from the second; a set bit
    // takes the other copy of the same locus.
    const __m256i keep = _mm256_blendv_epi8(v1, _mm256_shuffle_epi8(v2, swap), odd);
    const __m256i other = _mm256_blendv_epi8(_mm256_shuffle_epi8(v1, swap), v2, odd);
    const uint32_t sel =
        static_cast<uint32_t>((m1 >> L) & 0xFFFF) | static_cast<uint32_t>((m2 >> L) & 0xFFFF) << 16;
    __m256i mask = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int32_t>(sel)), spread);
    mask = _mm256_cmpeq_epi8(_mm256_and_si256(mask, bit), bit);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(child + 2 * L),
                        _mm256_blendv_epi8(keep, other, mask));
  }
  for (size_t l = size_t(L); l < size_t(count); ++l) {
    child[2 * l] = p1[2 * l + ((m1 >> l) & 1u)];
    child[2 * l + 1] = p2[2 * l + ((m2 >> l) & 1u)];
  }
}

}  // namespace

// flatten: the chunk copier and the loop are compiled into this one vector function.
__attribute__((target("avx2,popcnt"), flatten)) void CopyLociAvx2(const Family& fam,
                                                                  int64_t NumLoci, CopyBits& bits) {
  CopyLoci<CopyChunkAvx2>(fam, NumLoci, bits);
}

// One offspring's bytes eight at a time, the bits deposited by one pdep (SingleBytesPortable
// is the twin): at most 64 bits per eight bytes, all within one 64-bit load.
DRIFTSIM_AVX2_PDEP int64_t SingleBytesAvx2Pdep(const uint8_t* p1, const uint8_t* p2, uint8_t* child,
                                               int64_t b0, int64_t b1, const unsigned char* bits,
                                               uint64_t& pos, int64_t& hets) {
  int64_t b = b0;
  for (; b + 8 <= b1; b += 8) {
    uint64_t x1, x2;
    std::memcpy(&x1, p1 + b, sizeof x1);
    std::memcpy(&x2, p2 + b, sizeof x2);
    const uint64_t slots = SingleWord::Slots(x1, x2);
    const uint64_t out = SingleWord::Child(x1, x2, _pdep_u64(BitCycle::Load64(bits, pos), slots));
    pos += static_cast<uint64_t>(__builtin_popcountll(slots));
    std::memcpy(child + b, &out, sizeof out);
    hets += __builtin_popcountll(out & out >> 1 & SingleWord::kLow);
  }
  return b;
}

DRIFTSIM_AVX2 int64_t PackedBytesAvx2(PackedBlock& r, int64_t b0, int64_t b1,
                                      const unsigned char* bits, uint64_t& pos) {
  return PackedChunks<PackedBytes32>(r, b0, b1, bits, pos);
}

DRIFTSIM_AVX2_PDEP int64_t PackedBytesAvx2Pdep(PackedBlock& r, int64_t b0, int64_t b1,
                                               const unsigned char* bits, uint64_t& pos) {
  return PackedChunks<PackedBytes32Pdep>(r, b0, b1, bits, pos);
}

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim

#endif
