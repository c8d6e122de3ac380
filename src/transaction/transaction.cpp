#include "transaction/transaction.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

namespace driftsim {

CommitHook gCommitHook = nullptr;

// A temporary name that a termination signal removes. Fixed storage: a handler may not
// allocate. The list is changed only with the termination signals blocked in the changing
// thread, the one thread that takes them (the pool's threads start with them blocked).
struct PendingName {
  PendingName* next = nullptr;
  PendingName* prev = nullptr;
  int dirFd = -1;
  char name[48] = {};
};

namespace {

PendingName* gPendingHead = nullptr;
// Set by the first commit: the process has done its work, and a termination signal no longer
// ends it (nor turns a completed run into a failed one).
volatile sig_atomic_t gCompleted = 0;

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
  if (gCompleted) return;
  for (PendingName* p = gPendingHead; p != nullptr; p = p->next) unlinkat(p->dirFd, p->name, 0);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Holds back the termination signals for its lifetime: they take effect afterwards.
class SignalHold {
 public:
  SignalHold() {
    const sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalHold() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

 private:
  sigset_t saved_;
};

std::unique_ptr<PendingName> Register(int dirFd, const std::string& name) {
  auto p = std::make_unique<PendingName>();
  p->dirFd = dirFd;
  std::memcpy(p->name, name.c_str(), std::min(name.size() + 1, sizeof p->name - 1));
  const SignalHold hold;
  p->next = gPendingHead;
  if (gPendingHead != nullptr) gPendingHead->prev = p.get();
  gPendingHead = p.get();
  return p;
}

void Unregister(std::unique_ptr<PendingName>& p) {
  if (!p) return;
  {
    const SignalHold hold;
    if (p->prev != nullptr) p->prev->next = p->next;
    if (p->next != nullptr) p->next->prev = p->prev;
    if (gPendingHead == p.get()) gPendingHead = p->next;
  }
  p.reset();
}

int Hook(CommitStep step, int file = 0) {
  return gCommitHook ? gCommitHook(step, file) : 0;
}

// Twelve random letters and digits: names that no other process can guess.
std::string RandomLetters() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[12];
  if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
    // No entropy call (old kernel): the clock's nanoseconds still vary from call to call.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t x = uint64_t(now.tv_nsec) * 0x9e3779b97f4a7c15u ^ uint64_t(getpid());
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(x >>= 5);
  }
  std::string s;
  for (unsigned char b : bytes) s += kAlphabet[b % 36];
  return s;
}

// ".driftsim-" and twelve random letters and digits, ".tmp": short, so that it fits wherever
// the final name fits.
std::string TempBase() {
  return ".driftsim-" + RandomLetters() + ".tmp";
}

// Errors with which a file system says that it has no flush call, rather than that the flush
// failed: the data then goes out as the file system sees fit (see README, "Output").
bool SyncUnsupported(int err) {
  return err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS || err == EROFS;
}

struct NameParts {
  std::string folderPart;  // with its last '/', or empty
  std::string base;
  std::string Folder() const { return folderPart.empty() ? "." : folderPart; }
};

NameParts Split(const std::string& name) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return {"", name};
  return {name.substr(0, slash + 1), name.substr(slash + 1)};
}

// The folder for the *at calls: open for reading where it may be (flock and fsync need that),
// else as a path only (a folder that can be written and searched but not listed).
int OpenFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// The commit record of the files whose first one has the last part base: a fixed name in its
// folder, short whatever the base's length.
std::string RecordName(const std::string& base) {
  uint64_t h = 0xcbf29ce484222325u;  // FNV-1a
  for (const char c : base) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return std::string(".driftsim-commit-") + hex;
}

// Fields of the record: tabs separate them, so a backslash, and every control byte, is escaped.
std::string Escape(std::string_view s) {
  std::string out;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || u < 0x20 || u == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 2, 2)), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    f.push_back(Unescape(line.substr(start, tab - start)));
  }
  f.push_back(Unescape(line.substr(start)));
  return f;
}

std::string ReadSmallFile(int dirFd, const std::string& name) {
  const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  std::string text;
  char buf[4096];
  for (ssize_t n; text.size() < (size_t{1} << 20) && (n = read(fd, buf, sizeof buf)) > 0;) {
    text.append(buf, size_t(n));
  }
  close(fd);
  return text;
}

std::string HostName() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

// Who holds a commit record: a process of this machine that still runs, or one whose record
// is still empty and younger than a minute (it is writing its first line); one that is gone;
// or a process of another machine, which cannot be asked.
enum class Holder { kRunning, kGone, kUnknown };

