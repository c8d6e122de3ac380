// The CPU paths: the rows of the kernel table by name, and the processor's features, read once
// at start-up. Each row's file in src/rows/ names what it needs, and rows/rows.cpp chooses one
// row by speed: a path whose instructions are microcoded on this processor is not chosen
// automatically. DRIFTSIM_KERNEL forces a row for tests, benchmarks and bug reports. Every row
// gives the same bytes: the portable one is the reference.
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
#include <string_view>

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

// The row's name as DRIFTSIM_KERNEL takes it: "portable", "avx2", "avx2-pdep", "avx512", and
// the emulated rows' "avx2-emulated", "avx2-pdep-emulated", "avx512-emulated".
const char* KernelName(Kernel kernel);

// The names of all rows, comma separated, for the help text and messages.
const char* KernelNames();

// Whether pdep and pext are microcoded (slow) on processors of this vendor and family.
bool PdepMicrocoded(const std::string& vendor, unsigned family);

// The processor, read once: vendor, family and model, the instruction sets the rows name, and
// whether pdep is fast. Each row's file (src/rows/) names what it needs in the words of the
// compilers' target attribute; the rows are chosen there (rows/rows.hpp).
struct CpuFeatures {
  std::string vendor = "unknown";
  unsigned family = 0, model = 0;
  bool fastPdep = false;

  // Whether the processor has every instruction set of a comma-separated list ("avx2,bmi2").
  bool Has(std::string_view names) const;
  // Whether every name of the list is one this reader knows (else Has refuses it).
  static bool Knows(std::string_view names);

  CpuFeatures();

 private:
  uint32_t has_ = 0;  // bit i: kKnownFeatures[i]
};
const CpuFeatures& Cpu();

}  // namespace driftsim
