#include "cpu/cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/common.hpp"

namespace driftsim {

namespace {

bool Detect(Kernel kernel) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
  switch (kernel) {
    case Kernel::kPortable:
      return true;
    case Kernel::kAvx2:
      return avx2;
    case Kernel::kAvx512:
      return avx2 && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bitalg") &&
             __builtin_cpu_supports("gfni");
  }
  return false;
#else
  return kernel == Kernel::kPortable;
#endif
}

// Detected once: what the processor runs, by path.
struct Features {
  bool runs[3] = {Detect(Kernel::kPortable), Detect(Kernel::kAvx2), Detect(Kernel::kAvx512)};
};
const Features& Cpu() {
  static const Features features;
  return features;
}

}  // namespace

bool CanRun(Kernel kernel) {
  return Cpu().runs[static_cast<int>(kernel)];
}

Kernel BestKernel() {
  Kernel best = Kernel::kPortable;
  for (const Kernel k : kKernels) {
    if (CanRun(k)) best = k;
  }
  return best;
}

const char* KernelName(Kernel kernel) {
  switch (kernel) {
    case Kernel::kAvx2:
      return "avx2";
    case Kernel::kAvx512:
      return "avx512";
    default:
      return "portable";
  }
}

KernelTable KernelsFor(Kernel kernel) {
  if (!CanRun(kernel)) {
    FatalStop(std::string("this processor cannot run the ") + KernelName(kernel) + " path!",
              "SelectKernel");
  }
  return KernelTable{kernel};
}

KernelTable KernelsFromEnvironment() {
  const char* name = std::getenv("DRIFTSIM_KERNEL");
  if (name == nullptr || *name == '\0') return KernelTable{BestKernel()};
  for (const Kernel k : kKernels) {
    if (std::strcmp(name, KernelName(k)) != 0) continue;
    if (!CanRun(k)) {
      FatalStop(std::string("DRIFTSIM_KERNEL=") + name + ": this processor cannot run the " + name +
                    " path!",
                "SelectKernel");
    }
    return KernelTable{k};
  }
  FatalStop(
      std::string("DRIFTSIM_KERNEL=") + name + ": unknown CPU path; use portable, avx2 or avx512!",
      "SelectKernel");
}

}  // namespace driftsim
