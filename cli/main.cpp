// edgemap [--threshold T] SOURCE TARGET: the library's job from a shell.
// Prints exactly the lines the library prints; exit status 0 on success,
// 1 when a stage failed, 2 on a usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "entry/pipeline.h"

#ifdef _WIN32
#include "entry/path_conversion.h"
#endif

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

constexpr const char* usage_text =
    "usage: edgemap [--threshold T] SOURCE TARGET\n"
    "Writes the black-and-white Sobel edge map of the bitmap SOURCE to "
    "TARGET.\n"
    "Pixels whose gradient magnitude reaches T (default 90) become black.\n"
    "  --threshold T  gradient magnitude that makes an edge\n"
    "  --help         show this text\n"
    "  --version      show the version\n";

int usage_error(const char* why) {
  (void)std::fprintf(stderr, "edgemap: %s\n%s", why, usage_text);
  return exit_usage;
}

bool parse_threshold(const char* text, double& threshold) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE) {
    return false;
  }
  threshold = value;
  return true;
}

// Arguments are UTF-8 here; on Windows wmain converts them first, and the
// file layer converts paths back to UTF-16 when it opens them.
int run(int argc, char** argv) {
  double threshold = edgemap::edge_threshold;
  const char* paths[2] = {nullptr, nullptr};
  int path_count = 0;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg == "--help") {
      (void)std::fputs(usage_text, stdout);
      return exit_ok;
    } else if (!options_done && arg == "--version") {
      (void)std::puts(EDGEMAP_VERSION);
      return exit_ok;
    } else if (!options_done &&
               (arg == "--threshold" || arg.starts_with("--threshold="))) {
      const char* value = nullptr;
      if (arg == "--threshold") {
        if (i + 1 == argc) {
          return usage_error("--threshold needs a value");
        }
        value = argv[++i];
      } else {
        value = argv[i] + std::strlen("--threshold=");
      }
      if (!parse_threshold(value, threshold)) {
        return usage_error("--threshold takes a number");
      }
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option");
    } else if (path_count == 2) {
      return usage_error("too many arguments");
    } else {
      paths[path_count++] = argv[i];
    }
  }
  if (path_count != 2) {
    return usage_error("SOURCE and TARGET are required");
  }
  edgemap::image_state state;
  return edgemap::run_pipeline(state, paths[0], paths[1], threshold)
             ? exit_ok
             : exit_failed;
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
  return run(argc, args.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
