// The avx512 row: AVX-512 F, BW, VL, VBMI and BITALG with GFNI, POPCNT and BMI2. Here are what
// it needs of the processor and the attribute its routines are compiled with (one list), the
// routines of the uniform draws, the allele choices and the transmission, and the row's entry of
// the kernel table (rows.cpp); where it has no routine of its own it takes the AVX2 one
// (avx2.cpp) or the portable twin. Each routine carries the attribute, as in avx2.cpp.
#include <bit>
#include <type_traits>

#include "cpu/vector.hpp"
#include "population/alleles.hpp"
#include "population/transmit_kernels.hpp"
#include "random/jumps.hpp"
#include "random/random.hpp"
#include "rows/rows.hpp"

#if DRIFTSIM_VECTOR_ROWS

// What the row needs of the processor: the features its routines are compiled for, and the
// ones the processor must report for the row to be run (rows.cpp).
#define DRIFTSIM_AVX512_NEEDS \
  "avx2,avx512f,avx512bw,avx512vl,avx512vbmi,avx512bitalg,gfni,bmi2,popcnt"
#define DRIFTSIM_TARGET_AVX512 DRIFTSIM_TARGET(DRIFTSIM_AVX512_NEEDS)

namespace driftsim::DRIFTSIM_ROWS_NS {

DRIFTSIM_VECTOR_CODE_BEGIN

// ---------------------------------------------------------------------------------------------
// Uniform draws
//
// AVX-512 uniform draws (RanUniformBatchAvx512): sixteen lanes stepping sixteen draws per
// round, the xorshift word by nibble tables (random/jumps.hpp), the multiplicative word by
// 16807^16 mod 2^31-1; shorter batches take the AVX2 lanes. The portable loop in random.cpp is
// the reference.

namespace {

const ChunkTables<4>& Step16Tables() {
  return StepTables<4, 4>();
}

// (w * a) mod 2^31-1 in each 64-bit lane, as MulMod of avx2.cpp.
DRIFTSIM_TARGET_AVX512 inline __m512i MulMod512(__m512i w, __m512i a) {
  const __m512i m = _mm512_set1_epi64(kModulus);
  const __m512i p = _mm512_mul_epu32(w, a);
  const __m512i r = _mm512_add_epi64(_mm512_and_si512(p, m), _mm512_srli_epi64(p, 31));
  return _mm512_mask_sub_epi64(r, _mm512_cmpge_epu64_mask(r, m), r, m);
}

// Sixteen lanes: lane j holds the state of draw i+j and steps sixteen draws per round, the
// xorshift word by the nibble tables (no chain of single steps), the multiplicative word by
// 16807^16 mod 2^31-1, as the eight lanes of avx2.cpp.
template <typename T>
DRIFTSIM_TARGET_AVX512 void UniformLanes16(RngState& s, T* out, size_t n) {
  alignas(64) uint32_t x0[16];
  alignas(64) int64_t w0[16];
  RngState u = s;
  for (int j = 0; j < 16; ++j) {
    out[j] = static_cast<T>(u.RanUniform());
    x0[j] = u.XorWord;
    w0[j] = u.MulWord;
  }
  const ChunkTables<4>& nt = Step16Tables();
  __m512i image[8];
  for (int k = 0; k < 8; ++k) image[k] = _mm512_load_si512(nt.image[k]);
  __m512i x = _mm512_load_si512(x0);
  __m512i wlo = _mm512_load_si512(w0);
  __m512i whi = _mm512_load_si512(w0 + 8);
  const __m512i a16 = _mm512_set1_epi64(static_cast<int64_t>(MulPower(16)));
  const __m512i low31 = _mm512_set1_epi32(0x7FFFFFFF);
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i pack = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512d scale = _mm512_set1_pd(kUnitScale);
  size_t i = 16;
  for (; i + 16 <= n; i += 16) {
    __m512i y = _mm512_permutexvar_epi32(x, image[0]);
    for (int k = 1; k < 8; ++k) {
      y = _mm512_xor_si512(y, _mm512_permutexvar_epi32(
                                  _mm512_srli_epi32(x, static_cast<unsigned>(4 * k)), image[k]));
    }
    x = y;
    wlo = MulMod512(wlo, a16);
    whi = MulMod512(whi, a16);
    const __m512i w = _mm512_permutex2var_epi32(wlo, pack, whi);
    const __m512i m = _mm512_or_si512(_mm512_and_si512(_mm512_xor_si512(x, w), low31), one);
    const __m512d lo = _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(m)), scale);
    const __m512d hi = _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(m, 1)), scale);
    if constexpr (std::is_same_v<T, float>) {
      _mm256_storeu_ps(out + i, _mm512_cvtpd_ps(lo));
      _mm256_storeu_ps(out + i + 8, _mm512_cvtpd_ps(hi));
    } else {
      _mm512_storeu_pd(out + i, lo);
      _mm512_storeu_pd(out + i + 8, hi);
    }
  }
  alignas(64) uint32_t xs[16];
  alignas(64) int64_t ws[8];
  _mm512_store_si512(xs, x);
  _mm512_store_si512(ws, whi);
  u.XorWord = xs[15];
  u.MulWord = static_cast<int32_t>(ws[7]);
  for (; i < n; ++i) out[i] = static_cast<T>(u.RanUniform());
  s = u;
}

}  // namespace

