// edgemap -o DIR SOURCE...: many bitmaps in one process, converted by
// worker threads through edgemap_convert_file.
#pragma once

#include <string>
#include <vector>

namespace edgemap::cli {

struct batch_options {
  std::string output_dir;            // UTF-8
  std::vector<std::string> sources;  // files, or folders with recursive
  double threshold = 90.0;
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
