// Random numbers: the uniform stream, the Poisson deviate and the random-bit stream.
//
// There is exactly one stream of each kind per run, owned by one non-copyable Random object.
// Hot loops may copy a stream's state into a local, draw from it, and store it back before any
// other routine draws; the sequence is the same as with single draws on the shared state.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/common.hpp"
#include "cpu/cpu.hpp"

namespace driftsim {

// 1/2147483647 rounded to double; a draw is this times an odd 31-bit integer, so U is in (0, 1].
inline constexpr double kUnitScale = std::bit_cast<double>(uint64_t{0x3E00000000200000});

// 16807 * w mod 2^31-1 for 0 <= w <= 2^31-1.
inline int32_t MinStdStep(int32_t w) {
  const uint64_t p = 16807u * static_cast<uint64_t>(w);
  uint64_t r = (p & 0x7FFFFFFFu) + (p >> 31);
  if (r >= 0x7FFFFFFFu) r -= 0x7FFFFFFFu;
  return static_cast<int32_t>(r);
}

// Schrage's factorisation of the same step, kept as the reference for tests.
inline int32_t MinStdStepSchrage(int32_t w) {
  const int32_t k = w / 127773;
  int32_t r = 16807 * (w - k * 127773) - 2836 * k;
  if (r < 0) r += 2147483647;
  return r;
}

// Uniform generator: xorshift combined with the minimal standard multiplicative generator.
struct RngState {
  int32_t IDUM = 0;  // a value of 0 or below asks for initialisation at the next draw
  uint32_t XorWord = 0xFFFFFFFFu;
  int32_t MulWord = -1;  // negative also asks for initialisation
  double UnitScale = 0;

  void Initialise();

  // One draw U with 0 < U <= 1.
  inline double RanUniform() {
    if (IDUM <= 0 || MulWord < 0) Initialise();
    uint32_t x = XorWord;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    XorWord = x;
    // 16807 * MulWord mod 2^31-1: the 46-bit product folded once (2^31 = 1 mod 2^31-1), which
    // gives exactly the value of Schrage's factorisation in fewer dependent steps.
    MulWord = MinStdStep(MulWord);
    const int32_t w = MulWord;
    const uint32_t m = ((x ^ static_cast<uint32_t>(w)) & 0x7FFFFFFFu) | 1u;
    return UnitScale * static_cast<double>(m);
  }

  // Advances the stream by n draws, as n calls of RanUniform would, in about a microsecond
  // whatever n: the xorshift word by GF(2) matrices of 2^j steps, the multiplicative word by
  // 16807^n mod 2^31-1. Work split over threads starts each part at its own draw this way.
  void Skip(uint64_t n);
};

// The uniform routines of one CPU row: a part of the row's kernel table
// (population/kernels.hpp), which steps hand on as ctx.kernels.uniform.
struct UniformRow {
  void (*doubles)(RngState& s, double* out, size_t n) = nullptr;
  void (*floats)(RngState& s, float* out, size_t n) = nullptr;
};

// Fills out[0..n) with the next n draws, as doubles or rounded to single precision: the same
// values and the same final state as n calls of RanUniform, through the row's routine. The
// vector rows step eight (AVX2) or sixteen (AVX-512) lanes at a time: the xorshift word by
// table lookups of the GF(2) matrix of that many steps, the multiplicative word by 16807^8 or
// 16807^16 mod 2^31-1; the portable loop is the reference.
inline void RanUniformBatch(const UniformRow& row, RngState& s, double* out, size_t n) {
  row.doubles(s, out, n);
}
inline void RanUniformBatch(const UniformRow& row, RngState& s, float* out, size_t n) {
  row.floats(s, out, n);
}
// The rows of the kernel table behind RanUniformBatch: the portable loop (random.cpp); eight
// lanes with AVX2 (rows/avx2.cpp) and sixteen with AVX-512 F (rows/avx512.cpp), x86-64
// only; short or uninitialised batches go the portable way.
template <typename T>
void RanUniformBatchPortable(RngState& s, T* out, size_t n);

// Hands out a known number of draws (double, or rounded to float), in stream order, produced in
// chunks; the stream's state ends exactly after the last of them.
template <typename T>
class UniformDraws {
 public:
  // Keeps the row's routine, not the row: the row may be a temporary.
  UniformDraws(const UniformRow& row, RngState& s, uint64_t total)
      : batch_(BatchOf(row)), s_(s), left_(total) {}
  UniformDraws(const UniformDraws&) = delete;
  UniformDraws& operator=(const UniformDraws&) = delete;

