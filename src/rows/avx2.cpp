// The avx2 and avx2-pdep rows: AVX2 (with POPCNT), and the same with BMI2's pdep where it is
// fast (rows.cpp chooses). Here are what each needs of the processor and the attribute its
// routines are compiled with (one list), the routines of the uniform draws, the allele choices and
// the transmission, and the rows' entries of the kernel table (rows.cpp). Each routine carries its
// row's attribute instead of the file being built with -mavx2: inline functions of the headers,
// compiled in this file with AVX2, could otherwise be the copy the linker keeps for the whole
// program. The portable twins, in random/ and population/, are the reference.
#include <cstring>
#include <type_traits>

#include "cpu/vector.hpp"
#include "population/alleles.hpp"
#include "population/transmit_kernels.hpp"
#include "random/jumps.hpp"
#include "random/random.hpp"
#include "rows/rows.hpp"

#if DRIFTSIM_VECTOR_ROWS

// What each row needs of the processor: the features its routines are compiled for, and the
// ones the processor must report for the row to be run (rows.cpp).
#define DRIFTSIM_AVX2_NEEDS "avx2,popcnt"
#define DRIFTSIM_AVX2_PDEP_NEEDS "avx2,bmi2,popcnt"
#define DRIFTSIM_TARGET_AVX2 DRIFTSIM_TARGET(DRIFTSIM_AVX2_NEEDS)
#define DRIFTSIM_TARGET_AVX2_PDEP DRIFTSIM_TARGET(DRIFTSIM_AVX2_PDEP_NEEDS)

namespace driftsim::DRIFTSIM_ROWS_NS {

DRIFTSIM_VECTOR_CODE_BEGIN

// ---------------------------------------------------------------------------------------------
// Uniform draws
//
// AVX2 uniform draws (RanUniformBatchAvx2). Lanes hold the states of consecutive draws and step
// as many draws as there are lanes per round: the multiplicative word by a power of 16807 mod
// 2^31-1, the xorshift word by the GF(2) matrix of that many steps (random/jumps.hpp), applied
// a few bits at a time by table lookups. The portable loop in random.cpp is the reference.
//
// - Eight lanes (short batches, and the start of long ones): one vector of words, the matrix
//   of eight steps by 3-bit vpermd tables.
// - Thirty-two lanes (long batches): the xorshift words as four byte planes (plane b: byte b of
//   every lane's word), the matrix of 32 steps by 4-bit pshufb tables, one per nibble and
//   output byte: lane-crossing permutes, several cycles each on AMD processors, drop out. The
//   planes become words by unpacks, which put lanes 8k..8k+7 in the k-th vector.

template <typename T>
void RanUniformBatchAvx2(RngState& s, T* out, size_t n);

namespace {

// 16807^n mod 2^31-1: n multiplicative steps at once.
constexpr uint64_t MulPowerOf(int n) {
  uint64_t a = 1;
  for (int i = 0; i < n; ++i) a = a * 16807 % kModulus;
  return a;
}

// (w * a) mod 2^31-1 in each 64-bit lane, for w <= 2^31-1 (low half) and a < 2^31.
DRIFTSIM_TARGET_AVX2 inline __m256i MulMod(__m256i w, __m256i a) {
  const __m256i m = _mm256_set1_epi64x(kModulus);
  const __m256i p = _mm256_mul_epu32(w, a);
  __m256i r = _mm256_add_epi64(_mm256_and_si256(p, m), _mm256_srli_epi64(p, 31));
  // r <= 2m: one conditional subtraction reduces it.
  const __m256i ge = _mm256_cmpgt_epi64(r, _mm256_sub_epi64(m, _mm256_set1_epi64x(1)));
  return _mm256_sub_epi64(r, _mm256_and_si256(ge, m));
}

// The same in each 32-bit lane: the even lanes, then the odd ones shifted down and back.
DRIFTSIM_TARGET_AVX2 inline __m256i MulModWords(__m256i w, __m256i a) {
  return _mm256_or_si256(MulMod(w, a), _mm256_slli_epi64(MulMod(_mm256_srli_epi64(w, 32), a), 32));
}

// Eight draws from the words of eight lanes, stored in lane order.
template <typename T>
DRIFTSIM_TARGET_AVX2 inline void Emit(__m256i x, __m256i w, T* out) {
  const __m256i m =
      _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(x, w), _mm256_set1_epi32(0x7FFFFFFF)),
                      _mm256_set1_epi32(1));
  const __m256d scale = _mm256_set1_pd(kUnitScale);
  const __m256d lo = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(m)), scale);
  const __m256d hi = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(m, 1)), scale);
  if constexpr (std::is_same_v<T, float>) {
    _mm_storeu_ps(out, _mm256_cvtpd_ps(lo));
    _mm_storeu_ps(out + 4, _mm256_cvtpd_ps(hi));
  } else {
    _mm256_storeu_pd(out, lo);
    _mm256_storeu_pd(out + 4, hi);
  }
}

