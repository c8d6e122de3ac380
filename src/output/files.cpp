#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/common.hpp"
#include "output/output.hpp"

namespace driftsim {

CommitHook gCommitHook = nullptr;

namespace {

// Temporary names of the files being written, for removal from a signal handler: fixed
// storage, since a handler may not allocate.
constexpr int kSlots = 2;
constexpr size_t kSlotBytes = 4096;
char gPendingName[kSlots][kSlotBytes];
volatile sig_atomic_t gPendingUsed[kSlots];
// Set once both files of the run are in place: a termination signal then no longer stops it.
volatile sig_atomic_t gCommitted = 0;

int ClaimSlot(const std::string& name) {
  if (name.size() >= kSlotBytes) return -1;
  for (int s = 0; s < kSlots; ++s) {
    if (!gPendingUsed[s]) {
      std::memcpy(gPendingName[s], name.c_str(), name.size() + 1);
      gPendingUsed[s] = 1;
      return s;
    }
  }
  return -1;
}

void ReleaseSlot(int& slot) {
  if (slot >= 0) gPendingUsed[slot] = 0;
  slot = -1;
}

// The signals whose default action ends the process and that a handler may catch. Program
// faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS) are left alone: after one, the
// process state is not to be trusted. SIGPIPE and SIGXFSZ are ignored instead.
sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                  SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR}) {
    sigaddset(&set, sig);
  }
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
  return set;
}

extern "C" void OnTerminationSignal(int sig) {
  if (gCommitted) return;  // both files are in place: the run completes with status 0
  RemovePendingFiles();
  signal(sig, SIG_DFL);
  raise(sig);
}

// A name in the folder of finalName that no other process can guess: ".driftsim-" and twelve
// random letters and digits, ".tmp". Short, so that it fits wherever the final name fits.
std::string RandomNameBeside(const std::string& finalName) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[12];
  if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
    // No entropy call (old kernel): the clock's nanoseconds still vary from call to call.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t x = uint64_t(now.tv_nsec) * 0x9e3779b97f4a7c15u ^ uint64_t(getpid());
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(x >>= 5);
  }
  const size_t slash = finalName.rfind('/');
  std::string name = slash == std::string::npos ? "" : finalName.substr(0, slash + 1);
  name += ".driftsim-";
  for (unsigned char b : bytes) name += kAlphabet[b % 36];
  return name + ".tmp";
}

// Errors with which a file system says that it has no flush call, rather than that the flush
// failed: the data then goes out as the file system sees fit (see README, "Output").
bool SyncUnsupported(int err) {
  return err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS || err == EROFS;
}

int Hook(CommitStep step, int file = 0) {
  return gCommitHook ? gCommitHook(step, file) : 0;
}

// The destination folder, opened for its lock and its flush. Where it cannot be opened or
// locked (no read permission, no lock service), the commit goes on unlocked.
class FolderLock {
 public:
  explicit FolderLock(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : fileName.substr(0, slash);
    fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    int err = Hook(CommitStep::kLock);
    if (!err && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      err = errno;
      if (err == EWOULDBLOCK) {
        err = Hook(CommitStep::kLockWait);
        while (!err && flock(fd_, LOCK_EX) != 0) {
          if (errno != EINTR) err = errno;
        }
      }
    }
    // Without a lock (ENOLCK, EOPNOTSUPP; EBADF on NFS, which locks only files open for
    // writing) the commit goes on unlocked: the lock orders concurrent runs, and a single
    // run is as safe without it.
    (void)err;
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);  // also releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Flushes the folder's entries to disk; best effort, as the renames are already done.
  void Sync() const {
    if (fd_ >= 0 && !Hook(CommitStep::kSyncFolder)) fsync(fd_);
  }

 private:
  int fd_ = -1;
};

// Holds back the termination signals for its lifetime: they take effect afterwards.
class SignalHold {
 public:
  SignalHold() {
    const sigset_t set = TerminationSignals();
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalHold() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

 private:
  sigset_t saved_;
};

// The earlier file of a final name during the commit: none, a hard link to it under a random
// name, or, where the file system has no hard links (EPERM, EXDEV, ENOTSUP...), the file itself
// moved to that name. kUnkept: there is one, but neither step worked.
struct Earlier {
  enum Kind { kNone, kLinked, kMovedAside, kUnkept } kind = kNone;
  std::string name;
};

Earlier KeepEarlier(const std::string& finalName, int file) {
  Earlier e;
  struct stat st;
  if (lstat(finalName.c_str(), &st) != 0) return e;
  e.kind = Earlier::kUnkept;
  for (int attempt = 0; attempt < 100; ++attempt) {
    e.name = RandomNameBeside(finalName);
    int err = Hook(CommitStep::kKeep, file);
    if (!err && link(finalName.c_str(), e.name.c_str()) == 0) {
      e.kind = Earlier::kLinked;
      return e;
    }
    if (!err) err = errno;
    if (err == EEXIST) continue;
    // No hard links here: the next-best step moves the earlier file aside, so that it can
    // still be put back; its name is then absent until the rename that follows.
    if (rename(finalName.c_str(), e.name.c_str()) == 0) e.kind = Earlier::kMovedAside;
    return e;
  }
  return e;
}

}  // namespace

