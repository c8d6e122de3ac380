// AVX-512 uniform draws (RanUniformBatchAvx512): sixteen lanes stepping sixteen draws per
// round, the xorshift word by nibble tables (random/jumps.hpp), the multiplicative word by
// 16807^16 mod 2^31-1; shorter batches take the AVX2 lanes. The portable loop in random.cpp is
// the reference. Each function carries its own target attribute.
#include <type_traits>

#include "cpu/vector.hpp"
#include "random/jumps.hpp"
#include "random/random.hpp"

#if DRIFTSIM_VECTOR_ROWS

namespace driftsim::DRIFTSIM_ROWS_NS {

DRIFTSIM_VECTOR_CODE_BEGIN
namespace {

const ChunkTables<4>& Step16Tables() {
  return StepTables<4, 4>();
}

// (w * a) mod 2^31-1 in each 64-bit lane, as MulMod of random_avx2.cpp.
DRIFTSIM_TARGET_AVX512 inline __m512i MulMod512(__m512i w, __m512i a) {
  const __m512i m = _mm512_set1_epi64(kModulus);
  const __m512i p = _mm512_mul_epu32(w, a);
  const __m512i r = _mm512_add_epi64(_mm512_and_si512(p, m), _mm512_srli_epi64(p, 31));
  return _mm512_mask_sub_epi64(r, _mm512_cmpge_epu64_mask(r, m), r, m);
}

// Sixteen lanes: lane j holds the state of draw i+j and steps sixteen draws per round, the
// xorshift word by the nibble tables (no chain of single steps), the multiplicative word by
// 16807^16 mod 2^31-1, as the eight lanes of random_avx2.cpp.
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

// The AVX2 lanes (random_avx2.cpp) of the same build.
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

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim::DRIFTSIM_ROWS_NS

#endif
