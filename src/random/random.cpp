#include "random/random.hpp"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "random/jumps.hpp"

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

}  // namespace

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

uint64_t MulPower(uint64_t n) {
  constexpr uint64_t m = 2147483647;
  uint64_t result = 1, base = 16807;
  for (n %= m - 1; n > 0; n >>= 1) {
    if (n & 1) result = result * base % m;
    base = base * base % m;
  }
  return result;
}

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

const unsigned char* BitCycle::Octets(const unsigned char* bytes) {
  constexpr size_t kCount = kPeriod + kSpan;
  if (bytes == Cycle().zeros) {
    static const unsigned char zeros[kCount] = {};
    return zeros;
  }
  Check(bytes == Cycle().bits, "octets of the bit table");
  static const unsigned char* const octets = [] {
    auto* t = new unsigned char[kCount];
    for (size_t p = 0; p < kCount; ++p) t[p] = static_cast<unsigned char>(Load(Cycle().bits, p));
    return t;
  }();
  return octets;
}

BitCycle::Stream BitCycle::From(uint32_t seed) {
  const CycleTables& t = Cycle();
  const uint32_t low = seed & kPeriod;
  if (low == 0) return {t.zeros, 0};
  return {t.bits, t.position[low]};
}

namespace {

// Lanes of the portable batches, and the shortest stretch of draws a lane takes (the lanes'
// start costs a few hundred instructions).
constexpr size_t kLanes = 8;
constexpr size_t kMinStretch = 64;

// a * b mod 2^31-1 for a, b < 2^31, by folding as MinStdStep (2^31 = 1 mod 2^31-1).
uint32_t MulMod31(uint64_t a, uint64_t b) {
  uint64_t r = a * b;
  r = (r & kModulus) + (r >> 31);
  r = (r & kModulus) + (r >> 31);
  return static_cast<uint32_t>(r >= kModulus ? r - kModulus : r);
}

}  // namespace

// Single draws form two dependent chains (the xorshift word and the multiplicative word), each a
// few cycles per draw. Here eight lanes each draw their own stretch of the batch, a power of two
// long so that a lane starts from the one before it by one jump matrix and one power of 16807;
// the lanes' steps are independent, in plain loops over the lanes that the compiler can turn
// into vector code. Stretches halve until the rest is short; the rest goes one by one.
template <typename T>
void RanUniformBatchPortable(RngState& s, T* out, size_t n) {
  RngState u = s;
  if (n > 0 && (u.IDUM <= 0 || u.MulWord < 0)) {
    *out++ = static_cast<T>(u.RanUniform());
    --n;
  }
  while (n >= kLanes * kMinStretch) {
    const size_t len = std::bit_floor(n / kLanes);
    const int column = std::countr_zero(len);
    const auto& jump = Jumps().column[column];
    uint32_t power = 16807;  // 16807^len by squaring
    for (int c = 0; c < column; ++c) power = MulMod31(power, power);
    uint32_t x[kLanes], w[kLanes];
    x[0] = u.XorWord;
    w[0] = static_cast<uint32_t>(u.MulWord);
    for (size_t l = 1; l < kLanes; ++l) {
      x[l] = XorJumps::Apply(jump, x[l - 1]);
      w[l] = MulMod31(w[l - 1], power);
    }
    for (size_t t = 0; t < len; ++t) {
      for (size_t l = 0; l < kLanes; ++l) {
        uint32_t y = x[l];
        y ^= y << 13;
        y ^= y >> 17;
        y ^= y << 5;
        x[l] = y;
        // MinStdStep in 32 bits: the folded product is below 2^31 + 2^15.
        const uint64_t p = 16807u * uint64_t{w[l]};
        uint32_t r = static_cast<uint32_t>(p & 0x7FFFFFFFu) + static_cast<uint32_t>(p >> 31);
        r -= r >= 0x7FFFFFFFu ? 0x7FFFFFFFu : 0u;
        w[l] = r;
        const uint32_t m = ((y ^ r) & 0x7FFFFFFFu) | 1u;
        out[l * len + t] = static_cast<T>(u.UnitScale * static_cast<double>(m));
      }
    }
    u.XorWord = x[kLanes - 1];
    u.MulWord = static_cast<int32_t>(w[kLanes - 1]);
    out += kLanes * len;
    n -= kLanes * len;
  }
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<T>(u.RanUniform());
  s = u;
}

template void RanUniformBatchPortable<float>(RngState&, float*, size_t);
template void RanUniformBatchPortable<double>(RngState&, double*, size_t);

}  // namespace driftsim
