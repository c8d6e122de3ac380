#include "random/random.hpp"

#include <cmath>
#include <cstdlib>
#include <mutex>

namespace driftsim {

void RngState::Initialise() {
  // abs(IDUM) in unsigned arithmetic, so that the most negative seed wraps instead of trapping.
  const uint32_t a = IDUM < 0 ? 0u - static_cast<uint32_t>(IDUM) : static_cast<uint32_t>(IDUM);
  UnitScale = kUnitScale;
  MulWord = static_cast<int32_t>((a ^ 888889999u) | 1u);
  XorWord = a ^ 777755555u;
  IDUM = static_cast<int32_t>(a + 1u);
}

double LnGamma(double x) {
  double s = x + 5.5;
  s = (x + 0.5) * std::log(s) - s;
  const double ser = 1.000000000190015 + 76.18009172947146 / (x + 1) - 86.50532032941678 / (x + 2) +
                     24.01409824083091 / (x + 3) - 1.231739572450155 / (x + 4) +
                     0.001208650973866179 / (x + 5) - 0.000005395239384953 / (x + 6);
  return s + std::log(2.5066282746310005 * ser / x);
}

float Random::PoissonDev(float mean) {
  PoissonMemo& m = Memo;
  if (mean < 12.0f) {
    // Multiplication of uniforms; every product is rounded to single precision.
    if (mean != m.LastMean) {
      m.LastMean = mean;
      m.PoisG = std::exp(-mean);
    }
    float j = -1.0f;
    float t = 1.0f;
    do {
      j += 1.0f;
      t *= static_cast<float>(Uniform.RanUniform());
    } while (t > m.PoisG);
    return j;
  }
  // Rejection from a Lorentzian envelope, single precision except for LnGamma.
  constexpr float kPi = 3.1415927f;
  constexpr float kEnvelope = 0.9f;
  if (mean != m.LastMean) {
    m.LastMean = mean;
    m.PoisRoot = std::sqrt(2.0f * mean);
    m.PoisLogMean = std::log(mean);
    m.PoisG = mean * m.PoisLogMean - static_cast<float>(LnGamma(static_cast<double>(mean + 1.0f)));
  }
  for (;;) {
    float y;
    float e;
    do {
      y = std::tan(kPi * static_cast<float>(Uniform.RanUniform()));
      e = m.PoisRoot * y + mean;
    } while (e < 0.0f);
    e = std::trunc(e);
    const float lg = static_cast<float>(LnGamma(static_cast<double>(e + 1.0f)));
    const float t = ((y * y + 1.0f) * kEnvelope) * std::exp(e * m.PoisLogMean - lg - m.PoisG);
    if (!(Uniform.RanUniform() > static_cast<double>(t))) return e;
  }
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
  // Long jumps of 64*64 draws, then 64 at a time, then single steps.
  static const BitJump& far = BitJump::For(kMaxStride);
  for (; n >= 64 * kMaxStride; n -= 64 * kMaxStride) seed = far(seed).state;
  for (; n >= 64; n -= 64) seed = JumpBits64(seed).state;
  for (; n > 0; --n) seed = Step(seed);
  return seed;
}

BitBuffer::BitBuffer(BitStream& stream)
    : stream_(stream), startState_(stream.RanBitSeed), endState_(stream.RanBitSeed) {}

void BitBuffer::Refill(uint64_t pos, uint64_t ahead) {
  // Drop the whole words before pos, keep the rest, then append words up to pos + ahead.
  const uint64_t drop = (pos - start_) / 64;
  const uint64_t kept = (end_ - start_) / 64 - drop;
  startState_ = AdvanceBits(startState_, drop * 64);
  std::memmove(words_, words_ + drop, kept * sizeof(uint64_t));
  start_ += drop * 64;
  size_t n = kept;
  while (start_ + 64 * n < pos + ahead + 64) {
    const BitWord w = JumpBits64(endState_);
    words_[n++] = w.bits;
    endState_ = w.state;
  }
  end_ = start_ + 64 * n;
}

}  // namespace driftsim
