// edgemap from a shell.
//
//   edgemap [--threshold T] SOURCE TARGET
//     One file, with exactly the legacy library's lines on standard output
//     (on standard error when TARGET is -, standard output). - as SOURCE
//     reads the bitmap from standard input. Exit status 0 on success, 1
//     when a stage failed.
//   edgemap [--threshold T] [-j N] [-r] [-q] -o DIR SOURCE...
//     Many files through the C API, in parallel (batch.h).
//
// Exit status 2 on a usage error. Lines that cannot be written to standard
// output make a run that succeeded fail (exit status 1).
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "batch.h"
#include "bitmap/convert.h"
#include "platform/files.h"
#include "entry/pipeline.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "platform/paths.h"
#else
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

constexpr const char* usage_text =
    "usage: edgemap [--threshold T] SOURCE TARGET\n"
    "       edgemap [--threshold T] [-j N] [-r] [-q] -o DIR SOURCE...\n"
    "Writes the black-and-white Sobel edge map of each bitmap SOURCE.\n"
    "Pixels whose gradient magnitude reaches T (default 90) become black.\n"
    "With one SOURCE and a TARGET, prints the library's lines; - as SOURCE\n"
    "reads standard input, - as TARGET writes standard output (the lines\n"
    "then go to standard error).\n"
    "  --threshold T        gradient magnitude that makes an edge\n"
    "  -o, --output-dir DIR write each SOURCE as DIR/its name\n"
    "  -j, --jobs N         convert N files at a time (default: processors)\n"
    "  -r, --recursive      a SOURCE folder gives every *.bmp under it\n"
    "  -q, --quiet          no progress bar\n"
    "  -h, --help           show this text\n"
    "  --version            show the version\n";

int usage_error(const std::string& why) {
  (void)std::fprintf(stderr, "edgemap: %s\n%s", why.c_str(), usage_text);
  return exit_usage;
}

#ifndef _WIN32
// Descriptors 0-2 that the caller closed (2>&-) are opened on /dev/null
// first, so that no file this program opens takes one of them and gets
// the lines meant for it.
void open_closed_standard_streams() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free descriptor is fd itself.
      (void)::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
}

// Ctrl-C, SIGTERM and a closed terminal stop the run: a thread waits for
// them, removes the temporary files being written and ends the process by
// the same signal, as if it had not been caught. A signal the caller
// ignores (a background job's SIGINT) stays ignored. When the run ends the
// thread is woken by SIGUSR1 and joined, so nothing of it outlives main.
class stop_signals {
 public:
  stop_signals() noexcept {
    sigemptyset(&set_);
    sigaddset(&set_, SIGUSR1);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction now;
      if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
        sigaddset(&set_, sig);
      }
    }
    // Blocked here, before any other thread starts, so that every thread
    // inherits the mask and only the waiting one receives them.
    if (pthread_sigmask(SIG_BLOCK, &set_, nullptr) != 0) return;
    try {
      waiter_ = std::thread([this] { wait(); });
    } catch (const std::system_error&) {
      (void)pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
    }
  }
  stop_signals(const stop_signals&) = delete;
  stop_signals& operator=(const stop_signals&) = delete;

  ~stop_signals() {
    if (!waiter_.joinable()) return;
    done_ = true;
    (void)pthread_kill(waiter_.native_handle(), SIGUSR1);
    waiter_.join();
  }

 private:
  void wait() noexcept {
    for (;;) {
      int sig = 0;
      if (sigwait(&set_, &sig) != 0) return;
      if (sig == SIGUSR1) {
        if (done_) return;
        continue;
      }
      edgemap::remove_temporary_targets();
      (void)std::signal(sig, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, sig);
      (void)pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      (void)raise(sig);
      std::_Exit(128 + sig);
    }
  }

  sigset_t set_;
  std::atomic<bool> done_{false};
  std::thread waiter_;
};
#endif

// A run that succeeded fails after all when what it printed on standard
// output was lost (a full disk, a closed pipe).
int checked(int status) {
  if (status == exit_ok && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
    (void)std::fputs("edgemap: cannot write standard output\n", stderr);
    return exit_failed;
  }
  return status;
}

// --threshold= and the like with nothing after the '=': CLI11 would take
// the next argument as the value.
const char* empty_option_value(int argc, char** argv) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    for (const char* o : {"--threshold=", "--output-dir=", "--jobs="}) {
      if (std::strcmp(argv[i], o) == 0) return o;
    }
  }
  return nullptr;
}

