// The leaf every room may use: the fatal error, integer text, file names, the clock.
#include "common/common.hpp"

#include <chrono>

namespace driftsim {

std::string IntToText(int64_t n) {
  char digits[24];
  char* p = digits + sizeof digits;
  uint64_t m = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  do {
    *--p = static_cast<char>('0' + m % 10);
    m /= 10;
  } while (m != 0);
  if (n < 0) *--p = '-';
  return std::string(p, digits + sizeof digits);
}

namespace {
constexpr std::string_view kDataEnding = ".dat";
constexpr std::string_view kParaEnding = ".par";
}  // namespace

OutputNames OutputFiles(std::string_view stem) {
  const std::string s(stem);
  return {s + std::string(kDataEnding), s + std::string(kParaEnding)};
}

std::string OutputStem(std::string_view dataFile) {
  if (dataFile.size() > kDataEnding.size() && dataFile.ends_with(kDataEnding)) {
    dataFile.remove_suffix(kDataEnding.size());
  }
  return std::string(dataFile);
}

int32_t MonotonicSeconds() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

FatalError::FatalError(std::string message, std::string routine, ErrorKind kind, int osError,
                       std::string file)
    : std::runtime_error(message),
      message_(std::move(message)),
      routine_(std::move(routine)),
      kind_(kind),
      osError_(osError),
      file_(std::move(file)) {}

void FatalStop(std::string_view message, std::string_view routine, ErrorKind kind) {
  throw FatalError(std::string(message), std::string(routine), kind);
}

void FatalStop(std::string_view message, std::string_view routine, ErrorKind kind, int osError,
               std::string_view file) {
  throw FatalError(std::string(message), std::string(routine), kind, osError, std::string(file));
}

}  // namespace driftsim