  inline T Next() {
    if (i_ == n_) Refill();
    return buf_[i_++];
  }

  // The next k draws in a row (k <= kChunk, and no more than are left), valid until the next
  // call.
  const T* Take(size_t k) {
    if (n_ - i_ < k) {
      const size_t kept = n_ - i_;
      std::memmove(buf_, buf_ + i_, kept * sizeof(T));
      const size_t more = static_cast<size_t>(left_ < kChunk - kept ? left_ : kChunk - kept);
      batch_(s_, buf_ + kept, more);
      left_ -= more;
      n_ = kept + more;
      i_ = 0;
    }
    const T* run = buf_ + i_;
    i_ += k;
    return run;
  }

  static constexpr size_t kChunk = 2048;

 private:
  void Refill() {
    n_ = static_cast<size_t>(left_ < kChunk ? left_ : kChunk);
    left_ -= n_;
    batch_(s_, buf_, n_);
    i_ = 0;
  }
  static auto BatchOf(const UniformRow& row) {
    if constexpr (std::is_same_v<T, float>) {
      return row.floats;
    } else {
      return row.doubles;
    }
  }
  void (*batch_)(RngState&, T*, size_t);
  RngState& s_;
  uint64_t left_;
  size_t i_ = 0, n_ = 0;
  T buf_[kChunk];
};
using UniformFloats = UniformDraws<float>;
using UniformDoubles = UniformDraws<double>;

// Hands out draws (double) one by one when their number is not known in advance: they are made
// in chunks ahead of use, and Finish (or the destructor) leaves the stream exactly after the
// draws taken, by a skip from where it stood.
class UniformAhead {
 public:
  UniformAhead(const UniformRow& row, RngState& s) : batch_(row.doubles), s_(s), ahead_(s) {}
  ~UniformAhead() { Finish(); }
  UniformAhead(const UniformAhead&) = delete;
  UniformAhead& operator=(const UniformAhead&) = delete;

  inline double Next() {
    if (i_ == kChunk) {
      batch_(ahead_, buf_, kChunk);
      i_ = 0;
    }
    ++taken_;
    return buf_[i_++];
  }
  void Finish() {
    s_.Skip(taken_);
    taken_ = 0;
    ahead_ = s_;
    i_ = kChunk;
  }

 private:
  static constexpr size_t kChunk = 1024;
  void (*batch_)(RngState&, double*, size_t);
  RngState& s_;
  RngState ahead_;
  uint64_t taken_ = 0;
  size_t i_ = kChunk;
  double buf_[kChunk];
};

// Values PoissonDev keeps between calls; all single precision.
struct PoissonMemo {
  float LastMean = -1.0f;
  float PoisG = 0;
  float PoisRoot = 0;
  float PoisLogMean = 0;
};

// ln(Gamma(x)) for x > 0, double precision.
double LnGamma(double x);

// tan(x) in single precision with the same bits on every processor for 0 < x <= pi (outside,
// the platform's tan).
float PortableTan(float x);

// Poisson deviate of a single-precision mean from the uniform draws that draw() returns (double,
// in (0, 1]); returns a whole number. Below a mean of 12, multiplication of uniforms, every
// product rounded to single precision; above, rejection from a Lorentzian envelope, single
// precision except for LnGamma.
template <typename Draw>
float PoissonDeviate(float mean, PoissonMemo& m, Draw&& draw) {
  if (mean < 12.0f) {
    if (mean != m.LastMean) {
      m.LastMean = mean;
      m.PoisG = std::exp(-mean);
    }
    float j = -1.0f;
    float t = 1.0f;
    do {
      j += 1.0f;
      t *= static_cast<float>(draw());
    } while (t > m.PoisG);
    return j;
  }
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
      y = PortableTan(kPi * static_cast<float>(draw()));
      e = m.PoisRoot * y + mean;
    } while (e < 0.0f);
    e = std::trunc(e);
    const float lg = static_cast<float>(LnGamma(static_cast<double>(e + 1.0f)));
    const float t = ((y * y + 1.0f) * kEnvelope) * std::exp(e * m.PoisLogMean - lg - m.PoisG);
    if (!(draw() > static_cast<double>(t))) return e;
  }
}

