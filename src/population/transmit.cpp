#include "population/transmit.hpp"

#include <algorithm>
#include <array>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace driftsim {

void BuildCumFreq(const float* freq, int32_t NumAllele, float* cum) {
  cum[0] = freq[0];
  for (int32_t k = 1; k < NumAllele - 1; ++k) cum[k] = cum[k - 1] + freq[k];
  cum[NumAllele - 1] = 1.1f;
}

void DrawSourceGenotypes(SimState& sim, uint8_t* first, int64_t count) {
  const Params& par = sim.par;
  const int64_t bytes = sim.tab.GenoBytes;
  const float* freq = sim.tab.AlleleFreq.get();
  const int64_t copies = sim.tab.Packed ? 1 : 2;
  UniformFloats u(sim.rnd.Uniform, uint64_t(par.NumLoci) * uint64_t(count * copies));
  if (sim.tab.Packed) {
    for (int64_t L = 0; L < par.NumLoci; ++L) {
      const float* hw = freq + 2 * L;
      for (int64_t j = 0; j < count; ++j) SetCode(first + j * bytes, L, PickCode(hw, u.Next()));
    }
    return;
  }
  const int32_t K = par.NumAllele;
  std::vector<float> cum(static_cast<size_t>(K));
  for (int64_t L = 0; L < par.NumLoci; ++L) {
    BuildCumFreq(freq + L * K, K, cum.data());
    for (int64_t j = 0; j < count; ++j) {
      uint8_t* g = first + j * bytes + 2 * L;
      g[0] = PickAllele(cum.data(), K, u.Next());
      g[1] = PickAllele(cum.data(), K, u.Next());
    }
  }
}

void DrawParents(SimState& sim, int b, Family& fam) {
  const int32_t Ne = sim.par.Ne;
  for (int i = 0; i < fam.n; ++i) {
    fam.p1[i] = sim.tab.Focal(b, DrawIndex(sim.rnd.RanUniform(), Ne) - 1);
    fam.p2[i] = sim.tab.Focal(b, DrawIndex(sim.rnd.RanUniform(), Ne) - 1);
  }
}

namespace {

// For a parent byte x and the next four random bits r: the four transmitted alleles as a mask
// (bit f set when allele 2 passes at field f) in bits 0-3, and the bits used in bits 4-6. A
// heterozygous field takes the next unused bit; homozygous fields take none.
constexpr std::array<uint8_t, 256 * 16> MakeTransmitTable() {
  std::array<uint8_t, 256 * 16> t{};
  for (unsigned x = 0; x < 256; ++x) {
    for (unsigned r = 0; r < 16; ++r) {
      unsigned mask = 0, used = 0;
      for (unsigned f = 0; f < 4; ++f) {
        const unsigned code = (x >> (2 * f)) & 3u;
        const unsigned allele2 = code == 3 ? (r >> used++) & 1u : code == 2;
        mask |= allele2 << f;
      }
      t[x * 16 + r] = static_cast<uint8_t>(mask | used << 4);
    }
  }
  return t;
}

// Child byte from the allele masks of the first parent (bits 0-3) and the second (bits 4-7):
// the common allele's homozygote where they agree, the heterozygote elsewhere.
constexpr std::array<uint8_t, 256> MakeCombineTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned byte = 0;
    for (unsigned f = 0; f < 4; ++f) {
      const unsigned a1 = (m >> f) & 1u, a2 = (m >> (4 + f)) & 1u;
      byte |= (a1 == a2 ? 1 + a1 : 3u) << (2 * f);
    }
    t[m] = static_cast<uint8_t>(byte);
  }
  return t;
}

constexpr auto kTransmit = MakeTransmitTable();
constexpr auto kCombine = MakeCombineTable();

// Bits used per parent byte: one for each heterozygous field. Kept apart from the transmit
// table so that the position in the bit stream never waits for a table lookup.
constexpr std::array<uint8_t, 256> MakeHetCountTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned x = 0; x < 256; ++x) t[x] = static_cast<uint8_t>(kTransmit[x * 16] >> 4);
  return t;
}
constexpr auto kHetCount = MakeHetCountTable();

// Allele (1 or 2) passed by a parent with the given code; a bit only for the heterozygote.
inline uint32_t PassAllele(uint32_t code, BitReader& bits) {
  return code == 3 ? 1 + bits.Bit() : code;
}

// Packed, loci [L0, L1) field by field: first parent's allele, second parent's, child's code.
void TransmitFields(const Family& fam, int64_t L0, int64_t L1, BitReader& bits) {
  for (int64_t L = L0; L < L1; ++L) {
    for (int i = 0; i < fam.n; ++i) {
      const uint32_t a1 = PassAllele(GetCode(fam.p1[i], L), bits);
      const uint32_t a2 = PassAllele(GetCode(fam.p2[i], L), bits);
      SetCode(fam.child[i], L, a1 == a2 ? a1 : 3u);
    }
  }
}

