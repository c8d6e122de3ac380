// AVX2 uniform draws (RanUniformBatchAvx2): eight lanes, lane j holding the state of draw i + j
// and stepping eight draws per round, the xorshift word by 3-bit vpermd tables of the GF(2)
// matrix of eight steps (random/jumps.hpp), the multiplicative word by 16807^8 mod 2^31-1. The
// portable loop in random.cpp is the reference. Each function carries its own target attribute
// (see population/transmit_avx2.cpp for why).
#include <type_traits>

#include "cpu/cpu.hpp"
#include "random/jumps.hpp"
#include "random/random.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace driftsim {

DRIFTSIM_VECTOR_CODE_BEGIN
namespace {

// 16807^8 mod 2^31-1: eight multiplicative steps at once.
constexpr uint64_t MulPower8() {
  uint64_t a = 1;
  for (int i = 0; i < 8; ++i) a = a * 16807 % kModulus;
  return a;
}

// (w * a) mod 2^31-1 in each 64-bit lane, for w <= 2^31-1 and a < 2^31.
__attribute__((target("avx2"))) inline __m256i MulMod(__m256i w, __m256i a) {
  const __m256i m = _mm256_set1_epi64x(kModulus);
  const __m256i p = _mm256_mul_epu32(w, a);
  __m256i r = _mm256_add_epi64(_mm256_and_si256(p, m), _mm256_srli_epi64(p, 31));
  // r <= 2m: one conditional subtraction reduces it.
  const __m256i ge = _mm256_cmpgt_epi64(r, _mm256_sub_epi64(m, _mm256_set1_epi64x(1)));
  return _mm256_sub_epi64(r, _mm256_and_si256(ge, m));
}

// Eight steps by 3-bit chunks (vpermd).
const ChunkTables<3>& Step8Tables() {
  return StepTables<3>(3);
}

template <typename T>
__attribute__((target("avx2"))) void UniformLanes8(RngState& s, T* out, size_t n) {
  // Lanes j = 0..7 hold the states of draws i+j: the first eight by single steps.
  alignas(32) uint32_t x0[8];
  alignas(32) int64_t w0[8];
  RngState u = s;
  for (int j = 0; j < 8; ++j) {
    out[j] = static_cast<T>(u.RanUniform());
    x0[j] = u.XorWord;
    w0[j] = u.MulWord;
  }
  __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(x0));
  __m256i wlo = _mm256_load_si256(reinterpret_cast<const __m256i*>(w0));
  __m256i whi = _mm256_load_si256(reinterpret_cast<const __m256i*>(w0 + 4));
  const ChunkTables<3>& tt = Step8Tables();
  __m256i image[11];
  for (int k = 0; k < 11; ++k) {
    image[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(tt.image[k]));
  }
  const __m256i a8 = _mm256_set1_epi64x(MulPower8());
  const __m256i low31 = _mm256_set1_epi32(0x7FFFFFFF);
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i pack = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256d scale = _mm256_set1_pd(kUnitScale);
  size_t i = 8;
  for (; i + 8 <= n; i += 8) {
    __m256i y = _mm256_permutevar8x32_epi32(image[0], x);
    for (int k = 1; k < 11; ++k) {
      y = _mm256_xor_si256(
          y, _mm256_permutevar8x32_epi32(image[k], _mm256_srli_epi32(x, static_cast<int>(3 * k))));
    }
    x = y;
    wlo = MulMod(wlo, a8);
    whi = MulMod(whi, a8);
    // Low halves of the eight 64-bit products, in lane order.
    const __m256i w = _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32(wlo, pack),
                                                _mm256_permutevar8x32_epi32(whi, pack), 0x20);
    const __m256i m = _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(x, w), low31), one);
    const __m256d lo = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(m)), scale);
    const __m256d hi = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(m, 1)), scale);
    if constexpr (std::is_same_v<T, float>) {
      _mm_storeu_ps(out + i, _mm256_cvtpd_ps(lo));
      _mm_storeu_ps(out + i + 4, _mm256_cvtpd_ps(hi));
    } else {
      _mm256_storeu_pd(out + i, lo);
      _mm256_storeu_pd(out + i + 4, hi);
    }
  }
  // The state of the last vector draw, then the rest one by one.
  alignas(32) uint32_t xs[8];
  alignas(32) int64_t ws[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(xs), x);
  _mm256_store_si256(reinterpret_cast<__m256i*>(ws + 4), whi);
  u.XorWord = xs[7];
  u.MulWord = static_cast<int32_t>(ws[7]);
  for (; i < n; ++i) out[i] = static_cast<T>(u.RanUniform());
  s = u;
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
    if (s.IDUM > 0 && n >= 16) return UniformLanes8(s, out, n);
  }
  RanUniformBatchPortable(s, out, n);
}

template void RanUniformBatchAvx2<float>(RngState&, float*, size_t);
template void RanUniformBatchAvx2<double>(RngState&, double*, size_t);

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim

#endif
