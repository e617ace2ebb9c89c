// What the command-line program runs beneath its options: the one-file
// legacy job, and the program-wide care a tool that writes files owes its
// user. The program itself (cli/) parses options and includes only this
// and the public header.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#endif

namespace edgemap::command {

// The threshold the legacy entry always uses, and the program's default.
inline constexpr double default_threshold = 90.0;

// Exit statuses.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;

// The legacy job on one source and one target named as a shell user names
// them ("-" for standard input or output), printing exactly the legacy
// library's lines (on standard error when the target is standard output).
// A source that is refused empties the target, as the legacy library does,
// unless the target is that source. Returns the exit status.
int convert_one_file(const std::string& source, const std::string& target,
                     double threshold);

// Which file a path names, however it is reached (another spelling, "."
// or a link): equal keys, one file. False when there is no file.
using file_key = std::pair<std::uint64_t, std::uint64_t>;
bool key_of_file(const std::string& path, file_key& key) noexcept;

// For the program's life (make one first thing in main): descriptors 0-2
// that the caller closed (2>&-) are opened on /dev/null, so that no file
// takes one of them and gets the lines meant for it; and Ctrl-C, SIGTERM
// and a hang-up remove the temporary files being written, then end the
// process by the same signal, as if it had not been caught. A signal the
// caller ignores (a background job's SIGINT) stays ignored.
class process_care {
 public:
  process_care() noexcept;
  process_care(const process_care&) = delete;
  process_care& operator=(const process_care&) = delete;
  ~process_care();

 private:
#ifndef _WIN32
  void wait() noexcept;

  sigset_t set_;
  std::atomic<bool> done_{false};
  std::thread waiter_;
#endif
};

#ifdef _WIN32
// Windows hands wmain UTF-16 arguments; the program works in UTF-8. Throws
// std::bad_alloc.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
#endif

}  // namespace edgemap::command