// Packed, whole bytes [0, nbytes): per member the first parent's four alleles in locus order,
// then the second parent's, then the child's byte written whole. A byte takes one bit per
// heterozygous parental field, so the bits come from a buffer at a running position.
void TransmitBytes(const Family& fam, int64_t nbytes, BitStream& stream) {
  // Bytes between two checks of the buffer; each member takes at most eight bits per byte.
  constexpr int64_t kChunk = 256;
  static_assert(kChunk * 8 * kBlockSize <= BitBuffer::kMaxAhead);
  // Local copies: the byte stores below could otherwise alias the family's pointers.
  const int n = fam.n;
  const uint8_t* p1[kBlockSize];
  const uint8_t* p2[kBlockSize];
  uint8_t* child[kBlockSize];
  std::copy(fam.p1, fam.p1 + n, p1);
  std::copy(fam.p2, fam.p2 + n, p2);
  std::copy(fam.child, fam.child + n, child);
  BitBuffer bits(stream);
  uint64_t pos = 0;
  for (int64_t b0 = 0; b0 < nbytes; b0 += kChunk) {
    const int64_t b1 = std::min(nbytes, b0 + kChunk);
    bits.Prepare(pos, uint64_t(b1 - b0) * 8 * uint64_t(n));
    for (int i = 0; i < n; ++i) {
      // Thirty records are read and written in step: fetch the next chunk early.
      __builtin_prefetch(p1[i] + b1 + kChunk / 2);
      __builtin_prefetch(p2[i] + b1 + kChunk / 2);
      __builtin_prefetch(child[i] + b1 + kChunk / 2, 1);
    }
    for (int64_t b = b0; b < b1; ++b) {
      for (int i = 0; i < n; ++i) {
        const uint32_t x1 = p1[i][b], x2 = p2[i][b];
        const uint32_t h1 = kHetCount[x1];
        const uint64_t w = bits.Load(pos);
        pos += h1 + kHetCount[x2];
        const uint32_t m1 = kTransmit[x1 * 16u + (w & 15u)];
        const uint32_t m2 = kTransmit[x2 * 16u + ((w >> h1) & 15u)];
        child[i][b] = kCombine[(m1 & 15u) | (m2 & 15u) << 4];
      }
    }
  }
  bits.SetTaken(pos);
}

// Unpacked offspring take, locus by locus, one bit per copy for each member in turn: with n
// members the bits of one copy of one member are every 2n-th bit of the stream. Each such
// stream comes 64 loci at a time from its own jump table, so that a whole chunk of a record is
// made at once.
class CopyBits {
 public:
  CopyBits(uint32_t seed, int n) : jump_(BitJump::For(2 * unsigned(n))), streams_(2 * n) {
    for (int s = 0; s < streams_; ++s) {
      core_[s] = seed;
      seed = JumpBitsStep(seed);
    }
  }
  // Bit L: the copy that stream s takes at locus L of the next 64.
  void Next(uint64_t* masks) {
    for (int s = 0; s < streams_; ++s) {
      const BitJump::Result r = jump_(core_[s]);
      masks[s] = r.bits;
      core_[s] = r.state;
    }
  }

 private:
  static uint32_t JumpBitsStep(uint32_t s) { return AdvanceBits(s, 1); }
  const BitJump& jump_;
  int streams_;
  uint32_t core_[2 * kBlockSize];
};

// Copies of count loci (at most 64) of one member: bit L of m1 (m2) picks the copy that the
// first (second) parent passes at locus L.
inline void CopyChunk(const uint8_t* p1, const uint8_t* p2, uint8_t* child, uint64_t m1,
                      uint64_t m2, int count) {
  for (int L = 0; L < count; ++L) {
    child[2 * L] = p1[2 * L + ((m1 >> L) & 1u)];
    child[2 * L + 1] = p2[2 * L + ((m2 >> L) & 1u)];
  }
}

