// Threads of a run: how many, and a small persistent pool that runs numbered tasks on them.
// The steps that use it cut their work into tasks whose results do not depend on which thread
// runs them or in what order, so the output bytes never depend on the thread count.
//
// The count is the one set last by SetThreadCount (the command line), else DRIFTSIM_THREADS,
// else the CPUs of the process's affinity mask (taskset and SLURM restrict it). With one
// thread no other thread is ever started.
#pragma once

#include <cstdint>
#include <type_traits>

namespace driftsim {

// Most threads a run may use.
inline constexpr int kMaxThreads = 1024;

// CPUs this process may run on, from its affinity mask; at least 1.
int AffinityCpuCount();

// Threads the steps use.
int ThreadCount();

// Sets the thread count, 1 to kMaxThreads; it wins over DRIFTSIM_THREADS. 0 restores the
// default (DRIFTSIM_THREADS when applied, else the affinity mask).
void SetThreadCount(int n);

// The thread count a text gives (digits only, 1 to kMaxThreads), or 0 when it gives none: the
// check of DRIFTSIM_THREADS, for a command-line option as well.
int ThreadCountFromText(const char* text);

// Applies DRIFTSIM_THREADS (a whole number 1 to kMaxThreads) unless SetThreadCount chose a
// count. Any other value stops the run through FatalStop.
void SelectThreadsFromEnvironment();

namespace detail {
using TaskFn = void (*)(void* context, int64_t task, int thread);
void RunTasks(int64_t count, TaskFn fn, void* context);
}  // namespace detail

// Calls task(i, thread) for every i in [0, count) and returns when all calls have returned.
// Tasks are handed out in increasing order to the calling thread (thread 0) and up to
// ThreadCount() - 1 pool threads (1, 2, ...). A call from inside a task runs its tasks on the
// calling thread. The first exception a task throws is thrown here, once every running task has
// ended; tasks not yet started are then skipped.
template <typename Task>
void ParallelFor(int64_t count, Task&& task) {
  using T = std::remove_reference_t<Task>;
  detail::RunTasks(
      count, [](void* context, int64_t i, int thread) { (*static_cast<T*>(context))(i, thread); },
      const_cast<void*>(static_cast<const void*>(&task)));
}

}  // namespace driftsim