// Eight xorshift steps of each lane by 3-bit chunks (vpermd).
struct Step8 {
  __m256i image[11];

  DRIFTSIM_TARGET_AVX2 Step8() {
    const ChunkTables<3>& t = StepTables<3, 3>();
    for (int k = 0; k < 11; ++k) {
      image[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.image[k]));
    }
  }
  DRIFTSIM_TARGET_AVX2 __m256i operator()(__m256i x) const {
    __m256i y = _mm256_permutevar8x32_epi32(image[0], x);
    for (int k = 1; k < 11; ++k) {
      y = _mm256_xor_si256(
          y, _mm256_permutevar8x32_epi32(image[k], _mm256_srli_epi32(x, static_cast<int>(3 * k))));
    }
    return y;
  }
};

// Thirty-two xorshift steps of each lane of four byte planes: output plane b is the xor, over
// the eight nibbles c of the input, of byte b of the image of nibble c.
struct Step32 {
  // [nibble][output byte], the sixteen entries twice (both halves of a vector).
  alignas(32) uint8_t table[8][4][32];

  Step32() {
    const ChunkTables<4>& t = StepTables<4, 5>();
    for (int c = 0; c < 8; ++c) {
      for (int b = 0; b < 4; ++b) {
        for (int v = 0; v < 16; ++v) {
          table[c][b][v] = table[c][b][16 + v] = static_cast<uint8_t>(t.image[c][v] >> (8 * b));
        }
      }
    }
  }
  DRIFTSIM_TARGET_AVX2 void operator()(__m256i (&plane)[4]) const {
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    __m256i nibble[8];
    for (int b = 0; b < 4; ++b) {
      nibble[2 * b] = _mm256_and_si256(plane[b], low4);
      nibble[2 * b + 1] = _mm256_and_si256(_mm256_srli_epi16(plane[b], 4), low4);
    }
    for (int b = 0; b < 4; ++b) {
      __m256i y = _mm256_setzero_si256();
      for (int c = 0; c < 8; ++c) {
        const __m256i t = _mm256_load_si256(reinterpret_cast<const __m256i*>(table[c][b]));
        y = _mm256_xor_si256(y, _mm256_shuffle_epi8(t, nibble[c]));
      }
      plane[b] = y;
    }
  }
};

const Step32& Step32Tables() {
  static const Step32 tables;
  return tables;
}

