#include "entry/command.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "codecs/transcode.h"
#include "edgemap.h"
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
static_assert(default_max_pixels == edgemap::default_max_pixels);

namespace {

target_format format_of(int format) noexcept {
  switch (format) {
    case EDGEMAP_FORMAT_BMP:
      return target_format::bmp;
    case EDGEMAP_FORMAT_PNG:
      return target_format::png;
    default:
      return target_format::automatic;
  }
}

// The legacy job's lines for a conversion, and its exit status.
int legacy_result(const conversion& c, std::FILE* lines) {
  return print_conversion(c, lines) ? exit_ok : exit_failed;
}

// One line on standard error for a conversion that failed: the source's
// path when it could not be read or was refused, the target's when that
// could not be written.
int transcode_result(const conversion& c, const std::string& source,
                     const std::string& target) {
  const status failed = c.failure();
  if (failed == status::ok) return exit_ok;
  const bool saving = failed == status::open_target || failed == status::write;
  (void)std::fprintf(
      stderr, "edgemap: %s: %s\n", (saving ? target : source).c_str(),
      failure_sentence(static_cast<int>(failed), c.error).c_str());
  return exit_failed;
}

}  // namespace

int one_file_format(const std::string& target, int format) noexcept {
  // Resolved as for a bitmap source, whose fallback is BMP.
  const target_format f =
      resolve_format(format_of(format),
                     target == "-" ? nullptr : target.c_str(), image_kind::bmp);
  return f == target_format::png ? EDGEMAP_FORMAT_PNG : EDGEMAP_FORMAT_BMP;
}

bool format_takes_bits(int format, unsigned bits) noexcept {
  return valid_bits(format_of(format), bits);
}

int convert_one_file(const std::string& source, const std::string& target,
                     double threshold, const target_options& options) {
  const bool to_stdout = target == "-";
  const destination dest{to_stdout ? nullptr : target.c_str(),
                         to_stdout ? stdout : nullptr};
  std::FILE* const lines = to_stdout ? stderr : stdout;
#ifdef _WIN32
  // Images pass through standard input and output unchanged; the lines
  // keep the console's CR LF.
  if (to_stdout) (void)_setmode(_fileno(stdout), _O_BINARY);
  if (source == "-") (void)_setmode(_fileno(stdin), _O_BINARY);
#endif
  const int format = one_file_format(target, options.format);
  // The legacy job, if the source is a bitmap.
  const bool legacy = format == EDGEMAP_FORMAT_BMP && !options.given;
  transcode_options t;
  t.threshold = threshold;
  t.format = format_of(format);
  t.bits = options.bits;
  t.max_pixels = options.max_pixels;
  if (source == "-") {
    // Judged at its header as a file is. The legacy job's rule for a
    // refused source holds only when the conversion turns out to be the
    // legacy job: a bitmap to a bitmap without target options.
    const conversion c = transcode_stream(stdin, dest, t, legacy);
    if (c.load == status::open_source) {
      (void)std::fputs("edgemap: cannot read standard input\n", stderr);
      return exit_failed;
    }
    return c.legacy ? legacy_result(c, lines)
                    : transcode_result(c, source, target);
  }
  // A source that cannot be read stays the legacy job's when the target
  // is, so that its lines stay the legacy ones.
  const source_kind kind = sniff_file(source);
  if (legacy && (kind == source_kind::bmp || kind == source_kind::unknown)) {
    return legacy_result(convert_file(source.c_str(), dest, threshold, 0,
                                      on_refused_source::empty_target),
                         lines);
  }
  return transcode_result(transcode_file(source.c_str(), dest, t), source,
                          target);
}

source_kind sniff_file(const std::string& path) noexcept {
  const file_ptr in(open_source(path.c_str()));
  if (!in) return source_kind::unknown;
  // The few bytes asked for, not a buffer's worth.
  (void)std::setvbuf(in.get(), nullptr, _IONBF, 0);
  std::uint8_t head[sniff_bytes];
  const std::size_t got = std::fread(head, 1, sizeof head, in.get());
  if (std::ferror(in.get()) != 0) return source_kind::unknown;
  switch (sniff_image(head, got)) {
    case image_kind::png:
      return source_kind::png;
    case image_kind::jpeg:
      return source_kind::jpeg;
    case image_kind::bmp:
    case image_kind::other:
      break;
  }
  return source_kind::bmp;
}

std::string failure_sentence(int status, int error) {
  std::string out = edgemap_strerror(status);
  if (error != 0 &&
      (status == EDGEMAP_ERROR_OPEN_SOURCE ||
       status == EDGEMAP_ERROR_OPEN_TARGET || status == EDGEMAP_ERROR_WRITE)) {
    out += ": " + std::generic_category().message(error);
  }
  return out;
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
