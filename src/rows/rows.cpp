#include "rows/rows.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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

const char* RowNeeds(Kernel kernel) {
  switch (kernel) {
    case Kernel::kPortable:
      return "";
#if DRIFTSIM_VECTOR_ROWS
    case Kernel::kAvx2:
      return native::kAvx2Needs;
    case Kernel::kAvx2Pdep:
      return native::kAvx2PdepNeeds;
    case Kernel::kAvx512:
      return native::kAvx512Needs;
#endif
    default:
      return nullptr;
  }
}

bool CanRun(Kernel kernel) {
  if (IsEmulated(kernel)) return EmulatedRowsBuilt();
  const char* needs = RowNeeds(kernel);
  return needs != nullptr && Cpu().Has(needs);
}

Kernel BestKernel() {
  Kernel best = Kernel::kPortable;
  for (const Kernel k : kKernels) {
    if (!CanRun(k)) continue;
    const bool pdep = std::string_view(RowNeeds(k)).find("bmi2") != std::string_view::npos;
    if (!pdep || Cpu().fastPdep) best = k;
  }
  return best;
}

Kernel ProvingRow(Kernel kernel) {
  if (CanRun(kernel) || !CanRun(EmulatedTwin(kernel))) return kernel;
  return EmulatedTwin(kernel);
}

namespace {

// Every row a name may select: the rows, then the emulated ones.
constexpr Kernel kNamedRows[] = {Kernel::kPortable,      Kernel::kAvx2,
                                 Kernel::kAvx2Pdep,      Kernel::kAvx512,
                                 Kernel::kAvx2Emulated,  Kernel::kAvx2PdepEmulated,
                                 Kernel::kAvx512Emulated};

}  // namespace

Kernel KernelFromEnvironment() {
  const char* name = std::getenv("DRIFTSIM_KERNEL");
  if (name == nullptr || *name == '\0') return BestKernel();
  for (const Kernel k : kNamedRows) {
    if (std::strcmp(name, KernelName(k)) != 0) continue;
    if (!CanRun(k)) {
      FatalStop(std::string("DRIFTSIM_KERNEL=") + name + ": this processor cannot run the " + name +
                    " path!",
                "SelectKernel");
    }
    return k;
  }
  FatalStop(
      std::string("DRIFTSIM_KERNEL=") + name + ": unknown CPU path; use " + KernelNames() + "!",
      "SelectKernel");
}

std::string CpuDescription() {
  const CpuFeatures& f = Cpu();
  const bool avx2 = f.Has("avx2,popcnt"), bmi2 = f.Has("bmi2");
  std::string s = f.vendor + " family " + std::to_string(f.family) + " model " +
                  std::to_string(f.model) + ", features:";
  if (avx2) s += " avx2";
  if (bmi2) s += f.fastPdep ? " bmi2 (fast pdep)" : " bmi2 (microcoded pdep)";
  if (CanRun(Kernel::kAvx512)) s += " avx512 (bw vl vbmi bitalg) gfni";
  if (!avx2 && !bmi2) s += " none used";
  s += "; rows run:";
  for (const Kernel k : kKernels) {
    if (CanRun(k)) s += std::string(" ") + KernelName(k);
  }
  return s + "; chosen: " + KernelName(BestKernel());
}

}  // namespace driftsim