// Words of 32 lanes (vector k: lanes 8k..8k+7) as byte planes: byte 16h + 4k + r of a plane is
// lane 8k + 4h + r. Each half's four lanes grouped by byte, then 4 x 4 transposes of dwords.
DRIFTSIM_TARGET_AVX2 inline void ToPlanes(const __m256i (&word)[4], __m256i (&plane)[4]) {
  const __m256i group = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4,
                                         8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  __m256i g[4];
  for (int k = 0; k < 4; ++k) g[k] = _mm256_shuffle_epi8(word[k], group);
  const __m256i t0 = _mm256_unpacklo_epi32(g[0], g[1]), t1 = _mm256_unpackhi_epi32(g[0], g[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(g[2], g[3]), t3 = _mm256_unpackhi_epi32(g[2], g[3]);
  plane[0] = _mm256_unpacklo_epi64(t0, t2);
  plane[1] = _mm256_unpackhi_epi64(t0, t2);
  plane[2] = _mm256_unpacklo_epi64(t1, t3);
  plane[3] = _mm256_unpackhi_epi64(t1, t3);
}

// And back: the unpacks of bytes, then of 16-bit pairs.
DRIFTSIM_TARGET_AVX2 inline void ToWords(const __m256i (&plane)[4], __m256i (&word)[4]) {
  const __m256i lo01 = _mm256_unpacklo_epi8(plane[0], plane[1]);
  const __m256i hi01 = _mm256_unpackhi_epi8(plane[0], plane[1]);
  const __m256i lo23 = _mm256_unpacklo_epi8(plane[2], plane[3]);
  const __m256i hi23 = _mm256_unpackhi_epi8(plane[2], plane[3]);
  word[0] = _mm256_unpacklo_epi16(lo01, lo23);
  word[1] = _mm256_unpackhi_epi16(lo01, lo23);
  word[2] = _mm256_unpacklo_epi16(hi01, hi23);
  word[3] = _mm256_unpackhi_epi16(hi01, hi23);
}

// Lanes j = 0..7 hold the states of draws i + j: the first eight by single steps. Returns the
// states of draws 0..7 as words.
template <typename T>
DRIFTSIM_TARGET_AVX2 void FirstEight(RngState& u, T* out, __m256i& x, __m256i& w) {
  alignas(32) uint32_t x0[8], w0[8];
  for (int j = 0; j < 8; ++j) {
    out[j] = static_cast<T>(u.RanUniform());
    x0[j] = u.XorWord;
    w0[j] = static_cast<uint32_t>(u.MulWord);
  }
  x = _mm256_load_si256(reinterpret_cast<const __m256i*>(x0));
  w = _mm256_load_si256(reinterpret_cast<const __m256i*>(w0));
}

// The state of lane 7 of the words: the last draw made.
DRIFTSIM_TARGET_AVX2 inline void LastLane(__m256i x, __m256i w, RngState& u) {
  u.XorWord = static_cast<uint32_t>(_mm256_extract_epi32(x, 7));
  u.MulWord = _mm256_extract_epi32(w, 7);
}

template <typename T>
DRIFTSIM_TARGET_AVX2 void UniformLanes8(RngState& s, T* out, size_t n) {
  RngState u = s;
  __m256i x, w;
  FirstEight(u, out, x, w);
  const Step8 step;
  const __m256i a8 = _mm256_set1_epi64x(MulPowerOf(8));
  size_t i = 8;
  for (; i + 8 <= n; i += 8) {
    x = step(x);
    w = MulModWords(w, a8);
    Emit(x, w, out + i);
  }
  LastLane(x, w, u);
  for (; i < n; ++i) out[i] = static_cast<T>(u.RanUniform());
  s = u;
}

// At least 64 draws: the first 32 as UniformLanes8 does, then 32 lanes a round.
template <typename T>
DRIFTSIM_TARGET_AVX2 void UniformLanes32(RngState& s, T* out, size_t n) {
  RngState u = s;
  __m256i x[4], w[4], plane[4];
  FirstEight(u, out, x[0], w[0]);
  const Step8 step8;
  const __m256i a8 = _mm256_set1_epi64x(MulPowerOf(8));
  for (int k = 1; k < 4; ++k) {
    x[k] = step8(x[k - 1]);
    w[k] = MulModWords(w[k - 1], a8);
    Emit(x[k], w[k], out + 8 * k);
  }
  ToPlanes(x, plane);
  const Step32& step32 = Step32Tables();
  const __m256i a32 = _mm256_set1_epi64x(MulPowerOf(32));
  size_t i = 32;
  for (; i + 32 <= n; i += 32) {
    step32(plane);
    ToWords(plane, x);
    for (int k = 0; k < 4; ++k) {
      w[k] = MulModWords(w[k], a32);
      Emit(x[k], w[k], out + i + 8 * k);
    }
  }
  LastLane(x[3], w[3], u);
  s = u;
  if (i < n) RanUniformBatchAvx2(s, out + i, n - i);
}

}  // namespace

// The vector rows need an initialised, running stream and enough draws to pay their set-up.
template <typename T>
void RanUniformBatchAvx2(RngState& s, T* out, size_t n) {
  if (n >= 16) {
    if (s.IDUM <= 0 || s.MulWord < 0) {
      *out++ = static_cast<T>(s.RanUniform());
      --n;
    }
    if (s.IDUM > 0 && n >= 64) return UniformLanes32(s, out, n);
    if (s.IDUM > 0 && n >= 16) return UniformLanes8(s, out, n);
  }
  RanUniformBatchPortable(s, out, n);
}

template void RanUniformBatchAvx2<float>(RngState&, float*, size_t);
template void RanUniformBatchAvx2<double>(RngState&, double*, size_t);

// ---------------------------------------------------------------------------------------------
// Allele choices
//
// AVX2 allele choices; the portable twins are in alleles.cpp.
//
// The migrants' packed bytes (PackedRecordsOfDrawsAvx2): eight bytes of one record per step,
// one 32-bit lane per byte. The thresholds of eight bytes are eight rows of eight floats,
// transposed once so that each of the eight thresholds is a vector over the bytes, and used for
// every record. The draws of a field lie 4 x count floats apart from one byte to the next: one
// gather per field. The codes are those of PickPackedCode: 3, then 2 where u <= hw[1], then 1
// where u <= hw[0] (ordered comparisons, false for NaN as the portable ones).

namespace {

// Transposes the 8 x 8 matrix of floats: element c of row r becomes element r of row c.
DRIFTSIM_TARGET_AVX2 inline void Transpose8(__m256 (&x)[8]) {
  __m256 a[8], b[8];
  for (int j = 0; j < 4; ++j) {
    a[2 * j] = _mm256_unpacklo_ps(x[2 * j], x[2 * j + 1]);
    a[2 * j + 1] = _mm256_unpackhi_ps(x[2 * j], x[2 * j + 1]);
  }
  for (int j = 0; j < 2; ++j) {
    for (int h = 0; h < 2; ++h) {
      const __m256 lo = a[4 * j + h], hi = a[4 * j + 2 + h];
      b[4 * j + 2 * h] = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(1, 0, 1, 0));
      b[4 * j + 2 * h + 1] = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 2, 3, 2));
    }
  }
  for (int c = 0; c < 4; ++c) {
    x[c] = _mm256_permute2f128_ps(b[c], b[4 + c], 0x20);
    x[4 + c] = _mm256_permute2f128_ps(b[c], b[4 + c], 0x31);
  }
}

}  // namespace

