#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/common.hpp"
#include "output/output.hpp"

namespace driftsim {

namespace {

// Temporary names of the files being written, for removal from a signal handler: fixed
// storage, since a handler may not allocate.
constexpr int kSlots = 2;
constexpr size_t kSlotBytes = 4096;
char gPendingName[kSlots][kSlotBytes];
volatile sig_atomic_t gPendingUsed[kSlots];

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

// Temporary name in the directory of the final name, short so that it fits wherever the final
// name fits.
std::string TempNameFor(const std::string& finalName) {
  static int sequence = 0;
  const size_t slash = finalName.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : finalName.substr(0, slash + 1);
  return dir + ".driftsim-" + IntToText(getpid()) + "-" + IntToText(++sequence) + ".tmp";
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

PendingFile::PendingFile(std::string finalName, std::string routine)
    : finalName_(std::move(finalName)), routine_(std::move(routine)) {
  struct stat st;
  if (stat(finalName_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Fail("create", EISDIR);
  for (int attempt = 0; fd_ < 0; ++attempt) {
    tempName_ = TempNameFor(finalName_);
    slot_ = ClaimSlot(tempName_);
    fd_ = open(tempName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      const int err = errno;
      ReleaseSlot(slot_);
      if (err != EEXIST || attempt > 100) Fail("create", err);
    }
  }
  created_ = true;
  buffer_.reset(new char[kBufferSize]);
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
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) Fail("write", errno);
}

void CommitFiles(PendingFile& first, PendingFile& second) {
  // An interruption between the two renames would pair a new data file with an old parameter
  // file: the signals wait until both are in place.
  sigset_t block, saved;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, sig);
  sigprocmask(SIG_BLOCK, &block, &saved);
  for (PendingFile* f : {&first, &second}) {
    if (rename(f->tempName_.c_str(), f->finalName_.c_str()) != 0) {
      sigprocmask(SIG_SETMASK, &saved, nullptr);
      f->Fail("rename", errno);
    }
    f->committed_ = true;
    ReleaseSlot(f->slot_);
  }
  sigprocmask(SIG_SETMASK, &saved, nullptr);
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
