// The run record (--summary) as JSON, with the digests of the files it names.
#include "summary/summary.hpp"

#include <nettle/sha2.h>
#include <charconv>
#include <cstdlib>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/common.hpp"

namespace driftsim {

FileRecord DescribeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    const int err = errno;
    FatalStop("Cannot read file " + name + ": " + std::strerror(err) + "!", "DescribeFile",
              ErrorKind::kBadFile, err, name);
  }
  sha256_ctx ctx;
  sha256_init(&ctx);
  FileRecord record{name, 0, ""};
  std::vector<char> buffer(size_t{1} << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto n = static_cast<size_t>(in.gcount());
    sha256_update(&ctx, n, reinterpret_cast<const uint8_t*>(buffer.data()));
    record.bytes += n;
  }
  if (in.bad())
    FatalStop("Cannot read file " + name + "!", "DescribeFile", ErrorKind::kBadFile, 0, name);
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, SHA256_DIGEST_SIZE, digest);
  constexpr char kHex[] = "0123456789abcdef";
  for (uint8_t byte : digest) {
    record.sha256 += kHex[byte >> 4];
    record.sha256 += kHex[byte & 15];
  }
  return record;
}

namespace {

// The double nearest to the shortest decimal text of a float: 1e-4f reads 0.0001, not
// 9.9999997e-05.
double ShortestDouble(float v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return ec == std::errc() ? std::strtod(std::string(text, end).c_str(), nullptr) : double{v};
}

}  // namespace

std::string SummaryJson(const RunSummary& run) {
  using Json = nlohmann::ordered_json;
  // Values as the parameter file holds them: reals in their shortest form, so that 0.01 reads
  // 0.01 rather than the double nearest to the float.
  Json parameters = Json::object();
  for (const ParamValue& v : ParamValues(run.par)) {
    switch (v.kind) {
      case ValueKind::kInteger:
        parameters[v.name] = std::stoll(v.text);
        break;
      case ValueKind::kReal:
        parameters[v.name] = std::stod(v.text);
        break;
      case ValueKind::kText:
        parameters[v.name] = v.text;
        break;
    }
  }
  Json files = Json::array();
  for (const FileRecord& f : run.files) {
    files.push_back({{"name", f.name}, {"bytes", f.bytes}, {"sha256", f.sha256}});
  }
  Json sizes = Json::array();
  for (const SizeRun& r : run.truth.Sizes) {
    sizes.push_back(
        {{"first", r.First}, {"last", r.Last}, {"census", r.Census}, {"effective", r.Effective}});
  }
  const ModelOptions& m = run.model;
  Json model = {
      {"burn_in", m.BurnIn},
      {"mutation_rate", ShortestDouble(m.MutationRate)},
      {"ne_ratio", m.NeRatio},
      {"sizes_file", m.SizesFile.empty() ? Json(nullptr) : Json(m.SizesFile)},
      {"sample_generations", {m.BurnIn, m.BurnIn + run.par.NumGen}},
  };
  // Linked runs only: an unlinked run's record stays as it was. --chromosomes may give one
  // chromosome a locus, so its chromosomes are two numbers; a map file's (at most 99) are listed.
  if (m.Linked()) {
    Json linkage = {
        {"map_file", m.MapFile.empty() ? Json(nullptr) : Json(m.MapFile)},
        {"chromosomes", m.Map ? int64_t(m.Map->Chromosomes.size()) : int64_t{m.ChromosomeCount}}};
    if (m.ChromosomeCount > 0) linkage["morgans_each"] = m.ChromosomeMorgans;
    if (m.Map && m.MapFile.size() > 0) {
      Json list = Json::array();
      for (const Chromosome& c : m.Map->Chromosomes) {
        list.push_back({{"name", c.Name},
                        {"first_locus", c.First + 1},
                        {"loci", c.End - c.First},
                        {"morgans", c.Morgans}});
      }
      linkage["map"] = list;
    }
    model["linkage"] = linkage;
  }
  const Json truth = {
      {"harmonic_mean_ne", run.truth.HarmonicNe},
      {"drift_ne", run.truth.DriftNe},
      {"temporal_f", run.truth.TemporalF},
      {"sizes", sizes},
  };
  const Json record = {
      {"program", "driftsim"},
      {"version", run.version},
      {"cpu_path", run.cpuPath},
      {"parameter_file", run.paramFile},
      {"parameters", parameters},
      {"model", model},
      {"true_values", truth},
      {"files", files},
      {"generations", run.generationCount},
      {"seconds",
       {{"initialize", run.initialize},
        {"generations", run.generations},
        {"samples", run.samples},
        {"write", run.write},
        {"total", run.total}}},
      {"peak_memory_bytes", run.peakMemoryBytes},
      {"exit_status", run.exitStatus},
  };
  // Names are bytes, not always UTF-8: an invalid sequence is replaced rather than refused.
  return record.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace driftsim
