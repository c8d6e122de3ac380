// Unpacked transmission: one byte per gene copy, one random bit per copy.
#include <algorithm>

#include "cpu/cpu.hpp"
#include "population/transmit.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace driftsim {

namespace {

// Unpacked offspring take, locus by locus, one bit per copy for each member in turn: with n
// members the bits of one copy of one member are every 2n-th bit of the stream. Each such
// stream comes 64 loci at a time from its own jump table, so that a whole chunk of a record is
// made at once.
class CopyBits {
 public:
  CopyBits(uint32_t seed, int n) : jump_(BitJump::For(2 * unsigned(n))), streams_(2 * n) {
    BitStream step{seed};
    for (int s = 0; s < streams_; ++s) {
      core_[s] = step.RanBitSeed;
      step.RanBit();
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
  const BitJump& jump_;
  int streams_;
  uint32_t core_[2 * kBlockSize];
};

// Copies of count loci (at most 64) of one member: bit L of m1 (m2) picks the copy that the
// first (second) parent passes at locus L.
inline void CopyChunk(const uint8_t* p1, const uint8_t* p2, uint8_t* child, uint64_t m1,
                      uint64_t m2, int count) {
  for (size_t L = 0; L < size_t(count); ++L) {
    child[2 * L] = p1[2 * L + ((m1 >> L) & 1u)];
    child[2 * L + 1] = p2[2 * L + ((m2 >> L) & 1u)];
  }
}

#if defined(__x86_64__)
// The same with AVX2, 16 loci (32 bytes) per step; CopyChunk is its portable twin. Each child
// byte takes its parent's byte or the neighbouring one (the parent's other copy): both
// candidates come from byte swaps within pairs and blends of the two parents' vectors, and the
// choice is a byte mask built from the bits. pdep interleaves the 16 bits of each parent (first
// parent's at even, second's at odd positions); a byte shuffle spreads each of the four bytes
// of that word over eight lanes, and a compare with the lane's own bit (0x01, 0x02, ... 0x80)
// turns it into a full byte mask.
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

// The same with AVX-512, 32 loci (64 bytes) per step, the last step masked so that nothing past
// the record is read or written. One byte permute of the two parents' vectors makes the child:
// byte 2L takes byte 2L (first parent's copy 1) or 2L + 1, byte 2L + 1 takes byte 64 + 2L
// (second parent's copy 1) or 64 + 2L + 1; the index is the even choice plus the locus's bit,
// added under a mask interleaved from the two words of bits by pdep.
__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"))) void CopyChunkAvx512(
    const uint8_t* p1, const uint8_t* p2, uint8_t* child, uint64_t m1, uint64_t m2, int count) {
  alignas(64) static constexpr uint8_t kBase[64] = {
      0,  64,  2,  66,  4,  68,  6,  70,  8,  72,  10, 74,  12, 76,  14, 78,
      16, 80,  18, 82,  20, 84,  22, 86,  24, 88,  26, 90,  28, 92,  30, 94,
      32, 96,  34, 98,  36, 100, 38, 102, 40, 104, 42, 106, 44, 108, 46, 110,
      48, 112, 50, 114, 52, 116, 54, 118, 56, 120, 58, 122, 60, 124, 62, 126};
  const __m512i base = _mm512_load_si512(kBase);
  const __m512i one = _mm512_set1_epi8(1);
  for (int L = 0; L < count; L += 32) {
    const uint64_t sel = _pdep_u64((m1 >> L) & 0xFFFFFFFFu, 0x5555555555555555ull) |
                         _pdep_u64((m2 >> L) & 0xFFFFFFFFu, 0xAAAAAAAAAAAAAAAAull);
    const int n = count - L < 32 ? count - L : 32;
    const __mmask64 live = n == 32 ? ~__mmask64{0} : (__mmask64{1} << (2 * n)) - 1;
    const __m512i v1 = _mm512_maskz_loadu_epi8(live, p1 + 2 * L);
    const __m512i v2 = _mm512_maskz_loadu_epi8(live, p2 + 2 * L);
    const __m512i idx = _mm512_mask_add_epi8(base, sel, base, one);
    _mm512_mask_storeu_epi8(child + 2 * L, live, _mm512_permutex2var_epi8(v1, idx, v2));
  }
}
#endif

// Loci of one member made before the next member's: long runs of each record keep the thirty
// records of a block streaming well.
constexpr int64_t kRunChunks = 256;

// Unpacked loci of a family with the chunk copier Copy: the bits of kRunChunks chunks of 64
// loci for every member first, then each member's run of loci.
template <void (*Copy)(const uint8_t*, const uint8_t*, uint8_t*, uint64_t, uint64_t, int)>
void CopyLoci(const Family& fam, int64_t NumLoci, CopyBits& bits) {
  uint64_t masks[kRunChunks][2 * kBlockSize];
  for (int64_t L0 = 0; L0 < NumLoci; L0 += 64 * kRunChunks) {
    const int64_t L1 = std::min(NumLoci, L0 + 64 * kRunChunks);
    const int64_t chunks = (L1 - L0 + 63) / 64;
    for (int64_t c = 0; c < chunks; ++c) bits.Next(masks[c]);
    for (int i = 0; i < fam.n; ++i) {
      for (int64_t c = 0, L = L0; c < chunks; ++c, L += 64) {
        Copy(fam.p1[i] + 2 * L, fam.p2[i] + 2 * L, fam.child[i] + 2 * L, masks[c][2 * i],
             masks[c][2 * i + 1], static_cast<int>(std::min<int64_t>(64, L1 - L)));
      }
    }
  }
}

__attribute__((flatten)) void CopyLociPortable(const Family& fam, int64_t NumLoci, CopyBits& bits) {
  CopyLoci<CopyChunk>(fam, NumLoci, bits);
}

#if defined(__x86_64__)
// flatten: the chunk copier and the loop are compiled into this one vector function.
__attribute__((target("avx2,bmi2"), flatten)) void CopyLociAvx2(const Family& fam, int64_t NumLoci,
                                                                CopyBits& bits) {
  CopyLoci<CopyChunkAvx2>(fam, NumLoci, bits);
}
__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"), flatten)) void CopyLociAvx512(
    const Family& fam, int64_t NumLoci, CopyBits& bits) {
  CopyLoci<CopyChunkAvx512>(fam, NumLoci, bits);
}
#endif

}  // namespace

// Unpacked: for each locus, for each member, copy 1 from the first parent and copy 2 from the
// second, each chosen by one bit.
void TransmitUnpacked(const KernelTable& kernels, const Family& fam, int64_t NumLoci,
                      BitStream& stream) {
  CopyBits bits(stream.RanBitSeed, fam.n);
#if defined(__x86_64__)
  if (kernels.row == Kernel::kAvx512) {
    CopyLociAvx512(fam, NumLoci, bits);
  } else if (kernels.row == Kernel::kAvx2) {
    CopyLociAvx2(fam, NumLoci, bits);
  } else {
    CopyLociPortable(fam, NumLoci, bits);
  }
#else
  CopyLociPortable(fam, NumLoci, bits);
#endif
  stream.Advance(uint64_t(2 * fam.n) * uint64_t(NumLoci));
}

}  // namespace driftsim