void RemovePendingFiles() {
  for (int s = 0; s < kSlots; ++s) {
    if (gPendingUsed[s]) {
      unlink(gPendingName[s]);
      gPendingUsed[s] = 0;
    }
  }
}

void InstallSignalHandling() {
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  const sigset_t set = TerminationSignals();
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&set, sig) == 1) sigaction(sig, &action, nullptr);
  }
  // The product of a run is its files: a console that goes away does not stop it.
  signal(SIGPIPE, SIG_IGN);
  // Past a file-size limit, writes then fail with EFBIG and the run stops cleanly.
  signal(SIGXFSZ, SIG_IGN);
}

PendingFile::PendingFile(std::string finalName, std::string routine)
    : finalName_(std::move(finalName)), routine_(std::move(routine)) {
  gCommitted = 0;
  struct stat st;
  if (stat(finalName_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Fail("create", EISDIR);
  // The buffer first: running out of memory then leaves no empty file behind.
  buffer_.reset(new char[kBufferSize]);
  for (int attempt = 0; fd_ < 0; ++attempt) {
    tempName_ = RandomNameBeside(finalName_);
    slot_ = ClaimSlot(tempName_);
    fd_ = open(tempName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      const int err = errno;
      ReleaseSlot(slot_);
      if (err != EEXIST || attempt > 100) Fail("create", err);
    }
  }
  created_ = true;
}

PendingFile::~PendingFile() {
  if (fd_ >= 0) close(fd_);
  if (created_ && !committed_) unlink(tempName_.c_str());
  ReleaseSlot(slot_);
}

void PendingFile::Fail(const std::string& what, int err) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (created_ && !committed_) unlink(tempName_.c_str());
  created_ = false;
  ReleaseSlot(slot_);
  FatalStop("Cannot " + what + " file " + finalName_ + ": " + std::strerror(err) + "!", routine_);
}

void PendingFile::Write(const char* text, size_t n) {
  while (n > 0) {
    const size_t part = n < kBufferSize ? n : kBufferSize;
    std::memcpy(Reserve(part), text, part);
    Advance(part);
    text += part;
    n -= part;
  }
}

void PendingFile::Flush() {
  const char* p = buffer_.get();
  size_t left = used_;
  while (left > 0) {
    const ssize_t n = write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("write", n < 0 ? errno : ENOSPC);
    p += n;
    left -= static_cast<size_t>(n);
  }
  used_ = 0;
}

void PendingFile::Close() {
  Flush();
  // On disk before the rename: a rename over an existing file would otherwise flush the data
  // inside the rename (ext4), and a crash could pair a new name with missing data. A file
  // system without the call (EINVAL) is written through anyway or offers nothing better.
  if (fdatasync(fd_) != 0 && !SyncUnsupported(errno)) Fail("write", errno);
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) Fail("write", errno);
  buffer_.reset();
}

void CommitFiles(PendingFile& first, PendingFile& second) {
  PendingFile* const files[2] = {&first, &second};
  Hook(CommitStep::kStart);
  // Concurrent runs with the same OutFile commit one pair after the other; the lock is taken
  // before the signals are held back, so that a run waiting for it can still be interrupted.
  const FolderLock lock(first.finalName_);
  const SignalHold hold;
  Earlier earlier[2];
  for (int i = 0; i < 2; ++i) earlier[i] = KeepEarlier(files[i]->finalName_, i);
  for (int i = 0; i < 2; ++i) {
    PendingFile& f = *files[i];
    int err = Hook(CommitStep::kRename, i);
    if (!err && rename(f.tempName_.c_str(), f.finalName_.c_str()) != 0) err = errno;
    if (err) {
      // Both as they were: the files already renamed give way to the earlier ones (or go where
      // there were none), and moved-aside files return.
      for (int j = 0; j < 2; ++j) {
        const std::string& name = files[j]->finalName_;
        const Earlier& e = earlier[j];
        if (j < i && e.kind == Earlier::kNone) {
          unlink(name.c_str());
        } else if ((j < i && e.kind == Earlier::kLinked) || e.kind == Earlier::kMovedAside) {
          rename(e.name.c_str(), name.c_str());
        } else if (e.kind == Earlier::kLinked) {
          unlink(e.name.c_str());
        }
      }
      f.Fail("rename", err);
    }
    f.committed_ = true;
    ReleaseSlot(f.slot_);
  }
  gCommitted = 1;
  for (const Earlier& e : earlier) {
    if (e.kind == Earlier::kLinked || e.kind == Earlier::kMovedAside) unlink(e.name.c_str());
  }
  lock.Sync();
}

void CheckOutputFolder(const Params& par) {
  PendingFile dat(par.OutFile + ".dat", "WriteGenoFile");
  PendingFile para(par.OutFile + ".par", "WriteParaFile");
}

void WriteWholeFile(const std::string& name, const std::string& text, const std::string& routine) {
  PendingFile file(name, routine);
  file.Write(text);
  file.Close();
  if (rename(file.tempName_.c_str(), name.c_str()) != 0) file.Fail("rename", errno);
  file.committed_ = true;
  ReleaseSlot(file.slot_);
}

}  // namespace driftsim
