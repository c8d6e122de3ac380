// A run in the background, for the front ends that keep their own thread (Python, R): the
// engine on a thread of its own with the run's cancel flag, its progress posted as events, and
// the caller's thread polled every 50 ms to hand them on and to look for an interrupt.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common/common.hpp"
#include "population/context.hpp"

namespace driftsim {

// What the engine tells the caller: phase, done, total. The latest count of a phase replaces
// an earlier one still waiting.
class ProgressEvents {
 public:
  using Event = std::tuple<std::string, int64_t, int64_t>;
  void Post(const char* phase, int64_t done, int64_t total) {
    std::lock_guard lock(mutex_);
    if (!queue_.empty() && std::get<0>(queue_.back()) == phase) queue_.pop_back();
    queue_.emplace_back(phase, done, total);
  }
  std::vector<Event> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(queue_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<Event> queue_;
};

// The progress of a background run: no line of its own, the phases' counts as events, and the
// run stopped at the next report once it is cancelled (besides the tasks' own checks).
class EventProgress : public Progress {
 public:
  EventProgress(const RunContext& ctx, ProgressEvents& events) : ctx_(ctx), events_(events) {}
  void Generation(int32_t g, int32_t last) override { Begin("generations", g - 1, last); }
  void Writing(int64_t records) override { Begin("write", 0, records); }
  void PhaseEnd() override {
    if (phase_) events_.Post(phase_, total_, total_);
    phase_ = nullptr;
  }
  void Frequencies(int32_t NumLoci) override { Begin("initialise", 0, NumLoci); }
  void Loci(int64_t done) override { Count(std::min(done, total_)); }
  void Offspring(int32_t /*done*/) override { ctx_.CheckCancel(); }
  void Records(int64_t done) override { Count(done); }

 private:
  void Begin(const char* phase, int64_t done, int64_t total) {
    phase_ = phase;
    total_ = total;
    Count(done);
  }
  void Count(int64_t done) {
    ctx_.CheckCancel();
    if (phase_) events_.Post(phase_, done, total_);
  }
  const RunContext& ctx_;
  ProgressEvents& events_;
  const char* phase_ = nullptr;
  int64_t total_ = 0;
};

// Held by the caller's thread around each wait (Python: the GIL released); nothing by default.
struct NothingReleased {};

// Runs work(cancel, events) on a thread of its own and returns its result, or rethrows its
// error, once it has unwound. Every 50 ms, and once more at the end, the calling thread runs
// poll(events, finished); poll returns true to cancel the run. Signals other than the faults
// are blocked on the engine's thread (and so on the pool's, which it starts): they go to the
// caller's thread, whose runtime handles them, and the engine never sees an interrupted call.
template <typename Released = NothingReleased, typename Work, typename Poll>
auto RunInBackground(Work work, Poll poll) {
  using Result =
      decltype(work(std::declval<std::atomic<bool>&>(), std::declval<ProgressEvents&>()));
  std::atomic<bool> cancel{false};
  ProgressEvents events;
  std::optional<Result> result;
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread engine([&] {
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    try {
      result.emplace(work(cancel, events));
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(mutex);
    done = true;
    finished.notify_all();
  });
  for (bool last = false; !last;) {
    {
      const Released released;
      std::unique_lock lock(mutex);
      finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; });
      last = done;
    }
    if (poll(events, last)) cancel = true;
  }
  engine.join();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace driftsim