// Poisson counts of one mean, one after another, from the draws draw() returns: the counts and
// draws of PoissonDeviate. Small means, the common case, run its product loop inline.
class PoissonCounts {
 public:
  PoissonCounts(float mean, PoissonMemo& memo) : mean_(mean), memo_(memo) {
    if (small()) {
      if (mean != memo.LastMean) {
        memo.LastMean = mean;
        memo.PoisG = std::exp(-mean);
      }
      limit_ = memo.PoisG;
    }
  }

  template <typename Draw>
  int32_t Next(Draw&& draw) {
    if (!small()) return static_cast<int32_t>(std::lround(PoissonDeviate(mean_, memo_, draw)));
    // The count of products above exp(-mean) after the first.
    int32_t hits = 0;
    for (float t = static_cast<float>(draw()); t > limit_; t *= static_cast<float>(draw())) ++hits;
    return hits;
  }

 private:
  bool small() const { return mean_ < 12.0f; }
  float mean_;
  PoissonMemo& memo_;
  float limit_ = 0;
};

// Random bits from the 18-bit shift register over x^18 + x^5 + x^2 + x + 1. Only bits 0..17 of
// the state take part; higher bits are carried along and shifted out.
struct BitStream {
  uint32_t RanBitSeed = 0;

  inline uint32_t RanBit() {
    const uint32_t s = RanBitSeed;
    const uint32_t bit = (s >> 17) & 1u;
    RanBitSeed = bit ? ((s ^ 0x13u) << 1) | 1u : s << 1;
    return bit;
  }

  // Moves the stream past n bits; the stream n bits ahead; the stream laid out in the table of
  // the period, from its next bit (defined below).
  inline void Advance(uint64_t n);
  inline BitStream Ahead(uint64_t n) const;
  inline auto Table() const;
};

// Jump table of the bit stream for a stride d: from a state, the 64 bits at positions 0, d, 2d,
// ..., 63d and the state 64d steps later, by three lookups. The register is linear over GF(2) in
// its low 18 bits, and 64d >= 14 steps shift every higher bit out, so both are XORs of
// per-chunk entries. Every stride-th bit of the stream is what one offspring copy uses at
// successive loci when a block of offspring takes its bits locus by locus.
class BitJump {
 public:
  explicit BitJump(unsigned stride);
  struct Result {
    uint64_t bits;   // bit L is the draw at position L*stride
    uint32_t state;  // full state after 64*stride draws
  };
  Result operator()(uint32_t seed) const {
    const uint32_t a = seed & 63u, b = (seed >> 6) & 63u, c = (seed >> 12) & 63u;
    return {bits_[0][a] ^ bits_[1][b] ^ bits_[2][c], state_[0][a] ^ state_[1][b] ^ state_[2][c]};
  }
  unsigned Stride() const { return stride_; }

  // The table for a stride, built once.
  static const BitJump& For(unsigned stride);

 private:
  unsigned stride_;
  uint64_t bits_[3][64];
  uint32_t state_[3][64];
};

// The next 64 bits of the stream that starts in state seed (bit i is the (i+1)-th draw), and
// the state after them: the same as 64 single draws.
using BitWord = BitJump::Result;
inline BitWord JumpBits64(uint32_t seed) {
  static const BitJump& step = BitJump::For(1);
  return step(seed);
}

// Advances a bit-stream state by n single steps; any n costs at most a few hundred lookups.
uint32_t AdvanceBits(uint32_t seed, uint64_t n);

// The whole period of the bit stream as a table. The register's low 18 bits run through all
// 2^18 - 1 nonzero states in one cycle, and only they decide the draws, so every stream is this
// table read from some position: the draw any distance ahead is a table read, and work split
// over threads starts each part at its own draw. States whose low 18 bits are 0 draw zeros.
class BitCycle {
 public:
  static constexpr uint32_t kPeriod = (1u << 18) - 1;
  // Bits that may be read from any position below kPeriod: readers reduce their position modulo
  // kPeriod at least once every kSpan bits.
  static constexpr uint32_t kSpan = 1u << 15;

  // A stream laid out in the table: draw t (from 0) is bit At(t) of bytes.
  struct Stream {
    const unsigned char* bytes;  // the table, or zeros
    uint32_t start;              // position of the first draw

    uint32_t At(uint64_t t) const { return static_cast<uint32_t>((start + t) % kPeriod); }
  };

