// Threads of a run: how many, and a small pool that runs numbered tasks on them. The steps that
// use it cut their work into tasks whose results do not depend on which thread runs them or in
// what order, so the output bytes never depend on the thread count.
//
// The count is the command line's, else DRIFTSIM_THREADS, else the CPUs of the process's
// affinity mask (taskset and SLURM restrict it). With one thread no other thread is ever
// started.
#pragma once

#include <cstdint>
#include <memory>

namespace driftsim {

// Work per task when a step is split over threads: offspring bytes of the families made,
// uniform draws of the genotypes drawn from frequencies, and mutations applied. Long enough to
// pay for a task's start, short enough that the threads share a step evenly; tests make them
// small so that small runs are split as well. The bytes never depend on them.
struct TaskSize {
  int64_t bytes = 256 * 1024;
  uint64_t draws = 1 << 18;
  size_t mutations = 8192;
};

// Most threads a run may use.
inline constexpr int kMaxThreads = 1024;

// CPUs this process may run on, from its affinity mask; at least 1.
int AffinityCpuCount();

// The thread count a text gives (digits only, 1 to kMaxThreads), or 0 when it gives none: the
// check of DRIFTSIM_THREADS, for a command-line option as well.
int ThreadCountFromText(const char* text);

// The count of a run: chosen (1 to kMaxThreads) when above 0, else DRIFTSIM_THREADS when set,
// else AffinityCpuCount(). A DRIFTSIM_THREADS that is not a whole number from 1 to kMaxThreads
// stops the run through FatalStop.
int ResolveThreadCount(int chosen);

using TaskFn = void (*)(void* context, int64_t task, int thread);

// Runs numbered tasks on the calling thread (thread 0) and up to threads - 1 pool threads (1,
// 2, ...), started on first need and ended with the pool. One job runs at a time; a job started
// from inside a task runs its tasks on the thread that starts it.
class ThreadPool {
 public:
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int Threads() const { return threads_; }

  // Calls fn(context, i, thread) for every i in [0, count) and returns when all calls have
  // returned. Tasks are handed out in increasing order. The first exception a task throws is
  // thrown here, once every running task has ended; tasks not yet started are then skipped.
  void Run(int64_t count, TaskFn fn, void* context);

 private:
  class Workers;
  int threads_;
  std::unique_ptr<Workers> workers_;
};

}  // namespace driftsim
