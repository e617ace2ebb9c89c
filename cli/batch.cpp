#include "batch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "command.h"
#include "core/worker_pool.h"
#include "edgemap.h"

#ifdef _WIN32
#include <io.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace edgemap::cli {
namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

// Paths are UTF-8 in the program; std::filesystem takes them as such on
// every platform only through char8_t.
fs::path to_path(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string to_utf8(const fs::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

// What -r collects.
bool is_image_name(const fs::path& p) {
  return command::is_image_name(to_utf8(p));
}

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

struct job {
  std::string source;
  std::string target;
  std::uint64_t bytes;
  int format;  // EDGEMAP_FORMAT_BMP, _PNG or _TIFF
};

// What the batch has done so far, shared by the workers and the progress
// bar. Lines on standard error are written under the lock, so a failure
// line never lands in the middle of the bar.
class progress {
 public:
  progress(std::size_t total, bool show) : total_(total), show_(show) {}

  void fail(const std::string& path, const std::string& why) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++failed_;
    clear();
    (void)std::fprintf(stderr, "edgemap: %s: %s\n", path.c_str(), why.c_str());
  }

  void finish_one(std::uint64_t bytes, bool converted) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    converted_ += converted ? 1 : 0;
    bytes_done_ += bytes;
    if (done_ == total_) changed_.notify_all();
  }

  // Redraws the bar every tenth of a second until every job is done.
  void wait_for_all() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto all_done = [this] { return done_ == total_; };
    while (!changed_.wait_for(lock, std::chrono::milliseconds(100), all_done)) {
      if (show_) draw();
    }
    clear();
  }

  void summary() {
    const std::lock_guard<std::mutex> lock(mutex_);
    (void)std::fprintf(stderr, "%zu converted, %zu failed in %.2f s\n",
                       converted_, failed_, seconds());
  }

  bool any_failed() const { return failed_ != 0; }
  void count_failure_before_start() { ++failed_; }

 private:
  double seconds() const {
    return std::chrono::duration<double>(clock_type::now() - start_).count();
  }

  // One line, redrawn in place: a bar, files done of total, failures,
  // files and megabytes per second, time left.
  void draw() {
    const double t = seconds();
    const double files_per_s = t > 0 ? static_cast<double>(done_) / t : 0;
    const double mb_per_s =
        t > 0 ? static_cast<double>(bytes_done_) / t / 1e6 : 0;
    char left[32] = "?";
    if (files_per_s > 0) {
      const long s =
          std::lround(static_cast<double>(total_ - done_) / files_per_s);
      (void)std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
    }
    constexpr std::size_t width = 24;
    const std::size_t filled = total_ == 0 ? width : width * done_ / total_;
    const std::string bar =
        std::string(filled, '#') + std::string(width - filled, '.');
    char line[200];
    const int n = std::snprintf(
        line, sizeof line,
        "[%s] %zu/%zu files, %zu failed, %.0f files/s, %.1f MB/s, %s left",
        bar.c_str(), done_, total_, failed_, files_per_s, mb_per_s, left);
    const auto length = static_cast<std::size_t>(n < 0 ? 0 : n);
    // Spaces over what is left of a longer earlier line.
    const int pad = static_cast<int>(drawn_ > length ? drawn_ - length : 0);
    (void)std::fprintf(stderr, "\r%s%*s", line, pad, "");
    (void)std::fflush(stderr);
    drawn_ = length;
  }

  void clear() {
    if (drawn_ == 0) return;
    (void)std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawn_), "");
    (void)std::fflush(stderr);
    drawn_ = 0;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::size_t total_;
  const bool show_;
  std::size_t done_ = 0;
  std::size_t failed_ = 0;
  std::size_t converted_ = 0;
  std::uint64_t bytes_done_ = 0;
  std::size_t drawn_ = 0;  // length of the bar on screen, 0 when none
  const clock_type::time_point start_ = clock_type::now();
};

