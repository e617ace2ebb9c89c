#include "entry/command.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "bitmap/convert.h"
#include "entry/pipeline.h"
#include "platform/files.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "platform/paths.h"
#else
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace edgemap::command {

static_assert(default_threshold == edge_threshold);

int convert_one_file(const std::string& source, const std::string& target,
                     double threshold) {
  const bool to_stdout = target == "-";
  const destination dest{to_stdout ? nullptr : target.c_str(),
                         to_stdout ? stdout : nullptr};
  std::FILE* const lines = to_stdout ? stderr : stdout;
#ifdef _WIN32
  // Bitmaps pass through standard input and output unchanged; the lines
  // keep the console's CR LF.
  if (to_stdout) (void)_setmode(_fileno(stdout), _O_BINARY);
  if (source == "-") (void)_setmode(_fileno(stdin), _O_BINARY);
#endif
  conversion c;
  if (source == "-") {
    std::vector<std::uint8_t> bitmap;
    if (!read_declared_bitmap(stdin, bitmap)) {
      (void)std::fputs("edgemap: cannot read standard input\n", stderr);
      return exit_failed;
    }
    c = convert_bytes(bitmap.data(), bitmap.size(), dest, threshold, 0,
                      on_refused_source::empty_target);
  } else {
    c = convert_file(source.c_str(), dest, threshold, 0,
                     on_refused_source::empty_target);
  }
  return print_conversion(c, lines) ? exit_ok : exit_failed;
}

bool key_of_file(const std::string& path, file_key& key) noexcept {
  const file_identity id = identity_of_path(path.c_str());
  key = {id.device, id.file};
  return id.known;
}

#ifdef _WIN32

process_care::process_care() noexcept {}
process_care::~process_care() = default;

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv) {
  std::vector<std::string> out;
  for (int i = 0; i < argc; ++i) {
    const auto narrow = utf16_to_utf8(argv[i]);
    if (!narrow) throw std::bad_alloc();
    out.emplace_back(narrow.get());
  }
  return out;
}

#else

process_care::process_care() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free descriptor is fd itself.
      (void)::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
  // The waiting thread takes SIGUSR1 too: the destructor wakes it with it.
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

// Woken and joined, so that nothing of the thread outlives main.
process_care::~process_care() {
  if (!waiter_.joinable()) return;
  done_ = true;
  (void)pthread_kill(waiter_.native_handle(), SIGUSR1);
  waiter_.join();
}

void process_care::wait() noexcept {
  for (;;) {
    int sig = 0;
    if (sigwait(&set_, &sig) != 0) return;
    if (sig == SIGUSR1) {
      if (done_) return;
      continue;
    }
    remove_temporary_targets();
    (void)signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    (void)pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    (void)raise(sig);
    // Only if the signal could not end the process.
    // cppcheck-suppress unreachableCode
    std::_Exit(128 + sig);
  }
}

#endif

}  // namespace edgemap::command
