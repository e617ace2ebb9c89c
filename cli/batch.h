// edgemap -o DIR SOURCE...: many images in one process, converted by
// worker threads through edgemap_convert_file_ex (a bitmap to a bitmap at
// its own depth is the 1.1 conversion, byte for byte).
#pragma once

#include <string>
#include <vector>

#include "command.h"

namespace edgemap::cli {

struct batch_options {
  std::string output_dir;            // UTF-8
  std::vector<std::string> sources;  // files, or folders with recursive
  double threshold = EDGEMAP_DEFAULT_THRESHOLD;
  // Without a format, each target's is its source's: BMP for a bitmap,
  // PNG for a PNG or a JPEG, and BMP for all at 24 bits, which only BMP
  // takes. The target's name gets that format's extension.
  command::target_options target;
  unsigned jobs = 0;  // 0: one per processor
  bool recursive = false;
  bool quiet = false;
};

// Converts every source into output_dir, printing one line on standard
// error per file that fails ("edgemap: PATH: <sentence>"), a progress bar
// while standard error is a terminal (unless quiet) and a summary at the
// end. Returns the exit status: 0 when every file converted, 1 otherwise.
int run_batch(const batch_options& options);

}  // namespace edgemap::cli
