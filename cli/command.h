// What the command-line program runs beneath its options: the one-file
// conversion (the legacy job among them), what the batch asks of a source,
// and the program-wide care a tool that writes files owes its user. Only
// the program is built from it: the library holds none of it. It calls the
// pipeline (pipeline/transcode.h) for every rule of policy, so that the
// options are all main.cpp and batch.cpp decide.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "edgemap.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace edgemap::command {

// Exit statuses.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;

// What --format, --bits and --max-pixels ask of a target.
struct target_options {
  int format = 0;     // EDGEMAP_FORMAT_AUTO, _BMP, _PNG or _TIFF
  unsigned bits = 0;  // 0: the format's default
  std::uint64_t max_pixels = EDGEMAP_DEFAULT_MAX_PIXELS;  // 0: no limit
  bool given = false;   // any of the three was given
  bool orient = false;  // --orient
};

// The format (EDGEMAP_FORMAT_BMP, _PNG or _TIFF) of the one-file command's
// target: the one asked for, else the one its name's extension says (.bmp,
// .png, .tif or .tiff, any case), else BMP. "-" has no name.
int one_file_format(const std::string& target, int format) noexcept;

// Whether a format (EDGEMAP_FORMAT_BMP, _PNG or _TIFF) takes `bits` per pixel.
bool format_takes_bits(int format, unsigned bits) noexcept;

// One source to one target, named as a shell user names them ("-" for
// standard input or output). A bitmap source (told by its first bytes) to
// a BMP target without any of the target options is the legacy job: it
// prints exactly the legacy library's lines (on standard error when the
// target is standard output), and a source that is refused empties the
// target, as the legacy library does, unless the target is that source.
// Any other conversion prints nothing when it succeeds, and when it fails
// one line on standard error, "edgemap: PATH: <why>", leaving the target
// as it was. The options are judged already (format_takes_bits). Returns
// the exit status.
int convert_one_file(const std::string& source, const std::string& target,
                     double threshold, const target_options& options);

// The format (EDGEMAP_FORMAT_BMP, _PNG or _TIFF) of a target the batch
// names itself, for the file at `source`: the one asked for, else the
// library's rule for a target without a name (BMP for a bitmap, TIFF for
// a TIFF, PNG for the others, by the file's first bytes), except that 24
// bits, which only BMP takes, asks for BMP. A file that cannot be read
// counts by its extension (.png, .jpg, .jpeg, .tif, .tiff, .webp), else
// as a bitmap: its conversion then says why it failed.
// `bitmap` tells whether it counted as a bitmap.
// The pipeline's name rules for the batch, on EDGEMAP_FORMAT_ codes:
// whether a name says an image format, the extension a target of a
// format gets, and whether a name has it already.
bool is_image_name(const std::string& name) noexcept;
const char* format_extension(int format) noexcept;
bool named_for(const std::string& name, int format) noexcept;

int batch_target_format(const std::string& source,
                        const target_options& options, bool& bitmap) noexcept;

// What a failure line says after its path: the status's sentence
// (edgemap_strerror) and, for a file that could not be opened or written,
// the system's reason for it (error, an errno) when there is one.
std::string failure_sentence(int status, int error);

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