int convert_one(const std::string& source, const std::string& target,
                double threshold) {
  const bool to_stdout = target == "-";
  const edgemap::destination dest{to_stdout ? nullptr : target.c_str(),
                                  to_stdout ? stdout : nullptr};
  std::FILE* const lines = to_stdout ? stderr : stdout;
#ifdef _WIN32
  // Bitmaps pass through standard input and output unchanged; the lines
  // keep the console's CR LF.
  if (to_stdout) (void)_setmode(_fileno(stdout), _O_BINARY);
  if (source == "-") (void)_setmode(_fileno(stdin), _O_BINARY);
#endif
  edgemap::conversion c;
  if (source == "-") {
    std::vector<std::uint8_t> bitmap;
    if (!edgemap::read_declared_bitmap(stdin, bitmap)) {
      (void)std::fputs("edgemap: cannot read standard input\n", stderr);
      return exit_failed;
    }
    c = edgemap::convert_bytes(bitmap.data(), bitmap.size(), dest, threshold, 0,
                               edgemap::on_refused_source::empty_target);
  } else {
    c = edgemap::convert_file(source.c_str(), dest, threshold, 0,
                              edgemap::on_refused_source::empty_target);
  }
  return edgemap::print_conversion(c, lines) ? exit_ok : exit_failed;
}

// Arguments are UTF-8 here; on Windows wmain converts them first, and the
// file layer converts paths back to UTF-16 when it opens them.
int run(int argc, char** argv) {
  double threshold = edgemap::edge_threshold;
  edgemap::cli::batch_options batch;
  std::vector<std::string> paths;
  bool version = false;
  bool help = false;

  CLI::App app;
  app.set_help_flag();
  app.allow_windows_style_options(false);
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  app.add_option("--threshold", threshold);
  auto* output = app.add_option("-o,--output-dir", batch.output_dir)
                     ->allow_extra_args(false);
  auto* jobs = app.add_option("-j,--jobs", batch.jobs)
                   ->check(CLI::Range(1u, 4096u))
                   ->allow_extra_args(false);
  auto* recursive = app.add_flag("-r,--recursive", batch.recursive);
  auto* quiet = app.add_flag("-q,--quiet", batch.quiet);
  app.add_option("paths", paths);
  if (const char* o = empty_option_value(argc, argv)) {
    return usage_error(std::string(o, std::strlen(o) - 1) + " needs a value");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }
  if (help) {
    (void)std::fputs(usage_text, stdout);
    return exit_ok;
  }
  if (version) {
    (void)std::puts(EDGEMAP_VERSION);
    return exit_ok;
  }
  if (output->count() != 0) {
    if (batch.output_dir.empty()) return usage_error("-o needs a folder");
    if (paths.empty()) return usage_error("no SOURCE given");
    batch.threshold = threshold;
    batch.sources = std::move(paths);
    return edgemap::cli::run_batch(batch);
  }
  if (jobs->count() + recursive->count() + quiet->count() != 0) {
    return usage_error("-j, -r and -q go with -o DIR");
  }
  if (paths.size() != 2) {
    return usage_error(paths.size() < 2 ? "SOURCE and TARGET are required"
                                        : "too many arguments");
  }
  return convert_one(paths[0], paths[1], threshold);
}

// Out of memory (or another surprise from the standard library) ends the
// program with a line, not with std::terminate.
int run_guarded(int argc, char** argv) noexcept {
#ifndef _WIN32
  open_closed_standard_streams();
  const stop_signals stops;
#endif
  try {
    return checked(run(argc, argv));
  } catch (const std::exception& e) {
    (void)std::fprintf(stderr, "edgemap: %s\n", e.what());
    return exit_failed;
  }
}

}  // namespace

#ifdef _WIN32
// The wide entry point, so that every file name reaches the program intact
// (main would get the ANSI code page's lossy version).
int wmain(int argc, wchar_t** argv) {
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    storage.push_back(edgemap::utf16_to_utf8(argv[i]));
    if (!storage.back()) {
      (void)std::fputs("edgemap: out of memory\n", stderr);
      return exit_failed;
    }
    args.push_back(storage.back().get());
  }
  args.push_back(nullptr);
  return run_guarded(argc, args.data());
}
#else
int main(int argc, char** argv) { return run_guarded(argc, argv); }
#endif
