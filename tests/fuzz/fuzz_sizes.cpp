// libFuzzer entry point for the --sizes reader: every input must either give a schedule whose
// generations increase and whose sizes lie in range, or be refused through the fatal-error path
// with a message that names the file and a line and quotes no more than the bounded text.
// Anything else (another exception, a crash, a sanitizer report) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>

#include "common/common.hpp"
#include "description/description.hpp"

namespace {

std::string Problem(const std::string& text) {
  std::istringstream in(text);
  driftsim::SizeSchedule s;
  try {
    s = driftsim::ReadSizesStream(in, "fuzz.txt");
  } catch (const driftsim::FatalError& e) {
    const std::string& m = e.Message();
    if (!m.starts_with("fuzz.txt:")) return "refusal without the file: " + m;
    if (m.size() > 400) return "refusal longer than its bounds: " + m.substr(0, 400);
    for (const char c : m) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) return "refusal quotes a control byte";
    }
    return "";
  }
  int32_t last = 0;
  for (const driftsim::SizeChange& c : s.Changes) {
    if (c.First <= last) return "generations do not increase";
    if (c.Size < driftsim::kMinSize || c.Size > driftsim::kMaxSize) return "size out of range";
    last = c.First;
  }
  return s.Changes.empty() ? "an empty schedule was accepted" : "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string problem;
  try {
    problem = Problem(text);
  } catch (const std::exception& e) {
    problem = std::string("exception outside the fatal-error path: ") + e.what();
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "fuzz_sizes: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