DRIFTSIM_TARGET_AVX2 void PackedRecordsOfDrawsAvx2(const float* hw, const float* u, uint8_t* first,
                                                   int64_t stride, size_t count, size_t nbytes) {
  // Lane l reads the draw of byte k + l: 4 x count floats further per byte (count <= 512 in a
  // run of 2048 draws, far within 32 bits).
  const __m256i apart = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                           _mm256_set1_epi32(static_cast<int>(4 * count)));
  const __m256i two = _mm256_set1_epi32(2), one = _mm256_set1_epi32(1);
  // The low byte of each 32-bit lane, to the low four bytes of each half.
  const __m256i low = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                       0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  size_t k = 0;
  for (; k + 8 <= nbytes; k += 8) {
    // t[c]: threshold c of bytes k..k+7.
    __m256 t[8];
    for (int l = 0; l < 8; ++l) t[l] = _mm256_loadu_ps(hw + 8 * (k + size_t(l)));
    Transpose8(t);
    const float* draws = u + 4 * count * k;
    for (size_t j = 0; j < count; ++j) {
      __m256i byte = _mm256_setzero_si256();
      for (int f = 0; f < 4; ++f) {
        const __m256 v = _mm256_i32gather_ps(draws + size_t(f) * count + j, apart, 4);
        __m256i code = _mm256_set1_epi32(3);
        code = _mm256_blendv_epi8(code, two,
                                  _mm256_castps_si256(_mm256_cmp_ps(v, t[2 * f + 1], _CMP_LE_OQ)));
        code = _mm256_blendv_epi8(code, one,
                                  _mm256_castps_si256(_mm256_cmp_ps(v, t[2 * f], _CMP_LE_OQ)));
        byte = _mm256_or_si256(byte, _mm256_sll_epi32(code, _mm_cvtsi32_si128(2 * f)));
      }
      const __m256i packed = _mm256_shuffle_epi8(byte, low);
      const __m128i bytes8 =
          _mm_unpacklo_epi32(_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(first + int64_t(j) * stride + int64_t(k)),
                       bytes8);
    }
  }
  if (k < nbytes) {
    PackedRecordsOfDrawsPortable(hw + 8 * k, u + 4 * count * k, first + k, stride, count,
                                 nbytes - k);
  }
}

