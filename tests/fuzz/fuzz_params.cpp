// libFuzzer entry point for the parameter file reader: every input must either give a parameter
// set inside the accepted ranges or be refused with one of the reader's messages. Anything else
// (another message, another exception, a crash or a sanitizer report) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "param_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string problem;
  try {
    problem = driftsim::check::UnacceptableOutcome(text, "fuzz.txt");
  } catch (const std::exception& e) {
    problem = std::string("exception outside the fatal-error path: ") + e.what();
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "fuzz_params: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
