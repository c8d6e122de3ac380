#include "cpu/cpu.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace driftsim {

bool PdepMicrocoded(const std::string& vendor, unsigned family) {
  // Microcoded on AMD up to family 0x17 (Zen 1 and 2: tens to hundreds of cycles, by the
  // operand) and on Hygon's family 0x18; a few cycles elsewhere.
  return (vendor == "AuthenticAMD" && family <= 0x17) ||
         (vendor == "HygonGenuine" && family == 0x18);
}

namespace {

// The instruction sets a row may need, by the names of the target attribute. The processor is
// asked for each by a literal: __builtin_cpu_supports takes no other.
constexpr std::string_view kKnownFeatures[] = {"avx2",       "popcnt",       "bmi2",
                                               "avx512f",    "avx512bw",     "avx512vl",
                                               "avx512vbmi", "avx512bitalg", "gfni"};

// Bit i of the mask of a list: kKnownFeatures[i]; unknown holds whether a name is not known.
uint32_t FeatureMask(std::string_view names, bool& unknown) {
  uint32_t mask = 0;
  unknown = false;
  while (!names.empty()) {
    const size_t comma = names.find(',');
    const std::string_view name = names.substr(0, comma);
    const auto* at = std::find(std::begin(kKnownFeatures), std::end(kKnownFeatures), name);
    if (at == std::end(kKnownFeatures))
      unknown = true;
    else
      mask |= 1u << (at - std::begin(kKnownFeatures));
    names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
  }
  return mask;
}

}  // namespace

CpuFeatures::CpuFeatures() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  const int supports[] = {
      __builtin_cpu_supports("avx2"),       __builtin_cpu_supports("popcnt"),
      __builtin_cpu_supports("bmi2"),       __builtin_cpu_supports("avx512f"),
      __builtin_cpu_supports("avx512bw"),   __builtin_cpu_supports("avx512vl"),
      __builtin_cpu_supports("avx512vbmi"), __builtin_cpu_supports("avx512bitalg"),
      __builtin_cpu_supports("gfni")};
  static_assert(std::size(supports) == std::size(kKnownFeatures));
  for (size_t i = 0; i < std::size(supports); ++i) {
    if (supports[i] != 0) has_ |= 1u << i;
  }
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d)) {
    char v[13] = {};
    std::memcpy(v, &b, 4);
    std::memcpy(v + 4, &d, 4);
    std::memcpy(v + 8, &c, 4);
    vendor = v;
  }
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    const unsigned base = (a >> 8) & 0xF;
    family = base == 0xF ? base + ((a >> 20) & 0xFF) : base;
    model =
        (base == 0x6 || base == 0xF) ? (((a >> 16) & 0xF) << 4 | ((a >> 4) & 0xF)) : (a >> 4) & 0xF;
  }
  fastPdep = Has("bmi2") && !PdepMicrocoded(vendor, family);
#endif
}

bool CpuFeatures::Has(std::string_view names) const {
  bool unknown = false;
  const uint32_t mask = FeatureMask(names, unknown);
  return !unknown && (has_ & mask) == mask;
}

bool CpuFeatures::Knows(std::string_view names) {
  bool unknown = false;
  FeatureMask(names, unknown);
  return !unknown;
}

const CpuFeatures& Cpu() {
  static const CpuFeatures features;
  return features;
}

bool EmulatedRowsBuilt() {
#if defined(DRIFTSIM_EMULATED_ROWS)
  return true;
#else
  return false;
#endif
}

Kernel EmulatedTwin(Kernel kernel) {
  switch (kernel) {
    case Kernel::kAvx2:
      return Kernel::kAvx2Emulated;
    case Kernel::kAvx2Pdep:
      return Kernel::kAvx2PdepEmulated;
    case Kernel::kAvx512:
      return Kernel::kAvx512Emulated;
    default:
      return kernel;
  }
}

Kernel NativeRow(Kernel kernel) {
  switch (kernel) {
    case Kernel::kAvx2Emulated:
      return Kernel::kAvx2;
    case Kernel::kAvx2PdepEmulated:
      return Kernel::kAvx2Pdep;
    case Kernel::kAvx512Emulated:
      return Kernel::kAvx512;
    default:
      return kernel;
  }
}

const char* KernelName(Kernel kernel) {
  switch (kernel) {
    case Kernel::kAvx2Emulated:
      return "avx2-emulated";
    case Kernel::kAvx2PdepEmulated:
      return "avx2-pdep-emulated";
    case Kernel::kAvx512Emulated:
      return "avx512-emulated";
    case Kernel::kAvx2:
      return "avx2";
    case Kernel::kAvx2Pdep:
      return "avx2-pdep";
    case Kernel::kAvx512:
      return "avx512";
    default:
      return "portable";
  }
}

const char* KernelNames() {
  return "portable, avx2, avx2-pdep, avx512";
}

}  // namespace driftsim
