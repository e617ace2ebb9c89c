#include "core/worker_pool.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/process_lifetime.h"

#ifdef _WIN32
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

namespace edgemap {
namespace {

// Pool threads run the library's code for as long as the process lives, so
// the library must stay loaded that long: a host that frees edgemap.dll
// after a call would pull the code from under them. Once a thread is
// started, the DLL holding this function is pinned until the process ends.
// (The shared library on Linux is linked with -z nodelete for the same
// reason.)
void keep_library_loaded() noexcept {
#ifdef _WIN32
  HMODULE self = nullptr;
  (void)GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
      reinterpret_cast<LPCWSTR>(&keep_library_loaded), &self);
#endif
}

// One caller's request. It lives on the caller's stack, and every field
// after `task` is read and written under the pool's mutex only, so a pool
// thread never touches a job its caller may already have left.
struct job {
  void (*task)(void*, std::uint32_t);
  void* context;
  std::uint32_t parts;
  std::uint32_t next = 0;  // first part nobody has taken
  std::uint32_t done = 0;  // parts finished by pool threads
  std::uint32_t taken_by_pool = 0;
  std::condition_variable finished;
};

class worker_pool {
 public:
  // Pool threads block on the mutex's condition when idle. They are never
  // joined: the pool lives as long as the process, so that no exit-time
  // destructor waits for threads, which a library cannot do safely.
  static worker_pool& instance() noexcept {
    return process_lifetime<worker_pool>();
  }

  void run(job& j) noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      start_threads();
      if (threads_ > 0) {
        queue_.push_back(&j);
        wake(j.parts - 1);
      }
    }
    // The caller works on its own job until every part is taken.
    for (;;) {
      std::uint32_t part = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (j.next == j.parts) break;
        part = j.next++;
        if (j.next == j.parts) remove(j);
      }
      j.task(j.context, part);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    j.finished.wait(lock, [&] { return j.done == j.taken_by_pool; });
  }

 private:
  // Under mutex_. Wakes no more threads than there are parts for them: a
  // thread woken for nothing takes the mutex and a processor from those
  // that work, and with a thread per processor of a large machine a
  // two-part job would wake a hundred.
  void wake(std::uint32_t helpers) noexcept {
    if (helpers >= threads_) {
      wake_.notify_all();
      return;
    }
    for (std::uint32_t i = 0; i < helpers; ++i) wake_.notify_one();
  }

  void remove(job& j) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
      if (*it == &j) {
        queue_.erase(it);
        return;
      }
    }
  }

  // Under mutex_. Starts the pool threads on first use.
  void start_threads() noexcept {
    if (started_) return;
    started_ = true;
    const unsigned wanted = processor_count() - 1;
    if (wanted > 0) keep_library_loaded();
    for (unsigned i = 0; i < wanted; ++i) {
      try {
        std::thread([this] { serve(); }).detach();
        ++threads_;
      } catch (const std::system_error&) {
        break;  // fewer helpers; the callers do the rest
      }
    }
  }

  [[noreturn]] void serve() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return !queue_.empty(); });
      job& j = *queue_.front();
      const std::uint32_t part = j.next++;
      ++j.taken_by_pool;
      if (j.next == j.parts) queue_.pop_front();
      lock.unlock();
      j.task(j.context, part);
      lock.lock();
      if (++j.done == j.taken_by_pool && j.next == j.parts) {
        // Still under the mutex: the caller cannot leave before this ends.
        j.finished.notify_one();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<job*> queue_;
  bool started_ = false;
  unsigned threads_ = 0;
};

// The processors this thread (and so the threads it starts) may run on, or
// 0 where not even the machine's count is known. The C++ runtime counts
// the machine's (glibc's get_nprocs), whatever the affinity mask says; but
// under `taskset -c 0`, or in a container pinned to a few processors,
// threads for the others only take turns on the same ones, each hand-over
// a context switch, and overlapping a decoder with the edge map, which
// pays on two processors, costs on one.
unsigned allowed_processors() noexcept {
#ifdef _WIN32
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0) {
    unsigned n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n;
  }
#elif defined(__linux__)
  // The kernel refuses a mask smaller than its own (EINVAL), which on a
  // machine of more than 1024 processors is cpu_set_t's.
  for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 16);
       cpus *= 2) {
    cpu_set_t* const mask = CPU_ALLOC(cpus);
    if (mask == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const bool got = sched_getaffinity(0, bytes, mask) == 0;
    const int n = got ? CPU_COUNT_S(bytes, mask) : 0;
    CPU_FREE(mask);
    if (got) return static_cast<unsigned>(n);
    if (errno != EINVAL) break;
  }
#endif
  return std::thread::hardware_concurrency();
}

}  // namespace

unsigned processor_count() noexcept {
  static const unsigned count = [] {
    const unsigned n = allowed_processors();
    return n == 0 ? 1u : n;
  }();
  return count;
}

void run_parts(std::uint32_t parts, void (*task)(void*, std::uint32_t),
               void* context) noexcept {
  if (parts <= 1) {
    if (parts == 1) task(context, 0);
    return;
  }
  job j{task, context, parts, 0, 0, 0, {}};
  worker_pool::instance().run(j);
}

}  // namespace edgemap