#if defined(__x86_64__)
// The same with AVX2, 16 loci (32 bytes) per step: each byte takes its parent's byte or the
// neighbouring one (the parent's other copy), chosen by a byte mask spread from the bits.
__attribute__((target("avx2,bmi2"))) void CopyChunkAvx2(const uint8_t* p1, const uint8_t* p2,
                                                        uint8_t* child, uint64_t m1, uint64_t m2,
                                                        int count) {
  const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0,
                                        3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  const __m256i odd = _mm256_set1_epi16(static_cast<int16_t>(0xFF00));
  const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2,
                                          2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
  const __m256i bit = _mm256_set1_epi64x(static_cast<int64_t>(0x8040201008040201ull));
  int L = 0;
  for (; L + 16 <= count; L += 16) {
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p1 + 2 * L));
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p2 + 2 * L));
    // Even bytes (copy 1) come from the first parent, odd bytes from the second; a set bit
    // takes the other copy of the same locus.
    const __m256i keep = _mm256_blendv_epi8(v1, _mm256_shuffle_epi8(v2, swap), odd);
    const __m256i other = _mm256_blendv_epi8(_mm256_shuffle_epi8(v1, swap), v2, odd);
    const uint32_t sel = static_cast<uint32_t>(_pdep_u64((m1 >> L) & 0xFFFF, 0x55555555u) |
                                               _pdep_u64((m2 >> L) & 0xFFFF, 0xAAAAAAAAu));
    __m256i mask = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int32_t>(sel)), spread);
    mask = _mm256_cmpeq_epi8(_mm256_and_si256(mask, bit), bit);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(child + 2 * L),
                        _mm256_blendv_epi8(keep, other, mask));
  }
  if (L < count) CopyChunk(p1 + 2 * L, p2 + 2 * L, child + 2 * L, m1 >> L, m2 >> L, count - L);
}
#endif

// Bytes ahead of the current chunk that the parents' records are fetched.
constexpr int64_t kPrefetchAhead = 1024;

// Unpacked loci of a family, 64 at a time, with the chunk copier Copy.
template <void (*Copy)(const uint8_t*, const uint8_t*, uint8_t*, uint64_t, uint64_t, int)>
void CopyLoci(const Family& fam, int64_t NumLoci, CopyBits& bits) {
  uint64_t masks[2 * kBlockSize];
  for (int64_t L = 0; L < NumLoci; L += 64) {
    const int count = static_cast<int>(std::min<int64_t>(64, NumLoci - L));
    bits.Next(masks);
    for (int i = 0; i < fam.n; ++i) {
      // Thirty records are streamed in step, too many for the hardware to follow: fetch the
      // parents' bytes a few chunks ahead.
      for (int line = 0; line < 128; line += 64) {
        __builtin_prefetch(fam.p1[i] + 2 * L + kPrefetchAhead + line);
        __builtin_prefetch(fam.p2[i] + 2 * L + kPrefetchAhead + line);
      }
      Copy(fam.p1[i] + 2 * L, fam.p2[i] + 2 * L, fam.child[i] + 2 * L, masks[2 * i],
           masks[2 * i + 1], count);
    }
  }
}

__attribute__((flatten)) void CopyLociPortable(const Family& fam, int64_t NumLoci, CopyBits& bits) {
  CopyLoci<CopyChunk>(fam, NumLoci, bits);
}

#if defined(__x86_64__)
// flatten: the chunk copier and the loop are compiled into this one AVX2 function.
__attribute__((target("avx2,bmi2"), flatten)) void CopyLociAvx2(const Family& fam, int64_t NumLoci,
                                                                CopyBits& bits) {
  CopyLoci<CopyChunkAvx2>(fam, NumLoci, bits);
}
#endif

// Unpacked: for each locus, for each member, copy 1 from the first parent and copy 2 from the
// second, each chosen by one bit.
void TransmitUnpacked(const Family& fam, int64_t NumLoci, BitStream& stream) {
  CopyBits bits(stream.RanBitSeed, fam.n);
#if defined(__x86_64__)
  if (ActiveKernel() == Kernel::kAvx2) {
    CopyLociAvx2(fam, NumLoci, bits);
  } else {
    CopyLociPortable(fam, NumLoci, bits);
  }
#else
  CopyLociPortable(fam, NumLoci, bits);
#endif
  stream.RanBitSeed = AdvanceBits(stream.RanBitSeed, uint64_t(2 * fam.n) * uint64_t(NumLoci));
}

}  // namespace

Kernel& KernelSetting() {
  static Kernel k = BestKernel();
  return k;
}

Kernel BestKernel() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2")) return Kernel::kAvx2;
#endif
  return Kernel::kPortable;
}

void TransmitBlock(const SimState& sim, const Family& fam, BitStream& stream) {
  const int64_t NumLoci = sim.par.NumLoci;
  if (!sim.tab.Packed) return TransmitUnpacked(fam, NumLoci, stream);
  const int64_t whole = NumLoci / 4;
  TransmitBytes(fam, whole, stream);
  BitReader bits(stream);
  TransmitFields(fam, 4 * whole, NumLoci, bits);
}

void TransmitSingle(const SimState& sim, const Family& fam, BitStream& stream) {
  if (!sim.tab.Packed) return TransmitUnpacked(fam, sim.par.NumLoci, stream);
  BitReader bits(stream);
  TransmitFields(fam, 0, sim.par.NumLoci, bits);
}

}  // namespace driftsim
