// Sends the process's standard output to /dev/null while an instance lives, so that the
// progress lines of a run do not mix with the measurements printed afterwards.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace driftsim_bench {

class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null >= 0) dup2(null, STDOUT_FILENO);
    if (null >= 0) close(null);
  }
  ~QuietStdout() { Restore(); }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

  // Flushes what the run wrote (into /dev/null) and gives standard output back.
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }

 private:
  int saved_ = -1;
};

}  // namespace driftsim_bench
