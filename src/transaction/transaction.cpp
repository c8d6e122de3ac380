#include "transaction/transaction.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The field an escaped text stands for; false for a backslash not followed by x and two hex
// digits, which Escape never writes.
bool Unescape(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (i + 3 >= s.size() || s[i + 1] != 'x') return false;
    const int high = HexDigit(s[i + 2]), low = HexDigit(s[i + 3]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return true;
}

bool Fields(std::string_view line, std::vector<std::string>& fields) {
  fields.clear();
  for (;;) {
    const size_t tab = line.find('\t');
    fields.emplace_back();
    if (!Unescape(line.substr(0, tab), fields.back())) return false;
    if (tab == std::string_view::npos) return true;
    line.remove_prefix(tab + 1);
  }
}

std::string FirstLineOf(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  char buf[1024];
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  const std::string text(buf, n > 0 ? size_t(n) : 0);
  return text.substr(0, text.find('\n'));
}

// A process's start, in clock ticks since the boot (field 22 of the stat of its main thread,
// the same as the process's): with the pid, it names one process of one boot, where a pid
// alone is reused. Empty when unreadable. Read through /proc/PID/task/PID/stat, for this
// process too: an emulator (qemu-user) answers /proc/self/stat and /proc/PID/stat of its own
// process with a start of its making, which would then disagree with what others read of it.
std::string StartTime(long pid) {
  const std::string id = std::to_string(pid);
  const std::string stat = FirstLineOf(("/proc/" + id + "/task/" + id + "/stat").c_str());
  const size_t paren = stat.rfind(')');  // the command name may hold blanks and parentheses
  if (paren == std::string::npos) return "";
  std::string_view rest = std::string_view(stat).substr(paren + 1);
  for (int field = 2; field < 22; ++field) {
    const size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) return "";
    rest.remove_prefix(blank + 1);
  }
  return std::string(rest.substr(0, rest.find(' ')));
}

// Who this process is, as a record says it: pid, host, start time, boot and pid namespace.
struct ProcessIdentity {
  long pid = 0;
  std::string host, start, boot, pidSpace;
};

ProcessIdentity ThisProcess() {
  ProcessIdentity me;
  me.pid = long(getpid());
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  me.host = host;
  me.start = StartTime(me.pid);
  me.boot = FirstLineOf("/proc/sys/kernel/random/boot_id");
  char space[64] = {};
  if (readlink("/proc/self/ns/pid", space, sizeof space - 1) > 0) me.pidSpace = space;
  return me;
}

// A record read as the untrusted text it is: any process that can write to the folder can
// leave a file of that name. It is trusted only as a regular file of this user, whose lines are
// the ones CommitRun writes and whose names are plain names of its own folder: temporary names
// of the form TempBase makes, final names without a slash, the first one the name the record's
// own name comes from.
struct Record {
  enum Kind {
    kNone,      // no record
    kEmpty,     // its holder is not written yet: nothing was renamed
    kPartial,   // its file lines are not complete yet: nothing was renamed
    kComplete,  // every new file is complete; some may be renamed
    kRefused,   // not to be trusted: anything but what a commit writes
  };
  Kind kind = kNone;
  std::string why;  // kRefused: what is wrong with it
  ProcessIdentity holder;
  struct File {
    std::string temp, final, keep;  // keep: "-" for none
  };
  std::vector<File> files;
  time_t modified = 0;
};

