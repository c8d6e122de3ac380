// The rows of the kernel table (cpu/cpu.hpp), filled from the routines of each instruction set:
// this file sits above them. A row takes the portable twin where its set has no routine of its
// own.
#include <string>

#include "common/common.hpp"
#include "cpu/cpu.hpp"
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
                                   PackedRecordsOfDrawsPortable};

#if defined(__x86_64__)
constexpr KernelTable kAvx2Row{Kernel::kAvx2,
                               PackedBytesAvx2,
                               SingleBytesPortable,
                               CopyLociAvx2,
                               RanUniformBatchAvx2<double>,
                               RanUniformBatchAvx2<float>,
                               PickAllelesAvx2,
                               PickPackedCodesAvx2,
                               PackedRecordsOfDrawsAvx2};

constexpr KernelTable kAvx2PdepRow{
    Kernel::kAvx2Pdep, PackedBytesAvx2Pdep,         SingleBytesAvx2Pdep,
    CopyLociAvx2,      RanUniformBatchAvx2<double>, RanUniformBatchAvx2<float>,
    PickAllelesAvx2,   PickPackedCodesAvx2,         PackedRecordsOfDrawsAvx2};

constexpr KernelTable kAvx512Row{Kernel::kAvx512,
                                 PackedBytesAvx512,
                                 SingleBytesAvx512,
                                 CopyLociAvx512,
                                 RanUniformBatchAvx512<double>,
                                 RanUniformBatchAvx512<float>,
                                 PickAllelesAvx512,
                                 PickPackedCodesAvx512,
                                 PackedRecordsOfDrawsAvx512};
#endif

}  // namespace

KernelTable KernelsFor(Kernel kernel) {
  if (!CanRun(kernel)) {
    FatalStop(std::string("this processor cannot run the ") + KernelName(kernel) + " path!",
              "SelectKernel");
  }
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
#endif
  return kPortableRow;
}

KernelTable KernelsFromEnvironment() {
  return KernelsFor(KernelFromEnvironment());
}

}  // namespace driftsim