// The AVX2 lanes (avx2.cpp) of the same build.
template <typename T>
void RanUniformBatchAvx2(RngState& s, T* out, size_t n);

template <typename T>
void RanUniformBatchAvx512(RngState& s, T* out, size_t n) {
  if (n >= 16) {
    if (s.IDUM <= 0 || s.MulWord < 0) {
      *out++ = static_cast<T>(s.RanUniform());
      --n;
    }
    if (s.IDUM > 0 && n >= 32) return UniformLanes16(s, out, n);
  }
  // Eight lanes for 16 to 31 draws, the portable loop below.
  RanUniformBatchAvx2(s, out, n);
}

template void RanUniformBatchAvx512<float>(RngState&, float*, size_t);
template void RanUniformBatchAvx512<double>(RngState&, double*, size_t);

// ---------------------------------------------------------------------------------------------
// Allele choices
//
// AVX-512 allele choices (F, BW, VL): sixteen draws at a time; the portable twins are in
// alleles.cpp.

// Sixteen draws at a time: the count of entries below each draw, one masked addition per entry
// (the comparisons are false for NaN entries, as Pick's).
DRIFTSIM_TARGET_AVX512 void PickAllelesAvx512(const float* cum, size_t entries, const float* u,
                                              uint8_t* out, size_t n) {
  const __m512i one = _mm512_set1_epi32(1);
  for (size_t i = 0; i < n; i += 16) {
    const __mmask16 live = n - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - i)) - 1);
    const __m512 v = _mm512_maskz_loadu_ps(live, u + i);
    __m512i allele = one;
    for (size_t k = 0; k < entries; ++k) {
      const __mmask16 below = _mm512_cmp_ps_mask(_mm512_set1_ps(cum[k]), v, _CMP_LT_OQ);
      allele = _mm512_mask_add_epi32(allele, below, allele, one);
    }
    _mm512_mask_cvtepi32_storeu_epi8(out + i, live, allele);
  }
}