bool IsTempName(std::string_view name) {
  if (name.size() != 26 || !name.starts_with(".driftsim-") || !name.ends_with(".tmp")) return false;
  return std::all_of(name.begin() + 10, name.begin() + 22,
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  // Never one of the commit's own names: a temporary file or a record.
  if (IsTempName(name) || name.starts_with(".driftsim-commit-")) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

// What the lines of a record's text say; the record's name is recordName.
void ParseRecord(const std::string& text, const std::string& recordName, Record& r) {
  static const std::string kTitle = "driftsim commit record\n";
  auto refuse = [&r](const std::string& why) {
    r.kind = Record::kRefused;
    r.why = why;
    r.files.clear();
  };
  // Until its process line is whole, a record names nobody.
  r.kind = Record::kEmpty;
  if (!text.starts_with(kTitle)) {
    if (!kTitle.starts_with(text)) refuse("its first line is not that of a commit record");
    return;
  }
  const bool ended = text.ends_with("\nend\n");
  std::vector<std::string> f;
  size_t start = kTitle.size();
  int line = 2;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1, ++line) {
    const std::string_view body = std::string_view(text).substr(start, nl - start);
    if (!Fields(body, f)) return refuse("line " + std::to_string(line) + " has a bad escape");
    if (line == 2) {
      char* end = nullptr;
      const long pid = f.size() >= 2 ? std::strtol(f[1].c_str(), &end, 10) : 0;
      if (f[0] != "process" || (f.size() != 3 && f.size() != 6) || pid <= 0 || *end != '\0') {
        return refuse("line 2 does not name the process that wrote it");
      }
      r.holder = {pid, f[2], f.size() == 6 ? f[3] : "", f.size() == 6 ? f[4] : "",
                  f.size() == 6 ? f[5] : ""};
      r.kind = Record::kPartial;
      continue;
    }
    if (f.size() == 1 && f[0] == "end") {
      if (nl + 1 != text.size()) return refuse("text follows its end line");
      break;
    }
    if (f.size() != 5 || f[0] != "file") {
      return refuse("line " + std::to_string(line) + " is not a file line");
    }
    // Folder ".": a record names files of its own folder only.
    if (f[1] != "." || !IsTempName(f[2]) || !IsPlainName(f[3]) ||
        (f[4] != "-" && !IsTempName(f[4]))) {
      return refuse("line " + std::to_string(line) + " names a file outside its folder or " +
                    "of a form driftsim does not write");
    }
    if (r.files.empty() && RecordName(f[3]) != recordName) {
      return refuse("its first file is not the one its name stands for");
    }
    for (const Record::File& other : r.files) {
      if (other.temp == f[2] || other.final == f[3] || (f[4] != "-" && other.keep == f[4])) {
        return refuse("line " + std::to_string(line) + " names a file twice");
      }
    }
    r.files.push_back({f[2], f[3], f[4]});
  }
  if (ended) {
    if (r.files.empty()) return refuse("it names no file");
    r.kind = Record::kComplete;
  }
}

// The record of that name in the folder, read without following a link and without waiting
// on a FIFO; at most 64 KiB, far more than any record.
Record ReadRecord(int dirFd, const std::string& name) {
  Record r;
  auto refuse = [&r](const std::string& why) {
    r.kind = Record::kRefused;
    r.why = why;
    return r;
  };
  struct stat st;
  if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return r;
    return refuse(std::string("it cannot be examined: ") + std::strerror(errno));
  }
  r.modified = st.st_mtime;
  if (!S_ISREG(st.st_mode)) return refuse("it is not a regular file");
  if (st.st_uid != geteuid()) return refuse("it belongs to another user");
  const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return r;
    return refuse(std::string("it cannot be read: ") + std::strerror(errno));
  }
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  while (text.size() <= (size_t{1} << 16) && (n = read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, size_t(n));
  }
  const int err = errno;
  struct stat opened;
  const bool same =
      fstat(fd, &opened) == 0 && opened.st_ino == st.st_ino && S_ISREG(opened.st_mode);
  close(fd);
  if (!same) return refuse("it was replaced while it was read");
  if (n < 0) return refuse(std::string("it cannot be read: ") + std::strerror(err));
  if (text.size() > (size_t{1} << 16)) return refuse("it is longer than any commit record");
  ParseRecord(text, name, r);
  return r;
}

// The folder part of a name as a message shows it, with the record's name.
std::string RecordPath(const std::string& folderPart, const std::string& record) {
  return Printable(folderPart + record, std::string::npos);
}

[[noreturn]] void RefuseRecord(const std::string& path, const Record& r,
                               const std::string& routine) {
  FatalStop("The commit record " + path + " cannot be trusted (" + r.why +
                "); nothing was renamed or removed: remove it!",
            routine);
}

// Seconds a commit waits for another run's record or for the folder's lock before it stops.
constexpr int kWaitSeconds = 90;
// A record of a process that cannot be asked (another machine, another boot) older than this
// is taken as left by a process that was killed: a commit takes a second or so.
constexpr time_t kAbandonedSeconds = 60;
// A record whose holder line is not written yet, younger than this, may be one that its
// process has just created (without the folder's lock: with it, nobody is writing one).
constexpr time_t kEmptySeconds = 2;

enum class Verdict { kApply, kWait, kRefuse };

