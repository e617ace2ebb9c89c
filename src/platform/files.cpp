// The portable half of the files floor: the temporary file a target is
// written through, its name, the list of those being written, and the
// commit that renames it into place.
#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/files_detail.h"

namespace edgemap {
namespace {

namespace os = files_detail;

// A name for a temporary file that no other writer, in this process or
// another, picks at the same moment; creation with O_EXCL settles any
// clash that remains.
std::string temp_suffix() {
  static std::atomic<std::uint64_t> counter{0};
  const auto ticks = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t mix =
      ticks ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&mix));
  std::string out = ".edgemap-";
  for (int i = 0; i < 12; ++i) {
    out += "0123456789abcdefghijklmnopqrstuv"[mix & 31];
    mix >>= 5;
  }
  return out + ".tmp";
}

// The temporary file's name beside the target: a dot, the start of the
// target's name (at most 32 bytes, cut where a UTF-8 character starts) for
// whoever finds it, and the suffix. Short whatever the target's name, which
// may already be as long as the file system allows.
std::string temp_name(const std::string& folder, const std::string& name) {
  std::size_t keep = name.size() < 32 ? name.size() : 32;
  while (keep > 0 && keep < name.size() &&
         (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return folder + '.' + name.substr(0, keep) + temp_suffix();
}

// How many names a temporary file gets before creating one is given up.
constexpr int temp_attempts = 64;

// The temporary files being written now, so that a program stopped by a
// signal can remove them (remove_temporary_targets).
class temporary_targets {
 public:
  // Made in static storage on first use and never destroyed: a thread may
  // still be writing while the process ends.
  static temporary_targets& instance() noexcept {
    alignas(temporary_targets) static unsigned char
        storage[sizeof(temporary_targets)];
    static temporary_targets* const list =
        ::new (static_cast<void*>(storage)) temporary_targets();
    return *list;
  }

  // False once the program is stopping. Throws std::bad_alloc.
  bool add(const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    paths_.push_back(path);
    return true;
  }

  void drop(const char* path) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = std::find(paths_.begin(), paths_.end(), path);
    if (it != paths_.end()) paths_.erase(it);
  }

  void remove_all() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const std::string& p : paths_) os::remove_file(p.c_str());
    paths_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> paths_;
  bool stopping_ = false;
};

// Whether a failure to create or rename a file in a folder means the folder
// refuses it while the target itself may still be written in place.
bool folder_refused(int why) noexcept { return why == EACCES || why == EPERM; }

std::unique_ptr<char[]> copy_of(const std::string& s) {
  std::unique_ptr<char[]> out(new char[s.size() + 1]);
  std::memcpy(out.get(), s.c_str(), s.size() + 1);
  return out;
}

}  // namespace

bool target_file::open(const char* path) noexcept {
  abandon();
  failed_ = false;
  error_ = 0;
  at_ = end_ = 0;
  if (path == nullptr || path[0] == '\0') {
    return refuse(ENOENT);
  }
  try {
    const std::string target = os::resolve_target(path);
    os::target_state st;
    if (const int why = os::inspect_target(target, st)) {
      // A name too long, a file where a folder should be: no temporary
      // file beside it would fare better.
      return refuse(why);
    }
    if (st.exists && !st.regular) {
      // Devices, FIFOs and the like are written in place; a folder fails
      // to open, as it always has.
      return writing_in_place(target, false);
    }
    if (st.exists) {
      // Only a target that could be opened for writing may be replaced.
      if (const int why = os::may_write(target)) return refuse(why);
    }
    const auto cut = target.find_last_of(os::separators);
    const std::string folder =
        cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
    const std::string name =
        cut == std::string::npos ? target : target.substr(cut + 1);
    for (int attempt = 0; attempt < temp_attempts; ++attempt) {
      const std::string temp = temp_name(folder, name);
      // Known before it exists, so that a stop never misses it.
      if (!temporary_targets::instance().add(temp)) return refuse(EINTR);
      const int fd = os::create_exclusive(temp);
      if (fd < 0) {
        temporary_targets::instance().drop(temp.c_str());
        if (-fd == EEXIST) continue;
        if (st.exists && folder_refused(-fd)) {
          return writing_in_place(target, true);
        }
        return refuse(-fd);
      }
      if (st.exists) os::keep_attributes(fd, st);
      stream_ = os::write_stream(fd);
      if (stream_ == nullptr) {
        const int why = errno;
        os::remove_file(temp.c_str());
        temporary_targets::instance().drop(temp.c_str());
        return refuse(why);
      }
      writing_through(temp, target);
      return true;
    }
  } catch (const std::bad_alloc&) {
    return refuse(ENOMEM);
  }
  return refuse(EEXIST);
}

