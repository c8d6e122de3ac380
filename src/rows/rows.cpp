#include "rows/rows.hpp"

#include <string>

#include "common/common.hpp"
#include "cpu/vector.hpp"
#include "population/alleles.hpp"
#include "population/transmit_kernels.hpp"
#include "random/random.hpp"

namespace driftsim {

namespace {

KernelTable PortableRow() {
  return {Kernel::kPortable,
          PackedBytesPortable,
          SingleBytesPortable,
          CopyLociPortable,
          {RanUniformBatchPortable<double>, RanUniformBatchPortable<float>},
          PickAllelesPortable,
          PickPackedCodesPortable,
          PackedRecordsOfDrawsPortable};
}

}  // namespace

KernelTable KernelsFor(Kernel kernel) {
  if (!CanRun(kernel)) {
    FatalStop(std::string("this processor cannot run the ") + KernelName(kernel) + " path!",
              "SelectKernel");
  }
  switch (kernel) {
#if DRIFTSIM_VECTOR_ROWS
    case Kernel::kAvx2:
      return native::Avx2Row(kernel);
    case Kernel::kAvx2Pdep:
      return native::Avx2PdepRow(kernel);
    case Kernel::kAvx512:
      return native::Avx512Row(kernel);
#endif
#if defined(DRIFTSIM_EMULATED_ROWS)
    case Kernel::kAvx2Emulated:
      return emulated::Avx2Row(kernel);
    case Kernel::kAvx2PdepEmulated:
      return emulated::Avx2PdepRow(kernel);
    case Kernel::kAvx512Emulated:
      return emulated::Avx512Row(kernel);
#endif
    default:
      return PortableRow();
  }
}

KernelTable KernelsFromEnvironment() {
  return KernelsFor(KernelFromEnvironment());
}

}  // namespace driftsim
