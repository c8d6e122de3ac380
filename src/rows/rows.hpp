// The CPU rows: one file each (avx2.cpp holds avx2 and avx2-pdep, which share most routines),
// with the attribute its routines are compiled with, the routines and its entry of the kernel
// table; rows.cpp fills the table of a row. cpu/cpu.cpp reads the processor's features and
// names the row to take. Test builds compile the row files a second time into the emulated
// rows (cpu/vector.hpp).
#pragma once

#include "cpu/cpu.hpp"
#include "population/kernels.hpp"

namespace driftsim {

// The routines of a row this processor runs (FatalStop otherwise), and of the row
// KernelFromEnvironment() names.
KernelTable KernelsFor(Kernel kernel);
KernelTable KernelsFromEnvironment();

// The x86 rows' entries, as built natively and, in test builds, emulated; tag is the row the
// table then names.
namespace native {
KernelTable Avx2Row(Kernel tag);
KernelTable Avx2PdepRow(Kernel tag);
KernelTable Avx512Row(Kernel tag);
}  // namespace native
namespace emulated {
KernelTable Avx2Row(Kernel tag);
KernelTable Avx2PdepRow(Kernel tag);
KernelTable Avx512Row(Kernel tag);
}  // namespace emulated

}  // namespace driftsim
