// Output files: the genotype data file and the estimator parameter file.
//
// Both files are written under temporary names beside their final names and renamed into place
// only when both are complete, so a failed or interrupted run leaves no truncated file and does
// not touch the files of an earlier run.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "population/population.hpp"

namespace driftsim {

// A file being written under a temporary name. Every failure ends the run through FatalStop
// with routine, naming the file and the system's reason. The destructor removes the temporary
// file unless it was committed.
class PendingFile {
 public:
  PendingFile(std::string finalName, std::string routine);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Space for at least n more bytes (n <= kBufferSize); Advance(n) then keeps n of them.
  char* Reserve(size_t n) {
    if (kBufferSize - used_ < n) Flush();
    return buffer_.get() + used_;
  }
  void Advance(size_t n) { used_ += n; }
  void Write(const char* text, size_t n);
  void Write(const std::string& text) { Write(text.data(), text.size()); }

  // Writes out the buffer and closes the file, checking both.
  void Close();
  const std::string& FinalName() const { return finalName_; }
  const std::string& TempName() const { return tempName_; }

  static constexpr size_t kBufferSize = size_t{1} << 20;

 private:
  friend void CommitFiles(PendingFile& first, PendingFile& second);
  friend void WriteWholeFile(const std::string& name, const std::string& text,
                             const std::string& routine);
  void Flush();
  [[noreturn]] void Fail(const std::string& what, int err);

  std::string finalName_;
  std::string routine_;
  std::string tempName_;
  int fd_ = -1;
  int slot_ = -1;
  bool created_ = false;
  bool committed_ = false;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
};

// Renames two closed files to their final names.
void CommitFiles(PendingFile& first, PendingFile& second);

// Removes every temporary output file still open; safe to call from a signal handler.
void RemovePendingFiles();

// Whether the run can write its two files: creates and removes their temporary files, stopping
// with the message the run would give.
void CheckOutputFolder(const Params& par);

// Writes name whole or not at all: under a temporary name, renamed into place when complete.
void WriteWholeFile(const std::string& name, const std::string& text, const std::string& routine);

// Writes <OutFile>.dat: one line per sampled individual, samples 1, 2, then the source sample;
// samples holds all sampled records, source sample first. progress, when given, hears of every
// record written.
void WriteGenoFile(const Params& par, RecordSpan samples, PendingFile& out,
                   Progress* progress = nullptr);

// Writes <OutFile>.par: the thirteen lines the estimation program reads.
void WriteParaFile(const Params& par, PendingFile& out);

}  // namespace driftsim
