#include "cpu/cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/common.hpp"

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

// What the rows need, read once.
struct Features {
  bool avx2 = false, bmi2 = false, avx512 = false;
  bool fastPdep = false;
  std::string vendor = "unknown";
  unsigned family = 0, model = 0;

  Features() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    bmi2 = __builtin_cpu_supports("bmi2");
    avx512 = avx2 && bmi2 && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bitalg") &&
             __builtin_cpu_supports("gfni");
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
      model = (base == 0x6 || base == 0xF) ? (((a >> 16) & 0xF) << 4 | ((a >> 4) & 0xF))
                                           : (a >> 4) & 0xF;
    }
    fastPdep = bmi2 && !PdepMicrocoded(vendor, family);
#endif
  }

  bool Runs(Kernel k) const {
    switch (k) {
      case Kernel::kAvx2Emulated:
      case Kernel::kAvx2PdepEmulated:
      case Kernel::kAvx512Emulated:
        return EmulatedRowsBuilt();
      case Kernel::kPortable:
        return true;
      case Kernel::kAvx2:
        return avx2;
      case Kernel::kAvx2Pdep:
        return avx2 && bmi2;
      case Kernel::kAvx512:
        return avx512;
    }
    return false;
  }
  // Fast: runs, and pdep (which every row above avx2 uses) is not microcoded.
  bool Fast(Kernel k) const {
    return Runs(k) && (k == Kernel::kPortable || k == Kernel::kAvx2 || fastPdep);
  }
};

const Features& Cpu() {
  static const Features features;
  return features;
}

// Every row a name may select: the rows, then the emulated ones.
constexpr Kernel kNamedRows[] = {Kernel::kPortable,      Kernel::kAvx2,
                                 Kernel::kAvx2Pdep,      Kernel::kAvx512,
                                 Kernel::kAvx2Emulated,  Kernel::kAvx2PdepEmulated,
                                 Kernel::kAvx512Emulated};

}  // namespace

bool CanRun(Kernel kernel) {
  return Cpu().Runs(kernel);
}

Kernel BestKernel() {
  Kernel best = Kernel::kPortable;
  for (const Kernel k : kKernels) {
    if (Cpu().Fast(k)) best = k;
  }
  return best;
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

Kernel ProvingRow(Kernel kernel) {
  if (CanRun(kernel) || !CanRun(EmulatedTwin(kernel))) return kernel;
  return EmulatedTwin(kernel);
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

std::string CpuDescription() {
  const Features& f = Cpu();
  std::string s = f.vendor + " family " + std::to_string(f.family) + " model " +
                  std::to_string(f.model) + ", features:";
  if (f.avx2) s += " avx2";
  if (f.bmi2) s += f.fastPdep ? " bmi2 (fast pdep)" : " bmi2 (microcoded pdep)";
  if (f.avx512) s += " avx512 (bw vl vbmi bitalg) gfni";
  if (!f.avx2 && !f.bmi2) s += " none used";
  return s + "; rows run:" +
         [&] {
           std::string rows;
           for (const Kernel k : kKernels) {
             if (f.Runs(k)) rows += std::string(" ") + KernelName(k);
           }
           return rows;
         }() +
         "; chosen: " + KernelName(BestKernel());
}

Kernel KernelFromEnvironment() {
  const char* name = std::getenv("DRIFTSIM_KERNEL");
  if (name == nullptr || *name == '\0') return BestKernel();
  for (const Kernel k : kNamedRows) {
    if (std::strcmp(name, KernelName(k)) != 0) continue;
    if (!CanRun(k)) {
      FatalStop(std::string("DRIFTSIM_KERNEL=") + name + ": this processor cannot run the " + name +
                    " path!",
                "SelectKernel");
    }
    return k;
  }
  FatalStop(
      std::string("DRIFTSIM_KERNEL=") + name + ": unknown CPU path; use " + KernelNames() + "!",
      "SelectKernel");
}

}  // namespace driftsim
