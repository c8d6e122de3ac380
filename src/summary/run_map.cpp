// The map of a run, as driftsim-stats and driftsim-convert find it: a --map file, or the linkage
// that the run record beside the data file carries. A --chromosomes run writes no map file; its
// record is what tells the tools that its loci are linked.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/common.hpp"
#include "summary/summary.hpp"

namespace driftsim {

namespace {

using Json = nlohmann::json;

constexpr const char* kRoutine = "RunMap";

// A record is a few kilobytes (a map file's at most 99 chromosomes); larger .json files
// beside the data are something else and are not read whole.
constexpr uintmax_t kMaxRecordBytes = uintmax_t{1} << 22;
constexpr double kMaxMorgans = 100;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsRegularFile(const std::string& path, uintmax_t* bytes = nullptr) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (bytes != nullptr) *bytes = static_cast<uintmax_t>(st.st_size);
  return true;
}

// The text of a key of an object, "" when it is missing or not text: a record is input and may
// hold anything.
std::string Text(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

[[noreturn]] void RecordError(const std::string& record, const std::string& what) {
  FatalStop("Run record " + record + ": " + what + "!", kRoutine, ErrorKind::kBadFile, 0, record);
}

// The record's entry for a file of this name and size, or null.
const Json* FileEntry(const Json& record, const std::string& base, uintmax_t bytes) {
  const auto files = record.find("files");
  if (files == record.end() || !files->is_array()) return nullptr;
  for (const Json& f : *files) {
    if (!f.is_object()) continue;
    const auto name = f.find("name");
    const auto size = f.find("bytes");
    if (name == f.end() || !name->is_string() || size == f.end() || !size->is_number_unsigned()) {
      continue;
    }
    if (BaseName(name->get<std::string>()) == base && size->get<uintmax_t>() == bytes) return &f;
  }
  return nullptr;
}

struct Found {
  std::string path;
  Json linkage;  // null for an unlinked run
  Json record;
};

// Every record beside data that names it, in the order of their names.
std::vector<Found> RecordsOf(const std::string& data) {
  std::vector<Found> found;
  uintmax_t bytes = 0;
  if (!IsRegularFile(data, &bytes)) return found;
  const std::string base = BaseName(data);
  const std::string folder = FolderOf(data);
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::string digest;  // of the data file, once a linked record asks for it
  for (const std::string& name : names) {
    const std::string path = folder == "." && data.find('/') == std::string::npos
                                 ? name
                                 : (folder == "/" ? "/" : folder + "/") + name;
    uintmax_t size = 0;
    if (!IsRegularFile(path, &size) || size > kMaxRecordBytes) continue;
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // Most .json files are not records of this file: a look for its name comes before parsing.
    if (text.find(base) == std::string::npos) continue;
    Json record = Json::parse(text, nullptr, false);
    if (record.is_discarded() || !record.is_object() || Text(record, "program") != "driftsim") {
      continue;
    }
    const Json* entry = FileEntry(record, base, bytes);
    if (entry == nullptr) continue;
    Json linkage;
    const auto model = record.find("model");
    if (model != record.end() && model->is_object() && model->contains("linkage")) {
      linkage = (*model)["linkage"];
      if (digest.empty()) digest = DescribeFile(data).sha256;
      if (Text(*entry, "sha256") != digest) continue;  // left from another run
    }
    found.push_back({path, std::move(linkage), std::move(record)});
  }
  return found;
}

// The chromosomes the record lists for a map file: names, first locus (from 1) and loci, in
// order and covering the loci.
std::vector<Chromosome> ListedChromosomes(const Found& f, int64_t loci) {
  const auto list = f.linkage.find("map");
  if (list == f.linkage.end() || !list->is_array() || list->empty()) {
    RecordError(f.path, "its linkage names a map file but lists no chromosomes");
  }
  std::vector<Chromosome> chromosomes;
  int64_t next = 0;
  for (const Json& c : *list) {
    const bool form = c.is_object() && c.contains("name") && c["name"].is_string() &&
                      c.contains("first_locus") && c["first_locus"].is_number_integer() &&
                      c.contains("loci") && c["loci"].is_number_integer() &&
                      c.contains("morgans") && c["morgans"].is_number();
    if (!form || c["first_locus"].get<int64_t>() != next + 1 || c["loci"].get<int64_t>() < 1 ||
        c["loci"].get<int64_t>() > loci - next) {
      RecordError(f.path, "its chromosomes do not cover the " + IntToText(loci) +
                              " loci of the data in order");
    }
    const int64_t first = next;
    next += c["loci"].get<int64_t>();
    chromosomes.push_back({c["name"].get<std::string>(), first, next, c["morgans"].get<double>()});
  }
  if (next != loci) {
    RecordError(f.path,
                "its chromosomes hold " + IntToText(next) + " loci, the data " + IntToText(loci));
  }
  return chromosomes;
}

// The map file of the record, read as named (relative to the working folder), else beside the
// record; it must give the chromosomes the record lists.
GeneticMap RecordedMapFile(const Found& f, const std::vector<Chromosome>& listed, int64_t loci,
                           std::string& path) {
  const std::string named = f.linkage["map_file"].get<std::string>();
  path = named;
  if (!IsRegularFile(path) && !named.empty() && named[0] != '/') {
    path = FolderOf(f.path) + "/" + named;
  }
  if (!IsRegularFile(path)) {
    RecordError(f.path, "the run's map file " + named +
                            " is not found as named nor beside the record; give it with --map");
  }
  GeneticMap map = ReadMap(path, loci);
  const bool same = std::equal(map.Chromosomes.begin(), map.Chromosomes.end(), listed.begin(),
                               listed.end(), [](const Chromosome& a, const Chromosome& b) {
                                 return a.Name == b.Name && a.First == b.First && a.End == b.End;
                               });
  if (!same) {
    RecordError(f.path, "the map file " + path +
                            " is not the run's: its chromosomes differ from those the record "
                            "lists; give the run's map with --map");
  }
  return map;
}

GeneticMap RecordedMap(const Found& f, int64_t loci, bool positions, std::string& path) {
  const Json& link = f.linkage;
  if (!link.is_object()) RecordError(f.path, "its linkage is not an object");
  const auto parameters = f.record.find("parameters");
  if (parameters != f.record.end() && parameters->is_object()) {
    const auto recorded = parameters->find("NumLoci");
    if (recorded == parameters->end() || !recorded->is_number_integer() ||
        recorded->get<int64_t>() != loci) {
      RecordError(f.path, "its NumLoci is not the parameter file's " + IntToText(loci) + " loci");
    }
  }
  if (link.contains("map_file") && link["map_file"].is_string()) {
    const std::vector<Chromosome> listed = ListedChromosomes(f, loci);
    if (positions) return RecordedMapFile(f, listed, loci, path);
    GeneticMap map;
    map.Chromosomes = listed;
    return map;
  }
  const bool form = link.contains("chromosomes") && link["chromosomes"].is_number_integer() &&
                    link.contains("morgans_each") && link["morgans_each"].is_number();
  const int64_t count = form ? link["chromosomes"].get<int64_t>() : 0;
  const double morgans = form ? link["morgans_each"].get<double>() : 0;
  if (!form || count < 1 || count > loci || !(morgans > 0 && morgans <= kMaxMorgans)) {
    RecordError(f.path, "its linkage gives neither a map file nor 1 to " + IntToText(loci) +
                            " chromosomes of a length above 0 and at most 100 Morgans");
  }
  return EvenMap(loci, static_cast<int32_t>(count), morgans);
}

// The one record of data: every record that names it must agree on its linkage.
std::optional<Found> RecordOf(const std::string& data) {
  std::vector<Found> found = RecordsOf(data);
  if (found.empty()) return std::nullopt;
  for (const Found& f : found) {
    if (f.linkage != found.front().linkage) {
      FatalStop("Run records " + found.front().path + " and " + f.path + " both describe " + data +
                    " but differ in its linkage; give the map with --map!",
                kRoutine, ErrorKind::kBadFile, 0, f.path);
    }
  }
  return std::move(found.front());
}

}  // namespace

std::unique_ptr<const GeneticMap> RunMap(const std::string& data, const std::string& mapFile,
                                         int64_t loci, bool positions, std::string* mapPath) {
  std::string path = mapFile;
  std::unique_ptr<const GeneticMap> map;
  if (!mapFile.empty()) {
    map = std::make_unique<const GeneticMap>(ReadMap(mapFile, loci));
  } else if (const std::optional<Found> f = RecordOf(data); f && !f->linkage.is_null()) {
    map = std::make_unique<const GeneticMap>(RecordedMap(*f, loci, positions, path));
  }
  if (mapPath != nullptr) *mapPath = path;
  return map;
}

}  // namespace driftsim
