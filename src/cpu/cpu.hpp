// The one home of the CPU paths. The processor's features are detected once, at start-up;
// every vectorised routine (transmission, batches of uniform draws, the error passes through
// those batches) asks ActiveKernel() which path to take, and DRIFTSIM_KERNEL forces a path for
// tests and bug reports. Every path gives the same bytes: the portable one is the reference.
//
//   portable  plain C++, any processor
//   avx2      AVX2 with BMI2: eight uniform draws at once, 16 unpacked loci per byte select
//   avx512    AVX-512 BW, VL, VBMI, BITALG and GFNI with POPCNT: 64 packed bytes of a family at
//             once by pdep, 32 unpacked loci per byte permute, sixteen uniform draws at once and
//             allele choices of sixteen draws; the AVX2 routines where it has none of its own
#pragma once

// x86 vector code starts from deliberately undefined vectors (the intrinsics' conversions),
// which GCC 12 reports as maybe uninitialised: such code sits between these two.
#if defined(__GNUC__) && !defined(__clang__)
#define DRIFTSIM_VECTOR_CODE_BEGIN                                                           \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"") \
      _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#define DRIFTSIM_VECTOR_CODE_END _Pragma("GCC diagnostic pop")
#else
#define DRIFTSIM_VECTOR_CODE_BEGIN
#define DRIFTSIM_VECTOR_CODE_END
#endif

namespace driftsim {

enum class Kernel { kPortable, kAvx2, kAvx512 };

// The most capable path this processor runs.
Kernel BestKernel();

// Whether this processor runs a path.
bool CanRun(Kernel kernel);

// The path's name as DRIFTSIM_KERNEL takes it: "portable", "avx2", "avx512".
const char* KernelName(Kernel kernel);

namespace detail {
extern Kernel gActiveKernel;
}

// The path in use: BestKernel() unless forced.
inline Kernel ActiveKernel() {
  return detail::gActiveKernel;
}

// Forces a path the processor runs (tests compare paths this way).
void SetKernel(Kernel kernel);

// Applies DRIFTSIM_KERNEL when it is set and not empty. An unknown name, or a path this
// processor cannot run, stops the run through FatalStop.
void SelectKernelFromEnvironment();

}  // namespace driftsim
