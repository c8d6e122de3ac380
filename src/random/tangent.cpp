// Single-precision tangent with the same bits on every processor. The rejection method of the
// Poisson deviates draws tan(pi u) in single precision, and the platform's tanf differs between
// processors in the last bit for a few inputs in a million (aarch64 against x86-64, both glibc
// 2.36), which would move a deviate and every draw after it. This one gives, for every float in
// (0, pi], exactly the bits that x86-64 glibc's tanf gives (compared over all of them), so runs
// already made on x86-64 keep their bytes and every other processor now matches them.
//
// Only IEEE single- and double-precision operations, none of them fused (the build's
// -ffp-contract=off): round-to-nearest results are the same everywhere.
#include <bit>
#include <cmath>
#include <cstdint>

#include "random/random.hpp"

namespace driftsim {

namespace {

constexpr int32_t kBits2pow13 = 0x39000000;    // 2^-13
constexpr int32_t kBitsNearPio4 = 0x3f2ca140;  // 0.6744, from where tan(pi/4 - x) is used
constexpr int32_t kBitsPio4 = 0x3f490fda;      // below pi/4 no reduction is needed
constexpr int32_t kHigh12Bits = static_cast<int32_t>(0xfffff000u);

// Sign of a float's bits as +1 or -1, as a float.
inline float SignOf(int32_t bits) {
  return static_cast<float>(1 - ((bits >> 30) & 2));
}

// tan(x + y) for |x| <= about pi/4 and y the small tail of x, or -1/tan(x + y) when iy is -1.
// An odd polynomial in x with terms up to x^27 (split into even and odd powers of x^4 so that
// the two halves evaluate side by side); near pi/4, tan(pi/4 - x) is used instead, and the
// reciprocal is formed from parts cut to their high 12 bits so that it stays accurate.
float KernelTan(float x, float y, int iy) {
  static constexpr float T[] = {3.3333334327e-01f, 1.3333334029e-01f, 5.3968254477e-02f,
                                2.1869488060e-02f, 8.8632395491e-03f, 3.5920790397e-03f,
                                1.4562094584e-03f, 5.8804126456e-04f, 2.4646313977e-04f,
                                7.8179444245e-05f, 7.1407252108e-05f, -1.8558637748e-05f,
                                2.5907305826e-05f};
  constexpr float kPio4 = 7.8539812565e-01f;
  constexpr float kPio4Lo = 3.7748947079e-08f;
  const int32_t hx = std::bit_cast<int32_t>(x);
  const int32_t ix = hx & 0x7fffffff;
  if (ix < kBits2pow13) return iy == 1 ? x : -1.0f / x;
  const bool nearPio4 = ix >= kBitsNearPio4;
  if (nearPio4) {
    if (hx < 0) {
      x = -x;
      y = -y;
    }
    x = (kPio4 - x) + (kPio4Lo - y);
    y = 0.0f;
    if (std::fabs(x) < 0x1p-13f) {
      const float fy = static_cast<float>(iy);
      return SignOf(hx) * fy * (1.0f - 2.0f * fy * x);
    }
  }
  float z = x * x;
  float w = z * z;
  float r = T[1] + w * (T[3] + w * (T[5] + w * (T[7] + w * (T[9] + w * T[11]))));
  float v = z * (T[2] + w * (T[4] + w * (T[6] + w * (T[8] + w * (T[10] + w * T[12])))));
  float s = z * x;
  r = y + z * (s * (r + v) + y);
  r += T[0] * s;
  w = x + r;
  if (nearPio4) {
    v = static_cast<float>(iy);
    return SignOf(hx) * (v - 2.0f * (x - (w * w / (w + v) - r)));
  }
  if (iy == 1) return w;
  z = std::bit_cast<float>(std::bit_cast<int32_t>(w) & kHigh12Bits);
  v = r - (z - x);  // z + v = x + r
  const float a = -1.0f / w;
  const float t = std::bit_cast<float>(std::bit_cast<int32_t>(a) & kHigh12Bits);
  s = 1.0f + t * z;
  return t + a * (s + t * v);
}

// Binary exponent field of a float.
inline int32_t ExponentOf(float x) {
  return (std::bit_cast<int32_t>(x) >> 23) & 0xff;
}

}  // namespace

float PortableTan(float x) {
  const int32_t ix = std::bit_cast<int32_t>(x);
  if (ix <= 0 || ix > std::bit_cast<int32_t>(3.1415927f)) return std::tan(x);
  if (ix <= kBitsPio4) return KernelTan(x, 0.0f, 1);
  // x - n pi/2 in single precision from pi/2 in three pieces of 17 or more bits (fn times a
  // piece is exact), the later pieces taken only when the first leaves too few bits; the tail
  // in double precision.
  constexpr float kInvPio2 = 6.3661980629e-01f;
  constexpr float kPio2[3] = {1.5707855225e+00f, 1.0804273188e-05f, 6.0770943833e-11f};
  constexpr float kPio2Tail[3] = {1.0804334124e-05f, 6.0770999344e-11f, 6.1232342629e-17f};
  constexpr double kPio2Double = 1.5707963267948966;
  const int32_t n = static_cast<int32_t>(x * kInvPio2 + 0.5f);
  const float fn = static_cast<float>(n);
  float r = x - fn * kPio2[0];
  float w = fn * kPio2Tail[0];
  float y0 = r - w;
  const int32_t exponent = ix >> 23;
  for (int k = 1; k < 3 && exponent - ExponentOf(y0) > (k == 1 ? 8 : 25); ++k) {
    const float t = r;
    w = fn * kPio2[k];
    r = t - w;
    w = fn * kPio2Tail[k] - ((t - r) - w);
    y0 = r - w;
  }
  const double rest = static_cast<double>(x) - static_cast<double>(n) * kPio2Double;
  const float y1 = static_cast<float>(rest - static_cast<double>(y0));
  return KernelTan(y0, y1, 1 - ((n & 1) << 1));
}

}  // namespace driftsim
