// Objects that live as long as the process: made on first use and never
// destroyed, so no exit-time destructor waits for pool threads or frees
// memory another thread may still be using while the process ends.
#pragma once

#include <new>

namespace edgemap {

template <class T>
T& process_lifetime() noexcept {
  alignas(T) static unsigned char storage[sizeof(T)];
  // Placement new allocates nothing, so nothing here can throw but T's
  // constructor, which must not.
  static T* const object = ::new (static_cast<void*>(storage)) T();
  return *object;
}

}  // namespace edgemap
