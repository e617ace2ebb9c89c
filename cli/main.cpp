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
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "batch.h"
#include "edgemap.h"
#include "entry/command.h"

namespace {

using edgemap::command::exit_failed;
using edgemap::command::exit_ok;
using edgemap::command::exit_usage;

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

// A run that succeeded fails after all when what it printed on standard
// output was lost (a full disk, a closed pipe).
int checked(int status) {
  if (status == exit_ok &&
      (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
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

// Arguments are UTF-8 here; on Windows wmain converts them first, and the
// file layer converts paths back to UTF-16 when it opens them.
int run(int argc, char** argv) {
  double threshold = edgemap::command::default_threshold;
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
    (void)std::puts(edgemap_version());
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
  return edgemap::command::convert_one_file(paths[0], paths[1], threshold);
}

// Out of memory (or another surprise from the standard library) ends the
// program with a line, not with std::terminate.
int run_guarded(int argc, char** argv) noexcept {
  const edgemap::command::process_care care;
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
  std::vector<std::string> storage;
  try {
    storage = edgemap::command::utf8_arguments(argc, argv);
  } catch (const std::bad_alloc&) {
    (void)std::fputs("edgemap: out of memory\n", stderr);
    return exit_failed;
  }
  std::vector<char*> args;
  for (std::string& s : storage) args.push_back(s.data());
  args.push_back(nullptr);
  return run_guarded(argc, args.data());
}
#else
int main(int argc, char** argv) { return run_guarded(argc, argv); }
#endif