// What to do with a record found in place of the one a commit is about to create, or before a
// run: apply it (complete its commit, or drop one that renamed nothing) when its process is
// gone, wait while it may be running.
Verdict Judge(const Record& r, bool locked, const ProcessIdentity& me) {
  if (r.kind == Record::kRefused) return Verdict::kRefuse;
  if (r.kind == Record::kNone) return Verdict::kApply;  // nothing left to do
  const time_t age = std::time(nullptr) - r.modified;
  if (r.kind == Record::kEmpty)
    return locked || age >= kEmptySeconds ? Verdict::kApply : Verdict::kWait;
  const ProcessIdentity& h = r.holder;
  const bool sameKernel = h.host == me.host && (h.boot.empty() || h.boot == me.boot);
  if (sameKernel && (h.pidSpace.empty() || h.pidSpace == me.pidSpace)) {
    bool running = false;
    if (!h.start.empty() && !me.start.empty()) {
      running = StartTime(h.pid) == h.start;
    } else {
      running = kill(pid_t(h.pid), 0) == 0 || errno == EPERM;
    }
    // This process's own record, under the lock: a commit of its own that failed and left it.
    if (running && locked && h.pid == me.pid && h.start == me.start) running = false;
    return running ? Verdict::kWait : Verdict::kApply;
  }
  // The same kernel seen from another pid namespace: its flock is the same lock.
  if (sameKernel && locked) return Verdict::kApply;
  return age > kAbandonedSeconds ? Verdict::kApply : Verdict::kWait;
}

// Completes (record ended: every new file was complete) or drops (record cut short: nothing
// was renamed yet) the commit of a record, then removes it; 0, or the errno of a rename that
// failed, which leaves the record.
int ApplyRecord(int dirFd, const std::string& recordName, const Record& r) {
  const SignalHold hold;
  for (const Record::File& f : r.files) {
    if (r.kind != Record::kComplete) {
      unlinkat(dirFd, f.temp.c_str(), 0);
      continue;
    }
    // A temporary file that is gone was renamed before the process stopped.
    if (renameat(dirFd, f.temp.c_str(), dirFd, f.final.c_str()) != 0 && errno != ENOENT) {
      return errno;
    }
  }
  if (r.kind == Record::kComplete) {
    fsync(dirFd);
    for (const Record::File& f : r.files) {
      if (f.keep != "-") unlinkat(dirFd, f.keep.c_str(), 0);
    }
  }
  unlinkat(dirFd, recordName.c_str(), 0);
  fsync(dirFd);
  return 0;
}

// The earlier file of a final name during the commit: none, a hard link to it, or, where the
// file system has no hard links (EPERM, EXDEV, ENOTSUP...), the file itself moved aside.
enum class Kept { kNone, kLinked, kMovedAside };

using Clock = std::chrono::steady_clock;

}  // namespace

// The steps of one commit, with what each undoes when a later one fails. The files of each
// folder have a lock and a record of their own: a record names files of its own folder only.
class CommitRun {
 public:
  explicit CommitRun(const std::vector<OutputFile*>& files) : files_(files) {}
  ~CommitRun() {
    for (Group& g : groups_) {
      if (g.recordFd >= 0) close(g.recordFd);
      if (g.lockFd < 0) continue;
      if (g.locked) flock(g.lockFd, LOCK_UN);
      close(g.lockFd);
    }
  }
  CommitRun(const CommitRun&) = delete;
  CommitRun& operator=(const CommitRun&) = delete;

  void Run();

 private:
  struct Group {
    int dirFd = -1;  // its first file's
    dev_t dev = 0;
    ino_t ino = 0;
    std::vector<size_t> files;  // in the order of the commit
    int lockFd = -1;
    bool locked = false;
    std::string record;
    std::unique_ptr<PendingName> pending;  // the record, until it is complete
    int recordFd = -1;
    bool made = false;  // the record is ours
  };
  void MakeGroups();
  void Lock(Group& g);
  void CreateRecord(Group& g);
  void FillRecord(Group& g);
  void DropRecords();
  void KeepEarlier();
  void Rename();
  [[noreturn]] void Stop(OutputFile& f, const std::string& what, const std::string& reason);
  [[noreturn]] void LeaveForRecovery(OutputFile& f, const std::string& what, int err);

  const std::vector<OutputFile*>& files_;
  std::vector<Group> groups_;  // by device and inode: every commit locks folders in one order
  const ProcessIdentity me_ = ThisProcess();
  std::vector<std::string> keepNames_;
  std::vector<Kept> kept_;
};