void target_file::writing_through(const std::string& temp,
                                  const std::string& target) {
  // Whole bands are written at a time: no buffer needed.
  (void)std::setvbuf(stream_, nullptr, _IONBF, 0);
  owned_ = true;
  temp_path_ = copy_of(temp);
  final_path_ = copy_of(target);
}

bool target_file::writing_in_place(const std::string& path,
                                   bool regular) noexcept {
  stream_ = os::open_in_place(path);
  if (stream_ == nullptr) {
    return refuse(errno);
  }
  (void)std::setvbuf(stream_, nullptr, _IONBF, 0);
  owned_ = true;
  cut_at_commit_ = regular;
  return true;
}

file_identity target_file::identity() const noexcept {
  return stream_ != nullptr ? identity_of(stream_) : file_identity{};
}

void target_file::adopt(std::FILE* stream) noexcept {
  abandon();
  failed_ = false;
  error_ = 0;
  at_ = end_ = 0;
  stream_ = stream;
  owned_ = false;
}

void target_file::write(const void* bytes, std::size_t count) noexcept {
  if (failed_ || count == 0 || stream_ == nullptr) {
    failed_ = failed_ || stream_ == nullptr;
    return;
  }
  failed_ = std::fwrite(bytes, 1, count, stream_) != count;
  if (failed_) error_ = errno;
  at_ += count;
  end_ = at_ > end_ ? at_ : end_;
}

bool target_file::seek(std::uint64_t offset) noexcept {
  if (failed_ || stream_ == nullptr || !owned_ || !seek_to(stream_, offset)) {
    return false;
  }
  at_ = offset;
  return true;
}

bool target_file::commit() noexcept {
  if (stream_ == nullptr) {
    return false;
  }
  // A full disk often shows only when the buffered tail is flushed here.
  bool ok = !failed_;
  bool flushed = false;
  if (ok && cut_at_commit_ &&
      (std::fflush(stream_) != 0 || !os::truncate_at(stream_, end_))) {
    error_ = errno;
    ok = false;
  }
  if (owned_) {
    flushed = std::fclose(stream_) == 0;
  } else {
    flushed = std::fflush(stream_) == 0;
  }
  if (ok && !flushed) error_ = errno;
  ok = ok && flushed;
  stream_ = nullptr;
  cut_at_commit_ = false;
  if (temp_path_) {
    if (ok && !os::rename_over(temp_path_.get(), final_path_.get())) {
      // A sticky folder lets only a file's owner replace it: then the
      // finished file is copied over the target in place.
      const int why = errno;
      ok = folder_refused(why) &&
           os::copy_in_place(temp_path_.get(), final_path_.get());
      if (!ok) error_ = folder_refused(why) ? errno : why;
      os::remove_file(temp_path_.get());
    } else if (!ok) {
      os::remove_file(temp_path_.get());
    }
    temporary_targets::instance().drop(temp_path_.get());
    temp_path_.reset();
    final_path_.reset();
  }
  failed_ = !ok;
  return ok;
}

void target_file::abandon() noexcept {
  if (stream_ != nullptr && owned_) {
    (void)std::fclose(stream_);
  }
  stream_ = nullptr;
  cut_at_commit_ = false;
  if (temp_path_) {
    os::remove_file(temp_path_.get());
    temporary_targets::instance().drop(temp_path_.get());
    temp_path_.reset();
    final_path_.reset();
  }
}

void remove_temporary_targets() noexcept {
  temporary_targets::instance().remove_all();
}

}  // namespace edgemap