Holder RecordHolder(int dirFd, const std::string& name) {
  const std::string text = ReadSmallFile(dirFd, name);
  const size_t end = text.find('\n', text.find('\n') + 1);
  if (end == std::string::npos) {
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Holder::kRunning;
    return std::time(nullptr) - st.st_mtime > 60 ? Holder::kGone : Holder::kRunning;
  }
  const size_t second = text.find('\n') + 1;
  const std::vector<std::string> f = Fields(text.substr(second, end - second));
  if (f.size() < 3 || f[0] != "process" || f[2] != HostName()) return Holder::kUnknown;
  const long pid = std::strtol(f[1].c_str(), nullptr, 10);
  return pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH ? Holder::kGone : Holder::kRunning;
}

// Completes (record ended: every new file was complete) or undoes (record cut short: nothing
// was renamed yet) the commit of a record, then removes it.
void ApplyRecord(int dirFd, const std::string& recordName) {
  const std::string text = ReadSmallFile(dirFd, recordName);
  const bool complete = text.ends_with("\nend\n");
  std::vector<int> folders;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::vector<std::string> f = Fields(text.substr(start, nl - start));
    if (f.size() != 5 || f[0] != "file") continue;
    const int folder = f[1] == "." ? dirFd : OpenFolder(f[1]);
    if (folder < 0) continue;
    if (complete) {
      renameat(folder, f[2].c_str(), folder, f[3].c_str());
      if (f[4] != "-") unlinkat(folder, f[4].c_str(), 0);
      fsync(folder);
    } else {
      unlinkat(folder, f[2].c_str(), 0);
    }
    if (folder != dirFd) close(folder);
  }
  unlinkat(dirFd, recordName.c_str(), 0);
  fsync(dirFd);
}

// The earlier file of a final name during the commit: none, a hard link to it, or, where the
// file system has no hard links (EPERM, EXDEV, ENOTSUP...), the file itself moved aside.
enum class Kept { kNone, kLinked, kMovedAside };

}  // namespace

// The steps of one commit, with what each undoes when a later one fails.
class CommitRun {
 public:
  explicit CommitRun(const std::vector<OutputFile*>& files) : files_(files) {}
  ~CommitRun() {
    if (lockFd_ < 0) return;
    if (locked_) flock(lockFd_, LOCK_UN);
    close(lockFd_);
  }
  CommitRun(const CommitRun&) = delete;
  CommitRun& operator=(const CommitRun&) = delete;

  void Run();

 private:
  void Lock();
  void CreateRecord();
  void FillRecord();
  void DropRecord();
  void KeepEarlier();
  void Rename();

  const std::vector<OutputFile*>& files_;
  int dirFd_ = -1;  // the first file's folder
  int lockFd_ = -1;
  bool locked_ = false;
  std::string record_;
  std::unique_ptr<PendingName> pendingRecord_;
  int recordFd_ = -1;
  std::vector<std::string> keepNames_;
  std::vector<Kept> kept_;
};

