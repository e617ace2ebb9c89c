#include "core/pixel_buffer.h"

#include <cstdlib>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#if defined(MAP_ANONYMOUS)
#define EDGEMAP_HAVE_MMAP 1
#endif
#endif

namespace edgemap {
namespace {

#if defined(EDGEMAP_HAVE_MMAP)
constexpr std::size_t huge_page = std::size_t{2} << 20;
// From half a huge page on, a whole one costs less than the faults it saves.
constexpr std::size_t huge_from = huge_page / 2;

std::size_t mapped_size(std::size_t bytes) noexcept {
  return (bytes + huge_page - 1) & ~(huge_page - 1);
}

// mapped_size(bytes) at a huge-page boundary, advised for transparent huge
// pages where the kernel has them. Null on failure.
std::uint8_t* map_huge(std::size_t bytes) noexcept {
  if (bytes > SIZE_MAX - 2 * huge_page) {
    return nullptr;
  }
  const std::size_t size = mapped_size(bytes);
  // Map one huge page more than needed and trim both ends to the boundary.
  const std::size_t span = size + huge_page;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    return nullptr;
  }
  auto* base = static_cast<std::uint8_t*>(raw);
  const auto address = reinterpret_cast<std::uintptr_t>(base);
  const std::size_t head =
      ((address + huge_page - 1) & ~(huge_page - 1)) - address;
  if (head != 0) {
    (void)munmap(base, head);
  }
  if (huge_page - head != 0) {
    (void)munmap(base + head + size, huge_page - head);
  }
#if defined(MADV_HUGEPAGE)
  // Only advice: without transparent huge pages the memory still works.
  (void)madvise(base + head, size, MADV_HUGEPAGE);
#endif
  return base + head;
}
#endif

}  // namespace

pixel_buffer::pixel_buffer(pixel_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

pixel_buffer& pixel_buffer::operator=(pixel_buffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

pixel_buffer::~pixel_buffer() { reset(); }

void pixel_buffer::reset() noexcept {
#if defined(EDGEMAP_HAVE_MMAP)
  if (mapped_) {
    (void)munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
#else
  std::free(data_);
#endif
  data_ = nullptr;
  capacity_ = 0;
  mapped_ = false;
}

bool pixel_buffer::reserve(std::size_t bytes) noexcept {
  if (bytes == 0) {
    bytes = 1;
  }
  if (data_ != nullptr && bytes <= capacity_) {
    return true;
  }
  // Nothing worth keeping: free first, so two images never coexist.
  reset();
#if defined(EDGEMAP_HAVE_MMAP)
  if (bytes >= huge_from) {
    data_ = map_huge(bytes);
    if (data_ != nullptr) {
      capacity_ = mapped_size(bytes);
      mapped_ = true;
      return true;
    }
    return false;
  }
#endif
  data_ = static_cast<std::uint8_t*>(std::malloc(bytes));
  if (data_ == nullptr) {
    return false;
  }
  capacity_ = bytes;
  return true;
}

}  // namespace edgemap
