// The choice of CPU path: what DRIFTSIM_KERNEL accepts and refuses.
#include <cstdlib>

#include "test_support.hpp"

namespace driftsim::test {
namespace {

// The message with which DRIFTSIM_KERNEL=value is refused, or "" when it is taken; the path in
// use after it.
std::pair<std::string, Kernel> Select(const char* value) {
  setenv("DRIFTSIM_KERNEL", value, 1);
  std::string message;
  try {
    SelectKernelFromEnvironment();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.Routine(), "SelectKernel");
    message = e.Message();
  }
  unsetenv("DRIFTSIM_KERNEL");
  const Kernel chosen = ActiveKernel();
  SetKernel(BestKernel());
  return {message, chosen};
}

TEST(SelectKernel, TakesRunnablePathsAndRefusesOthers) {
  EXPECT_EQ(Select(""), std::make_pair(std::string(), BestKernel()));
  for (const Kernel k : {Kernel::kPortable, Kernel::kAvx2, Kernel::kAvx512}) {
    const std::string name = KernelName(k);
    if (CanRun(k)) {
      EXPECT_EQ(Select(name.c_str()), std::make_pair(std::string(), k));
    } else {
      EXPECT_EQ(Select(name.c_str()).first,
                "DRIFTSIM_KERNEL=" + name + ": this processor cannot run the " + name + " path!");
    }
  }
  for (const char* bad : {"AVX2", "sse", "portable "}) {
    EXPECT_EQ(Select(bad).first, std::string("DRIFTSIM_KERNEL=") + bad +
                                     ": unknown CPU path; use portable, avx2 or avx512!");
  }
  EXPECT_TRUE(CanRun(Kernel::kPortable));
  EXPECT_TRUE(CanRun(BestKernel()));
}

}  // namespace
}  // namespace driftsim::test
