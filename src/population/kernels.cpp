// The rows of the kernel table (kernels.hpp), filled from the routines of each instruction set:
// this file sits above them. A row takes the portable twin where its set has no routine of its
// own. Test builds compile this file a second time with DRIFTSIM_EMULATE, beside the vector
// routines built the same way (cpu/vector.hpp): that build fills the emulated rows.
#include <string>

#include "common/common.hpp"
#include "cpu/cpu.hpp"
#include "cpu/vector.hpp"
#include "population/alleles.hpp"
#include "population/kernels.hpp"
#include "population/transmit_kernels.hpp"
#include "random/random.hpp"

namespace driftsim {

#if DRIFTSIM_VECTOR_ROWS
namespace DRIFTSIM_ROWS_NS {

// The vector routines, as built in this file's mode; their contracts are at the portable
// twins.
int64_t PackedBytesAvx2(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                        uint64_t& pos);
int64_t PackedBytesAvx2Pdep(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                            uint64_t& pos);
int64_t PackedBytesAvx512(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                          uint64_t& pos);
int64_t SingleBytesAvx2Pdep(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t b0,
                            int64_t b1, const unsigned char* bits, uint64_t& pos, int64_t& hets);
int64_t SingleBytesAvx512(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t b0,
                          int64_t b1, const unsigned char* bits, uint64_t& pos, int64_t& hets);
void CopyLociAvx2(const Family& fam, int64_t NumLoci, CopyBits& bits);
void CopyLociAvx512(const Family& fam, int64_t NumLoci, CopyBits& bits);
template <typename T>
void RanUniformBatchAvx2(RngState& s, T* out, size_t n);
template <typename T>
void RanUniformBatchAvx512(RngState& s, T* out, size_t n);
void PickAllelesAvx2(const float* cum, size_t entries, const float* u, uint8_t* out, size_t n);
void PickPackedCodesAvx2(const float* hw, const float* u, uint8_t* out, size_t n, int shift,
                         bool first);
void PackedRecordsOfDrawsAvx2(const float* hw, const float* u, uint8_t* first, int64_t stride,
                              size_t count, size_t nbytes);
void PickAllelesAvx512(const float* cum, size_t entries, const float* u, uint8_t* out, size_t n);
void PickPackedCodesAvx512(const float* hw, const float* u, uint8_t* out, size_t n, int shift,
                           bool first);
void PackedRecordsOfDrawsAvx512(const float* hw, const float* u, uint8_t* first, int64_t stride,
                                size_t count, size_t nbytes);

// The x86 row `row` (kAvx2, kAvx2Pdep or kAvx512), tagged `tag`.
KernelTable VectorRow(Kernel row, Kernel tag) {
  switch (row) {
    case Kernel::kAvx2:
      return {tag,
              PackedBytesAvx2,
              SingleBytesPortable,
              CopyLociAvx2,
              {RanUniformBatchAvx2<double>, RanUniformBatchAvx2<float>},
              PickAllelesAvx2,
              PickPackedCodesAvx2,
              PackedRecordsOfDrawsAvx2};
    case Kernel::kAvx2Pdep:
      return {tag,
              PackedBytesAvx2Pdep,
              SingleBytesAvx2Pdep,
              CopyLociAvx2,
              {RanUniformBatchAvx2<double>, RanUniformBatchAvx2<float>},
              PickAllelesAvx2,
              PickPackedCodesAvx2,
              PackedRecordsOfDrawsAvx2};
    default:
      return {tag,
              PackedBytesAvx512,
              SingleBytesAvx512,
              CopyLociAvx512,
              {RanUniformBatchAvx512<double>, RanUniformBatchAvx512<float>},
              PickAllelesAvx512,
              PickPackedCodesAvx512,
              PackedRecordsOfDrawsAvx512};
  }
}

}  // namespace DRIFTSIM_ROWS_NS
#endif

#if !defined(DRIFTSIM_EMULATE)

#if defined(DRIFTSIM_EMULATED_ROWS)
namespace emulated {
KernelTable VectorRow(Kernel row, Kernel tag);
}
#endif

KernelTable KernelsFor(Kernel kernel) {
  if (!CanRun(kernel)) {
    FatalStop(std::string("this processor cannot run the ") + KernelName(kernel) + " path!",
              "SelectKernel");
  }
  if (kernel == Kernel::kPortable) {
    return {Kernel::kPortable,
            PackedBytesPortable,
            SingleBytesPortable,
            CopyLociPortable,
            {RanUniformBatchPortable<double>, RanUniformBatchPortable<float>},
            PickAllelesPortable,
            PickPackedCodesPortable,
            PackedRecordsOfDrawsPortable};
  }
#if defined(DRIFTSIM_EMULATED_ROWS)
  if (IsEmulated(kernel)) return emulated::VectorRow(NativeRow(kernel), kernel);
#endif
#if DRIFTSIM_VECTOR_ROWS
  return native::VectorRow(kernel, kernel);
#else
  FatalStop(std::string("no ") + KernelName(kernel) + " path in this build!", "SelectKernel");
#endif
}

KernelTable KernelsFromEnvironment() {
  return KernelsFor(KernelFromEnvironment());
}

#endif

}  // namespace driftsim
