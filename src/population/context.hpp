// What the steps of one run share: the row of CPU routines, the threads, and how work is cut
// into tasks for them. The driver owns one per run and passes it to every step that needs it;
// two runs in one process, each with its own context, give the bytes of two processes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include "common/common.hpp"
#include "cpu/threads.hpp"
#include "population/kernels.hpp"

namespace driftsim {

// Thrown when a run's cancel flag is found set: the run unwinds like a failed one, and what it
// made (tables, temporary files) goes with it.
class RunCancelled : public FatalError {
 public:
  RunCancelled() : FatalError("The run was cancelled!", "CheckCancel", ErrorKind::kInterrupted) {}
};

struct RunContext {
  KernelTable kernels;
  ThreadPool* pool = nullptr;  // null: every task on the calling thread
  TaskSize tasks;
  // Set by another thread to stop the run (the Python module's Ctrl-C); null: never.
  const std::atomic<bool>* cancel = nullptr;

  int Threads() const { return pool ? pool->Threads() : 1; }
  // Throws RunCancelled once the flag is set.
  void CheckCancel() const {
    if (cancel && cancel->load(std::memory_order_relaxed)) throw RunCancelled();
  }
};

// Calls task(i, thread) for every i in [0, count) on the context's threads; see ThreadPool::Run.
// Each task first looks at the cancel flag, so that a cancelled run stops within a task.
template <typename Task>
void ParallelFor(const RunContext& ctx, int64_t count, Task&& task) {
  using T = std::remove_reference_t<Task>;
  struct Job {
    T* task;
    const RunContext* ctx;
  };
  const TaskFn fn = [](void* context, int64_t i, int thread) {
    const Job& job = *static_cast<const Job*>(context);
    job.ctx->CheckCancel();
    (*job.task)(i, thread);
  };
  Job job{&task, &ctx};
  void* context = &job;
  if (ctx.pool) {
    ctx.pool->Run(count, fn, context);
  } else {
    for (int64_t i = 0; i < count; ++i) fn(context, i, 0);
  }
}

}  // namespace driftsim
