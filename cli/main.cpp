// edgemap from a shell.
//
//   edgemap [--threshold T] [--format F] [--bits B] [--max-pixels N]
//           [--orient] SOURCE TARGET
//     One file. A bitmap to a BMP target without the format options is
//     the legacy job, with exactly the legacy library's lines on standard
//     output (on standard error when TARGET is -, standard output); any
//     other conversion is silent unless it fails. - as SOURCE reads the
//     image from standard input. Exit status 0 on success, 1 when a stage
//     failed.
//   edgemap [those options] [-j N] [-r] [-q] -o DIR SOURCE...
//     Many files through the C API, in parallel (batch.h).
//
// Exit status 2 on a usage error. Lines that cannot be written to standard
// output make a run that succeeded fail (exit status 1).
#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "batch.h"
#include "command.h"
#include "edgemap.h"

namespace {

using edgemap::command::exit_failed;
using edgemap::command::exit_ok;
using edgemap::command::exit_usage;

constexpr const char* usage_text =
    "usage: edgemap [--threshold T] [--format F] [--bits B] [--max-pixels N]\n"
    "               [--orient] SOURCE TARGET\n"
    "       edgemap [those options] [-j N] [-r] [-q] -o DIR SOURCE...\n"
    "Writes the black-and-white Sobel edge map of each image SOURCE (a BMP,\n"
    "PNG, JPEG, TIFF or WebP, told by its first bytes) as a BMP, a PNG or a\n"
    "TIFF.\n"
    "Pixels whose gradient magnitude reaches T (default 90) become black.\n"
    "With one SOURCE and a TARGET: a bitmap to a BMP target without\n"
    "--format, --bits or --max-pixels prints the library's lines, anything\n"
    "else prints nothing unless it fails. - as SOURCE reads standard input,\n"
    "- as TARGET writes standard output (the lines then go to standard\n"
    "error).\n"
    "  --threshold T        gradient magnitude that makes an edge\n"
    "  --format bmp|png|tiff\n"
    "                       the target's format (default: by TARGET's\n"
    "                       extension, else BMP; with -o, by the source's)\n"
    "  --bits 1|8|24        bits per target pixel: BMP 1, 8 or 24; PNG and\n"
    "                       TIFF 1 (their default) or 8\n"
    "  --max-pixels N       refuse larger images (default 268435456;\n"
    "                       0: no limit)\n"
    "  --orient             turn the edge map upright by the photo's EXIF\n"
    "                       orientation, as viewers show it (default: as\n"
    "                       stored)\n"
    "  -o, --output-dir DIR write each SOURCE as DIR/its name, with the\n"
    "                       extension of its target's format\n"
    "  -j, --jobs N         convert N files at a time (default: processors)\n"
    "  -r, --recursive      a SOURCE folder gives every *.bmp, *.png, *.jpg,\n"
    "                       *.jpeg, *.tif, *.tiff and *.webp under it\n"
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
    for (const char* o : {"--threshold=", "--output-dir=", "--jobs=",
                          "--format=", "--bits=", "--max-pixels="}) {
      if (std::strcmp(argv[i], o) == 0) return o;
    }
  }
  return nullptr;
}

