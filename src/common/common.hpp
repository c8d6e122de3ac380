// What every layer shares: the one fatal-error path and its kinds, integer text, the monotonic
// clock and the interface through which the engine reports the progress of a run. This leaf
// includes nothing of driftsim's own; everything else may include it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace driftsim {

// Shortest decimal text of an integer: digits only, "-" in front when negative.
std::string IntToText(int64_t n);

// The two files a run writes for the output stem OutFile: the genotype data and the parameter
// file of the estimator. Their endings are spelled here alone.
struct OutputNames {
  std::string Data;  // OutFile.dat
  std::string Para;  // OutFile.par
};
OutputNames OutputFiles(std::string_view stem);

// The stem of a data file name: without its ".dat" ending when it has one after at least one
// character, else the whole name (so "run.dat" and "run" both give "run").
std::string OutputStem(std::string_view dataFile);

// Whole seconds of a monotonic clock. Only differences of two readings are meaningful, so a
// change of the wall clock (daylight saving, manual reset) never gives a wrong elapsed time.
int32_t MonotonicSeconds();

// What kind of failure an error is, as tskit's TSK_ERR_* codes tell them apart: every front end
// (the command line, Python, R) maps a kind to its own convention without reading the text.
enum class ErrorKind {
  kBadValue,     // a value refused: a parameter, an option, an environment variable
  kBadFile,      // an input file that does not exist or cannot be read (its values: kBadValue)
  kCannotWrite,  // an output that cannot be created, written or put in place
  kOutOfMemory,  // tables or buffers that do not fit
  kInterrupted,  // the run was cancelled before it ended
  kInternal,     // a broken invariant: a bug
};

// The one error of all three programs: the message and, where the programs name one, the
// routine that detected it; its kind; and where a system call on a file failed, its errno and
// the file (so that Python can raise OSError(errno, strerror, filename)).
class FatalError : public std::runtime_error {
 public:
  explicit FatalError(std::string message, std::string routine = "",
                      ErrorKind kind = ErrorKind::kBadValue, int osError = 0,
                      std::string file = "");
  const std::string& Message() const { return message_; }
  const std::string& Routine() const { return routine_; }
  ErrorKind Kind() const { return kind_; }
  int OsError() const { return osError_; }           // 0: no system call failed
  const std::string& File() const { return file_; }  // empty: none named

 private:
  std::string message_;
  std::string routine_;
  ErrorKind kind_;
  int osError_;
  std::string file_;
};

// Ends the run on an error. Library code only throws; main reports and exits.
[[noreturn]] void FatalStop(std::string_view message, std::string_view routine,
                            ErrorKind kind = ErrorKind::kBadValue);
// The same for a system call on file that failed with osError.
[[noreturn]] void FatalStop(std::string_view message, std::string_view routine, ErrorKind kind,
                            int osError, std::string_view file);

// A cheap invariant, checked in every build; a broken one is a bug and stops the run.
inline void Check(bool holds, const char* what) {
  if (!holds) {
    FatalStop(std::string("Internal check failed: ") + what + "!", "Check", ErrorKind::kInternal);
  }
}

// The stages of a run, in their order; the front end words them.
enum class RunStage {
  kInitialize,    // tables, frequencies and the initial population
  kSample1,       // the sample before the generations between the samples
  kSample2,       // the sample after them
  kSourceSample,  // the sample of the source population (migration model)
  kGenoErrors,    // genotyping errors and missing data on the samples
  kWriteData,     // the genotype data file
  kWritePara,     // the estimator parameter file
};

// Progress of a run and of its long steps. The engine and the writers say where they are; what
// a front end shows, and when, is its own choice. The base class shows nothing.
class Progress {
 public:
  virtual ~Progress() = default;
  // A stage of the run begins.
  virtual void Stage(RunStage /*stage*/) {}
  // Generation g of last is about to be made.
  virtual void Generation(int32_t /*g*/, int32_t /*last*/) {}
  // The data file's records are about to be written.
  virtual void Writing(int64_t /*records*/) {}
  // The phase under way (initialisation, generations, writing) has ended.
  virtual void PhaseEnd() {}
  // Initialisation: the frequencies are about to be drawn, then the initial genotypes.
  virtual void Frequencies(int32_t /*NumLoci*/) {}
  virtual void InitialGenotypes(int32_t /*NumLoci*/, int32_t /*Ne*/) {}
  // Initial genotypes drawn for the first done loci; all NumLoci of them.
  virtual void Loci(int64_t /*done*/) {}
  virtual void LociDone(int32_t /*NumLoci*/) {}
  // Offspring of the generation made so far; all Ne of them.
  virtual void Offspring(int32_t /*done*/) {}
  virtual void OffspringDone(int32_t /*Ne*/) {}
  // Records of the data file written so far.
  virtual void Records(int64_t /*done*/) {}
};

}  // namespace driftsim