// Eight draws at a time: one plus the count of entries below each draw (as PickFrom; the
// comparisons are false for NaN entries).
DRIFTSIM_TARGET_AVX2 void PickAllelesAvx2(const float* cum, size_t entries, const float* u,
                                          uint8_t* out, size_t n) {
  const __m256i low = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                       0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(u + i);
    __m256i allele = _mm256_set1_epi32(1);
    for (size_t k = 0; k < entries; ++k) {
      // A true comparison is -1: subtracting it counts the entry.
      const __m256 below = _mm256_cmp_ps(_mm256_set1_ps(cum[k]), v, _CMP_LT_OQ);
      allele = _mm256_sub_epi32(allele, _mm256_castps_si256(below));
    }
    const __m256i packed = _mm256_shuffle_epi8(allele, low);
    _mm_storel_epi64(
        reinterpret_cast<__m128i*>(out + i),
        _mm_unpacklo_epi32(_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1)));
  }
  if (i < n) PickAllelesPortable(cum, entries, u + i, out + i, n - i);
}

// Eight draws at a time: code 3, 2 where u <= hw[1], 1 where u <= hw[0] (as PickPackedCode).
DRIFTSIM_TARGET_AVX2 void PickPackedCodesAvx2(const float* hw, const float* u, uint8_t* out,
                                              size_t n, int shift, bool first) {
  const __m256 t0 = _mm256_set1_ps(hw[0]), t1 = _mm256_set1_ps(hw[1]);
  const __m256i two = _mm256_set1_epi32(2), one = _mm256_set1_epi32(1);
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m256i low = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                       0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(u + i);
    __m256i code = _mm256_set1_epi32(3);
    code = _mm256_blendv_epi8(code, two, _mm256_castps_si256(_mm256_cmp_ps(v, t1, _CMP_LE_OQ)));
    code = _mm256_blendv_epi8(code, one, _mm256_castps_si256(_mm256_cmp_ps(v, t0, _CMP_LE_OQ)));
    const __m256i packed = _mm256_shuffle_epi8(_mm256_sll_epi32(code, count), low);
    __m128i bytes8 =
        _mm_unpacklo_epi32(_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1));
    if (!first) {
      bytes8 = _mm_or_si128(bytes8, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(out + i)));
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), bytes8);
  }
  if (i < n) PickPackedCodesPortable(hw, u + i, out + i, n - i, shift, first);
}

// ---------------------------------------------------------------------------------------------
// Transmission
//
// AVX2 transmission routines; the portable twins are in population/transmit_packed.cpp.
//
// Packed block kernel (PackedBytesAvx2, PackedBytesAvx2Pdep; portable twin PackedBytesPortable):
// 32 bytes of a block of ten members per step. The bit order is that of the portable loop: byte
// by byte, within a byte member by member, each member one bit per heterozygous field of its
// first parent's byte, then of its second's.
// - Slots: per member, one byte per record byte: the first parent's heterozygous fields as the
//   low nibble, the second's as the high one (pshufb on the parents' nibbles); beside it the
//   fields homozygous for allele 2, in the same layout.
// - Deposit, with pdep (fast on Intel from Haswell and AMD from Zen 3): the members' slot bytes,
//   32 per member, become one 16-byte row per record byte, lanes = members (a 16 x 16 byte
//   transpose in each 128-bit half, by unpacks); per record byte, the bits at the running
//   position go into the 64 slots of members 0-7 and then the 16 of members 8 and 9, as in the
//   AVX-512 kernel; a second transpose brings the rows back to members.
// - Deposit without pdep (microcoded on AMD Zen 1 and 2): see PackedBytes32. No transposes:
//   the bits are gathered for three members at a time, and the deposit goes nibble by nibble
//   through lookups (for k = 0..3, the k-th set bit of the slot nibble where bit k of the bits
//   is set).
// - Children: per member, the deposited nibbles with the homozygotes of allele 2 added say
//   which allele each parent passes, and the child's byte follows
//   (codes: both 1 gives 1, both 2 gives 2, else 3), with its heterozygous fields counted.

