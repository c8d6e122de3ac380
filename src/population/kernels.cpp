// The rows of the kernel table, filled from the routines of each instruction set. A row takes
// the portable twin where its set has no routine of its own.
#include "cpu/kernels.hpp"

#include "population/alleles.hpp"
#include "population/transmit_kernels.hpp"
#include "random/random.hpp"

namespace driftsim {

namespace {

constexpr KernelTable kPortableRow{Kernel::kPortable,
                                   PackedBytesPortable,
                                   SingleBytesPortable,
                                   CopyLociPortable,
                                   RanUniformBatchPortable<double>,
                                   RanUniformBatchPortable<float>,
                                   PickAllelesPortable,
                                   PickPackedCodesPortable,
                                   PackedBytesOfDrawsPortable};

#if defined(__x86_64__)
constexpr KernelTable kAvx2Row{Kernel::kAvx2,
                               PackedBytesAvx2,
                               SingleBytesPortable,
                               CopyLociAvx2,
                               RanUniformBatchAvx2<double>,
                               RanUniformBatchAvx2<float>,
                               PickAllelesPortable,
                               PickPackedCodesPortable,
                               PackedBytesOfDrawsPortable};

constexpr KernelTable kAvx2PdepRow{
    Kernel::kAvx2Pdep,   PackedBytesAvx2Pdep,         SingleBytesPortable,
    CopyLociAvx2,        RanUniformBatchAvx2<double>, RanUniformBatchAvx2<float>,
    PickAllelesPortable, PickPackedCodesPortable,     PackedBytesOfDrawsPortable};

constexpr KernelTable kAvx512Row{Kernel::kAvx512,
                                 PackedBytesAvx512,
                                 SingleBytesAvx512,
                                 CopyLociAvx512,
                                 RanUniformBatchAvx512<double>,
                                 RanUniformBatchAvx512<float>,
                                 PickAllelesAvx512,
                                 PickPackedCodesAvx512,
                                 PackedBytesOfDrawsAvx512};
#endif

}  // namespace

const KernelTable& KernelRow(Kernel kernel) {
#if defined(__x86_64__)
  switch (kernel) {
    case Kernel::kAvx2:
      return kAvx2Row;
    case Kernel::kAvx2Pdep:
      return kAvx2PdepRow;
    case Kernel::kAvx512:
      return kAvx512Row;
    case Kernel::kPortable:
      break;
  }
#else
  (void)kernel;
#endif
  return kPortableRow;
}

}  // namespace driftsim
