// AVX-512 allele choices (F, BW, VL): sixteen draws at a time; the portable twins are in
// alleles.cpp. Each function carries its own target attribute (see transmit_avx2.cpp for why).
#include "cpu/vector.hpp"
#include "population/alleles.hpp"

#if DRIFTSIM_VECTOR_ROWS

namespace driftsim::DRIFTSIM_ROWS_NS {

DRIFTSIM_VECTOR_CODE_BEGIN

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

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim::DRIFTSIM_ROWS_NS

#endif
