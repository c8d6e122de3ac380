// Linked into the programs of test builds only. DRIFTSIM_TEST_STOP=STEP[:FILE] stops the process
// (SIGSTOP) before that step of a commit, so that a test can send signals or start a second run
// at an exact point and then let it continue (SIGCONT), without racing. DRIFTSIM_TEST_FAIL=
// STEP[:FILE]=ERRNO fails that step as a file system without it would.
// STEP: start, lock-wait, lock, record, keep, move-aside, rename, sync-folder; FILE: 0 (default),
// 1, ...: the file of the commit, for keep, move-aside and rename. STEP@K stops at the K-th
// time the step comes (a later commit of the same process).
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "transaction/transaction.hpp"

namespace {

using driftsim::CommitStep;

struct Point {
  bool set = false;
  CommitStep step{};
  int file = 0;
  int err = 0;
  int occurrence = 1;  // the how-many-th commit's step (STEP@K), for the stop
  int seen = 0;
};
Point gStop, gFail;

int AtStep(CommitStep step, int file) {
  if (gStop.set && step == gStop.step && file == gStop.file && ++gStop.seen == gStop.occurrence) {
    raise(SIGSTOP);
  }
  if (gFail.set && step == gFail.step && file == gFail.file) return gFail.err;
  return 0;
}

Point FromEnvironment(const char* variable) {
  Point p;
  const char* value = std::getenv(variable);
  if (value == nullptr) return p;
  std::string text = value;
  const size_t at = text.find('@');
  if (at != std::string::npos) {
    p.occurrence = std::atoi(text.c_str() + at + 1);
    text.erase(
        at, text.find('=', at) == std::string::npos ? std::string::npos : text.find('=', at) - at);
  }
  const size_t eq = text.find('=');
  if (eq != std::string::npos) {
    p.err = std::atoi(text.c_str() + eq + 1);
    text.resize(eq);
  }
  const std::string name = text.substr(0, text.find(':'));
  if (text.find(':') != std::string::npos) p.file = std::atoi(text.c_str() + name.size() + 1);
  const std::pair<const char*, CommitStep> steps[] = {
      {"start", CommitStep::kStart},   {"lock-wait", CommitStep::kLockWait},
      {"lock", CommitStep::kLock},     {"record", CommitStep::kRecord},
      {"keep", CommitStep::kKeep},     {"move-aside", CommitStep::kMoveAside},
      {"rename", CommitStep::kRename}, {"sync-folder", CommitStep::kSyncFolder},
  };
  for (const auto& [word, step] : steps) {
    if (name == word) {
      p.set = true;
      p.step = step;
    }
  }
  return p;
}

bool Install() {
  gStop = FromEnvironment("DRIFTSIM_TEST_STOP");
  gFail = FromEnvironment("DRIFTSIM_TEST_FAIL");
  if (gStop.set || gFail.set) driftsim::gCommitHook = AtStep;
  return true;
}

const bool gInstalled = Install();

}  // namespace