std::uint64_t size_of(const fs::path& p) {
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  return ec ? 0 : static_cast<std::uint64_t>(n);
}

// The jobs the sources give, each target under the output folder; lines
// for sources that give none (a folder without -r, a folder that cannot
// be read, two sources for one target, a target that is a source).
struct plan {
  std::vector<job> jobs;
  std::vector<std::pair<std::string, std::string>> refused;  // path, why
};

class planner {
 public:
  explicit planner(const batch_options& o)
      : o_(o),
        out_(to_path(o.output_dir)),
        has_out_key_(command::key_of_file(o.output_dir, out_key_)) {}

  plan make() && {
    for (const std::string& s : o_.sources) {
      const fs::path source = to_path(s);
      std::error_code ec;
      if (!fs::is_directory(source, ec)) {
        add(source, source.filename());
      } else if (!o_.recursive) {
        refuse(source, "is a folder (-r converts the images in it)");
      } else {
        walk(source, source);
      }
    }
    // By identity, not by spelling: another name, a link or "." reach the
    // same file. Replacing a source would lose it, and in place it would
    // be read and written at once. Every source counts, converted or not.
    std::vector<job> kept;
    for (job& j : p_.jobs) {
      command::file_key k;
      if (command::key_of_file(j.target, k) && sources_.count(k) != 0) {
        refuse(to_path(j.source),
               "the target " + j.target + " is a source of this run");
      } else {
        kept.push_back(std::move(j));
      }
    }
    p_.jobs = std::move(kept);
    return std::move(p_);
  }

 private:
  void refuse(const fs::path& path, const std::string& why) {
    p_.refused.emplace_back(to_utf8(path), why);
  }

  void add(const fs::path& source, const fs::path& relative) {
    const std::string name = to_utf8(source);
    const taker by = taker_of(source);
    if (by.has_key) sources_.insert(by.key);
    bool bitmap = true;
    const int format = command::batch_target_format(name, o_.target, bitmap);
    // The source's name, with the extension of the target's format unless
    // it has it already (a TIFF's either of its two). A bitmap's BMP
    // target keeps any name, as in 1.1, but one that says another format.
    fs::path target = out_ / relative;
    if (!command::named_for(to_utf8(target), format) &&
        (!bitmap || format != EDGEMAP_FORMAT_BMP || is_image_name(target))) {
      target.replace_extension(command::format_extension(format));
    }
    // A name met again (a.bmp a.bmp, -r in in, in/./a.bmp) gives the
    // target it gave before and is converted once; hard links under
    // different names give different targets, each converted. Different
    // files on one target (photo.png and photo.jpg) are refused but for
    // the first.
    const auto [taken, added] = targets_.emplace(target.lexically_normal(), by);
    if (!added) {
      if (!taken->second.same_file(by)) {
        refuse(source, "another source has the same target");
      }
      return;
    }
    p_.jobs.push_back({name, to_utf8(target), size_of(source), format});
  }

  // Every image under `folder` by its name, in directory order, depth first. A
  // folder that cannot be read is named and skipped; the output folder, when it
  // lies inside, is never walked: its files are this run's targets.
  void walk(const fs::path& top, const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
      const fs::directory_entry& e = *it;
      std::error_code entry_ec;
      if (!e.is_symlink(entry_ec) && e.is_directory(entry_ec)) {
        const std::string sub = to_utf8(e.path());
        command::file_key k;
        if (!has_out_key_ || !command::key_of_file(sub, k) || k != out_key_) {
          walk(top, e.path());
        }
      } else if (e.is_regular_file(entry_ec) && is_image_name(e.path())) {
        add(e.path(), e.path().lexically_relative(top));
      }
    }
    if (ec) refuse(folder, "the folder cannot be read");
  }

  // What took a target: the file by its identity, or by its path when it
  // has none to give (it does not exist, or cannot be reached).
  struct taker {
    bool has_key = false;
    command::file_key key{};
    fs::path path;
    bool same_file(const taker& other) const {
      if (has_key || other.has_key) {
        return has_key == other.has_key && key == other.key;
      }
      return path == other.path;
    }
  };

  static taker taker_of(const fs::path& source) {
    taker by;
    by.has_key = command::key_of_file(to_utf8(source), by.key);
    if (!by.has_key) {
      std::error_code ec;
      by.path = fs::absolute(source, ec).lexically_normal();
    }
    return by;
  }

  const batch_options& o_;
  const fs::path out_;
  command::file_key out_key_;
  const bool has_out_key_;
  std::map<fs::path, taker> targets_;
  std::set<command::file_key> sources_;
  plan p_;
};

