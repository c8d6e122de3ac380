// The one home of the CPU paths. The processor's features are read once, at start-up, and one
// row of the kernel table (cpu/kernels.hpp) is chosen from them, by speed: a path whose
// instructions are microcoded on this processor is not chosen automatically. DRIFTSIM_KERNEL
// forces a row for tests, benchmarks and bug reports. Every row gives the same bytes: the
// portable one is the reference.
//
//   portable   plain C++, any processor
//   avx2       AVX2: 32 packed bytes of a block at once with pshufb deposits (no pdep), 16
//              unpacked loci per byte select, eight uniform draws and eight packed codes at
//              once
//   avx2-pdep  the same with the packed bits deposited by pdep (BMI2), a single offspring's
//              eight bytes at a time by one pdep; chosen where pdep is
//              fast: Intel from Haswell, AMD from Zen 3, not AMD family 0x17 and earlier (Zen
//              1 and 2 microcode it) nor Hygon
//   avx512     AVX-512 BW, VL, VBMI, BITALG and GFNI with POPCNT and BMI2: 64 packed bytes of a
//              block at once by pdep, 32 unpacked loci per byte permute, sixteen uniform draws
//              at once and allele choices of sixteen draws
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace driftsim {

enum class Kernel {
  kPortable,
  kAvx2,
  kAvx2Pdep,
  kAvx512,
  // The x86 rows' routines built against portable versions of their intrinsics (see
  // cpu/vector.hpp): slow, never chosen, there in test builds so that every row's bytes are
  // proven on any processor. Each stands in for the row of the same place above.
  kAvx2Emulated,
  kAvx2PdepEmulated,
  kAvx512Emulated,
};

// Every row, in order of preference when several run fast.
inline constexpr Kernel kKernels[] = {Kernel::kPortable, Kernel::kAvx2, Kernel::kAvx2Pdep,
                                      Kernel::kAvx512};

// The emulated twin of an x86 row, and the row an emulated one stands in for (the row itself
// where it has none).
Kernel EmulatedTwin(Kernel kernel);
Kernel NativeRow(Kernel kernel);
inline bool IsEmulated(Kernel kernel) {
  return kernel != NativeRow(kernel);
}

// Whether this build holds the emulated rows (test builds with SIMD Everywhere).
bool EmulatedRowsBuilt();

// The row that proves a row here: the row itself where this processor runs it, else its
// emulated twin where the build holds it, else the row itself (which CanRun refuses).
Kernel ProvingRow(Kernel kernel);

// The fastest row on this processor: the last of kKernels that it runs without microcoded
// instructions.
Kernel BestKernel();

// Whether this processor runs a row at all (forced rows may be slow).
bool CanRun(Kernel kernel);

// The row's name as DRIFTSIM_KERNEL takes it: "portable", "avx2", "avx2-pdep", "avx512", and
// the emulated rows' "avx2-emulated", "avx2-pdep-emulated", "avx512-emulated".
const char* KernelName(Kernel kernel);

// The names of all rows, comma separated, for the help text and messages.
const char* KernelNames();

// Whether pdep and pext are microcoded (slow) on processors of this vendor and family.
bool PdepMicrocoded(const std::string& vendor, unsigned family);

// The processor: vendor, family and model, the features the rows use, and whether pdep is
// fast (one line, for the bench header and --version).
std::string CpuDescription();

// The row DRIFTSIM_KERNEL names when it is set and not empty, else BestKernel(). An unknown
// name, or a row this processor cannot run, stops the run through FatalStop.
Kernel KernelFromEnvironment();

}  // namespace driftsim
