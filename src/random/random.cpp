#include "random/random.hpp"

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <type_traits>

#include "cpu/cpu.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace driftsim {

void RngState::Initialise() {
  // abs(IDUM) in unsigned arithmetic, so that the most negative seed wraps instead of trapping.
  const uint32_t a = IDUM < 0 ? 0u - static_cast<uint32_t>(IDUM) : static_cast<uint32_t>(IDUM);
  UnitScale = kUnitScale;
  MulWord = static_cast<int32_t>((a ^ 888889999u) | 1u);
  XorWord = a ^ 777755555u;
  IDUM = static_cast<int32_t>(a + 1u);
}

namespace {

// One xorshift step of the uniform generator.
uint32_t XorStep(uint32_t x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

// The xorshift steps are linear over GF(2): 2^j steps are a 32 x 32 bit matrix, held as the
// images of the 32 unit vectors, for j = 0..63.
struct XorJumps {
  uint32_t column[64][32];

  static uint32_t Apply(const uint32_t (&m)[32], uint32_t x) {
    uint32_t y = 0;
    for (int c = 0; c < 32; ++c) y ^= (0u - ((x >> c) & 1u)) & m[c];
    return y;
  }
};

const XorJumps& Jumps() {
  static const XorJumps jumps = [] {
    XorJumps j{};
    for (int c = 0; c < 32; ++c) j.column[0][c] = XorStep(1u << c);
    for (int k = 1; k < 64; ++k) {
      for (int c = 0; c < 32; ++c)
        j.column[k][c] = XorJumps::Apply(j.column[k - 1], j.column[k - 1][c]);
    }
    return j;
  }();
  return jumps;
}

// 16807^n mod 2^31-1.
uint64_t MulPower(uint64_t n) {
  constexpr uint64_t m = 2147483647;
  uint64_t result = 1, base = 16807;
  for (n %= m - 1; n > 0; n >>= 1) {
    if (n & 1) result = result * base % m;
    base = base * base % m;
  }
  return result;
}

}  // namespace

void RngState::Skip(uint64_t n) {
  if (n == 0) return;
  if (IDUM <= 0 || MulWord < 0) Initialise();
  const XorJumps& jumps = Jumps();
  uint32_t x = XorWord;
  for (int k = 0; k < 64; ++k) {
    if ((n >> k) & 1u) x = XorJumps::Apply(jumps.column[k], x);
  }
  XorWord = x;
  MulWord =
      static_cast<int32_t>(static_cast<uint64_t>(MulWord) % 2147483647 * MulPower(n) % 2147483647);
}

double LnGamma(double x) {
  double s = x + 5.5;
  s = (x + 0.5) * std::log(s) - s;
  const double ser = 1.000000000190015 + 76.18009172947146 / (x + 1) - 86.50532032941678 / (x + 2) +
                     24.01409824083091 / (x + 3) - 1.231739572450155 / (x + 4) +
                     0.001208650973866179 / (x + 5) - 0.000005395239384953 / (x + 6);
  return s + std::log(2.5066282746310005 * ser / x);
}

double LogGammaDev(double shape, RngState& uniform) {
  const double b = shape < 1.0 ? shape + 1.0 : shape;
  const double d = b - 1.0 / 3.0;
  const double c = 1.0 / std::sqrt(9.0 * d);
  constexpr double kTwoPi = 6.283185307179586;
  double logDev;
  for (;;) {
    const double u1 = uniform.RanUniform();
    const double u2 = uniform.RanUniform();
    const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
    double v = 1.0 + c * z;
    if (v <= 0.0) continue;
    v = v * v * v;
    const double u3 = uniform.RanUniform();
    if (std::log(u3) < 0.5 * z * z + d - d * v + d * std::log(v)) {
      logDev = std::log(d * v);
      break;
    }
  }
  if (shape < 1.0) logDev += std::log(uniform.RanUniform()) / shape;
  return logDev;
}

namespace {

uint32_t Step(uint32_t s) {
  const uint32_t bit = (s >> 17) & 1u;
  return bit ? ((s ^ 0x13u) << 1) | 1u : s << 1;
}

// Strides with a table, each built on first use.
constexpr unsigned kMaxStride = 64;

}  // namespace

BitJump::BitJump(unsigned stride) : stride_(stride) {
  // Linearity: the entry for a chunk value is the result of a register holding only that chunk.
  for (int c = 0; c < 3; ++c) {
    for (uint32_t v = 0; v < 64; ++v) {
      uint32_t s = v << (6 * c);
      uint64_t out = 0;
      for (int i = 0; i < 64; ++i) {
        out |= uint64_t{(s >> 17) & 1u} << i;
        for (unsigned k = 0; k < stride; ++k) s = Step(s);
      }
      bits_[c][v] = out;
      state_[c][v] = s;
    }
  }
}

const BitJump& BitJump::For(unsigned stride) {
  static const BitJump* tables[kMaxStride + 1] = {};
  static std::once_flag once[kMaxStride + 1];
  if (stride == 0 || stride > kMaxStride) std::abort();
  std::call_once(once[stride], [stride] { tables[stride] = new BitJump(stride); });
  return *tables[stride];
}

uint32_t AdvanceBits(uint32_t seed, uint64_t n) {
  // Past the 14 steps that shift the high bits out, the state repeats with the period of the
  // low 18 bits.
  constexpr uint64_t kFlush = 14;
  if (n >= kFlush + BitCycle::kPeriod) n = kFlush + (n - kFlush) % BitCycle::kPeriod;
  // Long jumps of 64*64 draws, then 64 at a time, then single steps.
  static const BitJump& far = BitJump::For(kMaxStride);
  for (; n >= 64 * kMaxStride; n -= 64 * kMaxStride) seed = far(seed).state;
  for (; n >= 64; n -= 64) seed = JumpBits64(seed).state;
  for (; n > 0; --n) seed = Step(seed);
  return seed;
}

namespace {

struct CycleTables {
  alignas(64) unsigned char bits[BitCycle::kBytes];
  alignas(64) unsigned char zeros[BitCycle::kBytes];
  uint32_t position[BitCycle::kPeriod + 1];  // by low 18 bits of a state
};

const CycleTables& Cycle() {
  static const CycleTables* const tables = [] {
    auto* t = new CycleTables{};
    constexpr uint32_t kLow = BitCycle::kPeriod;  // mask of the low 18 bits
    uint32_t s = 1;
    for (uint32_t p = 0; p < BitCycle::kPeriod; ++p) {
      Check(p == 0 || s != 1, "the bit register's cycle is 2^18 - 1 long");
      t->position[s] = p;
      t->bits[p >> 3] = static_cast<unsigned char>(t->bits[p >> 3] | ((s >> 17) & 1u) << (p & 7));
      s = Step(s) & kLow;
    }
    Check(s == 1, "the bit register's cycle is 2^18 - 1 long");
    for (uint32_t p = BitCycle::kPeriod; p < 8 * BitCycle::kBytes; ++p) {
      const uint32_t q = p - BitCycle::kPeriod;
      const unsigned bit = (t->bits[q >> 3] >> (q & 7)) & 1u;
      t->bits[p >> 3] = static_cast<unsigned char>(t->bits[p >> 3] | bit << (p & 7));
    }
    return t;
  }();
  return *tables;
}

}  // namespace

BitCycle::Stream BitCycle::From(uint32_t seed) {
  const CycleTables& t = Cycle();
  const uint32_t low = seed & kPeriod;
  if (low == 0) return {t.zeros, 0};
  return {t.bits, t.position[low]};
}

template <typename T>
void RanUniformBatchPortable(RngState& s, T* out, size_t n) {
  RngState u = s;
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<T>(u.RanUniform());
  s = u;
}

#if defined(__x86_64__)
DRIFTSIM_VECTOR_CODE_BEGIN
namespace {

constexpr uint64_t kModulus = 2147483647;

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

// Eight (sixteen) xorshift steps at once, as the GF(2) matrix of those steps applied to a word
// a few bits at a time: the image of bits kBits*k.. of every lane is looked up in a table of
// 2^kBits entries by the vector permute, which takes its index from the low bits of each lane.
// Independent lookups instead of a chain of dependent shift-and-xor steps.
template <int kBits>
struct ChunkTables {
  static constexpr int kChunks = (32 + kBits - 1) / kBits;
  alignas(64) uint32_t image[kChunks][1 << kBits];
};

// The tables of the jump column of 2^column steps, in chunks of kBits.
template <int kBits>
const ChunkTables<kBits>& StepTables(int column) {
  static const ChunkTables<kBits> tables = [column] {
    ChunkTables<kBits> t{};
    const auto& steps = Jumps().column[column];
    for (int k = 0; k < ChunkTables<kBits>::kChunks; ++k) {
      for (uint32_t v = 0; v < (1u << kBits); ++v) {
        t.image[k][v] = XorJumps::Apply(steps, v << (kBits * k));
      }
    }
    return t;
  }();
  return tables;
}
// AVX2: eight steps by 3-bit chunks (vpermd); AVX-512: sixteen by nibbles.
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

const ChunkTables<4>& Step16Tables() {
  return StepTables<4>(4);
}

#define DRIFTSIM_AVX512F __attribute__((target("avx512f")))

// (w * a) mod 2^31-1 in each 64-bit lane, as MulMod.
DRIFTSIM_AVX512F inline __m512i MulMod512(__m512i w, __m512i a) {
  const __m512i m = _mm512_set1_epi64(kModulus);
  const __m512i p = _mm512_mul_epu32(w, a);
  const __m512i r = _mm512_add_epi64(_mm512_and_si512(p, m), _mm512_srli_epi64(p, 31));
  return _mm512_mask_sub_epi64(r, _mm512_cmpge_epu64_mask(r, m), r, m);
}

// Sixteen lanes: lane j holds the state of draw i+j and steps sixteen draws per round, the
// xorshift word by the nibble tables (no chain of single steps), the multiplicative word by
// 16807^16 mod 2^31-1. UniformLanes8 is the eight-lane form.
template <typename T>
DRIFTSIM_AVX512F void UniformLanes16(RngState& s, T* out, size_t n) {
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
DRIFTSIM_VECTOR_CODE_END
#endif

#if defined(__x86_64__)
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

template <typename T>
void RanUniformBatchAvx512(RngState& s, T* out, size_t n) {
  if (n >= 16) {
    if (s.IDUM <= 0 || s.MulWord < 0) {
      *out++ = static_cast<T>(s.RanUniform());
      --n;
    }
    if (s.IDUM > 0 && n >= 32) return UniformLanes16(s, out, n);
    if (s.IDUM > 0 && n >= 16) return UniformLanes8(s, out, n);
  }
  RanUniformBatchPortable(s, out, n);
}

template void RanUniformBatchAvx2<float>(RngState&, float*, size_t);
template void RanUniformBatchAvx2<double>(RngState&, double*, size_t);
template void RanUniformBatchAvx512<float>(RngState&, float*, size_t);
template void RanUniformBatchAvx512<double>(RngState&, double*, size_t);
#endif

template void RanUniformBatchPortable<float>(RngState&, float*, size_t);
template void RanUniformBatchPortable<double>(RngState&, double*, size_t);

}  // namespace driftsim
