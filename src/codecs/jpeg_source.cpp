// JPEG sources through libjpeg-turbo's scanline interface, with its
// default decoding (accurate integer DCT, smooth upsampling), gray images
// expanded to RGB. Baseline images stream a few rows at a time;
// progressive ones are held whole by the library, as they must be.
// libjpeg reports errors by longjmp: every call into it goes through
// guarded(), whose frame holds nothing that needs destroying. The first
// APP1 segment that holds EXIF gives the orientation.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
// After jpeglib.h: the message codes, and the marker reader's state.
#include <jerror.h>
#include <jpegint.h>

#include "codecs/exif.h"
#include "codecs/stream_reader.h"
#include "pipeline/image_source.h"

namespace edgemap {
namespace {

// Scans a progressive image may have: each one is a pass over the whole
// coefficient buffer, and a few hundred bytes can ask for thousands.
constexpr int scan_limit = 1000;

// What a stream source reads at a time, as libjpeg's own file source.
constexpr std::size_t stream_buffer_bytes = std::size_t{64} << 10;

struct decoder {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  jpeg_progress_mgr progress{};
  jpeg_source_mgr stream_source{};
  stream_reader reader;
  JOCTET* stream_buffer = nullptr;  // in the library's pool
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

// A warning means the library met damaged data and went on regardless
// (gray where data is missing, zero coefficients after a bad code, a
// segment skipped): the image is refused. Two are let pass, as they
// concern only a marker's fields: an unknown JFIF version, and an unknown
// Adobe transform code, taken as the usual one. Trace messages (level
// >= 0) are silent.
void on_message(j_common_ptr info, int level) noexcept {
  if (level >= 0) return;
  switch (info->err->msg_code) {
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
      return;
    default:
      fail(info, status::corrupt);
  }
}

void on_progress(j_common_ptr info) noexcept {
  auto* const d = reinterpret_cast<j_decompress_ptr>(info);
  if (d->input_scan_number > scan_limit) fail(info, status::corrupt);
}

// A stream as libjpeg's file source reads one, but through the reader, so
// that the bytes read to tell the kind come first.
void start_stream(j_decompress_ptr) noexcept {}

boolean fill_from_stream(j_decompress_ptr info) noexcept {
  decoder& d = decoder_of(reinterpret_cast<j_common_ptr>(info));
  // Bytes passed over where a marker was due are damage the library warns
  // of once a marker comes, which from an endless stream none may: refused
  // here, before reading on.
  if (info->marker->discarded_bytes != 0) {
    fail(reinterpret_cast<j_common_ptr>(info), status::corrupt);
  }
  std::size_t got = d.reader.read(d.stream_buffer, stream_buffer_bytes);
  if (got == 0) {
    // The end of the data before EOI: warned about (and so refused) with a
    // fake EOI behind it, as libjpeg's own sources do.
    info->err->msg_code = JWRN_JPEG_EOF;
    info->err->emit_message(reinterpret_cast<j_common_ptr>(info), -1);
    d.stream_buffer[0] = 0xff;
    d.stream_buffer[1] = JPEG_EOI;
    got = 2;
  }
  d.stream_source.next_input_byte = d.stream_buffer;
  d.stream_source.bytes_in_buffer = got;
  return TRUE;
}

void skip_in_stream(j_decompress_ptr info, long count) noexcept {
  if (count <= 0) return;
  jpeg_source_mgr& source = *info->src;
  auto left = static_cast<std::size_t>(count);
  while (left > source.bytes_in_buffer) {
    left -= source.bytes_in_buffer;
    (void)fill_from_stream(info);  // never suspends
  }
  source.next_input_byte += left;
  source.bytes_in_buffer -= left;
}

void end_stream(j_decompress_ptr) noexcept {}

void use_stream(decoder& d, const source_bytes& in) noexcept {
  d.reader = stream_reader(in);
  d.stream_buffer = static_cast<JOCTET*>(
      d.info.mem->alloc_small(reinterpret_cast<j_common_ptr>(&d.info),
                              JPOOL_PERMANENT, stream_buffer_bytes));
  d.stream_source.init_source = start_stream;
  d.stream_source.fill_input_buffer = fill_from_stream;
  d.stream_source.skip_input_data = skip_in_stream;
  d.stream_source.resync_to_restart = jpeg_resync_to_restart;
  d.stream_source.term_source = end_stream;
  d.info.src = &d.stream_source;
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
            use_stream(d, *bytes);
          }
          // Whole: a segment holds at most 65533 bytes.
          jpeg_save_markers(&d.info, JPEG_APP0 + 1, 0xffff);
          (void)jpeg_read_header(&d.info, TRUE);
        },
        &in);
    if (s != status::ok) return s;
    // APP1 holds XMP too; EXIF's starts with its own name.
    for (jpeg_saved_marker_ptr m = d_.info.marker_list; m != nullptr;
         m = m->next) {
      if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 &&
          std::memcmp(m->data, "Exif\0\0", 6) == 0) {
        orientation_ = exif_orientation(m->data, m->data_length);
        break;
      }
    }
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

  std::uint8_t orientation() const noexcept override { return orientation_; }

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
          // The rest up to EOI: damage after the last row's data (bytes
          // before EOI, or no EOI at all) is only seen there.
          if (r->count != 0 && d.info.output_scanline == d.info.output_height) {
            (void)jpeg_finish_decompress(&d.info);
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
  std::uint8_t orientation_ = 1;
};

}  // namespace

status open_jpeg_source(const source_bytes& in, std::uint64_t max_pixels,
                        std::unique_ptr<image_source>& out) noexcept {
  return open_as<jpeg_source>(in, max_pixels, out);
}

}  // namespace edgemap
