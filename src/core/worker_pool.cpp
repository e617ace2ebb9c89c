#include "core/worker_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/process_lifetime.h"

#ifdef _WIN32
#include <windows.h>
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
        wake_.notify_all();
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

}  // namespace

unsigned processor_count() noexcept {
  static const unsigned count = [] {
    const unsigned n = std::thread::hardware_concurrency();
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
