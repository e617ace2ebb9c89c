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
// Exit status 2 on a usage error.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "batch.h"
#include "bitmap/convert.h"
#include "entry/pipeline.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "bitmap/path_conversion.h"
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
    "  --help               show this text\n"
    "  --version            show the version\n";

int usage_error(const std::string& why) {
  (void)std::fprintf(stderr, "edgemap: %s\n%s", why.c_str(), usage_text);
  return exit_usage;
}

// Standard input, whole, or nothing when it cannot be read.
bool read_stdin(std::vector<std::uint8_t>& out) {
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, stdin);
    out.insert(out.end(), chunk, chunk + n);
    if (n < sizeof chunk) return std::ferror(stdin) == 0;
  }
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
    if (!read_stdin(bitmap)) {
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
  app.add_flag("--help", help);
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
  try {
    return run(argc, argv);
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