namespace {

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
  // 2^(4 - s) for s = 0..4.
  uint8_t power[16];
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
    t.power[x] = static_cast<uint8_t>(x <= 4 ? 1u << (4 - x) : 0);
  }
  return t;
}
constexpr Tables kTables = MakeTables();

DRIFTSIM_TARGET_AVX2 inline __m256i Table(const uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

DRIFTSIM_TARGET_AVX2 inline __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Transposes the 16 x 16 byte matrix in each 128-bit half: byte c of row r becomes byte r of
// row c.
DRIFTSIM_TARGET_AVX2 inline void Transpose16(__m256i (&x)[16]) {
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
};

// Heterozygous fields (bits 0-3) and homozygotes of allele 2 (bits 4-7) of 32 parent bytes.
DRIFTSIM_TARGET_AVX2 inline __m256i Fields(__m256i x) {
  const __m256i fields = Table(kTables.fields);
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_shuffle_epi8(fields, _mm256_and_si256(x, low4));
  const __m256i hi = _mm256_shuffle_epi8(fields, _mm256_and_si256(_mm256_srli_epi16(x, 4), low4));
  return _mm256_or_si256(lo, _mm256_slli_epi16(hi, 2));
}

DRIFTSIM_TARGET_AVX2 inline void MakeSlots(const PackedBlock& r, int64_t b0, Slots& s) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i high4 = _mm256_set1_epi8(static_cast<char>(0xF0));
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
  }
  for (int i = kBlockSize; i < 16; ++i) s.slot[i] = _mm256_setzero_si256();
}

// The children of a chunk from the deposited nibbles, per member after the transpose back.
DRIFTSIM_TARGET_AVX2 inline void MakeChildren(PackedBlock& r, int64_t b0,
                                              const __m256i (&deposited)[16], const Slots& s,
                                              __m256i (&hetSum)[kBlockSize]) {
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
DRIFTSIM_TARGET_AVX2 inline __m256i Deposit4(__m256i v, __m256i m) {
  const __m256i t =
      _mm256_or_si256(_mm256_and_si256(_mm256_shuffle_epi8(Table(kTables.select01), m),
                                       _mm256_shuffle_epi8(Table(kTables.expand01), v)),
                      _mm256_and_si256(_mm256_shuffle_epi8(Table(kTables.select23), m),
                                       _mm256_shuffle_epi8(Table(kTables.expand23), v)));
  return _mm256_or_si256(t, _mm256_srli_epi16(t, 4));
}

// Chunk bytes in dword lanes: quarter j holds record bytes 4j..4j+3 in its low half and
// 16+4j..16+4j+3 in its high half, the order of byte-to-dword unpacks.
using Quarters = __m256i[4];

// Bytes a, b, c of each record byte as the dword [a, b, c, 0].
DRIFTSIM_TARGET_AVX2 inline void Interleave(__m256i a, __m256i b, __m256i c, Quarters& q) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i abLo = _mm256_unpacklo_epi8(a, b), abHi = _mm256_unpackhi_epi8(a, b);
  const __m256i cLo = _mm256_unpacklo_epi8(c, zero), cHi = _mm256_unpackhi_epi8(c, zero);
  q[0] = _mm256_unpacklo_epi16(abLo, cLo);
  q[1] = _mm256_unpackhi_epi16(abLo, cLo);
  q[2] = _mm256_unpacklo_epi16(abHi, cHi);
  q[3] = _mm256_unpackhi_epi16(abHi, cHi);
}

// The low byte of each dword lane, back in record order.
DRIFTSIM_TARGET_AVX2 inline __m256i LowBytes(const Quarters& q) {
  const __m256i byte = _mm256_set1_epi32(0xFF);
  const __m256i w01 =
      _mm256_packus_epi32(_mm256_and_si256(q[0], byte), _mm256_and_si256(q[1], byte));
  const __m256i w23 =
      _mm256_packus_epi32(_mm256_and_si256(q[2], byte), _mm256_and_si256(q[3], byte));
  return _mm256_packus_epi16(w01, w23);
}

