// The record of a completed run (--summary): what ran, what it wrote, how long it took. Built by
// the driver as a plain struct; this module only turns it into JSON and digests the files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "description/description.hpp"
#include "model/true_values.hpp"

namespace driftsim {

// An output file: its name, size and SHA-256 digest (lower-case hex).
struct FileRecord {
  std::string name;
  uint64_t bytes = 0;
  std::string sha256;
};

// Size and digest of the file name; stops through FatalStop when it cannot be read.
FileRecord DescribeFile(const std::string& name);

struct RunSummary {
  std::string version;
  std::string cpuPath;    // the CPU path the run used (portable, avx2, avx512)
  std::string paramFile;  // as read
  Params par;             // effective values, the seed as given
  ModelOptions model;     // burn-in, mutation rate, sizes, Ne/N ratio
  TrueValues truth;       // what the model gives an estimator to find
  std::vector<FileRecord> files;
  // Seconds of the phases, and of the whole run.
  double initialize = 0;
  double generations = 0;
  double samples = 0;
  double write = 0;
  double total = 0;
  int32_t generationCount = 0;
  uint64_t peakMemoryBytes = 0;  // largest resident set of the process
  int exitStatus = 0;
};

// The record as a JSON object, keys in a fixed order, with a final line end.
std::string SummaryJson(const RunSummary& run);

}  // namespace driftsim
