#include "command.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "edgemap.h"
#include "entry/pipeline.h"
#include "pipeline/transcode.h"
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

namespace {

target_format format_of(int format) noexcept {
  switch (format) {
    case EDGEMAP_FORMAT_BMP:
      return target_format::bmp;
    case EDGEMAP_FORMAT_PNG:
      return target_format::png;
    case EDGEMAP_FORMAT_TIFF:
      return target_format::tiff;
    default:
      return target_format::automatic;
  }
}

int format_code(target_format format) noexcept {
  switch (format) {
    case target_format::png:
      return EDGEMAP_FORMAT_PNG;
    case target_format::tiff:
      return EDGEMAP_FORMAT_TIFF;
    default:
      return EDGEMAP_FORMAT_BMP;
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
  return format_code(f);
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
  // Without target options, a conversion that turns out to be the legacy
  // one is the legacy job: its lines, and a refused source empties the
  // target.
  const on_refused_source legacy_rule = options.given
                                            ? on_refused_source::keep_target
                                            : on_refused_source::empty_target;
  transcode_options t;
  t.threshold = threshold;
  t.format = format_of(format);
  t.bits = options.bits;
  t.max_pixels = options.max_pixels;
  t.orient = options.orient;
  // Standard input is judged at its header as a file is.
  const conversion c =
      source == "-" ? transcode_stream(stdin, dest, t, legacy_rule)
                    : transcode_file(source.c_str(), dest, t, legacy_rule);
  if (source == "-" && c.load == status::open_source) {
    (void)std::fputs("edgemap: cannot read standard input\n", stderr);
    return exit_failed;
  }
  return c.legacy && !options.given ? legacy_result(c, lines)
                                    : transcode_result(c, source, target);
}

int batch_target_format(const std::string& source,
                        const target_options& options, bool& bitmap) noexcept {
  const image_kind kind = sniff_file(source.c_str());
  bitmap = kind == image_kind::bmp || kind == image_kind::other;
  const target_format f =
      format_to_name(format_of(options.format), options.bits, kind);
  return format_code(f);
}

bool is_image_name(const std::string& name) noexcept {
  return edgemap::is_image_name(name.c_str());
}

const char* format_extension(int format) noexcept {
  return edgemap::format_extension(format_of(format));
}

bool named_for(const std::string& name, int format) noexcept {
  return edgemap::named_for(name.c_str(), format_of(format));
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
