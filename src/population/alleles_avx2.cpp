// AVX2 allele choices; the portable twins are in alleles.cpp. Each function carries its own
// target attribute (see transmit_avx2.cpp for why).
//
// The migrants' packed bytes (PackedRecordsOfDrawsAvx2): eight bytes of one record per step,
// one 32-bit lane per byte. The thresholds of eight bytes are eight rows of eight floats,
// transposed once so that each of the eight thresholds is a vector over the bytes, and used for
// every record. The draws of a field lie 4 x count floats apart from one byte to the next: one
// gather per field. The codes are those of PickPackedCode: 3, then 2 where u <= hw[1], then 1
// where u <= hw[0] (ordered comparisons, false for NaN as the portable ones).
#include "cpu/vector.hpp"
#include "population/alleles.hpp"

#if DRIFTSIM_VECTOR_ROWS

namespace driftsim::DRIFTSIM_ROWS_NS {

DRIFTSIM_VECTOR_CODE_BEGIN

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

DRIFTSIM_VECTOR_CODE_END

}  // namespace driftsim::DRIFTSIM_ROWS_NS

#endif
