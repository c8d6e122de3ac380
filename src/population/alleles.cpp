#include "population/alleles.hpp"

#include <algorithm>
#include <cstring>

#include "cpu/cpu.hpp"
#include "cpu/threads.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace driftsim {

namespace {

#if defined(__x86_64__)
DRIFTSIM_VECTOR_CODE_BEGIN
#define DRIFTSIM_AVX512BW __attribute__((target("avx512f,avx512bw,avx512vl")))

// Sixteen draws at a time: the count of entries below each draw, one masked addition per entry
// (the comparisons are false for NaN entries, as Pick's).
DRIFTSIM_AVX512BW void PickAllelesAvx512(const float* cum, size_t entries, const float* u,
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
DRIFTSIM_AVX512BW void PickPackedCodesAvx512(const float* hw, const float* u, uint8_t* out,
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
// A whole byte of count records from its 4 * count draws, field after field (the four runs of
// PickPackedCodesAvx512 in one call, for the few records of the migrants).
DRIFTSIM_AVX512BW void PackedBytesOfDrawsAvx512(const float* hw, const float* u, uint8_t* out,
                                                size_t count) {
  for (size_t i = 0; i < count; i += 16) {
    const __mmask16 live = count - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (count - i)) - 1);
    __m512i byte = _mm512_setzero_si512();
    for (int f = 0; f < 4; ++f) {
      const __m512 v = _mm512_maskz_loadu_ps(live, u + size_t(f) * count + i);
      __m512i code = _mm512_set1_epi32(3);
      code = _mm512_mask_mov_epi32(code,
                                   _mm512_cmp_ps_mask(v, _mm512_set1_ps(hw[2 * f + 1]), _CMP_LE_OQ),
                                   _mm512_set1_epi32(2));
      code = _mm512_mask_mov_epi32(
          code, _mm512_cmp_ps_mask(v, _mm512_set1_ps(hw[2 * f]), _CMP_LE_OQ), _mm512_set1_epi32(1));
      byte = _mm512_or_si512(byte, _mm512_slli_epi32(code, static_cast<unsigned>(2 * f)));
    }
    _mm512_mask_cvtepi32_storeu_epi8(out + i, live, byte);
  }
}
DRIFTSIM_VECTOR_CODE_END
#endif

// Whole bytes of count records from 4 * count draws, field after field.
void PackedBytesOfDraws(const KernelTable& kernels, const float* hw, const float* u, uint8_t* out,
                        size_t count) {
#if defined(__x86_64__)
  if (kernels.row == Kernel::kAvx512) return PackedBytesOfDrawsAvx512(hw, u, out, count);
#endif
  for (int f = 0; f < 4; ++f)
    PickPackedCodes(kernels, hw + 2 * f, u + size_t(f) * count, out, count, 2 * f, f == 0);
}

}  // namespace

