#include "population/alleles.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "population/context.hpp"

namespace driftsim {

void PickAlleles(const KernelTable& kernels, const CumFreq& cum, const float* u, uint8_t* out,
                 size_t n) {
  kernels.pickAlleles(cum.Entries(), cum.Counted(), u, out, n);
}

void PickPackedCodes(const KernelTable& kernels, const float* hw, const float* u, uint8_t* out,
                     size_t n, int shift, bool first) {
  kernels.pickPackedCodes(hw, u, out, n, shift, first);
}

void PickAllelesPortable(const float* cum, size_t entries, const float* u, uint8_t* out, size_t n) {
  // The table's padded length: the last entry (1.1) and the padding are never below a draw.
  const size_t padded = (entries + 4) / 4 * 4;
  for (size_t i = 0; i < n; ++i) out[i] = CumFreq::PickFrom(cum, padded, u[i]);
}

void PickPackedCodesPortable(const float* hw, const float* u, uint8_t* out, size_t n, int shift,
                             bool first) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t code = static_cast<uint8_t>(PickPackedCode(hw, u[i]) << shift);
    out[i] = first ? code : static_cast<uint8_t>(out[i] | code);
  }
}

void PackedRecordsOfDrawsPortable(const float* hw, const float* u, uint8_t* first, int64_t stride,
                                  size_t count, size_t nbytes) {
  for (size_t j = 0; j < count; ++j) {
    uint8_t* out = first + int64_t(j) * stride;
    for (size_t k = 0; k < nbytes; ++k) {
      const float* v = u + 4 * count * k + j;
      uint32_t byte = 0;
      for (size_t f = 0; f < 4; ++f)
        byte |= PickPackedCode(hw + 8 * k + 2 * f, v[f * count]) << 2 * f;
      out[k] = static_cast<uint8_t>(byte);
    }
  }
}

void DrawSourceLoci(const KernelTable& kernels, const Geometry& geo, const float* freq,
                    RecordSpan out, int64_t L0, int64_t L1, RngState& uniform) {
  const int64_t bytes = out.bytes;
  const int64_t count = out.count;
  uint8_t* first = out.first;
  UniformFloats draws(kernels.uniform, uniform,
                      uint64_t(L1 - L0) * SourceDrawsPerLocus(geo, count));
  // Codes or alleles of a run of draws, before they are spread over the records.
  constexpr int64_t kRun = static_cast<int64_t>(UniformFloats::kChunk);
  uint8_t stage[kRun];
  if (geo.Packed()) {
    const int64_t whole = std::min<int64_t>(L1, geo.NumLoci / 4 * 4) / 4;
    // A few records (migrants): the bytes of a run of loci of each record at once, each byte
    // from its four draws.
    const int64_t run = kRun / std::max<int64_t>(4 * count, 1);
    for (int64_t b = L0 / 4; run > 0 && b < whole; b += run) {
      const int64_t k = std::min(run, whole - b);
      kernels.packedRecordsOfDraws(freq + 8 * b, draws.Take(size_t(4 * count * k)), first + b,
                                   bytes, size_t(count), size_t(k));
    }
    // Many (the initial population): field after field, the first writing the byte and the
    // others adding to it, into a tile of up to 64 bytes of every record, written out record by
    // record: the records lie a whole record apart, and byte by byte each store would reach
    // another page.
    const int64_t span = std::clamp<int64_t>(whole - L0 / 4, 0, 64);
    const std::unique_ptr<uint8_t[]> tile(run == 0 ? new uint8_t[size_t(count * span)] : nullptr);
    for (int64_t t0 = L0 / 4; run == 0 && t0 < whole; t0 += span) {
      const int64_t nb = std::min(span, whole - t0);
      for (int64_t b = t0; b < t0 + nb; ++b) {
        for (int f = 0; f < 4; ++f) {
          for (int64_t j0 = 0; j0 < count; j0 += kRun) {
            const int64_t k = std::min(kRun, count - j0);
            PickPackedCodes(kernels, freq + 8 * b + 2 * f, draws.Take(size_t(k)), stage, size_t(k),
                            2 * f, true);
            uint8_t* byte = tile.get() + j0 * span + (b - t0);
            for (int64_t j = 0; j < k; ++j, byte += span) {
              *byte = static_cast<uint8_t>((f == 0 ? 0 : *byte) | stage[j]);
            }
          }
        }
      }
      for (int64_t j = 0; j < count; ++j) {
        std::memcpy(first + j * bytes + t0, tile.get() + j * span, size_t(nb));
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
  const int32_t K = geo.NumAllele;
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

int64_t SourceLociPerTask(const RunContext& ctx, const Geometry& geo, int64_t records) {
  const uint64_t perLocus = std::max<uint64_t>(SourceDrawsPerLocus(geo, records), 1);
  const int64_t loci = static_cast<int64_t>(ctx.tasks.draws / perLocus);
  return std::max<int64_t>(4, loci / 4 * 4);
}

void DrawSourceGenotypes(const RunContext& ctx, const Geometry& geo, const float* freq,
                         RecordSpan out, RngState& uniform) {
  if (out.count < 1) return;
  const uint64_t perLocus = SourceDrawsPerLocus(geo, out.count);
  const int64_t loci = SourceLociPerTask(ctx, geo, out.count);
  const UniformSplit draws(uniform, uint64_t(geo.NumLoci) * perLocus);
  ParallelFor(ctx, (geo.NumLoci + loci - 1) / loci, [&](int64_t task, int) {
    const int64_t L0 = task * loci;
    RngState u = draws.At(uint64_t(L0) * perLocus);
    DrawSourceLoci(ctx.kernels, geo, freq, out, L0, std::min<int64_t>(geo.NumLoci, L0 + loci), u);
  });
}

}  // namespace driftsim