// Each record byte's first bit: start plus the bits of the record bytes before it (exclusive
// prefix sum of counts, in quarter order); start moves past the chunk.
DRIFTSIM_TARGET_AVX2 inline void FirstBits(const Quarters& count, uint64_t& start,
                                           Quarters& first) {
  __m256i carry = _mm256_setzero_si256();
  for (int j = 0; j < 4; ++j) {
    __m256i sum = _mm256_add_epi32(count[j], _mm256_bslli_epi128(count[j], 4));
    sum = _mm256_add_epi32(sum, _mm256_bslli_epi128(sum, 8));
    first[j] = _mm256_add_epi32(_mm256_sub_epi32(sum, count[j]), carry);
    carry = _mm256_add_epi32(carry, _mm256_shuffle_epi32(sum, 0xFF));
  }
  // carry: the bits of record bytes 0-15 in the low half, of 16-31 in the high one.
  const __m256i offset = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(start)),
                                          _mm256_permute2x128_si256(carry, carry, 0x08));
  for (__m256i& f : first) f = _mm256_add_epi32(f, offset);
  start += static_cast<uint32_t>(_mm256_extract_epi32(carry, 0)) +
           static_cast<uint32_t>(_mm256_extract_epi32(carry, 4));
}

// (v >> s) & 15 in each byte, for s <= 4: a 16-bit multiply by 2^(4 - s) shifts the even and
// the odd bytes apart.
DRIFTSIM_TARGET_AVX2 inline __m256i ShiftNibble(__m256i v, __m256i s) {
  const __m256i even = _mm256_set1_epi16(0x00FF);
  const __m256i power = _mm256_shuffle_epi8(Table(kTables.power), s);
  const __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(v, even), _mm256_and_si256(power, even));
  const __m256i hi = _mm256_mullo_epi16(_mm256_srli_epi16(v, 8), _mm256_srli_epi16(power, 8));
  return _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(lo, 4), _mm256_set1_epi16(0x000F)),
                         _mm256_and_si256(_mm256_slli_epi16(hi, 4), _mm256_set1_epi16(0x0F00)));
}

// Without pdep: each member's bits of each record byte are fetched apart. Record byte k's
// bits start at a prefix sum of the bytes' counts, member i's at that plus the counts of
// members 0..i-1. Three members take at most 24 bits, so one 32-bit gather at the first
// member's bit serves three: a variable shift brings each member's first bit to bit 0, and the
// low bytes go back to one byte per record byte. There the first parent's bits go into the low
// nibble's slots, the rest (shifted past them) into the high nibble's.
DRIFTSIM_TARGET_AVX2 void PackedBytes32(PackedBlock& r, int64_t b0, const unsigned char* bits,
                                        uint64_t& pos, __m256i (&hetSum)[kBlockSize]) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i pop = Table(kTables.popcount);
  const __m256i zero = _mm256_setzero_si256();
  Slots s;
  MakeSlots(r, b0, s);
  // Per member: bits of the first parent (c1), bits before it in the record byte (before).
  __m256i c1[kBlockSize], before[kBlockSize + 1];
  before[0] = zero;
  for (int i = 0; i < kBlockSize; ++i) {
    c1[i] = _mm256_shuffle_epi8(pop, _mm256_and_si256(s.slot[i], low4));
    const __m256i c2 =
        _mm256_shuffle_epi8(pop, _mm256_and_si256(_mm256_srli_epi16(s.slot[i], 4), low4));
    before[i + 1] = _mm256_add_epi8(before[i], _mm256_add_epi8(c1[i], c2));
  }
  Quarters count, first;
  Interleave(before[kBlockSize], zero, zero, count);
  FirstBits(count, pos, first);
  __m256i v[kBlockSize + 2];
  const __m256i byte = _mm256_set1_epi32(0xFF);
  for (int a = 0; a < kBlockSize; a += 3) {
    // Dwords [bits before member a, members a's bits, a's and a + 1's].
    Quarters q, x, y1, y2;
    const bool three = a + 2 < kBlockSize;
    Interleave(before[a], three ? _mm256_sub_epi8(before[a + 1], before[a]) : zero,
               three ? _mm256_sub_epi8(before[a + 2], before[a]) : zero, q);
    for (int j = 0; j < 4; ++j) {
      const __m256i at = _mm256_add_epi32(first[j], _mm256_and_si256(q[j], byte));
      const __m256i w =
          _mm256_i32gather_epi32(reinterpret_cast<const int*>(bits), _mm256_srli_epi32(at, 3), 1);
      x[j] = _mm256_srlv_epi32(w, _mm256_and_si256(at, _mm256_set1_epi32(7)));
      y1[j] = _mm256_srlv_epi32(x[j], _mm256_and_si256(_mm256_srli_epi32(q[j], 8), byte));
      y2[j] = _mm256_srlv_epi32(x[j], _mm256_srli_epi32(q[j], 16));
    }
    v[a] = LowBytes(x);
    if (three) {
      v[a + 1] = LowBytes(y1);
      v[a + 2] = LowBytes(y2);
    }
  }
  for (int i = 0; i < kBlockSize; ++i) {
    const __m256i d1 = Deposit4(_mm256_and_si256(v[i], low4), _mm256_and_si256(s.slot[i], low4));
    const __m256i d2 =
        Deposit4(ShiftNibble(v[i], c1[i]), _mm256_and_si256(_mm256_srli_epi16(s.slot[i], 4), low4));
    s.slot[i] = _mm256_or_si256(_mm256_and_si256(d1, low4),
                                _mm256_andnot_si256(low4, _mm256_slli_epi16(d2, 4)));
  }
  MakeChildren(r, b0, s.slot, s, hetSum);
}