  // The stream that starts in state seed (the next draw is its draw 0). The table, 32 KB, and
  // the position of every state, 1 MB, are built once, on first use.
  static Stream From(uint32_t seed);

  // Bits [p, p + 57) or more of a table, the first in bit 0, for p < kPeriod + kSpan. Bit p is
  // bit p % 8 of byte p / 8: the words are loaded as little-endian integers.
  static uint64_t Load(const unsigned char* bytes, uint64_t p) {
    static_assert(std::endian::native == std::endian::little,
                  "bits are loaded as little-endian words");
    uint64_t w;
    std::memcpy(&w, bytes + (p >> 3), sizeof w);
    return w >> (p & 7);
  }
  // Bits [p, p + 64), for the same p.
  static uint64_t Load64(const unsigned char* bytes, uint64_t p) {
    uint64_t lo, hi;
    std::memcpy(&lo, bytes + (p >> 3), sizeof lo);
    std::memcpy(&hi, bytes + (p >> 3) + 8, sizeof hi);
    const unsigned s = static_cast<unsigned>(p & 7);
    return (lo >> s) | ((hi << 1) << (63 - s));
  }

  // Bytes of a table: the period, kSpan bits of its start again, and room for the last load.
  static constexpr size_t kBytes = (kPeriod + kSpan) / 8 + 24;

  // For a table of From: the eight bits from each position p < kPeriod + kSpan as one byte,
  // byte p (one load where a shift by a variable count costs more than a load). Built on first
  // use, 288 KB.
  static const unsigned char* Octets(const unsigned char* bytes);
};

void BitStream::Advance(uint64_t n) {
  RanBitSeed = AdvanceBits(RanBitSeed, n);
}
BitStream BitStream::Ahead(uint64_t n) const {
  return BitStream{AdvanceBits(RanBitSeed, n)};
}
auto BitStream::Table() const {
  return BitCycle::From(RanBitSeed);
}

// The draws of a step cut into tasks, each starting at its own draw: taking the split moves the
// stream past all the step's draws, and At(first) is the stream at draw first of the step.
class UniformSplit {
 public:
  UniformSplit(RngState& stream, uint64_t total) : start_(stream) { stream.Skip(total); }
  RngState At(uint64_t first) const {
    RngState u = start_;
    u.Skip(first);
    return u;
  }

 private:
  RngState start_;
};

// The run's random streams.
class Random {
 public:
  Random(int32_t IDUM, uint32_t RanBitSeed) {
    Uniform.IDUM = IDUM;
    Bits.RanBitSeed = RanBitSeed;
  }
  Random(const Random&) = delete;
  Random& operator=(const Random&) = delete;

  double RanUniform() { return Uniform.RanUniform(); }
  uint32_t RanBit() { return Bits.RanBit(); }

  // Poisson deviate of a single-precision mean from the uniform stream; returns a whole number.
  float PoissonDev(float mean) {
    return PoissonDeviate(mean, Memo, [this] { return Uniform.RanUniform(); });
  }

  // Poisson counts of one mean from the draws a step hands out.
  PoissonCounts Counts(float mean) { return PoissonCounts(mean, Memo); }

  RngState Uniform;
  PoissonMemo Memo;
  BitStream Bits;
};

// Index in 1..n from a draw: floor(U*n + 1) in double precision, capped at n (U can be 1.0).
inline int32_t DrawIndex(double u, int32_t n) {
  const int32_t i = static_cast<int32_t>(u * static_cast<double>(n) + 1.0);
  return i > n ? n : i;
}

// Natural logarithm of a gamma deviate of the given shape (scale 1), double precision, from the
// uniform stream (Marsaglia and Tsang's method). The logarithm keeps tiny shapes, whose
// deviates underflow, comparable. Draws per attempt: two for a normal deviate by Box-Muller
// (the cosine half only), one for the acceptance test; an attempt whose cubic term is not
// positive ends after its two draws. Shapes below 1 take a deviate of shape + 1 and then one
// draw more, for the factor U^(1/shape).
double LogGammaDev(double shape, RngState& uniform);

// A Poisson deviate as an integer count (the deviate is whole; halves round away from zero).
inline int32_t PoissonCount(Random& rnd, float mean) {
  return static_cast<int32_t>(std::lround(rnd.PoissonDev(mean)));
}

}  // namespace driftsim
