// One file transaction for every file the programs write: the simulator's .dat, .par, run record
// and --write-params file, and driftsim-convert's exports.
//
// An OutputFile is written under an unpredictable temporary name in the folder of its final
// name; the folder is opened once, and every later step (create, rename, link, remove) goes
// through that descriptor, so that a folder renamed meanwhile keeps its files together. Commit
// puts any number of closed files in place, all or none:
//   1. an advisory lock on each folder of the files (flock), in one order for every commit;
//   2. in each folder, a commit record created exclusively (also the lock where flock is
//      missing), naming which temporary file of that folder becomes which name and which link
//      keeps each earlier file; flushed to disk before anything is renamed;
//   3. termination signals held back; earlier files kept under hard links, or moved aside where
//      the file system has none; a commit that cannot keep an earlier file renames nothing;
//   4. the renames; a failed one puts every earlier file back (where that fails too, the
//      records stay, and completing the commit is what makes the folders whole);
//   5. the folders flushed, the records and the links removed.
// A process killed between two renames leaves the records: RecoverCommit, called with the
// first file's name, completes that commit (all new files are complete by then), and
// CommitPending tells a reader that the files of that name are not to be trusted yet.
//
// A record is read as untrusted input: whoever can write to the folder can leave a file of
// its name. It is used only when it is a regular file of this user whose lines are the ones a
// commit writes, naming plain names of its own folder of the forms a commit makes; anything
// else stops the commit, and RecoverCommit and CommitPending, with a message that names it and
// asks for its removal, and nothing is renamed or removed. Its process is known by pid, start
// time, boot and pid namespace, so that a reused pid does not pass for it; a record of a
// process that cannot be asked (another machine) is taken as abandoned from a minute of age.
// No wait is unbounded: after 90 s of waiting for a lock or a record the commit stops and says
// what blocks it.
//
// Termination signals remove every temporary file still registered and end the process by
// that signal, until the first commit: from then on the process has done its work and they are
// ignored. The registry of temporary names and that flag are the only process-wide state.
//
// Every failure throws FatalError: "Cannot <step> file <name>: <reason>!" with the routine the
// file was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.hpp"

namespace driftsim {

struct PendingName;  // an entry of the signal handler's list

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file opened
// later takes its number and receives console text. First thing in main.
void OpenStandardDescriptors();

// Handlers for every catchable termination signal (see above); SIGPIPE (a console that went
// away) and SIGXFSZ (writes past the file-size limit then fail with EFBIG) are ignored.
void InstallSignalHandling();

class OutputFile {
 public:
  // Creates the temporary file. Refused: a name with no file part or with control characters,
  // a folder that cannot be opened, a final name that is a folder or exists as anything but a
  // regular file (a device, a FIFO, a link to one), a final name longer than the folder
  // allows.
  OutputFile(std::string finalName, std::string routine = "");
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Space for at least n more bytes (n <= kBufferSize); Advance(n) then keeps n of them.
  char* Reserve(size_t n) {
    if (kBufferSize - used_ < n) Flush();
    return buffer_.get() + used_;
  }
  void Advance(size_t n) { used_ += n; }
  void Write(const char* text, size_t n);
  void Write(std::string_view text) { Write(text.data(), text.size()); }

  // The file's descriptor, for a writer with its own buffering (BGZF) that writes nothing
  // through Write; valid until Close.
  int Descriptor() const { return fd_; }

  // Refuses, before anything is written, a file that may grow to bytes: more than the
  // process's file-size limit (ulimit -f) lets it write.
  void CheckRoom(uint64_t bytes);

  // Writes out the buffer, flushes the file to disk (fdatasync) and closes it.
  void Close();

  const std::string& FinalName() const { return finalName_; }
  // The temporary file's path: the final name's folder part and the temporary name.
  std::string TempName() const { return folderPart_ + tempBase_; }
  const std::string& Routine() const { return routine_; }
  [[noreturn]] void Fail(const std::string& what, int err);
  // reason is the system's for errno err; err 0 where no system call failed.
  [[noreturn]] void Fail(const std::string& what, const std::string& reason, int err = 0);

  static constexpr size_t kBufferSize = size_t{1} << 20;

 private:
  friend class CommitRun;
  void Flush();
  void Forget();

  std::string finalName_, routine_;
  std::string folderPart_;  // up to and with the last '/', or empty
  std::string base_;        // the final name's last part
  std::string tempBase_;
  int dirFd_ = -1;
  int fd_ = -1;
  std::unique_ptr<PendingName> pending_;  // the temporary name, for a signal handler
  bool committed_ = false;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
};

// Puts the files in place, all or none (see above). Every file is closed.
void Commit(std::initializer_list<OutputFile*> files);
void Commit(const std::vector<OutputFile*>& files);

// Completes the commit that a killed process left for the files whose first one was
// firstName; false if there was none (or it belongs to a process still running). Throws for
// a record that is refused (see above).
bool RecoverCommit(const std::string& firstName);

// Whether a complete commit record for the first file name is beside the file (after links):
// the commit is under way or was interrupted, and the files of that commit may be a mixed set.
// An empty or partial record was written before any rename and leaves the files whole. Throws
// for a record that is refused.
bool CommitPending(const std::string& firstName);

// The name, in its folder, of the commit record of the files whose first one has the last
// part base.
std::string CommitRecordName(const std::string& base);

// A file that some output or input of a run is, for telling whether two names are one file.
struct FileRole {
  std::string name;
  std::string what;  // "the parameter file", "the data file", "the run record", ...
  bool input = false;
};

// Throws when an output is the same file as an input or as another output: the same device and
// inode, or for a name that does not exist yet the same folder and last part.
void CheckDistinctFiles(const std::vector<FileRole>& files, const std::string& routine);

// Text of a name for a message: at most limit characters, non-printing bytes as \xHH.
std::string Printable(std::string_view text, size_t limit = 60);

// Steps of Commit, for tests. kStart comes after every file is closed, kLockWait only when
// another process holds the folder's lock, kRecordWait before each wait for another run's
// record (a failure ends the wait as its bound would); kKeep (hard link), kMoveAside (its
// fallback), kRename and kPutBack (undoing a file's step after a later one failed) come once
// per file (0: first).
enum class CommitStep {
  kStart,
  kLockWait,
  kLock,
  kRecord,
  kKeep,
  kMoveAside,
  kRename,
  kSyncFolder,
  kRecordWait,
  kPutBack
};
// A test hook, null in a normal run: called before each step, it may stop the process or fail
// the step by returning the errno that the step is then taken to have failed with.
using CommitHook = int (*)(CommitStep step, int file);
extern CommitHook gCommitHook;

}  // namespace driftsim
