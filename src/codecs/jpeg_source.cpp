// JPEG sources through libjpeg-turbo's scanline interface, with its
// default decoding (accurate integer DCT, smooth upsampling), gray images
// expanded to RGB. Baseline images stream a few rows at a time;
// progressive ones are held whole by the library, as they must be.
// libjpeg reports errors by longjmp: every call into it goes through
// guarded(), whose frame holds nothing that needs destroying.
#include <csetjmp>
#include <cstdio>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
// After jpeglib.h: the message codes.
#include <jerror.h>

#include "codecs/image_source.h"

namespace edgemap {
namespace {

// Scans a progressive image may have: each one is a pass over the whole
// coefficient buffer, and a few hundred bytes can ask for thousands.
constexpr int scan_limit = 1000;

struct decoder {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  jpeg_progress_mgr progress{};
  std::jmp_buf escape{};
  status failure = status::corrupt;
  bool created = false;
};

decoder& decoder_of(j_common_ptr info) noexcept {
  // info is the first member of the decoder.
  return *reinterpret_cast<decoder*>(info);
}

[[noreturn]] void fail(j_common_ptr info, status why) noexcept {
  decoder& d = decoder_of(info);
  d.failure = why;
  // libjpeg's way out of a failed call: C frames cannot pass exceptions.
  std::longjmp(d.escape, 1);  // NOLINT(cert-err52-cpp)
}

[[noreturn]] void on_error(j_common_ptr info) noexcept {
  switch (info->err->msg_code) {
    case JERR_BAD_PRECISION:       // 12- and 16-bit samples
    case JERR_CONVERSION_NOTIMPL:  // CMYK and YCCK to RGB
    case JERR_BAD_J_COLORSPACE:
    case JERR_NOT_COMPILED:
      fail(info, status::unsupported);
    case JERR_OUT_OF_MEMORY:
      fail(info, status::no_memory);
    default:
      fail(info, status::corrupt);
  }
}

// Warnings are silent, except the one that means the data ended early:
// the library would fill the rest of the image with gray.
void on_message(j_common_ptr info, int level) noexcept {
  if (level < 0 && (info->err->msg_code == JWRN_JPEG_EOF ||
                    info->err->msg_code == JWRN_HIT_MARKER)) {
    fail(info, status::corrupt);
  }
}

void on_progress(j_common_ptr info) noexcept {
  auto* const d = reinterpret_cast<j_decompress_ptr>(info);
  if (d->input_scan_number > scan_limit) fail(info, status::corrupt);
}

// Runs step(d, arg) and returns status::ok, or the failure libjpeg
// reported on the way.
template <typename Arg>
status guarded(decoder& d, void (*step)(decoder&, Arg), Arg arg) noexcept {
  if (setjmp(d.escape) != 0) return d.failure;  // NOLINT(cert-err52-cpp)
  step(d, arg);
  return status::ok;
}

class jpeg_source final : public image_source {
 public:
  ~jpeg_source() override {
    if (d_.created) jpeg_destroy_decompress(&d_.info);
  }

  status open(const source_bytes& in, std::uint64_t max_pixels) noexcept {
    d_.info.err = jpeg_std_error(&d_.errors);
    d_.errors.error_exit = on_error;
    d_.errors.emit_message = on_message;
    d_.progress.progress_monitor = on_progress;
    status s = guarded<const source_bytes*>(
        d_,
        [](decoder& d, const source_bytes* bytes) {
          jpeg_create_decompress(&d.info);
          d.created = true;
          d.info.progress = &d.progress;
          if (bytes->data != nullptr) {
            jpeg_mem_src(&d.info, bytes->data,
                         static_cast<unsigned long>(bytes->size));
          } else {
            jpeg_stdio_src(&d.info, bytes->stream);
          }
          (void)jpeg_read_header(&d.info, TRUE);
        },
        &in);
    if (s != status::ok) return s;
    if (!within_pixel_limit(d_.info.image_width, d_.info.image_height,
                            max_pixels)) {
      return status::pixel_limit;
    }
    if (d_.info.jpeg_color_space == JCS_CMYK ||
        d_.info.jpeg_color_space == JCS_YCCK || d_.info.num_components > 3) {
      return status::unsupported;
    }
    d_.info.out_color_space = JCS_RGB;
    s = guarded<int>(
        d_, [](decoder& d, int) { (void)jpeg_start_decompress(&d.info); }, 0);
    if (s != status::ok) return s;
    width_ = d_.info.output_width;
    height_ = d_.info.output_height;
    return status::ok;
  }

  status read_rows(std::uint8_t* out, std::size_t stride,
                   std::uint32_t count) noexcept override {
    rows_ = {out, stride, count};
    return guarded<rows*>(
        d_,
        [](decoder& d, rows* r) {
          for (std::uint32_t i = 0; i < r->count;) {
            if (d.info.output_scanline >= d.info.output_height) {
              fail(reinterpret_cast<j_common_ptr>(&d.info), status::corrupt);
            }
            // As many rows as the decoder has ready, up to a row group.
            JSAMPROW ready[16];
            std::uint32_t want = 0;
            for (; want < 16 && i + want < r->count; ++want) {
              ready[want] = r->out + (i + want) * r->stride;
            }
            const JDIMENSION got = jpeg_read_scanlines(&d.info, ready, want);
            if (got == 0) {
              fail(reinterpret_cast<j_common_ptr>(&d.info), status::corrupt);
            }
            i += got;
          }
        },
        &rows_);
  }

 private:
  struct rows {
    std::uint8_t* out;
    std::size_t stride;
    std::uint32_t count;
  };
  decoder d_;
  rows rows_{};
};

}  // namespace

status open_jpeg_source(const source_bytes& in, std::uint64_t max_pixels,
                        std::unique_ptr<image_source>& out) noexcept {
  return open_as<jpeg_source>(in, max_pixels, out);
}

}  // namespace edgemap