void CommitRun::Lock() {
  // Concurrent commits to one folder take turns; the lock is taken before the signals are held
  // back, so that a process waiting for it can still be interrupted. Without a lock (ENOLCK,
  // EOPNOTSUPP; EBADF on NFS, which locks only files open for writing) the commit record alone
  // orders commits of the same names.
  // A description of its own: the lock ends with the commit, not with the files.
  lockFd_ = openat(dirFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int err = lockFd_ < 0 ? errno : Hook(CommitStep::kLock);
  if (!err && flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    err = errno;
    if (err == EWOULDBLOCK) {
      err = Hook(CommitStep::kLockWait);
      while (!err && flock(lockFd_, LOCK_EX) != 0) {
        if (errno != EINTR) err = errno;
      }
    }
  }
  locked_ = err == 0;
}

void CommitRun::CreateRecord() {
  OutputFile& first = *files_[0];
  record_ = RecordName(first.base_);
  int recoveries = 0;
  for (;;) {
    // Registered before it exists: a signal while it is being made removes it.
    pendingRecord_ = Register(dirFd_, record_);
    int err = Hook(CommitStep::kRecord);
    if (!err) {
      recordFd_ = openat(dirFd_, record_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (recordFd_ >= 0) break;
      err = errno;
    }
    Unregister(pendingRecord_);
    if (err != EEXIST || recoveries > 2) first.Fail("commit", err == EEXIST ? EBUSY : err);
    // A record of the same names: a commit that a killed process left (complete it), or one
    // under way in a process that runs without the folder lock (wait for it).
    const Holder holder = RecordHolder(dirFd_, record_);
    if (holder == Holder::kGone || (locked_ && holder == Holder::kUnknown)) {
      ApplyRecord(dirFd_, record_);
      ++recoveries;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  const std::string head =
      "driftsim commit record\nprocess\t" + IntToText(getpid()) + "\t" + Escape(HostName()) + "\n";
  if (write(recordFd_, head.data(), head.size()) != ssize_t(head.size())) {
    const int err = errno;
    DropRecord();
    first.Fail("commit", err);
  }
}

void CommitRun::FillRecord() {
  std::string text;
  for (size_t i = 0; i < files_.size(); ++i) {
    const OutputFile& f = *files_[i];
    std::string folder = ".";
    if (f.dirFd_ != dirFd_) {
      // The folder as it is now: a folder renamed since the file was made is found again.
      char path[PATH_MAX];
      const std::string link = "/proc/self/fd/" + IntToText(f.dirFd_);
      const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
      folder =
          n > 0 ? std::string(path, size_t(n)) : std::filesystem::absolute(f.folderPart_).string();
    }
    struct stat st;
    const bool earlier = fstatat(f.dirFd_, f.base_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (earlier && S_ISDIR(st.st_mode)) {
      // A folder made under the name since the file was: no file may replace it.
      DropRecord();
      files_[i]->Fail("rename", EISDIR);
    }
    keepNames_.push_back(earlier ? ".driftsim-" + RandomLetters() + ".tmp" : "-");
    text += "file\t" + Escape(folder) + "\t" + Escape(f.tempBase_) + "\t" + Escape(f.base_) + "\t" +
            Escape(keepNames_.back()) + "\n";
  }
  text += "end\n";
  const char* p = text.data();
  size_t left = text.size();
  int err = 0;
  while (left > 0 && !err) {
    const ssize_t n = write(recordFd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) err = n < 0 ? errno : ENOSPC;
    if (n > 0) {
      p += n;
      left -= size_t(n);
    }
  }
  // On disk, and its name in the folder, before the first rename.
  if (!err && fdatasync(recordFd_) != 0 && !SyncUnsupported(errno)) err = errno;
  if (!err && close(recordFd_) != 0) err = errno;
  recordFd_ = -1;
  if (!err && fsync(dirFd_) != 0 && errno != EBADF && !SyncUnsupported(errno)) err = errno;
  if (err) {
    DropRecord();
    files_[0]->Fail("commit", err);
  }
  // From here on the record stays until the commit is complete or undone.
  Unregister(pendingRecord_);
}

void CommitRun::DropRecord() {
  if (recordFd_ >= 0) close(recordFd_);
  recordFd_ = -1;
  unlinkat(dirFd_, record_.c_str(), 0);
  Unregister(pendingRecord_);
}

void CommitRun::KeepEarlier() {
  for (size_t i = 0; i < files_.size(); ++i) {
    OutputFile& f = *files_[i];
    const int file = int(i);
    kept_.push_back(Kept::kNone);
    if (keepNames_[i] == "-") continue;
    const char* keep = keepNames_[i].c_str();
    int err = Hook(CommitStep::kKeep, file);
    if (!err && linkat(f.dirFd_, f.base_.c_str(), f.dirFd_, keep, 0) == 0) {
      kept_[i] = Kept::kLinked;
      continue;
    }
    // No hard links here: the next-best step moves the earlier file aside, so that it can
    // still be put back; its name is then absent until the rename that follows.
    err = Hook(CommitStep::kMoveAside, file);
    if (!err && renameat(f.dirFd_, f.base_.c_str(), f.dirFd_, keep) == 0) {
      kept_[i] = Kept::kMovedAside;
      continue;
    }
    if (!err) err = errno;
    // An earlier file that can be neither linked nor moved could not be put back: nothing is
    // renamed, and the files kept so far return.
    for (size_t j = 0; j < i; ++j) {
      const OutputFile& g = *files_[j];
      if (kept_[j] == Kept::kLinked) unlinkat(g.dirFd_, keepNames_[j].c_str(), 0);
      if (kept_[j] == Kept::kMovedAside) {
        renameat(g.dirFd_, keepNames_[j].c_str(), g.dirFd_, g.base_.c_str());
      }
    }
    DropRecord();
    f.Fail("keep the earlier", err);
  }
}

void CommitRun::Rename() {
  for (size_t i = 0; i < files_.size(); ++i) {
    OutputFile& f = *files_[i];
    int err = Hook(CommitStep::kRename, int(i));
    if (!err && renameat(f.dirFd_, f.tempBase_.c_str(), f.dirFd_, f.base_.c_str()) != 0) {
      err = errno;
    }
    if (!err) {
      Unregister(f.pending_);  // its temporary name is gone
      continue;
    }
    // All as they were: the files already renamed give way to the earlier ones (or go where
    // there were none), and moved-aside files return.
    for (size_t j = 0; j < files_.size(); ++j) {
      const OutputFile& g = *files_[j];
      const char* keep = keepNames_[j].c_str();
      if (j < i && kept_[j] == Kept::kNone) {
        unlinkat(g.dirFd_, g.base_.c_str(), 0);
      } else if (j < i || kept_[j] == Kept::kMovedAside) {
        if (kept_[j] != Kept::kNone) renameat(g.dirFd_, keep, g.dirFd_, g.base_.c_str());
      } else if (kept_[j] == Kept::kLinked) {
        unlinkat(g.dirFd_, keep, 0);
      }
      if (j < i) files_[j]->committed_ = true;  // nothing of it is left to remove
    }
    DropRecord();
    f.Fail("rename", err);
  }
}

void CommitRun::Run() {
  for (OutputFile* f : files_) Check(f->fd_ < 0 && f->pending_, "every file closed before Commit");
  Hook(CommitStep::kStart);
  dirFd_ = files_[0]->dirFd_;
  Lock();
  CreateRecord();
  const SignalHold hold;
  FillRecord();
  KeepEarlier();
  Rename();
  gCompleted = 1;
  for (OutputFile* f : files_) f->committed_ = true;
  // Best effort from here: every file is in place.
  if (!Hook(CommitStep::kSyncFolder)) {
    for (OutputFile* f : files_) fsync(f->dirFd_);
  }
  unlinkat(dirFd_, record_.c_str(), 0);
  for (size_t i = 0; i < files_.size(); ++i) {
    if (kept_[i] != Kept::kNone) unlinkat(files_[i]->dirFd_, keepNames_[i].c_str(), 0);
  }
}

void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
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

std::string Printable(std::string_view text, size_t limit) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == limit) return out + "...";
    const auto u = static_cast<unsigned char>(text[i]);
    if (u < 0x20 || u == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += text[i];
    }
  }
  return out;
}

OutputFile::OutputFile(std::string finalName, std::string routine)
    : finalName_(std::move(finalName)), routine_(std::move(routine)) {
  const NameParts parts = Split(finalName_);
  folderPart_ = parts.folderPart;
  base_ = parts.base;
  auto refuse = [&](const std::string& reason, int err = 0) {
    FatalStop(
        "Cannot create file " + Printable(finalName_, std::string::npos) + ": " + reason + "!",
        routine_, ErrorKind::kCannotWrite, err, finalName_);
  };
  for (const char c : finalName_) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) refuse("the name holds a control character");
  }
  if (base_.empty() || base_ == "." || base_ == "..") refuse(std::strerror(EISDIR), EISDIR);
  // The buffer first: running out of memory then leaves no file or descriptor behind.
  buffer_.reset(new char[kBufferSize]);
  dirFd_ = OpenFolder(parts.Folder());
  if (dirFd_ < 0) Fail("create", errno);
  struct stat st;
  if (fstatat(dirFd_, base_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) Fail("create", EISDIR);
    // A rename would replace a device, a FIFO or a link to one by a file: never wanted.
    struct stat target;
    const bool link = S_ISLNK(st.st_mode);
    // /dev/stdout and its kin lead through /proc to whatever the descriptor is: refused too.
    char real[PATH_MAX];
    const bool devices =
        realpath(parts.Folder().c_str(), real) != nullptr &&
        (std::string_view(real) == "/dev" || std::string_view(real).starts_with("/dev/") ||
         std::string_view(real).starts_with("/proc/"));
    if ((link && fstatat(dirFd_, base_.c_str(), &target, 0) == 0 && !S_ISREG(target.st_mode)) ||
        (!link && !S_ISREG(st.st_mode)) || devices) {
      Forget();
      refuse("it exists and is not a regular file");
    }
  }
  // The final name is tried now, not at the rename after the work.
  const long longest = fpathconf(dirFd_, _PC_NAME_MAX);
  if (longest > 0 && base_.size() > size_t(longest)) Fail("create", ENAMETOOLONG);
  for (int attempt = 0; fd_ < 0; ++attempt) {
    tempBase_ = TempBase();
    pending_ = Register(dirFd_, tempBase_);
    fd_ = openat(dirFd_, tempBase_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      const int err = errno;
      Unregister(pending_);
      if (err != EEXIST || attempt > 100) Fail("create", err);
    }
  }
}

