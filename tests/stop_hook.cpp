// Linked into the programs of test builds only. DRIFTSIM_TEST_STOP=STEP[:FILE] stops the process
// (SIGSTOP) before that step of a commit, so that a test can send signals or start a second run
// at an exact point and then let it continue (SIGCONT), without racing. DRIFTSIM_TEST_FAIL=
// STEP[:FILE]=ERRNO[,STEP[:FILE]=ERRNO...] fails those steps as a file system without them
// would.
// STEP: start, lock-wait, lock, record, keep, move-aside, rename, sync-folder, record-wait,
// put-back; FILE: 0 (default),
// 1, ...: the file of the commit, for keep, move-aside and rename. STEP@K stops at the K-th
// time the step comes (a later commit of the same process).
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
Point gStop;
std::vector<Point> gFail;

int AtStep(CommitStep step, int file) {
  if (gStop.set && step == gStop.step && file == gStop.file && ++gStop.seen == gStop.occurrence) {
    raise(SIGSTOP);
  }
  for (const Point& p : gFail) {
    if (p.set && step == p.step && file == p.file) return p.err;
  }
  return 0;
}

Point FromText(std::string text) {
  Point p;
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
      {"start", CommitStep::kStart},
      {"lock-wait", CommitStep::kLockWait},
      {"lock", CommitStep::kLock},
      {"record", CommitStep::kRecord},
      {"keep", CommitStep::kKeep},
      {"move-aside", CommitStep::kMoveAside},
      {"rename", CommitStep::kRename},
      {"sync-folder", CommitStep::kSyncFolder},
      {"record-wait", CommitStep::kRecordWait},
      {"put-back", CommitStep::kPutBack},
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
  if (const char* stop = std::getenv("DRIFTSIM_TEST_STOP")) gStop = FromText(stop);
  if (const char* fail = std::getenv("DRIFTSIM_TEST_FAIL")) {
    const std::string text = fail;
    for (size_t start = 0; start <= text.size();) {
      const size_t comma = std::min(text.find(',', start), text.size());
      gFail.push_back(FromText(text.substr(start, comma - start)));
      start = comma + 1;
    }
  }
  if (gStop.set || !gFail.empty()) driftsim::gCommitHook = AtStep;
  return true;
}

const bool gInstalled = Install();

}  // namespace
