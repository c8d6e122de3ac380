// AVX2 uniform draws (RanUniformBatchAvx2). Lanes hold the states of consecutive draws and step
// as many draws as there are lanes per round: the multiplicative word by a power of 16807 mod
// 2^31-1, the xorshift word by the GF(2) matrix of that many steps (random/jumps.hpp), applied
// a few bits at a time by table lookups. The portable loop in random.cpp is the reference.
// Each function carries its own target attribute (see population/transmit_avx2.cpp for why).
//
// - Eight lanes (short batches, and the start of long ones): one vector of words, the matrix
//   of eight steps by 3-bit vpermd tables.
// - Thirty-two lanes (long batches): the xorshift words as four byte planes (plane b: byte b of
//   every lane's word), the matrix of 32 steps by 4-bit pshufb tables, one per nibble and
//   output byte: lane-crossing permutes, several cycles each on AMD processors, drop out. The
//   planes become words by unpacks, which put lanes 8k..8k+7 in the k-th vector.
#include <type_traits>

#include "cpu/vector.hpp"
#include "random/jumps.hpp"
#include "random/random.hpp"

#if DRIFTSIM_VECTOR_ROWS

namespace driftsim::DRIFTSIM_ROWS_NS {

DRIFTSIM_VECTOR_CODE_BEGIN

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

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim::DRIFTSIM_ROWS_NS

#endif
