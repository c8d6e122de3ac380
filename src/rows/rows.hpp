// The CPU rows: one file each (avx2.cpp holds avx2 and avx2-pdep, which share most routines),
// with what the row needs of the processor (one list, also the attribute its routines are
// compiled with), the routines and its entry of the kernel table. rows.cpp chooses the row from
// those lists and the features cpu/ reads, and fills the table of a row. Test builds compile
// the row files a second time into the emulated rows (cpu/vector.hpp).
#pragma once

#include <string>

#include "cpu/cpu.hpp"
#include "population/kernels.hpp"

namespace driftsim {

// The routines of a row this processor runs (FatalStop otherwise), and of the row
// KernelFromEnvironment() names.
KernelTable KernelsFor(Kernel kernel);
KernelTable KernelsFromEnvironment();

// What the processor needs for a row, as its file names it (the features of its target
// attribute); empty for the portable row, null where this build has no native row of it.
const char* RowNeeds(Kernel kernel);

// Whether this processor runs a row at all (forced rows may be slow): it has what the row
// needs, or the row is emulated and built.
bool CanRun(Kernel kernel);

// The fastest row on this processor: the last of kKernels that it runs without microcoded
// instructions (pdep, in every row that needs BMI2).
Kernel BestKernel();

// The row that proves a row here: the row itself where this processor runs it, else its
// emulated twin where the build holds it, else the row itself (which CanRun refuses).
Kernel ProvingRow(Kernel kernel);

// The row DRIFTSIM_KERNEL names when it is set and not empty, else BestKernel(). An unknown
// name, or a row this processor cannot run, stops the run through FatalStop.
Kernel KernelFromEnvironment();

// The processor: vendor, family and model, the features the rows use, whether pdep is fast,
// the rows it runs and the one chosen (one line, for the bench header and --version).
std::string CpuDescription();

// The x86 rows' entries, as built natively and, in test builds, emulated; tag is the row the
// table then names. Beside each, what the processor needs for it natively.
namespace native {
KernelTable Avx2Row(Kernel tag);
KernelTable Avx2PdepRow(Kernel tag);
KernelTable Avx512Row(Kernel tag);
extern const char* const kAvx2Needs;
extern const char* const kAvx2PdepNeeds;
extern const char* const kAvx512Needs;
}  // namespace native
namespace emulated {
KernelTable Avx2Row(Kernel tag);
KernelTable Avx2PdepRow(Kernel tag);
KernelTable Avx512Row(Kernel tag);
extern const char* const kAvx2Needs;
extern const char* const kAvx2PdepNeeds;
extern const char* const kAvx512Needs;
}  // namespace emulated

}  // namespace driftsim
