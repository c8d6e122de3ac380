// The record of a completed run (--summary): what ran, what it wrote, how long it took. Built by
// the driver as a plain struct; this module only turns it into JSON and digests the files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "description/description.hpp"
#include "description/genetic_map.hpp"
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

// The genetic map of the run whose data file is data and whose loci the parameter file gives:
// read from mapFile when one is given (--map, which wins), else from the linkage of the run
// record beside the data file; null for an unlinked run. That record is a regular file *.json
// in the data file's folder, written by driftsim, whose "files" list names a file of the data
// file's name (without folders) and size; one that carries linkage must also give the data
// file's SHA-256, so that a record left from an earlier run of the same stem is not taken.
// Records that name the file but disagree on its linkage stop the run: which one holds is not
// known. A record of --chromosomes N:M gives the same map as the run; a record of --map FILE
// names that file, which is read (as given, else beside the record) only when positions are
// wanted; without them the chromosomes come from the record itself and Position and Bp stay
// empty. mapPath, when given, receives the map file read ("" for none), which the tools must
// not write over.
std::unique_ptr<const GeneticMap> RunMap(const std::string& data, const std::string& mapFile,
                                         int64_t loci, bool positions,
                                         std::string* mapPath = nullptr);

}  // namespace driftsim
