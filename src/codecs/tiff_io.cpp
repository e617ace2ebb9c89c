#include "codecs/tiff_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/files.h"

namespace edgemap {
namespace {

// The format strings libtiff reports an allocation it could not make with
// (from its allocation helpers, and the bound set below).
bool about_memory(const char* format) noexcept {
  static constexpr const char* phrases[] = {"Memory allocation of",
                                            "Out of memory", "No space for",
                                            "Failed to allocate memory"};
  if (format == nullptr) return false;
  for (const char* phrase : phrases) {
    if (std::strstr(format, phrase) != nullptr) return true;
  }
  return false;
}

// Nonzero: handled, so libtiff's process-wide handlers stay silent.
int on_error(TIFF*, void* user, const char*, const char* format, va_list) {
  auto& m = *static_cast<tiff_messages*>(user);
  m.error = true;
  m.out_of_memory = m.out_of_memory || about_memory(format);
  return 1;
}

int on_warning(TIFF*, void* user, const char*, const char*, va_list) {
  static_cast<tiff_messages*>(user)->warning = true;
  return 1;
}

// The bytes belong to the caller, who closes or frees them.
int close_nothing(thandle_t) { return 0; }
void unmap_nothing(thandle_t, tdata_t, toff_t) {}

struct options_deleter {
  void operator()(TIFFOpenOptions* o) const noexcept { TIFFOpenOptionsFree(o); }
};

TIFF* open_with(const char* mode, thandle_t handle, TIFFReadWriteProc read,
                TIFFReadWriteProc write, TIFFSeekProc seek, TIFFSizeProc size,
                TIFFMapFileProc map, tiff_messages& messages) noexcept {
  const std::unique_ptr<TIFFOpenOptions, options_deleter> options(
      TIFFOpenOptionsAlloc());
  if (!options) {
    messages.error = messages.out_of_memory = true;
    return nullptr;
  }
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                      static_cast<tmsize_t>(tiff_block_limit));
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_error, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_warning, &messages);
  return TIFFClientOpenExt("edgemap", mode, handle, read, write, seek,
                           close_nothing, size, map, unmap_nothing,
                           options.get());
}

tiff_input& input_of(thandle_t h) noexcept {
  return *static_cast<tiff_input*>(h);
}

tmsize_t read_input(thandle_t h, void* to, tmsize_t count) {
  tiff_input& in = input_of(h);
  if (count < 0 || in.at >= in.size) return 0;
  const std::uint64_t left = in.size - in.at;
  const auto wanted = static_cast<std::uint64_t>(count);
  const auto n = static_cast<std::size_t>(wanted < left ? wanted : left);
  std::size_t got = 0;
  if (in.bytes.data != nullptr) {
    std::memcpy(to, in.bytes.data + in.at, n);
    got = n;
  } else if (positional_reads) {
    got = read_at(in.bytes.stream, in.at, to, n);
  } else if (seek_to(in.bytes.stream, in.at)) {
    got = std::fread(to, 1, n, in.bytes.stream);
  }
  in.at += got;
  return static_cast<tmsize_t>(got);
}

tmsize_t refuse_write(thandle_t, void*, tmsize_t) { return -1; }

toff_t seek_input(thandle_t h, toff_t offset, int whence) {
  tiff_input& in = input_of(h);
  const std::uint64_t base = whence == SEEK_CUR   ? in.at
                             : whence == SEEK_END ? in.size
                                                  : 0;
  // libtiff passes negative offsets as their two's complement.
  in.at = base + offset;
  return in.at;
}

toff_t input_size(thandle_t h) { return input_of(h).size; }

// Memory is read in place; a stream is not mapped (a file truncated by
// another process while mapped would end this one).
int map_input(thandle_t h, tdata_t* base, toff_t* size) {
  const tiff_input& in = input_of(h);
  if (in.bytes.data == nullptr) return 0;
  *base = const_cast<std::uint8_t*>(in.bytes.data);
  *size = in.size;
  return 1;
}

tiff_output& output_of(thandle_t h) noexcept {
  return *static_cast<tiff_output*>(h);
}

tmsize_t refuse_read(thandle_t, void*, tmsize_t) { return -1; }

tmsize_t write_output(thandle_t h, void* bytes, tmsize_t count) {
  if (count < 0) return -1;
  return output_of(h).write(bytes, static_cast<std::uint64_t>(count)) ? count
                                                                      : -1;
}

toff_t seek_output(thandle_t h, toff_t offset, int whence) {
  return output_of(h).seek(static_cast<std::int64_t>(offset), whence);
}

toff_t output_size(thandle_t h) { return output_of(h).size(); }

int map_nothing(thandle_t, tdata_t*, toff_t*) { return 0; }

}  // namespace

TIFF* open_tiff_input(tiff_input& input, const char* mode,
                      tiff_messages& messages) noexcept {
  input.size =
      input.bytes.data != nullptr ? input.bytes.size : input.bytes.stream_size;
  input.at = 0;
  return open_with(mode, &input, read_input, refuse_write, seek_input,
                   input_size, map_input, messages);
}

TIFF* open_tiff_output(tiff_output& output, const char* mode,
                       tiff_messages& messages) noexcept {
  return open_with(mode, &output, refuse_read, write_output, seek_output,
                   output_size, map_nothing, messages);
}

bool tiff_output::write(const void* bytes, std::uint64_t count) noexcept {
  if (to_ == nullptr || count > SIZE_MAX) return false;
  if (at_ > end_) {
    // The gap libtiff leaves to align its directory: zeros, written.
    static constexpr std::uint8_t zeros[16] = {};
    if (placed_ != end_ && !to_->seek(end_)) return false;
    placed_ = end_;
    while (placed_ < at_) {
      const std::uint64_t part =
          at_ - placed_ < sizeof zeros ? at_ - placed_ : sizeof zeros;
      to_->write(zeros, static_cast<std::size_t>(part));
      placed_ += part;
    }
    end_ = at_;
  }
  if (placed_ != at_ && !to_->seek(at_)) return false;
  to_->write(bytes, static_cast<std::size_t>(count));
  at_ += count;
  placed_ = at_;
  if (at_ > end_) end_ = at_;
  return !to_->failed();
}

std::uint64_t tiff_output::seek(std::int64_t offset, int whence) noexcept {
  const std::uint64_t base = whence == SEEK_CUR   ? at_
                             : whence == SEEK_END ? end_
                                                  : 0;
  at_ = base + static_cast<std::uint64_t>(offset);
  return at_;
}

}  // namespace edgemap
