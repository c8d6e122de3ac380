#include "cpu/threads.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/common.hpp"

namespace driftsim {

namespace {

// The thread number of the calling thread in a job, when it takes part in one.
struct InJob {
  bool inside = false;
  int thread = 0;
};

}  // namespace

// Pool threads sleep between jobs and are woken for each; the calling thread takes tasks too.
// A job's tasks are handed out by one atomic counter, so the order of handing out is fixed but
// which thread runs which task is not.
class ThreadPool::Workers {
 public:
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void Run(int64_t count, TaskFn fn, void* context, int threads) {
    // A job started from inside a task stays on the thread that starts it.
    const InJob self = Self();
    if (self.inside) {
      for (int64_t i = 0; i < count; ++i) fn(context, i, self.thread);
      return;
    }
    std::lock_guard<std::mutex> one(run_);  // one job at a time
    const int helpers = Grow(threads - 1);
    {
      std::lock_guard<std::mutex> lock(m_);
      fn_ = fn;
      context_ = context;
      count_ = count;
      next_.store(0);
      error_ = nullptr;
      participants_ = helpers;
      pending_ = helpers;
      caller_ = std::this_thread::get_id();
      busy_.store(true);
      ++job_;
    }
    wake_.notify_all();
    Take(0);
    std::unique_lock<std::mutex> lock(m_);
    done_.wait(lock, [&] { return pending_ == 0; });
    busy_.store(false);
    if (error_) {
      std::exception_ptr error = error_;
      error_ = nullptr;
      std::rethrow_exception(error);
    }
  }

 private:
  // Whether the calling thread takes part in the job under way, and its number there. The
  // caller's id and the pool threads do not change while a job runs.
  InJob Self() const {
    if (!busy_.load()) return {};
    const std::thread::id me = std::this_thread::get_id();
    if (me == caller_) return {true, 0};
    for (size_t k = 0; k < ids_.size(); ++k) {
      if (ids_[k] == me) return {true, static_cast<int>(k) + 1};
    }
    return {};
  }

  // Pool threads 1..want, started on first need; fewer when the system refuses more. They start
  // with every signal blocked, so that signals (an interrupt, a file-size limit) reach the
  // thread that handles them in a run of one thread too.
  int Grow(int want) {
    if (static_cast<int>(workers_.size()) >= want) return want;
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    while (static_cast<int>(workers_.size()) < want) {
      const int id = static_cast<int>(workers_.size()) + 1;
      try {
        workers_.emplace_back([this, id] { Work(id); });
        ids_.push_back(workers_.back().get_id());
      } catch (const std::system_error&) {
        break;
      }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return std::min(want, static_cast<int>(workers_.size()));
  }

  void Work(int id) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || job_ != seen; });
      if (stop_) return;
      seen = job_;
      if (id > participants_) continue;
      lock.unlock();
      Take(id);
      lock.lock();
      if (--pending_ == 0) done_.notify_one();
    }
  }

  // Runs tasks of the current job until none is left.
  void Take(int thread) {
    for (;;) {
      const int64_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= count_) break;
      try {
        fn_(context_, i, thread);
      } catch (...) {
        std::lock_guard<std::mutex> lock(m_);
        if (!error_) error_ = std::current_exception();
        next_.store(count_);
      }
    }
  }

  std::mutex run_;
  std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> workers_;
  std::vector<std::thread::id> ids_;  // of workers_, in order
  bool stop_ = false;
  uint64_t job_ = 0;
  int participants_ = 0;  // pool threads 1..participants_ take part in the job
  int pending_ = 0;       // of those, the ones not yet done
  std::atomic<bool> busy_{false};
  std::thread::id caller_;
  TaskFn fn_ = nullptr;
  void* context_ = nullptr;
  int64_t count_ = 0;
  std::atomic<int64_t> next_{0};
  std::exception_ptr error_;
};

ThreadPool::ThreadPool(int threads) : threads_(threads) {
  Check(threads >= 1 && threads <= kMaxThreads, "a thread count from 1 to 1024");
  if (threads > 1) workers_ = std::make_unique<Workers>();
}

ThreadPool::~ThreadPool() = default;

void ThreadPool::Run(int64_t count, TaskFn fn, void* context) {
  if (count <= 0) return;
  const int threads = static_cast<int>(std::min<int64_t>(threads_, count));
  if (!workers_ || threads <= 1) {
    for (int64_t i = 0; i < count; ++i) fn(context, i, 0);
    return;
  }
  workers_->Run(count, fn, context, threads);
}

int AffinityCpuCount() {
  static const int count = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    int n = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = CPU_COUNT(&set);
    if (n <= 0) n = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(n, 1, kMaxThreads);
  }();
  return count;
}

int ThreadCountFromText(const char* text) {
  int n = 0;
  for (const char* c = text; *c != '\0' && n <= kMaxThreads; ++c) {
    n = *c >= '0' && *c <= '9' ? 10 * n + (*c - '0') : kMaxThreads + 1;
  }
  return n >= 1 && n <= kMaxThreads ? n : 0;
}

int ResolveThreadCount(int chosen) {
  Check(chosen >= 0 && chosen <= kMaxThreads,
        "a thread count from 1 to 1024, or 0 for the default");
  const char* text = std::getenv("DRIFTSIM_THREADS");
  int n = 0;
  if (text != nullptr && *text != '\0') {
    n = ThreadCountFromText(text);
    if (n == 0) {
      FatalStop(std::string("DRIFTSIM_THREADS=") + text +
                    ": the thread count must be a whole number from 1 to " +
                    IntToText(kMaxThreads) + "!",
                "SelectThreads");
    }
  }
  if (chosen > 0) return chosen;
  return n > 0 ? n : AffinityCpuCount();
}

}  // namespace driftsim
