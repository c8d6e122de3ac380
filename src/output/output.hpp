// Output files: the genotype data file and the estimator parameter file.
//
// Both files are written under unpredictable temporary names beside their final names, made
// before the simulation starts, and put in place together by CommitFiles: a failed or
// interrupted run leaves no truncated file and leaves the files of an earlier run as they were.
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

  // Writes out the buffer, flushes the file to disk and closes it, checking all three.
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

// Puts two closed files of one folder in place, both or neither: under an advisory lock on the
// folder, with the termination signals held back, the earlier files kept under hard links until
// both renames have succeeded (and put back when one fails), and the folder flushed to disk
// after the last rename. A failure ends the run through FatalStop as a failed rename.
void CommitFiles(PendingFile& first, PendingFile& second);

// Steps of CommitFiles, for tests. kStart comes after both files are closed, kLockWait only when
// another run holds the folder's lock; kKeep and kRename come once per file (0: first).
enum class CommitStep { kStart, kLockWait, kLock, kKeep, kRename, kSyncFolder };
// A test hook, null in a normal run: called before each step, it may stop the process or fail
// the step by returning the errno that the step is then taken to have failed with.
using CommitHook = int (*)(CommitStep step, int file);
extern CommitHook gCommitHook;

// Handlers for every catchable termination signal: an interrupted run removes its temporary
// files and ends by that signal, except once its files are committed, when it completes. A
// closed console pipe (SIGPIPE) and a file-size limit (SIGXFSZ, writes then fail) are ignored.
void InstallSignalHandling();

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
