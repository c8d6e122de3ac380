// One conversion: the parameter file, the output files, the data file streamed through the
// writers, and the commit.
#include "convert/convert.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "summary/summary.hpp"

namespace driftsim::convert {

namespace {

// Hands every line to the format's writer and, when wanted, to the population map.
class Fanout final : public stats::LineSink {
 public:
  Fanout(Writer& format, Writer* popMap) : format_(format), popMap_(popMap) {}
  void Line(const stats::GenoLine& line) override {
    format_.Line(line);
    if (popMap_ != nullptr) popMap_->Line(line);
  }

 private:
  Writer& format_;
  Writer* popMap_;
};

// The data file's name without .dat: the stem of the default output names.
std::string Stem(const std::string& data) {
  const std::string par = stats::ParFileFor(data);
  return par.substr(0, par.size() - 4);
}

}  // namespace

bool ParseFormat(std::string_view name, Format& format) {
  if (name == "genepop") {
    format = Format::kGenepop;
  } else if (name == "vcf") {
    format = Format::kVcf;
  } else if (name == "vcf.gz") {
    format = Format::kVcfGz;
  } else if (name == "plink") {
    format = Format::kPlink;
  } else {
    return false;
  }
  return true;
}

bool Available(Format format) {
#ifdef DRIFTSIM_HAVE_HTSLIB
  (void)format;
  return true;
#else
  return format != Format::kVcfGz;
#endif
}

std::vector<std::string> OutputNames(const Options& o) {
  const std::string stem = Stem(o.data);
  switch (o.format) {
    case Format::kGenepop:
      return {o.output.empty() ? stem + ".gen" : o.output};
    case Format::kVcf:
      return {o.output.empty() ? stem + ".vcf" : o.output};
    case Format::kVcfGz:
      return {o.output.empty() ? stem + ".vcf.gz" : o.output};
    case Format::kPlink: {
      const std::string base = o.output.empty() ? stem : o.output;
      return {base + ".ped", base + ".map"};
    }
  }
  return {};
}

std::string OutputNameWarning(const Options& o) {
  if (o.output.empty()) return "";
  const std::string_view name = o.output;
  auto ends = [&](std::initializer_list<const char*> endings) {
    return std::any_of(endings.begin(), endings.end(),
                       [&](const char* e) { return name.ends_with(e); });
  };
  const std::string quoted = "-o " + Printable(name, std::string::npos);
  switch (o.format) {
    case Format::kGenepop:
      if (ends({".gen", ".genepop", ".txt"})) return "";
      return quoted + " has no .gen extension; for genepop it names the file itself";
    case Format::kVcf:
      if (ends({".vcf"})) return "";
      return quoted + " has no .vcf extension; for vcf it names the file itself";
    case Format::kVcfGz:
      if (ends({".vcf.gz", ".vcf.bgz"})) return "";
      return quoted + " has no .vcf.gz extension; for vcf.gz it names the file itself";
    case Format::kPlink:
      if (!ends({".ped", ".map"})) return "";
      return quoted + " is a stem for plink, which adds .ped and .map to it";
  }
  return "";
}

void Convert(const Options& o) {
  if (!Available(o.format)) {
    throw StatsError(
        "this driftsim-convert was built without htslib and cannot write vcf.gz; write --to vcf "
        "and compress it with bgzip");
  }
  // The data file is checked first, then the parameter file is read: both before any output.
  stats::CheckReadable(o.data);
  const std::string parPath = o.par.empty() ? stats::ParFileFor(o.data) : o.par;
  stats::CheckCommitted(o.data, parPath);
  const stats::ParInfo par = stats::ReadParFile(parPath);
  // The map places the loci of VCF and PLINK. GENEPOP has no positions: the run record's map
  // is not looked for, and a --map is only checked.
  std::string mapPath;
  const std::unique_ptr<const GeneticMap> map =
      o.format == Format::kGenepop && o.map.empty()
          ? nullptr
          : RunMap(o.data, o.map, par.loci, true, &mapPath);
  std::vector<std::string> names = OutputNames(o);
  if (!o.popMap.empty()) names.push_back(o.popMap);
  // An output that would replace an input, or another output, is refused before anything is
  // written.
  std::vector<FileRole> roles = {{o.data, "the data file", true},
                                 {parPath, "the parameter file", true}};
  if (!mapPath.empty()) roles.push_back({mapPath, "the map file", true});
  for (size_t i = 0; i < names.size(); ++i) {
    roles.push_back(
        {names[i], !o.popMap.empty() && i + 1 == names.size() ? "the population map" : "the export",
         false});
  }
  CheckDistinctFiles(roles, "");

  std::vector<std::unique_ptr<OutputFile>> files;
  for (size_t i = 0; i < names.size(); ++i) {
    const bool compressed = o.format == Format::kVcfGz && i == 0;
    files.push_back(std::make_unique<OutputFile>(names[i], compressed ? o.level : -1, o.threads));
  }
  std::unique_ptr<Writer> writer;
  switch (o.format) {
    case Format::kGenepop:
      writer = MakeGenepop(*files[0], par, o.data);
      break;
    case Format::kVcf:
    case Format::kVcfGz:
      writer = MakeVcf(*files[0], par, o.data, map.get());
      break;
    case Format::kPlink:
      writer = MakePlink(*files[0], *files[1], par, o.data, map.get());
      break;
  }
  std::unique_ptr<Writer> popMap = o.popMap.empty() ? nullptr : MakePopMap(*files.back());
  Fanout sink(*writer, popMap.get());
  stats::GenoReader reader(o.data, sink, {&par, true});
  stats::ReadFileInto(reader, o.data);
  writer->Finish();
  std::vector<OutputFile*> all;
  for (const auto& f : files) {
    f->Finish();
    all.push_back(f.get());
  }
  Commit(all);
}

}  // namespace driftsim::convert
