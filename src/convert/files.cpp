// Output files written whole or not at all: temporary names, the commit, and the signals.
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "convert/convert.hpp"

#ifdef DRIFTSIM_HAVE_HTSLIB
#include <htslib/bgzf.h>
#endif

namespace driftsim::convert {

namespace {

// Bytes collected before a write.
constexpr size_t kBufferBytes = size_t{1} << 20;

// Temporary files a signal removes. A signal handler may only touch plain memory and call
// async-signal-safe functions, hence fixed arrays and a flag per entry; an entry is marked used
// only after its name is complete.
constexpr int kSlots = 8;
struct PendingName {
  char path[PATH_MAX];
  volatile std::sig_atomic_t used;
};
PendingName pendingNames[kSlots];
volatile std::sig_atomic_t committed = 0;

// Signals held during a commit: every catchable one whose default action ends the process.
const int kHeldSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,
                            SIGALRM, SIGPIPE, SIGXCPU, SIGVTALRM, SIGPROF};

// Handled signals: the ones that interrupt a run on purpose.
const int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemovePendingOnSignal(int sig) {
  if (committed != 0) return;  // the files are in place: the process ends normally
  for (PendingName& p : pendingNames) {
    if (p.used != 0) unlink(p.path);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int Remember(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    PendingName& p = pendingNames[i];
    if (p.used != 0) continue;
    std::memcpy(p.path, path.c_str(), path.size() + 1);
    p.used = 1;
    return i;
  }
  return -1;
}

mode_t CreationMask() {
  static const mode_t mask = [] {
    const mode_t m = umask(0);
    umask(m);
    return m;
  }();
  return mask;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Reason(int err) {
  return std::strerror(err);
}

// A second name for an existing file, so that it can be put back if the commit fails; empty if
// the file system has no hard links.
std::string LinkAside(const std::string& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = Folder(path) + "." + BaseName(path) + ".kept.XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return "";
    close(fd);
    unlink(name.c_str());
    if (link(path.c_str(), name.c_str()) == 0) return name;
    if (errno != EEXIST) return "";
  }
  return "";
}

// Makes the renames in a folder durable; a failure here changes nothing that was promised.
void SyncFolder(const std::string& path) {
  const std::string folder = Folder(path).empty() ? "." : Folder(path);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

void RemoveOnSignals() {
  for (const int sig : kHandledSignals) std::signal(sig, RemovePendingOnSignal);
}

OutputFile::OutputFile(std::string path, int bgzfLevel, int threads) : path_(std::move(path)) {
  struct stat st;
  if (stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw StatsError("cannot create " + path_ + ": " + Reason(EISDIR));
  }
  if (BaseName(path_).empty()) throw StatsError("cannot create " + path_ + ": no file name");
  temporary_ = Folder(path_) + "." + BaseName(path_) + ".XXXXXX";
  const mode_t mask = CreationMask();
  fd_ = mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd_ < 0) throw StatsError("cannot create " + path_ + ": " + Reason(errno));
  slot_ = Remember(temporary_);
  if (slot_ < 0) {
    unlink(temporary_.c_str());
    Forget();
    throw StatsError("cannot create " + path_ + ": name too long or too many output files");
  }
  // mkostemp creates the file for its owner only; outputs get the usual permissions.
  fchmod(fd_, 0666 & ~mask);
  if (bgzfLevel >= 0) {
#ifdef DRIFTSIM_HAVE_HTSLIB
    // BGZF closes the descriptor it is given; this one stays open for the flush to disk.
    const int copy = dup(fd_);
    const std::string mode = "w" + std::to_string(bgzfLevel);
    bgzf_ = copy < 0 ? nullptr : bgzf_dopen(copy, mode.c_str());
    if (bgzf_ == nullptr) {
      if (copy >= 0) close(copy);
      Forget();
      throw StatsError("cannot create " + path_ + ": cannot start BGZF compression");
    }
    if (threads > 0) bgzf_mt(bgzf_, threads, 256);
#else
    (void)threads;
    Forget();
    throw StatsError("cannot create " + path_ + ": built without htslib, no BGZF");
#endif
  }
  buffer_.reserve(kBufferBytes);
}

OutputFile::~OutputFile() {
  Forget();
}

// Closes and removes the temporary file, if it is still there and not committed.
void OutputFile::Forget() {
#ifdef DRIFTSIM_HAVE_HTSLIB
  if (bgzf_ != nullptr) bgzf_close(bgzf_);
#endif
  bgzf_ = nullptr;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (slot_ >= 0) {
    unlink(temporary_.c_str());
    pendingNames[slot_].used = 0;
    slot_ = -1;
  }
}

void OutputFile::Fail(const std::string& what) const {
  throw StatsError("cannot write " + path_ + ": " + what);
}

void OutputFile::Write(std::string_view text) {
  if (buffer_.size() + text.size() > kBufferBytes) Flush();
  buffer_.append(text);
  if (buffer_.size() >= kBufferBytes) Flush();
}

void OutputFile::Flush() {
  if (buffer_.empty()) return;
#ifdef DRIFTSIM_HAVE_HTSLIB
  if (bgzf_ != nullptr) {
    errno = 0;
    if (bgzf_write(bgzf_, buffer_.data(), buffer_.size()) != static_cast<ssize_t>(buffer_.size())) {
      Fail(errno != 0 ? Reason(errno) : "BGZF write error");
    }
    buffer_.clear();
    return;
  }
#endif
  const char* p = buffer_.data();
  size_t left = buffer_.size();
  while (left > 0) {
    const ssize_t done = write(fd_, p, left);
    if (done < 0) {
      if (errno == EINTR) continue;
      Fail(Reason(errno));
    }
    p += done;
    left -= static_cast<size_t>(done);
  }
  buffer_.clear();
}

void OutputFile::Finish() {
  Flush();
#ifdef DRIFTSIM_HAVE_HTSLIB
  if (bgzf_ != nullptr) {
    errno = 0;
    const int closed = bgzf_close(bgzf_);  // writes the end-of-file block
    bgzf_ = nullptr;
    if (closed != 0) Fail(errno != 0 ? Reason(errno) : "BGZF write error");
  }
#endif
  // On disk before the rename, so that a crash after it cannot leave a name on missing data.
  if (fdatasync(fd_) != 0 && errno != EINVAL) Fail(Reason(errno));
  if (close(fd_) != 0) {
    fd_ = -1;
    Fail(Reason(errno));
  }
  fd_ = -1;
}

void Commit(const std::vector<OutputFile*>& files) {
  sigset_t held, before;
  sigemptyset(&held);
  for (const int sig : kHeldSignals) sigaddset(&held, sig);
  pthread_sigmask(SIG_BLOCK, &held, &before);
  std::vector<std::string> kept(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    struct stat st;
    if (lstat(files[i]->path_.c_str(), &st) == 0) kept[i] = LinkAside(files[i]->path_);
  }
  size_t done = 0;
  int err = 0;
  for (; done < files.size(); ++done) {
    if (rename(files[done]->temporary_.c_str(), files[done]->path_.c_str()) != 0) {
      err = errno;
      break;
    }
  }
  if (done < files.size()) {
    // Undo: the earlier files go back, new files without an earlier one go away.
    for (size_t i = 0; i < done; ++i) {
      const std::string& path = files[i]->path_;
      if (kept[i].empty()) {
        unlink(path.c_str());
      } else {
        rename(kept[i].c_str(), path.c_str());
      }
      // Its temporary name is gone: nothing left for the destructor or a signal to remove.
      pendingNames[files[i]->slot_].used = 0;
      files[i]->slot_ = -1;
    }
    for (const std::string& name : kept) {
      if (!name.empty()) unlink(name.c_str());
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    throw StatsError("cannot rename " + files[done]->temporary_ + " to " + files[done]->path_ +
                     ": " + Reason(err));
  }
  for (const std::string& name : kept) {
    if (!name.empty()) unlink(name.c_str());
  }
  for (OutputFile* f : files) {
    pendingNames[f->slot_].used = 0;
    f->slot_ = -1;
  }
  committed = 1;
  for (OutputFile* f : files) SyncFolder(f->path_);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace driftsim::convert
