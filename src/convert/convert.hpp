// Exports of a simulated data set for other estimators: GENEPOP, VCF (plain or BGZF) and PLINK
// text files, written from the data file as it streams through driftsim-stats' reader.
//
// Every file is written under a temporary name in its destination folder and renamed into
// place when all files of the conversion are complete: a failed or interrupted conversion
// leaves no partial output, and earlier files of the same names as they were.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "description/genetic_map.hpp"
#include "stats/stats.hpp"
#include "transaction/transaction.hpp"

struct BGZF;

namespace driftsim::convert {

using stats::StatsError;  // the one error of both tools

// ---------------------------------------------------------------------------------------------
// Output files

// An export file in the file transaction (transaction/transaction.hpp): written under a
// temporary name in the folder of its final name, removed again unless committed. With a BGZF
// level (0 to 9), what is written is compressed as BGZF by htslib, on `threads` extra threads.
class OutputFile {
 public:
  explicit OutputFile(std::string path, int bgzfLevel = -1, int threads = 0);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(std::string_view text);
  // Writes what is buffered, ends the file and flushes it to disk.
  void Finish();

  const std::string& Path() const { return file_.FinalName(); }
  std::string TemporaryPath() const { return file_.TempName(); }

 private:
  friend void Commit(const std::vector<OutputFile*>& files);
  void Flush();

  driftsim::OutputFile file_;
  BGZF* bgzf_ = nullptr;
  std::string buffer_;
};

// Renames every file into place, or none (the transaction's Commit). After a commit, signals
// no longer end the process: its work is done.
void Commit(const std::vector<OutputFile*>& files);

// ---------------------------------------------------------------------------------------------
// Conversion

enum class Format { kGenepop, kVcf, kVcfGz, kPlink };

// The format of a --to name (genepop, vcf, vcf.gz, plink); false if there is none.
bool ParseFormat(std::string_view name, Format& format);

// True if this build can write the format (vcf.gz needs htslib).
bool Available(Format format);

struct Options {
  Format format = Format::kGenepop;
  std::string data, par;  // par empty: the .par beside the data file
  std::string output;     // file name, or stem for plink; empty: beside the data file
  std::string popMap;     // sample<TAB>population file, if wanted
  std::string map;        // PLINK .map of the run's linked loci (VCF and PLINK positions)
  int level = 1;          // BGZF compression level
  int threads = 0;        // extra compression threads
};

// The files a conversion writes: one, or the .ped and .map of plink.
// A warning when -o does not look like what the format takes ("" when it does): for genepop
// and the VCFs -o names the file itself, and one without the format's extension is the mark of
// a name meant as a stem, which another format's file of the same name would then replace;
// for plink it is a stem, and a .ped or .map ending would be doubled.
std::string OutputNameWarning(const Options& o);

std::vector<std::string> OutputNames(const Options& options);

// Converts, or throws StatsError and leaves no output.
void Convert(const Options& options);

// Writers, one per format: each is the LineSink of the reader, with Finish after the last line.
class Writer : public stats::LineSink {
 public:
  virtual ~Writer() = default;
  virtual void Finish() {}
};

std::unique_ptr<Writer> MakeGenepop(OutputFile& out, const stats::ParInfo& par,
                                    const std::string& data);
// map: the run's genetic map (--map), or null for unlinked loci.
std::unique_ptr<Writer> MakeVcf(OutputFile& out, const stats::ParInfo& par, const std::string& data,
                                const GeneticMap* map = nullptr);
std::unique_ptr<Writer> MakePlink(OutputFile& ped, OutputFile& map, const stats::ParInfo& par,
                                  const std::string& data, const GeneticMap* genetic = nullptr);
std::unique_ptr<Writer> MakePopMap(OutputFile& out);

}  // namespace driftsim::convert