void PickAlleles(const KernelTable& kernels, const CumFreq& cum, const float* u, uint8_t* out,
                 size_t n) {
#if defined(__x86_64__)
  if (kernels.row == Kernel::kAvx512)
    return PickAllelesAvx512(cum.Entries(), cum.Counted(), u, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = cum.Pick(u[i]);
}

void PickPackedCodes(const KernelTable& kernels, const float* hw, const float* u, uint8_t* out,
                     size_t n, int shift, bool first) {
#if defined(__x86_64__)
  if (kernels.row == Kernel::kAvx512) return PickPackedCodesAvx512(hw, u, out, n, shift, first);
#endif
  for (size_t i = 0; i < n; ++i) {
    const uint8_t code = static_cast<uint8_t>(PickPackedCode(hw, u[i]) << shift);
    out[i] = first ? code : static_cast<uint8_t>(out[i] | code);
  }
}

void DrawSourceLoci(const KernelTable& kernels, const Params& par, const float* freq,
                    RecordSpan out, int64_t L0, int64_t L1, RngState& uniform) {
  const int64_t bytes = out.bytes;
  const int64_t count = out.count;
  uint8_t* first = out.first;
  UniformFloats draws(kernels, uniform, uint64_t(L1 - L0) * SourceDrawsPerLocus(par, count));
  // Codes or alleles of a run of draws, before they are spread over the records.
  constexpr int64_t kRun = static_cast<int64_t>(UniformFloats::kChunk);
  uint8_t stage[kRun];
  if (par.Packed()) {
    const int64_t whole = std::min<int64_t>(L1, par.NumLoci / 4 * 4) / 4;
    for (int64_t b = L0 / 4; b < whole; ++b) {
      // A few records (migrants): the byte of each composed at once from its four draws.
      if (4 * count <= kRun) {
        PackedBytesOfDraws(kernels, freq + 8 * b, draws.Take(size_t(4 * count)), stage,
                           size_t(count));
        for (int64_t j = 0; j < count; ++j) first[j * bytes + b] = stage[j];
        continue;
      }
      // Many: field after field, the first writing the byte and the others adding to it.
      for (int f = 0; f < 4; ++f) {
        for (int64_t j0 = 0; j0 < count; j0 += kRun) {
          const int64_t k = std::min(kRun, count - j0);
          PickPackedCodes(kernels, freq + 8 * b + 2 * f, draws.Take(size_t(k)), stage, size_t(k),
                          2 * f, true);
          uint8_t* byte = first + j0 * bytes + b;
          for (int64_t j = 0; j < k; ++j, byte += bytes) {
            *byte = static_cast<uint8_t>((f == 0 ? 0 : *byte) | stage[j]);
          }
        }
      }
    }
    for (int64_t L = std::max(L0, 4 * whole); L < L1; ++L) {
      for (int64_t j0 = 0; j0 < count; j0 += kRun) {
        const int64_t k = std::min(kRun, count - j0);
        PickPackedCodes(kernels, freq + 2 * L, draws.Take(size_t(k)), stage, size_t(k), 0, true);
        for (int64_t j = 0; j < k; ++j) SetPackedCode(first + (j0 + j) * bytes, L, stage[j]);
      }
    }
    return;
  }
  // Unpacked: both copies of a record are neighbouring draws and neighbouring bytes.
  const int32_t K = par.NumAllele;
  CumFreq cum(K);
  for (int64_t L = L0; L < L1; ++L) {
    cum.Build(freq + L * K);
    for (int64_t j0 = 0; j0 < count; j0 += kRun / 2) {
      const int64_t k = std::min(kRun / 2, count - j0);
      PickAlleles(kernels, cum, draws.Take(size_t(2 * k)), stage, size_t(2 * k));
      for (int64_t j = 0; j < k; ++j)
        std::memcpy(first + (j0 + j) * bytes + 2 * L, stage + 2 * j, 2);
    }
  }
}

int64_t SourceLociPerTask(const RunContext& ctx, const Params& par, int64_t records) {
  const uint64_t perLocus = std::max<uint64_t>(SourceDrawsPerLocus(par, records), 1);
  const int64_t loci = static_cast<int64_t>(ctx.tasks.draws / perLocus);
  return std::max<int64_t>(4, loci / 4 * 4);
}

void DrawSourceGenotypes(const RunContext& ctx, const Params& par, const float* freq,
                         RecordSpan out, RngState& uniform) {
  if (out.count < 1) return;
  const uint64_t perLocus = SourceDrawsPerLocus(par, out.count);
  const int64_t loci = SourceLociPerTask(ctx, par, out.count);
  const UniformSplit draws(uniform, uint64_t(par.NumLoci) * perLocus);
  ParallelFor(ctx, (par.NumLoci + loci - 1) / loci, [&](int64_t task, int) {
    const int64_t L0 = task * loci;
    RngState u = draws.At(uint64_t(L0) * perLocus);
    DrawSourceLoci(ctx.kernels, par, freq, out, L0, std::min<int64_t>(par.NumLoci, L0 + loci), u);
  });
}

}  // namespace driftsim
