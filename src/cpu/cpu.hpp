// The CPU paths. The processor's features are read once; a run takes one row of routines,
// chosen from them or forced by DRIFTSIM_KERNEL (for tests and bug reports), and carries it in
// its context (cpu/context.hpp): no step asks which path is active. Every path gives the same
// bytes: the portable one is the reference.
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

// Every row, from the plainest.
inline constexpr Kernel kKernels[] = {Kernel::kPortable, Kernel::kAvx2, Kernel::kAvx512};

// The most capable path this processor runs.
Kernel BestKernel();

// Whether this processor runs a path.
bool CanRun(Kernel kernel);

// The path's name as DRIFTSIM_KERNEL takes it: "portable", "avx2", "avx512".
const char* KernelName(Kernel kernel);

// The routines of one row. Steps read the row they were given; they never look it up.
struct KernelTable {
  Kernel row = Kernel::kPortable;
  const char* Name() const { return KernelName(row); }
};

// The row of a path this processor runs; FatalStop otherwise.
KernelTable KernelsFor(Kernel kernel);

// The row DRIFTSIM_KERNEL names when it is set and not empty, else BestKernel()'s. An unknown
// name, or a path this processor cannot run, stops the run through FatalStop.
KernelTable KernelsFromEnvironment();

}  // namespace driftsim