// Sixteen draws at a time: code 3, 2 where u <= hw[1], 1 where u <= hw[0] (as PickPackedCode).
DRIFTSIM_TARGET_AVX512 void PickPackedCodesAvx512(const float* hw, const float* u, uint8_t* out,
                                                  size_t n, int shift, bool first) {
  const __m512 t0 = _mm512_set1_ps(hw[0]);
  const __m512 t1 = _mm512_set1_ps(hw[1]);
  const __m512i count = _mm512_set1_epi32(shift);
  for (size_t i = 0; i < n; i += 16) {
    const __mmask16 live = n - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - i)) - 1);
    const __m512 v = _mm512_maskz_loadu_ps(live, u + i);
    __m512i code = _mm512_set1_epi32(3);
    code = _mm512_mask_mov_epi32(code, _mm512_cmp_ps_mask(v, t1, _CMP_LE_OQ), _mm512_set1_epi32(2));
    code = _mm512_mask_mov_epi32(code, _mm512_cmp_ps_mask(v, t0, _CMP_LE_OQ), _mm512_set1_epi32(1));
    __m128i bytes = _mm512_cvtepi32_epi8(_mm512_sllv_epi32(code, count));
    if (!first) bytes = _mm_or_si128(bytes, _mm_maskz_loadu_epi8(live, out + i));
    _mm_mask_storeu_epi8(out + i, live, bytes);
  }
}
// The packed bytes of count records (as PackedRecordsOfDrawsPortable), byte after byte: each
// byte of all the records from its 4 * count draws at once, field after field, then spread
// over the records.
DRIFTSIM_TARGET_AVX512 void PackedRecordsOfDrawsAvx512(const float* hw, const float* u,
                                                       uint8_t* first, int64_t stride, size_t count,
                                                       size_t nbytes) {
  for (size_t k = 0; k < nbytes; ++k) {
    const float* draws = u + 4 * count * k;
    for (size_t i = 0; i < count; i += 16) {
      const __mmask16 live =
          count - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (count - i)) - 1);
      __m512i byte = _mm512_setzero_si512();
      for (size_t f = 0; f < 4; ++f) {
        const __m512 v = _mm512_maskz_loadu_ps(live, draws + f * count + i);
        __m512i code = _mm512_set1_epi32(3);
        code = _mm512_mask_mov_epi32(
            code, _mm512_cmp_ps_mask(v, _mm512_set1_ps(hw[8 * k + 2 * f + 1]), _CMP_LE_OQ),
            _mm512_set1_epi32(2));
        code = _mm512_mask_mov_epi32(
            code, _mm512_cmp_ps_mask(v, _mm512_set1_ps(hw[8 * k + 2 * f]), _CMP_LE_OQ),
            _mm512_set1_epi32(1));
        byte = _mm512_or_si512(byte, _mm512_slli_epi32(code, static_cast<unsigned>(2 * f)));
      }
      alignas(16) uint8_t stage[16];
      _mm512_mask_cvtepi32_storeu_epi8(stage, live, byte);
      const size_t lanes = count - i >= 16 ? 16 : count - i;
      for (size_t j = 0; j < lanes; ++j) first[int64_t(i + j) * stride + int64_t(k)] = stage[j];
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Transmission
//
// AVX-512 transmission routines (BW, VL, VBMI, BITALG, GFNI, POPCNT and BMI2): 64 packed bytes of
// a block at once by pdep, and single packed offspring. The portable twins are in
// population/transmit_packed.cpp.

namespace {

// GF(2) matrices for the byte-wise affine instruction: bit i of the result is the parity of
// byte 7-i of the matrix ANDed with the source byte. Pairs to nibbles: the even bits (the first
// parent's fields) to bits 0-3, the odd bits (the second parent's) to bits 4-7; nibbles to pairs
// is its inverse.
constexpr uint64_t kPairsToNibbles = 0x0104104002082080ull;
constexpr uint64_t kNibblesToPairs = 0x0110022004400880ull;

constexpr uint32_t Affine(uint32_t x, uint64_t matrix) {
  uint32_t y = 0;
  for (int i = 0; i < 8; ++i) {
    const uint32_t row = static_cast<uint32_t>(matrix >> (8 * (7 - i))) & 0xFFu;
    y |= (static_cast<uint32_t>(std::popcount(x & row)) & 1u) << i;
  }
  return y;
}
constexpr bool AffinePairsRoundTrip() {
  for (uint32_t x = 0; x < 256; ++x) {
    const uint32_t nibbles = Affine(x, kPairsToNibbles);
    uint32_t expect = 0;
    for (int f = 0; f < 4; ++f) {
      expect |= ((x >> (2 * f)) & 1u) << f | ((x >> (2 * f + 1)) & 1u) << (4 + f);
    }
    if (nibbles != expect || Affine(nibbles, kNibblesToPairs) != x) return false;
  }
  return true;
}
static_assert(AffinePairsRoundTrip());

static_assert(kBlockSize == 10, "the vector block kernel handles eight members and a pair");

// Bytes ahead of the current chunk that the block kernel asks for.
constexpr int64_t kPrefetchAhead = 256;

// 8 x 8 transpose of the 64-bit lanes of v[0..7]: lane j of v[q] becomes lane q of v[j].
DRIFTSIM_TARGET_AVX512 inline void TransposeQwords(__m512i (&v)[8]) {
  __m512i s[8];
  for (int k = 0; k < 4; ++k) {
    s[2 * k] = _mm512_unpacklo_epi64(v[2 * k], v[2 * k + 1]);
    s[2 * k + 1] = _mm512_unpackhi_epi64(v[2 * k], v[2 * k + 1]);
  }
  const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  __m512i t[8];
  for (int k = 0; k < 2; ++k) {
    for (int h = 0; h < 2; ++h) {
      t[4 * k + h] = _mm512_permutex2var_epi64(s[4 * k + h], lo, s[4 * k + h + 2]);
      t[4 * k + h + 2] = _mm512_permutex2var_epi64(s[4 * k + h], hi, s[4 * k + h + 2]);
    }
  }
  // t[0]: lanes 0 of members 0-3, then lanes 4; t[1]: lanes 1 and 5; t[2]: 2 and 6; t[3]: 3 and
  // 7; t[4..7] the same for members 4-7.
  for (int q = 0; q < 4; ++q) {
    v[q] = _mm512_shuffle_i64x2(t[q], t[q + 4], 0x44);
    v[q + 4] = _mm512_shuffle_i64x2(t[q], t[q + 4], 0xEE);
  }
}

// Byte (8 * j + k) to byte (8 * k + j): the 8 x 8 byte transpose within a vector.
DRIFTSIM_TARGET_AVX512 inline __m512i TransposeBytes(__m512i v) {
  alignas(64) static constexpr uint8_t kIndex[64] = {
      0,  8,  16, 24, 32, 40, 48, 56, 1,  9,  17, 25, 33, 41, 49, 57, 2,  10, 18, 26, 34, 42,
      50, 58, 3,  11, 19, 27, 35, 43, 51, 59, 4,  12, 20, 28, 36, 44, 52, 60, 5,  13, 21, 29,
      37, 45, 53, 61, 6,  14, 22, 30, 38, 46, 54, 62, 7,  15, 23, 31, 39, 47, 55, 63};
  return _mm512_permutexvar_epi8(_mm512_load_si512(kIndex), v);
}

// Heterozygous fields (code 3) of 64 parent bytes at the even bits, and homozygotes of allele 2
// (code 2). With s = x >> 1 (16-bit shifts: bits crossing a byte edge land in odd positions,
// which the 0x55 mask drops), x & s marks code 3 and ~x & s code 2.
DRIFTSIM_TARGET_AVX512 inline __m512i HetFields(__m512i x) {
  return _mm512_ternarylogic_epi32(x, _mm512_srli_epi16(x, 1), _mm512_set1_epi8(0x55), 0x80);
}
DRIFTSIM_TARGET_AVX512 inline __m512i Hom2Fields(__m512i x) {
  return _mm512_ternarylogic_epi32(x, _mm512_srli_epi16(x, 1), _mm512_set1_epi8(0x55), 0x08);
}

// 64 bytes [b0, b0+64) of a block at once; the portable twin is PackedBytes.
//
// Bits: byte b of member i takes one bit for each heterozygous field of its first parent, then
// one for each of its second parent's, in the order (byte, member): the bits of a whole byte of
// the block follow one another. So a byte's fields are slots for the bits, and the bits are
// deposited into them in order with pdep, without gathers:
// - Slots: each member's heterozygous fields become a byte per record byte, the first parent's
//   as the low nibble, the second's as the high one (a GF(2) affine step from the even and odd
//   bits: kPairsToNibbles).
// - Transpose: the members' slot bytes, held per member, are transposed to per record byte:
//   members 0-7 to one 64-bit word per byte (an 8 x 8 transpose of 64-bit lanes and an 8 x 8
//   byte transpose within each vector), members 8 and 9 to one 16-bit word per byte.
// - Deposit: for each byte in turn, the bits at the running position go into the slots of the
//   first word and then of the second (pdep), and the position moves by their popcounts. This
//   is the only serial part, one addition per byte.
// - Back: the deposited words are transposed back to per member; a set bit says that the
//   parent's heterozygous field passes allele 2. With the homozygotes of allele 2 added, each
//   field holds (first parent passes 2, second parent passes 2) in its (even, odd) bits: the
//   child's code has its low bit unless both are set and its high bit if either is, so 1 1 gives
//   the heterozygote 3 and the child's heterozygous fields are where the two bits differ.
DRIFTSIM_TARGET_AVX512 void PackedBytes64(PackedBlock& r, int64_t b0, const unsigned char* bits,
                                          uint64_t& pos, __m512i (&hetSum)[kBlockSize]) {
  const __m512i evens = _mm512_set1_epi8(0x55);
  const __m512i toNibbles = _mm512_set1_epi64(static_cast<int64_t>(kPairsToNibbles));
  const __m512i toPairs = _mm512_set1_epi64(static_cast<int64_t>(kNibblesToPairs));
  __m512i slots[8], pair[2];
  for (int i = 0; i < kBlockSize; ++i) {
    // Thirty records stream at once, more than the hardware prefetchers follow.
    _mm_prefetch(reinterpret_cast<const char*>(r.p1[i] + b0 + kPrefetchAhead), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(r.p2[i] + b0 + kPrefetchAhead), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(r.child[i] + b0 + kPrefetchAhead), _MM_HINT_T0);
    const __m512i h1 = HetFields(_mm512_loadu_si512(r.p1[i] + b0));
    const __m512i h2 = HetFields(_mm512_loadu_si512(r.p2[i] + b0));
    const __m512i c =
        _mm512_gf2p8affine_epi64_epi8(_mm512_or_si512(h1, _mm512_add_epi8(h2, h2)), toNibbles, 0);
    if (i < 8) {
      slots[i] = c;
    } else {
      pair[i - 8] = c;
    }
  }
  TransposeQwords(slots);
  alignas(64) uint64_t word[64];
  alignas(64) uint16_t word2[64];
  for (int q = 0; q < 8; ++q) _mm512_store_si512(word + 8 * q, TransposeBytes(slots[q]));
  // Word b of the pair: member 8's byte b, then member 9's.
  alignas(64) static constexpr uint8_t kInterleave[2][64] = {
      {0,  64, 1,  65, 2,  66, 3,  67, 4,  68, 5,  69, 6,  70, 7,  71, 8,  72, 9,  73, 10, 74,
       11, 75, 12, 76, 13, 77, 14, 78, 15, 79, 16, 80, 17, 81, 18, 82, 19, 83, 20, 84, 21, 85,
       22, 86, 23, 87, 24, 88, 25, 89, 26, 90, 27, 91, 28, 92, 29, 93, 30, 94, 31, 95},
      {32, 96,  33, 97,  34, 98,  35, 99,  36, 100, 37, 101, 38, 102, 39, 103,
       40, 104, 41, 105, 42, 106, 43, 107, 44, 108, 45, 109, 46, 110, 47, 111,
       48, 112, 49, 113, 50, 114, 51, 115, 52, 116, 53, 117, 54, 118, 55, 119,
       56, 120, 57, 121, 58, 122, 59, 123, 60, 124, 61, 125, 62, 126, 63, 127}};
  for (int h = 0; h < 2; ++h) {
    _mm512_store_si512(word2 + 32 * h, _mm512_permutex2var_epi8(
                                           pair[0], _mm512_load_si512(kInterleave[h]), pair[1]));
  }

  uint64_t p = pos;
#pragma GCC unroll 16
  for (int b = 0; b < 64; ++b) {
    const uint64_t w = word[b];
    const uint32_t w2 = word2[b];
    const unsigned n = static_cast<unsigned>(__builtin_popcountll(w));
    const unsigned n2 = static_cast<unsigned>(__builtin_popcount(w2));
    // A single load holds 57 bits or more: usually enough for all ten members' slots of a byte.
    const uint64_t x = BitCycle::Load(bits, p);
    if (n + n2 <= 57) [[likely]] {
      word[b] = _pdep_u64(x, w);
      word2[b] = static_cast<uint16_t>(_pdep_u64(x >> n, w2));
    } else {
      word[b] = _pdep_u64(n > 57 ? BitCycle::Load64(bits, p) : x, w);
      word2[b] = static_cast<uint16_t>(_pdep_u64(BitCycle::Load(bits, p + n), w2));
    }
    p += n + n2;
  }
  pos = p;
  for (int q = 0; q < 8; ++q) slots[q] = TransposeBytes(_mm512_load_si512(word + 8 * q));
  TransposeQwords(slots);
  alignas(64) static constexpr uint8_t kSplit[2][64] = {
      {0,  2,  4,   6,   8,   10,  12,  14,  16,  18,  20,  22,  24,  26,  28,  30,
       32, 34, 36,  38,  40,  42,  44,  46,  48,  50,  52,  54,  56,  58,  60,  62,
       64, 66, 68,  70,  72,  74,  76,  78,  80,  82,  84,  86,  88,  90,  92,  94,
       96, 98, 100, 102, 104, 106, 108, 110, 112, 114, 116, 118, 120, 122, 124, 126},
      {1,  3,  5,   7,   9,   11,  13,  15,  17,  19,  21,  23,  25,  27,  29,  31,
       33, 35, 37,  39,  41,  43,  45,  47,  49,  51,  53,  55,  57,  59,  61,  63,
       65, 67, 69,  71,  73,  75,  77,  79,  81,  83,  85,  87,  89,  91,  93,  95,
       97, 99, 101, 103, 105, 107, 109, 111, 113, 115, 117, 119, 121, 123, 125, 127}};
  const __m512i lo2 = _mm512_load_si512(word2), hi2 = _mm512_load_si512(word2 + 32);
  pair[0] = _mm512_permutex2var_epi8(lo2, _mm512_load_si512(kSplit[0]), hi2);
  pair[1] = _mm512_permutex2var_epi8(lo2, _mm512_load_si512(kSplit[1]), hi2);

  for (int i = 0; i < kBlockSize; ++i) {
    const __m512i deposited = i < 8 ? slots[i] : pair[i - 8];
    const __m512i hom1 = Hom2Fields(_mm512_loadu_si512(r.p1[i] + b0));
    const __m512i hom2 = Hom2Fields(_mm512_loadu_si512(r.p2[i] + b0));
    // a: the first parent passes allele 2 at the even bit of a field, the second at the odd one.
    const __m512i a =
        _mm512_ternarylogic_epi32(_mm512_gf2p8affine_epi64_epi8(deposited, toPairs, 0), hom1,
                                  _mm512_add_epi8(hom2, hom2), 0xFE);
    const __m512i t = _mm512_srli_epi16(a, 1);
    const __m512i low = _mm512_ternarylogic_epi32(a, t, evens, 0x2A);   // ~(a & t) & evens
    const __m512i high = _mm512_ternarylogic_epi32(a, t, evens, 0xA8);  // (a | t) & evens
    _mm512_storeu_si512(r.child[i] + b0, _mm512_or_si512(low, _mm512_add_epi8(high, high)));
    const __m512i het = _mm512_ternarylogic_epi32(a, t, evens, 0x28);  // (a ^ t) & evens
    hetSum[i] = _mm512_add_epi64(hetSum[i],
                                 _mm512_sad_epu8(_mm512_popcnt_epi8(het), _mm512_setzero_si512()));
  }
}

// Bytes [b0, b1) of one offspring (b1 - b0 a multiple of 64); the portable twin is the loop of
// TransmitPackedSingle. A single offspring takes the bits of each locus in turn, the first
// parent's then the second's: the slots of a byte are its fields' even bits (first parent) and
// odd bits (second parent) as they lie, and eight bytes' slots follow one another in the
// stream, so one pdep fills eight bytes without any transpose. The child is then made by the
// word arithmetic of the portable twin, which keeps any parental code that is not a
// heterozygote. Returns the child's heterozygous fields.
DRIFTSIM_TARGET_AVX512 int64_t SingleBytes64(const uint8_t* p1, const uint8_t* p2, uint8_t* child,
                                             int64_t b0, int64_t b1, const unsigned char* bits,
                                             uint64_t& pos) {
  const __m512i evens = _mm512_set1_epi8(0x55);
  __m512i hetSum = _mm512_setzero_si512();
  alignas(64) uint64_t word[8];
  uint64_t p = pos;
  for (int64_t b = b0; b < b1; b += 64) {
    const __m512i x1 = _mm512_loadu_si512(p1 + b);
    const __m512i x2 = _mm512_loadu_si512(p2 + b);
    const __m512i h1 = HetFields(x1), h2 = HetFields(x2);
    _mm512_store_si512(word, _mm512_or_si512(h1, _mm512_add_epi8(h2, h2)));
    for (uint64_t& w : word) {
      const unsigned n = static_cast<unsigned>(__builtin_popcountll(w));
      uint64_t x = BitCycle::Load(bits, p);
      if (n > 57) [[unlikely]]
        x = BitCycle::Load64(bits, p);
      w = _pdep_u64(x, w);
      p += n;
    }
    // The child as SingleWord::Child makes it: a heterozygote passes 1 + its bit, any other
    // field its own code, and the child's field is the OR of the two.
    const __m512i dep = _mm512_load_si512(word);
    const __m512i d1 = _mm512_and_si512(dep, evens);
    const __m512i d2 = _mm512_and_si512(_mm512_srli_epi16(dep, 1), evens);
    const __m512i a1 =
        _mm512_or_si512(_mm512_andnot_si512(_mm512_or_si512(h1, _mm512_add_epi8(h1, h1)), x1),
                        _mm512_or_si512(_mm512_add_epi8(d1, d1), _mm512_xor_si512(h1, d1)));
    const __m512i a2 =
        _mm512_or_si512(_mm512_andnot_si512(_mm512_or_si512(h2, _mm512_add_epi8(h2, h2)), x2),
                        _mm512_or_si512(_mm512_add_epi8(d2, d2), _mm512_xor_si512(h2, d2)));
    const __m512i c = _mm512_or_si512(a1, a2);
    _mm512_storeu_si512(child + b, c);
    hetSum = _mm512_add_epi64(
        hetSum, _mm512_sad_epu8(_mm512_popcnt_epi8(HetFields(c)), _mm512_setzero_si512()));
  }
  pos = p;
  return _mm512_reduce_add_epi64(hetSum);
}

// The same with AVX-512, 32 loci (64 bytes) per step, the last step masked so that nothing past
// the record is read or written. One byte permute of the two parents' vectors makes the child:
// byte 2L takes byte 2L (first parent's copy 1) or 2L + 1, byte 2L + 1 takes byte 64 + 2L
// (second parent's copy 1) or 64 + 2L + 1; the index is the even choice plus the locus's bit,
// added under a mask interleaved from the two words of bits by pdep.
DRIFTSIM_TARGET_AVX512 void CopyChunkAvx512(const uint8_t* p1, const uint8_t* p2, uint8_t* child,
                                            uint64_t m1, uint64_t m2, int count) {
  alignas(64) static constexpr uint8_t kBase[64] = {
      0,  64,  2,  66,  4,  68,  6,  70,  8,  72,  10, 74,  12, 76,  14, 78,
      16, 80,  18, 82,  20, 84,  22, 86,  24, 88,  26, 90,  28, 92,  30, 94,
      32, 96,  34, 98,  36, 100, 38, 102, 40, 104, 42, 106, 44, 108, 46, 110,
      48, 112, 50, 114, 52, 116, 54, 118, 56, 120, 58, 122, 60, 124, 62, 126};
  const __m512i base = _mm512_load_si512(kBase);
  const __m512i one = _mm512_set1_epi8(1);
  for (int L = 0; L < count; L += 32) {
    const uint64_t sel = _pdep_u64((m1 >> L) & 0xFFFFFFFFu, 0x5555555555555555ull) |
                         _pdep_u64((m2 >> L) & 0xFFFFFFFFu, 0xAAAAAAAAAAAAAAAAull);
    const int n = count - L < 32 ? count - L : 32;
    const __mmask64 live = n == 32 ? ~__mmask64{0} : (__mmask64{1} << (2 * n)) - 1;
    const __m512i v1 = _mm512_maskz_loadu_epi8(live, p1 + 2 * L);
    const __m512i v2 = _mm512_maskz_loadu_epi8(live, p2 + 2 * L);
    const __m512i idx = _mm512_mask_add_epi8(base, sel, base, one);
    _mm512_mask_storeu_epi8(child + 2 * L, live, _mm512_permutex2var_epi8(v1, idx, v2));
  }
}
}  // namespace

DRIFTSIM_TARGET_AVX512 __attribute__((flatten)) void CopyLociAvx512(const Family& fam,
                                                                    int64_t NumLoci,
                                                                    CopyBits& bits) {
  CopyLoci<CopyChunkAvx512>(fam, NumLoci, bits);
}

DRIFTSIM_TARGET_AVX512 int64_t PackedBytesAvx512(PackedBlock& r, int64_t b0, int64_t b1,
                                                 const unsigned char* bits, uint64_t& pos) {
  if (r.n != kBlockSize) return b0;
  __m512i hetSum[kBlockSize];
  for (__m512i& h : hetSum) h = _mm512_setzero_si512();
  int64_t b = b0;
  for (; b + 64 <= b1; b += 64) PackedBytes64(r, b, bits, pos, hetSum);
  for (int i = 0; i < kBlockSize; ++i) r.hets[i] += _mm512_reduce_add_epi64(hetSum[i]);
  return b;
}

DRIFTSIM_TARGET_AVX512 int64_t SingleBytesAvx512(const uint8_t* p1, const uint8_t* p2,
                                                 uint8_t* child, int64_t b0, int64_t b1,
                                                 const unsigned char* bits, uint64_t& pos,
                                                 int64_t& hets) {
  const int64_t whole = b0 + (b1 - b0) / 64 * 64;
  hets += SingleBytes64(p1, p2, child, b0, whole, bits, pos);
  return whole;
}

const char* const kAvx512Needs = DRIFTSIM_AVX512_NEEDS;

// The row's entry of the kernel table, tagged as the native or the emulated row.
KernelTable Avx512Row(Kernel tag) {
  return {tag,
          PackedBytesAvx512,
          SingleBytesAvx512,
          CopyLociAvx512,
          {RanUniformBatchAvx512<double>, RanUniformBatchAvx512<float>},
          PickAllelesAvx512,
          PickPackedCodesAvx512,
          PackedRecordsOfDrawsAvx512};
}

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim::DRIFTSIM_ROWS_NS

#endif