// --format, --bits and --max-pixels as given; an empty string when they
// are fine, the usage error otherwise. Whether the depth suits a format
// that comes from the target's name is judged later, with the name.
std::string judge_target_options(const CLI::Option& format_option,
                                 const std::string& format_name,
                                 const CLI::Option& bits_option,
                                 const CLI::Option& max_pixels_option,
                                 const std::string& max_pixels,
                                 edgemap::command::target_options& target) {
  target.given =
      format_option.count() + bits_option.count() + max_pixels_option.count() !=
      0;
  if (format_option.count() != 0) {
    // In any case, as the extensions are matched.
    std::string name = format_name;
    for (char& c : name) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (name == "bmp") {
      target.format = EDGEMAP_FORMAT_BMP;
    } else if (name == "png") {
      target.format = EDGEMAP_FORMAT_PNG;
    } else if (name == "tiff" || name == "tif") {
      target.format = EDGEMAP_FORMAT_TIFF;
    } else {
      return "--format takes bmp, png or tiff";
    }
  }
  if (bits_option.count() != 0 && target.bits != 1 && target.bits != 8 &&
      target.bits != 24) {
    return "--bits takes 1, 8 or 24";
  }
  // Digits only: neither a sign nor a count that wraps around.
  if (max_pixels_option.count() != 0) {
    const char* const end = max_pixels.data() + max_pixels.size();
    const auto [at, error] =
        std::from_chars(max_pixels.data(), end, target.max_pixels);
    if (error != std::errc() || at != end) {
      return "--max-pixels takes a count of pixels (0: no limit)";
    }
  }
  return {};
}

// A depth the target's format does not take, named with where that format
// came from.
std::string bits_misfit(const edgemap::command::target_options& target,
                        int format, const std::string& format_from) {
  if (edgemap::command::format_takes_bits(format, target.bits)) return {};
  return "--bits " + std::to_string(target.bits) + " does not go with " +
         format_from +
         (format == EDGEMAP_FORMAT_PNG    ? " (PNG takes 1 or 8)"
          : format == EDGEMAP_FORMAT_TIFF ? " (TIFF takes 1 or 8)"
                                          : "");
}

// Arguments are UTF-8 here; on Windows wmain converts them first, and the
// file layer converts paths back to UTF-16 when it opens them.
int run(int argc, char** argv) {
  double threshold = EDGEMAP_DEFAULT_THRESHOLD;
  edgemap::cli::batch_options batch;
  edgemap::command::target_options& target = batch.target;
  std::string format_name;
  std::string max_pixels_text;
  std::vector<std::string> paths;
  bool version = false;
  bool help = false;

  CLI::App app;
  app.set_help_flag();
  app.allow_windows_style_options(false);
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  app.add_option("--threshold", threshold);
  app.add_flag("--orient", target.orient);
  auto* format = app.add_option("--format", format_name);
  auto* bits = app.add_option("--bits", target.bits);
  auto* max_pixels = app.add_option("--max-pixels", max_pixels_text);
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
  const std::string bad_options = judge_target_options(
      *format, format_name, *bits, *max_pixels, max_pixels_text, target);
  if (!bad_options.empty()) return usage_error(bad_options);
  if (output->count() != 0) {
    if (batch.output_dir.empty()) return usage_error("-o needs a folder");
    if (paths.empty()) return usage_error("no SOURCE given");
    // Without --format each target's format is its source's: a depth
    // that suits neither BMP nor PNG was refused above.
    if (target.format != EDGEMAP_FORMAT_AUTO) {
      const std::string misfit =
          bits_misfit(target, target.format, "--format " + format_name);
      if (!misfit.empty()) return usage_error(misfit);
    }
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
  const int target_format =
      edgemap::command::one_file_format(paths[1], target.format);
  const std::string misfit = bits_misfit(
      target, target_format,
      target.format != EDGEMAP_FORMAT_AUTO   ? "--format " + format_name
      : target_format == EDGEMAP_FORMAT_TIFF ? std::string("a .tif target")
                                             : std::string("a .png target"));
  if (!misfit.empty()) return usage_error(misfit);
  return edgemap::command::convert_one_file(paths[0], paths[1], threshold,
                                            target);
}

// Out of memory (or another surprise from the standard library) ends the
// program with a line, not with std::terminate.
int run_guarded(int argc, char** argv) noexcept {
  const edgemap::command::process_care care;
  try {
    return checked(run(argc, argv));
  } catch (const std::bad_alloc&) {
    (void)std::fputs("edgemap: out of memory\n", stderr);
    return exit_failed;
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
