// The image state across consecutive runs of the pipeline. The input is a
// script of up to eight steps; each step takes one control byte and then,
// for a file source, a two-byte length and that many bytes of file content.
//
//   control & 3 == 0: the source vanishes (deleted) before the run
//   control & 3 == 1: the source is a directory
//   otherwise:        the source file is (re)written with the step's bytes
//   control & 4:      the target is a directory, so the save fails
//   control & 8:      the target is the source file itself
//
// A run whose source cannot be opened must save the image of the last run
// that loaded one (or an empty file); a run whose target is its own source
// and whose load fails must leave that file as it was; every other run
// must save exactly what a fresh state makes of the same source. Every target
// must pass the shared checks and no stream may stay open between runs.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "entry/pipeline.h"
#include "fuzz_support.h"

using namespace edgemap;

namespace {

constexpr int max_steps = 8;

struct reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  bool done() const { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::size_t take(std::size_t n) {
    const std::size_t got = std::min(n, size - std::min(size, at));
    at += got;
    return got;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const std::string source = fuzz::scratch_path("state-source.bmp");
  static const std::string dir_source = fuzz::scratch_path("state-dir");
  static const std::string target = fuzz::scratch_path("state-target.bmp");
  static const std::string fresh_target = fuzz::scratch_path("fresh.bmp");
  std::filesystem::create_directories(dir_source);
  (void)::unlink(source.c_str());

  image_state state;
  fuzz::bytes current;  // what a run with no source must save
  fuzz::bytes written;  // the source file's content
  reader in{data, size};
  for (int step = 0; step < max_steps && !in.done(); ++step) {
    const std::uint8_t control = in.byte();
    const std::uint32_t kind = control & 3u;
    const bool vanished = kind == 0;
    std::string from = source;
    if (vanished) {
      (void)::unlink(source.c_str());
    } else if (kind == 1) {
      from = dir_source;
    } else {
      std::size_t n = in.byte();
      n |= std::size_t{in.byte()} << 8;
      const std::size_t start = in.at;
      n = in.take(n);
      fuzz::write_file(source, data + start, n);
      written.assign(data + start, data + start + n);
    }
    std::string to = target;
    if ((control & 4u) != 0) {
      to = dir_source;
    } else if ((control & 8u) != 0 && !vanished) {
      to = from;
    }

    if (!vanished) {
      // What a state with no history makes of this source.
      image_state fresh;
      (void)run_pipeline(fresh, from.c_str(), fresh_target.c_str(),
                         EDGEMAP_DEFAULT_THRESHOLD);
      current = fuzz::read_file(fresh_target);
      fuzz::check_target(current);
    }
    (void)::unlink(target.c_str());
    (void)run_pipeline(state, from.c_str(), to.c_str(),
                       EDGEMAP_DEFAULT_THRESHOLD);
    if (state.fp_s) {
      fuzz::fail("a stream stayed open after a run");
    }
    if (to == dir_source) {
      continue;  // nothing saved; the next run shows what the state kept
    }
    const fuzz::bytes t = fuzz::read_file(to);
    if (to == source && current.empty()) {
      // A refused source, written in place: it must survive.
      if (t != written) fuzz::fail("a refused source was replaced");
      continue;
    }
    fuzz::check_target(t);
    if (t != current) {
      fuzz::fail(vanished ? "a vanished source did not save the kept image"
                          : "a run differs from the same run on a fresh "
                            "state");
    }
  }
  return 0;
}