// The status's sentence and, for a file that could not be opened or
// written, the system's reason (errno, which the library leaves for it).
std::string why(int status) { return command::failure_sentence(status, errno); }

// Workers, at most as many as the limit on open files allows: each holds
// up to three at once (its source, its target's temporary file, and the
// target opened to prove it may be written). The soft limit is raised to
// the hard one first, as far as it goes.
std::size_t within_file_limit(std::size_t workers) {
#ifdef _WIN32
  return workers;
#else
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return workers;
  if (files.rlim_cur < files.rlim_max) {
    struct rlimit raised = files;
    raised.rlim_cur = files.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  if (files.rlim_cur == RLIM_INFINITY) return workers;
  constexpr rlim_t reserved = 16;  // standard streams and the program's own
  constexpr rlim_t per_worker = 3;
  const rlim_t most = files.rlim_cur > reserved + per_worker
                          ? (files.rlim_cur - reserved) / per_worker
                          : 1;
  return std::min<std::size_t>(workers, static_cast<std::size_t>(most));
#endif
}

// Output folders, each made once. A folder that cannot be made shows as
// its files' failed targets.
void make_folders(const std::vector<job>& jobs) {
  std::set<fs::path> made;
  for (const job& j : jobs) {
    const fs::path folder = to_path(j.target).parent_path();
    if (!folder.empty() && made.insert(folder).second) {
      std::error_code ec;
      fs::create_directories(folder, ec);
    }
  }
}

}  // namespace

int run_batch(const batch_options& o) {
  plan p = planner(o).make();
  make_folders(p.jobs);
  progress bar(p.jobs.size(), !o.quiet && stderr_is_terminal());
  for (const auto& [path, why] : p.refused) {
    (void)std::fprintf(stderr, "edgemap: %s: %s\n", path.c_str(), why.c_str());
    bar.count_failure_before_start();
  }

  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      if (i >= p.jobs.size()) return;
      const job& j = p.jobs[i];
      // One thread per file: the workers already fill the processors.
      edgemap_options options;
      edgemap_options_init(&options);
      options.threshold = o.threshold;
      options.threads = 1;
      options.format = j.format;
      options.bits = o.target.bits;
      options.max_pixels = o.target.max_pixels;
      options.orient = o.target.orient ? 1 : 0;
      const int status =
          edgemap_convert_file_ex(j.source.c_str(), j.target.c_str(), &options);
      if (status != EDGEMAP_OK) bar.fail(j.source, why(status));
      bar.finish_one(j.bytes, status == EDGEMAP_OK);
    }
  };
  // The processors this process may run on (taskset, a container's share).
  const unsigned processors = std::max(1u, processor_count());
  const std::size_t workers = within_file_limit(
      std::min<std::size_t>(o.jobs != 0 ? o.jobs : processors, p.jobs.size()));
  std::vector<std::thread> threads;
  try {
    for (std::size_t w = 0; w < workers; ++w) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer workers than asked for; those there are do every job.
  }
  if (threads.empty()) work();
  bar.wait_for_all();
  for (std::thread& t : threads) t.join();
  bar.summary();
  return bar.any_failed() ? 1 : 0;
}

}  // namespace edgemap::cli