void CommitRun::MakeGroups() {
  for (size_t i = 0; i < files_.size(); ++i) {
    struct stat st {};
    if (fstat(files_[i]->dirFd_, &st) != 0) files_[i]->Fail("commit", errno);
    auto g = std::find_if(groups_.begin(), groups_.end(),
                          [&](const Group& x) { return x.dev == st.st_dev && x.ino == st.st_ino; });
    if (g == groups_.end()) {
      groups_.emplace_back();
      g = std::prev(groups_.end());
      g->dirFd = files_[i]->dirFd_;
      g->dev = st.st_dev;
      g->ino = st.st_ino;
    }
    g->files.push_back(i);
  }
  std::sort(groups_.begin(), groups_.end(), [](const Group& a, const Group& b) {
    return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino;
  });
  keepNames_.assign(files_.size(), "-");
  kept_.assign(files_.size(), Kept::kNone);
}

void CommitRun::Stop(OutputFile& f, const std::string& what, const std::string& reason) {
  DropRecords();
  f.Fail(what, reason);
}

void CommitRun::Lock(Group& g) {
  // Concurrent commits to one folder take turns; the lock is taken before the signals are held
  // back, so that a process waiting for it can still be interrupted. Without a lock (ENOLCK,
  // EOPNOTSUPP; EBADF on NFS, which locks only files open for writing) the commit record alone
  // orders commits of the same names.
  // A description of its own: the lock ends with the commit, not with the files.
  g.lockFd = openat(g.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int err = g.lockFd < 0 ? errno : Hook(CommitStep::kLock);
  if (!err && flock(g.lockFd, LOCK_EX | LOCK_NB) != 0) {
    err = errno;
    if (err == EWOULDBLOCK) {
      // Polled with a bound: a holder stopped in its commit (SIGSTOP) would hold it for ever.
      err = Hook(CommitStep::kLockWait);
      const auto deadline = Clock::now() + std::chrono::seconds(kWaitSeconds);
      while (!err && flock(g.lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
          err = errno;
        } else if (Clock::now() > deadline) {
          Stop(*files_[g.files[0]], "commit",
               "another process has held the lock of its folder for " +
                   std::to_string(kWaitSeconds) + " s");
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    }
  }
  g.locked = err == 0;
}

void CommitRun::CreateRecord(Group& g) {
  OutputFile& first = *files_[g.files[0]];
  g.record = RecordName(first.base_);
  const auto deadline = Clock::now() + std::chrono::seconds(kWaitSeconds);
  int recoveries = 0;
  for (;;) {
    // Registered before it exists: a signal while it is being made removes it.
    g.pending = Register(g.dirFd, g.record);
    int err = Hook(CommitStep::kRecord);
    if (!err) {
      g.recordFd = openat(g.dirFd, g.record.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (g.recordFd >= 0) break;
      err = errno;
    }
    Unregister(g.pending);
    if (err != EEXIST || recoveries > 2) {
      DropRecords();
      first.Fail("commit", err == EEXIST ? EBUSY : err);
    }
    // A record of the same names: a commit that a stopped process left (complete it), one
    // under way in a process that runs without the folder lock (wait for it), or a file that
    // this program did not write (refused, and left alone).
    const Record r = ReadRecord(g.dirFd, g.record);
    if (r.kind == Record::kNone && Clock::now() <= deadline) continue;  // gone meanwhile
    const std::string path = RecordPath(first.folderPart_, g.record);
    switch (Judge(r, g.locked, me_)) {
      case Verdict::kRefuse:
        DropRecords();
        RefuseRecord(path, r, first.Routine());
      case Verdict::kApply:
        if (const int e = ApplyRecord(g.dirFd, g.record, r)) {
          Stop(first, "commit",
               "the commit that " + path + " records cannot be completed: " + std::strerror(e));
        }
        ++recoveries;
        break;
      case Verdict::kWait:
        if (Hook(CommitStep::kRecordWait) != 0 || Clock::now() > deadline) {
          const std::string who = r.kind == Record::kEmpty
                                      ? "a process that has not named itself"
                                      : "process " + std::to_string(r.holder.pid) + " on host " +
                                            Printable(r.holder.host);
          Stop(first, "commit",
               "the commit record " + path + " of " + who + ", written " +
                   std::to_string(std::max<time_t>(std::time(nullptr) - r.modified, 0)) +
                   " s ago, is still there after a wait of " + std::to_string(kWaitSeconds) +
                   " s; if that run has ended, remove the record");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        break;
    }
  }
  g.made = true;
  const std::string head = "driftsim commit record\nprocess\t" + std::to_string(me_.pid) + "\t" +
                           Escape(me_.host) + "\t" + Escape(me_.start) + "\t" + Escape(me_.boot) +
                           "\t" + Escape(me_.pidSpace) + "\n";
  if (write(g.recordFd, head.data(), head.size()) != ssize_t(head.size())) {
    const int err = errno;
    DropRecords();
    first.Fail("commit", err);
  }
}

void CommitRun::FillRecord(Group& g) {
  std::string text;
  for (const size_t i : g.files) {
    const OutputFile& f = *files_[i];
    struct stat st;
    const bool earlier = fstatat(f.dirFd_, f.base_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (earlier && S_ISDIR(st.st_mode)) {
      // A folder made under the name since the file was: no file may replace it.
      DropRecords();
      files_[i]->Fail("rename", EISDIR);
    }
    if (earlier) keepNames_[i] = TempBase();
    text += "file\t.\t" + Escape(f.tempBase_) + "\t" + Escape(f.base_) + "\t" +
            Escape(keepNames_[i]) + "\n";
  }
  text += "end\n";
  const char* p = text.data();
  size_t left = text.size();
  int err = 0;
  while (left > 0 && !err) {
    const ssize_t n = write(g.recordFd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) err = n < 0 ? errno : ENOSPC;
    if (n > 0) {
      p += n;
      left -= size_t(n);
    }
  }
  // On disk, and its name in the folder, before the first rename.
  if (!err && fdatasync(g.recordFd) != 0 && !SyncUnsupported(errno)) err = errno;
  if (!err && close(g.recordFd) != 0) err = errno;
  g.recordFd = -1;
  if (!err && fsync(g.dirFd) != 0 && errno != EBADF && !SyncUnsupported(errno)) err = errno;
  if (err) {
    DropRecords();
    files_[g.files[0]]->Fail("commit", err);
  }
  // From here on the record stays until the commit is complete or undone.
  Unregister(g.pending);
}

void CommitRun::DropRecords() {
  for (Group& g : groups_) {
    if (g.recordFd >= 0) close(g.recordFd);
    g.recordFd = -1;
    if (g.made) unlinkat(g.dirFd, g.record.c_str(), 0);
    g.made = false;
    Unregister(g.pending);
  }
}

// A put-back failed: the folders are not back to the earlier files, and only completing the
// commit makes them whole again. Every new file is complete and named in a record, so the
// records and the temporary files stay for the next commit of these names, which completes it.
void CommitRun::LeaveForRecovery(OutputFile& f, const std::string& what, int err) {
  for (OutputFile* file : files_) {
    file->committed_ = true;
    Unregister(file->pending_);
  }
  std::string records;
  for (const Group& g : groups_) {
    records +=
        (records.empty() ? "" : ", ") + RecordPath(files_[g.files[0]]->folderPart_, g.record);
  }
  f.Fail(what,
         std::string(std::strerror(err)) +
             "; putting the earlier files back failed too, so the commit record " + records +
             " stays, and the next run that writes " +
             Printable(files_[0]->finalName_, std::string::npos) + " completes the commit",
         err);
}

void CommitRun::KeepEarlier() {
  for (size_t i = 0; i < files_.size(); ++i) {
    OutputFile& f = *files_[i];
    const int file = int(i);
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
        const int back = Hook(CommitStep::kPutBack, int(j));
        if (back || renameat(g.dirFd_, keepNames_[j].c_str(), g.dirFd_, g.base_.c_str()) != 0) {
          LeaveForRecovery(f, "keep the earlier", err);
        }
      }
    }
    DropRecords();
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
    // All as they were: each file already renamed goes back to its temporary name, first, so
    // that a put-back that fails halfway loses no new file, and its earlier file returns;
    // moved-aside files return.
    for (size_t j = 0; j < files_.size(); ++j) {
      const OutputFile& g = *files_[j];
      const char* keep = keepNames_[j].c_str();
      const bool renamed = j < i;
      if (renamed || kept_[j] == Kept::kMovedAside) {
        bool back = Hook(CommitStep::kPutBack, int(j)) == 0;
        if (back && renamed) {
          back = renameat(g.dirFd_, g.base_.c_str(), g.dirFd_, g.tempBase_.c_str()) == 0;
        }
        if (back && kept_[j] != Kept::kNone) {
          back = renameat(g.dirFd_, keep, g.dirFd_, g.base_.c_str()) == 0;
        }
        if (!back) LeaveForRecovery(f, "rename", err);
      } else if (kept_[j] == Kept::kLinked) {
        unlinkat(g.dirFd_, keep, 0);
      }
    }
    for (size_t j = 0; j < i; ++j) {
      unlinkat(files_[j]->dirFd_, files_[j]->tempBase_.c_str(), 0);
      files_[j]->committed_ = true;  // nothing of it is left to remove
    }
    DropRecords();
    f.Fail("rename", err);
  }
}

void CommitRun::Run() {
  for (OutputFile* f : files_) Check(f->fd_ < 0 && f->pending_, "every file closed before Commit");
  Hook(CommitStep::kStart);
  MakeGroups();
  for (Group& g : groups_) Lock(g);
  for (Group& g : groups_) CreateRecord(g);
  const SignalHold hold;
  for (Group& g : groups_) FillRecord(g);
  KeepEarlier();
  Rename();
  gCompleted = 1;
  for (OutputFile* f : files_) f->committed_ = true;
  // Best effort from here: every file is in place.
  if (!Hook(CommitStep::kSyncFolder)) {
    for (const Group& g : groups_) fsync(g.dirFd);
  }
  for (Group& g : groups_) {
    unlinkat(g.dirFd, g.record.c_str(), 0);
    g.made = false;
  }
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

namespace {

// Whether the name in that folder is a descriptor of a process seen through /proc, whatever
// file it leads to: /dev/stdout and its kin are links into /proc, and /proc/self/fd holds
// magic links. Told by the file system of the folder and of the link's own folder.
bool ProcessDescriptor(int dirFd, const std::string& base) {
  struct statfs fs {};
  if (fstatfs(dirFd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) return true;
  char to[PATH_MAX];
  const ssize_t n = readlinkat(dirFd, base.c_str(), to, sizeof to - 1);
  if (n <= 0) return false;
  std::string folder(to, size_t(n));
  folder.resize(folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/') + 1);
  const int fd =
      openat(dirFd, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool proc = fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
  close(fd);
  return proc;
}

}  // namespace

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
    if ((link && fstatat(dirFd_, base_.c_str(), &target, 0) == 0 && !S_ISREG(target.st_mode)) ||
        (!link && !S_ISREG(st.st_mode)) || ProcessDescriptor(dirFd_, base_)) {
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
  Fail(what, std::string(std::strerror(err)), err);
}

void OutputFile::Fail(const std::string& what, const std::string& reason, int err) {
  Forget();
  FatalStop(
      "Cannot " + what + " file " + Printable(finalName_, std::string::npos) + ": " + reason + "!",
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

void OutputFile::CheckRoom(uint64_t bytes) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      bytes <= uint64_t(limit.rlim_cur)) {
    return;
  }
  Fail("write", "it may reach " + std::to_string(bytes) + " bytes, above the file-size limit of " +
                    std::to_string(uint64_t(limit.rlim_cur)) + " bytes (ulimit -f)");
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
  const std::string name = RecordName(parts.base);
  bool applied = false;
  Record r = ReadRecord(dirFd, name);
  // Only under the folder's lock, and without waiting for it: a process that holds it is
  // committing, and if it dies, the next commit finds its record under the lock and completes it.
  // A record whose process still runs is a commit made without the lock (a file system that
  // refused it to that process): it is left to finish.
  if (r.kind != Record::kNone && r.kind != Record::kRefused && Hook(CommitStep::kLock) == 0 &&
      flock(dirFd, LOCK_EX | LOCK_NB) == 0) {
    r = ReadRecord(dirFd, name);
    if (r.kind != Record::kNone && Judge(r, true, ThisProcess()) == Verdict::kApply) {
      applied = ApplyRecord(dirFd, name, r) == 0;
    }
  }
  close(dirFd);  // also releases the lock
  // Refused before the run's work, which its commit would otherwise lose.
  if (r.kind == Record::kRefused) RefuseRecord(RecordPath(parts.folderPart, name), r, "CheckFiles");
  return applied;
}

bool CommitPending(const std::string& firstName) {
  // The record lies beside the file itself, wherever a link to it is.
  char real[PATH_MAX];
  const NameParts parts =
      Split(realpath(firstName.c_str(), real) != nullptr ? std::string(real) : firstName);
  const int dirFd = OpenFolder(parts.Folder());
  if (dirFd < 0) return false;
  const std::string name = RecordName(parts.base);
  const Record r = ReadRecord(dirFd, name);
  close(dirFd);
  if (r.kind == Record::kRefused) RefuseRecord(RecordPath(parts.folderPart, name), r, "CheckFiles");
  // An empty or partial record was written before any rename: the files are whole.
  return r.kind == Record::kComplete;
}

std::string CommitRecordName(const std::string& base) {
  return RecordName(base);
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
