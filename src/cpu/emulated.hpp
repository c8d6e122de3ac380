// Intrinsics that SIMD Everywhere (Debian's 0.7.4) lacks, as plain loops through memory, for
// the emulated rows alone: cpu/vector.hpp includes this after SIMDe's headers, and the native
// names below then reach these instead of the processor's instructions.
#pragma once

#include <cstdint>
#include <cstring>

namespace driftsim::emulated_intrinsics {

// Each routine copies its vectors to arrays of lanes and back (memcpy): vector types carry
// attributes that templates drop.

inline simde__m128i CvtEpi32Epi8(simde__m512i a) {
  int32_t in[16];
  int8_t out[16];
  std::memcpy(in, &a, sizeof in);
  for (int i = 0; i < 16; ++i) out[i] = static_cast<int8_t>(in[i]);
  simde__m128i v;
  std::memcpy(&v, out, sizeof v);
  return v;
}

inline simde__m512d CvtEpi32Pd(simde__m256i a) {
  int32_t in[8];
  double out[8];
  std::memcpy(in, &a, sizeof in);
  for (int i = 0; i < 8; ++i) out[i] = in[i];
  simde__m512d v;
  std::memcpy(&v, out, sizeof v);
  return v;
}

// Rounds to nearest, as the instruction does under the default rounding mode.
inline simde__m256 CvtPdPs(simde__m512d a) {
  double in[8];
  float out[8];
  std::memcpy(in, &a, sizeof in);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<float>(in[i]);
  simde__m256 v;
  std::memcpy(&v, out, sizeof v);
  return v;
}

inline void MaskCvtEpi32StoreuEpi8(void* p, uint16_t k, simde__m512i a) {
  int32_t in[16];
  std::memcpy(in, &a, sizeof in);
  for (int i = 0; i < 16; ++i) {
    if (k >> i & 1u) static_cast<int8_t*>(p)[i] = static_cast<int8_t>(in[i]);
  }
}

// Masked byte stores and zeroing loads touch only the bytes or lanes the mask selects.
inline void MaskStoreBytes(void* p, uint64_t k, const void* v, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    if (k >> i & 1u) static_cast<uint8_t*>(p)[i] = static_cast<const uint8_t*>(v)[i];
  }
}
inline void MaskzLoadLanes(void* v, uint64_t k, const void* p, int lanes, int lane) {
  std::memset(v, 0, size_t(lanes * lane));
  for (int i = 0; i < lanes; ++i) {
    if (k >> i & 1u) {
      std::memcpy(static_cast<char*>(v) + i * lane, static_cast<const char*>(p) + i * lane,
                  size_t(lane));
    }
  }
}
inline void MaskStoreu512(void* p, uint64_t k, simde__m512i a) {
  MaskStoreBytes(p, k, &a, 64);
}
inline void MaskStoreu128(void* p, uint16_t k, simde__m128i a) {
  MaskStoreBytes(p, k, &a, 16);
}
inline simde__m512i MaskzLoadu512(uint64_t k, const void* p) {
  simde__m512i v;
  MaskzLoadLanes(&v, k, p, 64, 1);
  return v;
}
inline simde__m128i MaskzLoadu128(uint16_t k, const void* p) {
  simde__m128i v;
  MaskzLoadLanes(&v, k, p, 16, 1);
  return v;
}
inline simde__m512 MaskzLoaduPs(uint16_t k, const void* p) {
  simde__m512 v;
  MaskzLoadLanes(&v, k, p, 16, 4);
  return v;
}

inline int64_t ReduceAddEpi64(simde__m512i a) {
  uint64_t in[8];
  std::memcpy(in, &a, sizeof in);
  uint64_t sum = 0;
  for (const uint64_t v : in) sum += v;
  return static_cast<int64_t>(sum);
}

// The bits of x, low first, into the set bits of mask, low first.
inline uint64_t Pdep(uint64_t x, uint64_t mask) {
  uint64_t out = 0;
  for (uint64_t bit = 1; mask != 0; bit <<= 1) {
    const uint64_t low = mask & (0 - mask);
    if (x & bit) out |= low;
    mask ^= low;
  }
  return out;
}

}  // namespace driftsim::emulated_intrinsics

#define __mmask16 simde__mmask16
#define __mmask64 simde__mmask64
#define _mm512_shuffle_i64x2(a, b, imm8) simde_mm512_shuffle_i64x2(a, b, imm8)
#define _mm512_cvtepi32_epi8(a) driftsim::emulated_intrinsics::CvtEpi32Epi8(a)
#define _mm512_cvtepi32_pd(a) driftsim::emulated_intrinsics::CvtEpi32Pd(a)
#define _mm512_cvtpd_ps(a) driftsim::emulated_intrinsics::CvtPdPs(a)
#define _mm512_mask_cvtepi32_storeu_epi8(p, k, a) \
  driftsim::emulated_intrinsics::MaskCvtEpi32StoreuEpi8(p, k, a)
#define _mm512_mask_storeu_epi8(p, k, a) driftsim::emulated_intrinsics::MaskStoreu512(p, k, a)
#define _mm_mask_storeu_epi8(p, k, a) driftsim::emulated_intrinsics::MaskStoreu128(p, k, a)
#define _mm512_maskz_loadu_epi8(k, p) driftsim::emulated_intrinsics::MaskzLoadu512(k, p)
#define _mm512_maskz_loadu_ps(k, p) driftsim::emulated_intrinsics::MaskzLoaduPs(k, p)
#define _mm_maskz_loadu_epi8(k, p) driftsim::emulated_intrinsics::MaskzLoadu128(k, p)
#define _mm512_reduce_add_epi64(a) driftsim::emulated_intrinsics::ReduceAddEpi64(a)
#define _pdep_u64(x, mask) driftsim::emulated_intrinsics::Pdep(x, mask)
