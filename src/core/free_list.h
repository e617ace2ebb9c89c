// Blocks of memory kept for the next user instead of freed: fresh memory
// costs a page fault per page on first touch, which on virtual machines
// takes longer than a small image's whole edge map. One list per type for
// the process's life; the lock is held only to take or return a block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "core/process_lifetime.h"

namespace edgemap {

template <class T>
class free_list {
 public:
  static free_list& instance() noexcept {
    return process_lifetime<free_list>();
  }

  // A kept block, or a new one (its memory untouched); null when memory
  // runs out.
  T* take() noexcept {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        T* block = free_.back();
        free_.pop_back();
        return block;
      }
    }
    return new (std::nothrow) T;
  }

  // Keeps the block for the next take() while fewer than `keep` are kept,
  // and frees it otherwise.
  void give_back(T* block, std::size_t keep = SIZE_MAX) noexcept {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (free_.size() < keep) {
        try {
          free_.push_back(block);
          return;
        } catch (const std::bad_alloc&) {
        }
      }
    }
    delete block;
  }

 private:
  std::mutex mutex_;
  std::vector<T*> free_;
};

}  // namespace edgemap