OutputFile::~OutputFile() {
  Forget();
}

// Closes the file and removes its temporary name, unless committed.
void OutputFile::Forget() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (pending_ && !committed_) unlinkat(dirFd_, tempBase_.c_str(), 0);
  Unregister(pending_);
  if (dirFd_ >= 0) close(dirFd_);
  dirFd_ = -1;
}

void OutputFile::Fail(const std::string& what, int err) {
  Forget();
  FatalStop("Cannot " + what + " file " + Printable(finalName_, std::string::npos) + ": " +
                std::strerror(err) + "!",
            routine_, ErrorKind::kCannotWrite, err, finalName_);
}

void OutputFile::Write(const char* text, size_t n) {
  while (n > 0) {
    const size_t part = n < kBufferSize ? n : kBufferSize;
    std::memcpy(Reserve(part), text, part);
    Advance(part);
    text += part;
    n -= part;
  }
}

void OutputFile::Flush() {
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

void OutputFile::Close() {
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

void Commit(const std::vector<OutputFile*>& files) {
  if (files.empty()) return;
  CommitRun run(files);
  run.Run();
}

void Commit(std::initializer_list<OutputFile*> files) {
  Commit(std::vector<OutputFile*>(files));
}

bool RecoverCommit(const std::string& firstName) {
  const NameParts parts = Split(firstName);
  const int dirFd = OpenFolder(parts.Folder());
  if (dirFd < 0) return false;
  const std::string record = RecordName(parts.base);
  struct stat st;
  bool applied = false;
  // Only under the folder's lock, and without waiting for it: a process that holds it is
  // committing, and if it dies, the next commit finds its record under the lock and completes it.
  // A record whose process still runs is a commit made without the lock (a file system that
  // refused it to that process): it is left to finish.
  if (fstatat(dirFd, record.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      flock(dirFd, LOCK_EX | LOCK_NB) == 0 &&
      fstatat(dirFd, record.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      RecordHolder(dirFd, record) != Holder::kRunning) {
    const SignalHold hold;
    ApplyRecord(dirFd, record);
    applied = true;
  }
  close(dirFd);  // also releases the lock
  return applied;
}

bool CommitPending(const std::string& firstName) {
  const NameParts parts = Split(firstName);
  const std::string record = parts.folderPart + RecordName(parts.base);
  struct stat st;
  return lstat(record.c_str(), &st) == 0;
}

namespace {

// Where a name leads: its device and inode when it exists (the name itself for an output,
// which a rename replaces; what it points to for an input), and its folder's real path with
// its last part.
struct Identity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string where;
};

Identity IdentityOf(const FileRole& f) {
  Identity id;
  struct stat st;
  if ((f.input ? stat(f.name.c_str(), &st) : lstat(f.name.c_str(), &st)) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
  }
  const NameParts parts = Split(f.name);
  char real[PATH_MAX];
  if (f.input && realpath(f.name.c_str(), real) != nullptr) {
    id.where = real;
  } else if (realpath(parts.Folder().c_str(), real) != nullptr) {
    id.where = std::string(real) + "/" + parts.base;
  } else {
    id.where = std::filesystem::absolute(f.name).lexically_normal().string();
  }
  return id;
}

}  // namespace

void CheckDistinctFiles(const std::vector<FileRole>& files, const std::string& routine) {
  std::vector<Identity> ids;
  for (const FileRole& f : files) ids.push_back(IdentityOf(f));
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i].input) continue;
    for (size_t j = 0; j < files.size(); ++j) {
      if (i == j || (!files[j].input && j > i)) continue;
      const Identity &a = ids[i], &b = ids[j];
      if (!((a.exists && b.exists && a.dev == b.dev && a.ino == b.ino) || a.where == b.where)) {
        continue;
      }
      const std::string name = Printable(files[i].name, std::string::npos);
      if (files[j].input) {
        FatalStop("Output file " + name + " would overwrite " + files[j].what + "!", routine);
      }
      FatalStop("Output file " + name + " (" + files[i].what + ") and " +
                    Printable(files[j].name, std::string::npos) + " (" + files[j].what +
                    ") are the same file!",
                routine);
    }
  }
}

}  // namespace driftsim