DRIFTSIM_TARGET_AVX2_PDEP void PackedBytes32Pdep(PackedBlock& r, int64_t b0,
                                                 const unsigned char* bits, uint64_t& pos,
                                                 __m256i (&hetSum)[kBlockSize]) {
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
DRIFTSIM_TARGET_AVX2 inline int64_t PackedChunks(PackedBlock& r, int64_t b0, int64_t b1,
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
DRIFTSIM_TARGET_AVX2 inline void CopyChunkAvx2(const uint8_t* p1, const uint8_t* p2, uint8_t* child,
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
DRIFTSIM_TARGET_AVX2 __attribute__((flatten)) void CopyLociAvx2(const Family& fam, int64_t NumLoci,
                                                                CopyBits& bits) {
  CopyLoci<CopyChunkAvx2>(fam, NumLoci, bits);
}

// One offspring's bytes eight at a time, the bits deposited by one pdep (SingleBytesPortable
// is the twin): at most 64 bits per eight bytes, all within one 64-bit load.
DRIFTSIM_TARGET_AVX2_PDEP int64_t SingleBytesAvx2Pdep(const uint8_t* p1, const uint8_t* p2,
                                                      uint8_t* child, int64_t b0, int64_t b1,
                                                      const unsigned char* bits, uint64_t& pos,
                                                      int64_t& hets) {
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

DRIFTSIM_TARGET_AVX2 int64_t PackedBytesAvx2(PackedBlock& r, int64_t b0, int64_t b1,
                                             const unsigned char* bits, uint64_t& pos) {
  return PackedChunks<PackedBytes32>(r, b0, b1, bits, pos);
}

DRIFTSIM_TARGET_AVX2_PDEP int64_t PackedBytesAvx2Pdep(PackedBlock& r, int64_t b0, int64_t b1,
                                                      const unsigned char* bits, uint64_t& pos) {
  return PackedChunks<PackedBytes32Pdep>(r, b0, b1, bits, pos);
}

const char* const kAvx2Needs = DRIFTSIM_AVX2_NEEDS;
const char* const kAvx2PdepNeeds = DRIFTSIM_AVX2_PDEP_NEEDS;

// The rows' entries of the kernel table, tagged as the native or the emulated rows.
KernelTable Avx2Row(Kernel tag) {
  return {tag,
          PackedBytesAvx2,
          SingleBytesPortable,
          CopyLociAvx2,
          {RanUniformBatchAvx2<double>, RanUniformBatchAvx2<float>},
          PickAllelesAvx2,
          PickPackedCodesAvx2,
          PackedRecordsOfDrawsAvx2};
}
KernelTable Avx2PdepRow(Kernel tag) {
  return {tag,
          PackedBytesAvx2Pdep,
          SingleBytesAvx2Pdep,
          CopyLociAvx2,
          {RanUniformBatchAvx2<double>, RanUniformBatchAvx2<float>},
          PickAllelesAvx2,
          PickPackedCodesAvx2,
          PackedRecordsOfDrawsAvx2};
}

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim::DRIFTSIM_ROWS_NS

#endif
