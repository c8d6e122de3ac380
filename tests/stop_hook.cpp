// Linked into the driftsim binary of test builds only: DRIFTSIM_TEST_STOP=STEP[:FILE] stops the
// process (SIGSTOP) before that step of the commit, so that a test can send signals or start a
// second run at an exact point and then let it continue (SIGCONT), without racing.
// STEP: start, lock-wait, lock, keep, rename, sync-folder; FILE: 0 (default) or 1.
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "output/output.hpp"

namespace {

using driftsim::CommitStep;

CommitStep gStopStep;
int gStopFile = 0;

int StopAt(CommitStep step, int file) {
  if (step == gStopStep && file == gStopFile) raise(SIGSTOP);
  return 0;
}

bool InstallFromEnvironment() {
  const char* value = std::getenv("DRIFTSIM_TEST_STOP");
  if (value == nullptr) return false;
  const std::string text = value;
  const std::string name = text.substr(0, text.find(':'));
  if (text.find(':') != std::string::npos) gStopFile = std::atoi(text.c_str() + name.size() + 1);
  const std::pair<const char*, CommitStep> steps[] = {
      {"start", CommitStep::kStart},   {"lock-wait", CommitStep::kLockWait},
      {"lock", CommitStep::kLock},     {"keep", CommitStep::kKeep},
      {"rename", CommitStep::kRename}, {"sync-folder", CommitStep::kSyncFolder},
  };
  for (const auto& [word, step] : steps) {
    if (name == word) {
      gStopStep = step;
      driftsim::gCommitHook = StopAt;
      return true;
    }
  }
  return false;
}

const bool gInstalled = InstallFromEnvironment();

}  // namespace
