// edgemap._native: the C API as Python functions. Arguments are checked
// here and laid out as the C functions take them, the C call runs with the
// GIL released, and a failed status becomes the exception edgemap._errors
// chooses for it. Nothing else lives here: every rule of the conversions
// is the library's. The package's Python side re-exports these functions
// and adds the exceptions (edgemap._errors) and edgemap.dask over them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "edgemap.h"

namespace py = pybind11;

namespace {

constexpr std::uint32_t max_dimension =
    std::numeric_limits<std::uint32_t>::max();

// A failed status as its exception, with .status set.
[[noreturn]] void raise_status(int status, py::handle source = py::none(),
                               py::handle target = py::none(), int cause = 0) {
  const py::object error_for =
      py::module_::import("edgemap._errors").attr("error_for");
  const py::object error = error_for(status, source, target, cause);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())),
                  error.ptr());
  throw py::error_already_set();
}

// Any Python int (TypeError for anything else); ValueError outside the
// counts the library takes, however large.
unsigned thread_count(const py::object& threads) {
  const py::int_ n =
      py::reinterpret_steal<py::int_>(PyNumber_Index(threads.ptr()));
  if (!n) throw py::error_already_set();
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (overflow != 0 || value < 0 ||
      static_cast<unsigned long long>(value) >
          std::numeric_limits<unsigned>::max()) {
    throw py::value_error(
        "threads: expected 0 (as many as pay) or a count of threads, got " +
        py::str(py::handle(n)).cast<std::string>());
  }
  return static_cast<unsigned>(value);
}

std::string shape_of(const py::array& a) {
  return py::str(a.attr("shape")).cast<std::string>();
}

std::string dtype_of(const py::array& a) {
  return py::str(a.dtype()).cast<std::string>();
}

bool is_uint8(const py::array& a) {
  return a.dtype().kind() == 'u' && a.itemsize() == 1;
}

bool is_bool(const py::array& a) {
  return a.dtype().kind() == 'b' && a.itemsize() == 1;
}

// image as an array: an ndarray as it is, anything else through numpy's
// asarray (a Pillow image, nested lists), then held to uint8 (H, W, 3|4).
py::array image_argument(const py::object& image) {
  py::array a = py::isinstance<py::array>(image)
                    ? py::reinterpret_borrow<py::array>(image)
                    : py::array::ensure(image);
  if (!a) {
    throw py::type_error("image: expected a uint8 array, got " +
                         std::string(Py_TYPE(image.ptr())->tp_name));
  }
  if (!is_uint8(a)) {
    throw py::type_error("image: expected a uint8 array, got " + dtype_of(a));
  }
  if (a.ndim() != 3 || (a.shape(2) != 3 && a.shape(2) != 4)) {
    throw py::value_error("image: expected shape (H, W, 3) or (H, W, 4), got " +
                          shape_of(a));
  }
  if (static_cast<std::size_t>(a.shape(0)) > max_dimension ||
      static_cast<std::size_t>(a.shape(1)) > max_dimension) {
    throw py::value_error("image: expected under 2**32 rows and columns, got " +
                          shape_of(a));
  }
  return a;
}

// The first and one past the last byte an array's elements occupy.
struct byte_range {
  std::uintptr_t begin = 0;
  std::uintptr_t end = 0;
};

byte_range range_of(const py::array& a) {
  std::intptr_t low = 0;
  std::intptr_t high = 0;
  for (py::ssize_t d = 0; d < a.ndim(); ++d) {
    if (a.shape(d) == 0) return {};
    const std::intptr_t span = a.strides(d) * (a.shape(d) - 1);
    (span < 0 ? low : high) += span;
  }
  const auto at = reinterpret_cast<std::uintptr_t>(a.data());
  return {at + static_cast<std::uintptr_t>(low),
          at + static_cast<std::uintptr_t>(high) +
              static_cast<std::uintptr_t>(a.itemsize())};
}

// out as the caller's array to fill: an ndarray of the image's (H, W) or
// (H, W, C), of the expected kind, writable, and apart from the image.
py::array out_argument(const py::object& out, const py::array& image,
                       bool as_mask) {
  if (!py::isinstance<py::array>(out)) {
    throw py::type_error(std::string("out: expected a numpy array, got ") +
                         Py_TYPE(out.ptr())->tp_name);
  }
  auto a = py::reinterpret_borrow<py::array>(out);
  if (as_mask ? !is_bool(a) : !is_uint8(a)) {
    throw py::type_error(std::string("out: expected a ") +
                         (as_mask ? "bool" : "uint8") + " array, got " +
                         dtype_of(a));
  }
  const py::ssize_t ndim = as_mask ? 2 : 3;
  bool same_shape = a.ndim() == ndim;
  for (py::ssize_t d = 0; same_shape && d < ndim; ++d) {
    same_shape = a.shape(d) == image.shape(d);
  }
  if (!same_shape) {
    const std::string want = as_mask
                                 ? "(" + std::to_string(image.shape(0)) + ", " +
                                       std::to_string(image.shape(1)) + ")"
                                 : shape_of(image);
    throw py::value_error("out: expected shape " + want + ", got " +
                          shape_of(a));
  }
  if (!a.writeable()) {
    throw py::value_error("out: the array is read-only");
  }
  const byte_range i = range_of(image);
  const byte_range o = range_of(a);
  if (i.begin < o.end && o.begin < i.end) {
    throw py::value_error("out: overlaps the image; it must be apart");
  }
  return a;
}

std::uint64_t magnitude(py::ssize_t stride) {
  return stride < 0 ? 0 - static_cast<std::uint64_t>(stride)
                    : static_cast<std::uint64_t>(stride);
}

// Whether the C API can address the array as it lies: rows any number of
// bytes apart (negative too) and not overlapping, pixels bytes_per_pixel
// apart left to right, a pixel's channels side by side. Strides of
// dimensions of length 1 never matter.
bool addressable(const py::array& a, std::uint64_t bytes_per_pixel) {
  const auto h = static_cast<std::uint64_t>(a.shape(0));
  const auto w = static_cast<std::uint64_t>(a.shape(1));
  if (a.ndim() == 3 && a.strides(2) != 1) return false;
  if (w > 1 && a.strides(1) != static_cast<py::ssize_t>(bytes_per_pixel)) {
    return false;
  }
  return h <= 1 || magnitude(a.strides(0)) >= w * bytes_per_pixel;
}

// What the C API takes for an addressable array's row stride.
std::ptrdiff_t row_stride(const py::array& a, std::uint64_t bytes_per_pixel) {
  if (a.shape(0) > 1) return a.strides(0);
  return static_cast<std::ptrdiff_t>(static_cast<std::uint64_t>(a.shape(1)) *
                                     bytes_per_pixel);
}

py::array contiguous_copy(const py::array& a) {
  return py::module_::import("numpy").attr("ascontiguousarray")(a);
}

py::array new_array(const py::array& image, bool as_mask) {
  if (as_mask) {
    return py::array_t<bool>({image.shape(0), image.shape(1)});
  }
  return py::array_t<std::uint8_t>(
      {image.shape(0), image.shape(1), image.shape(2)});
}

// detect and mask: the same checks, layout and call.
py::array run_detect(const py::object& image_object, double threshold,
                     const py::object& out_object, const py::object& threads,
                     bool as_mask) {
  const unsigned n = thread_count(threads);
  const py::array image = image_argument(image_object);
  py::array out = out_object.is_none()
                      ? new_array(image, as_mask)
                      : out_argument(out_object, image, as_mask);
  const auto bytes_per_pixel = static_cast<std::uint32_t>(image.shape(2));
  // Copies only where the C layout cannot take the caller's arrays: the
  // result is written to a fresh array, then copied into out.
  const py::array src =
      addressable(image, bytes_per_pixel) ? image : contiguous_copy(image);
  const std::uint64_t out_pixel = as_mask ? 1 : bytes_per_pixel;
  py::array dst = addressable(out, out_pixel) ? out : new_array(image, as_mask);

  const auto* s = static_cast<const std::uint8_t*>(src.data());
  auto* d = static_cast<std::uint8_t*>(dst.mutable_data());
  const std::ptrdiff_t s_stride = row_stride(src, bytes_per_pixel);
  const std::ptrdiff_t d_stride = row_stride(dst, out_pixel);
  const auto h = static_cast<std::uint32_t>(image.shape(0));
  const auto w = static_cast<std::uint32_t>(image.shape(1));
  int status = EDGEMAP_OK;
  {
    py::gil_scoped_release unlocked;
    status = as_mask ? edgemap_detect_mask(s, s_stride, bytes_per_pixel, d,
                                           d_stride, w, h, threshold, n)
                     : edgemap_detect(s, s_stride, d, d_stride, w, h,
                                      bytes_per_pixel, threshold, n);
  }
  if (status != EDGEMAP_OK) raise_status(status);
  if (!dst.is(out)) {
    py::module_::import("numpy").attr("copyto")(out, dst);
  }
  return out;
}

py::array detect(const py::object& image, double threshold,
                 const py::object& out, const py::object& threads) {
  return run_detect(image, threshold, out, threads, false);
}

py::array mask(const py::object& image, double threshold, const py::object& out,
               const py::object& threads) {
  return run_detect(image, threshold, out, threads, true);
}

// A path as the bytes the file system takes (os.fsencode's rules: str,
// bytes or os.PathLike; no NUL).
py::bytes path_argument(const py::object& path) {
  PyObject* bytes = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &bytes) == 0) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::bytes>(bytes);
}

// The index of an int-like object (TypeError for anything else), and
// whether it lies in [0, limit]; value holds it when it does.
bool index_in(const py::object& number, std::uint64_t limit,
              std::uint64_t& value, py::int_& index) {
  index = py::reinterpret_steal<py::int_>(PyNumber_Index(number.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow < 0 || (overflow == 0 && small < 0)) return false;
  if (overflow == 0) {
    value = static_cast<std::uint64_t>(small);
  } else {
    value = PyLong_AsUnsignedLongLong(index.ptr());
    if (PyErr_Occurred() != nullptr) {  // past 2**64 - 1
      PyErr_Clear();
      return false;
    }
  }
  return value <= limit;
}

// The target format: None or "auto", "bmp", "png", "tiff".
int format_argument(const py::object& format) {
  if (format.is_none()) return EDGEMAP_FORMAT_AUTO;
  if (!py::isinstance<py::str>(format)) {
    throw py::type_error(
        std::string(
            "format: expected None, 'auto', 'bmp', 'png' or 'tiff', got ") +
        Py_TYPE(format.ptr())->tp_name);
  }
  const auto name = format.cast<std::string>();
  if (name == "auto") return EDGEMAP_FORMAT_AUTO;
  if (name == "bmp") return EDGEMAP_FORMAT_BMP;
  if (name == "png") return EDGEMAP_FORMAT_PNG;
  if (name == "tiff") return EDGEMAP_FORMAT_TIFF;
  throw py::value_error(
      "format: expected None, 'auto', 'bmp', 'png' or 'tiff', got " +
      py::repr(format).cast<std::string>());
}

// What a bits value must be for a target format, as the ValueError says.
[[noreturn]] void raise_bits(int format, const std::string& got) {
  throw py::value_error(
      std::string("bits: expected ") +
      (format == EDGEMAP_FORMAT_PNG    ? "None, 1 or 8 for a PNG target"
       : format == EDGEMAP_FORMAT_TIFF ? "None, 1 or 8 for a TIFF target"
                                       : "None, 1, 8 or 24") +
      ", got " + got);
}

// Bits per target pixel: None or 0 for the format's default, else 1, 8 or
// 24, and not 24 for PNG or TIFF. Where the format is left to the target's name
// or the source, the library judges the pair once that is known.
unsigned bits_argument(const py::object& bits, int format) {
  if (bits.is_none()) return 0;
  std::uint64_t value = 0;
  py::int_ index;
  const bool known = index_in(bits, 24, value, index) &&
                     (value == 0 || value == 1 || value == 8 ||
                      (value == 24 && format != EDGEMAP_FORMAT_PNG &&
                       format != EDGEMAP_FORMAT_TIFF));
  if (!known) {
    raise_bits(format, py::str(py::handle(index)).cast<std::string>());
  }
  return static_cast<unsigned>(value);
}

// The pixel limit: 0 (none) or a count up to 2**64 - 1.
std::uint64_t max_pixels_argument(const py::object& max_pixels) {
  std::uint64_t value = 0;
  py::int_ index;
  if (!index_in(max_pixels, std::numeric_limits<std::uint64_t>::max(), value,
                index)) {
    throw py::value_error(
        "max_pixels: expected None, 0 (no limit) or a count of pixels under "
        "2**64, got " +
        py::str(py::handle(index)).cast<std::string>());
  }
  return value;
}

// A conversion's options, every argument judged before any work.
// max_pixels None leaves the library's default limit.
struct conversion_options {
  edgemap_options c{};
};

conversion_options options_argument(double threshold, const py::object& threads,
                                    const py::object& format,
                                    const py::object& bits,
                                    const py::object& max_pixels, bool orient) {
  conversion_options options;
  edgemap_options_init(&options.c);
  options.c.threshold = threshold;
  options.c.threads = thread_count(threads);
  options.c.format = format_argument(format);
  options.c.bits = bits_argument(bits, options.c.format);
  if (!max_pixels.is_none()) {
    options.c.max_pixels = max_pixels_argument(max_pixels);
  }
  options.c.orient = orient ? 1 : 0;
  return options;
}

// A depth the target's format does not take is the library's
// EDGEMAP_ERROR_ARGUMENT once the format is settled; with the format left
// to the target's name or the source, 24 bits is the one depth that can
// only mean a PNG target: the ValueError an explicit format gives.
void raise_bits_for_settled_format(const conversion_options& options,
                                   int status) {
  if (status == EDGEMAP_ERROR_ARGUMENT &&
      options.c.format == EDGEMAP_FORMAT_AUTO && options.c.bits == 24) {
    raise_bits(EDGEMAP_FORMAT_PNG, std::to_string(options.c.bits));
  }
}

void convert(const py::object& source, const py::object& target,
             double threshold, const py::object& threads,
             const py::object& format, const py::object& bits,
             const py::object& max_pixels, bool orient) {
  const conversion_options options =
      options_argument(threshold, threads, format, bits, max_pixels, orient);
  const py::bytes s = path_argument(source);
  const py::bytes t = path_argument(target);
  const char* s_path = PyBytes_AS_STRING(s.ptr());
  const char* t_path = PyBytes_AS_STRING(t.ptr());
  int status = EDGEMAP_OK;
  int cause = 0;
  {
    py::gil_scoped_release unlocked;
    errno = 0;
    status = edgemap_convert_file_ex(s_path, t_path, &options.c);
    cause = errno;  // the library's reason for a file's failure
  }
  raise_bits_for_settled_format(options, status);
  if (status != EDGEMAP_OK) raise_status(status, source, target, cause);
}

// A contiguous view of any bytes-like object, released when done.
class byte_view {
 public:
  explicit byte_view(const py::object& data) : owner_(data) {
    if (PyObject_GetBuffer(owner_.ptr(), &view_, PyBUF_SIMPLE) == 0) return;
    // A buffer that is not contiguous (a strided memoryview) is copied.
    if (PyObject_CheckBuffer(owner_.ptr()) == 0) throw py::error_already_set();
    PyErr_Clear();
    owner_ = py::reinterpret_steal<py::object>(PyBytes_FromObject(data.ptr()));
    if (!owner_ ||
        PyObject_GetBuffer(owner_.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      throw py::error_already_set();
    }
  }
  byte_view(const byte_view&) = delete;
  byte_view& operator=(const byte_view&) = delete;
  ~byte_view() { PyBuffer_Release(&view_); }

  const void* data() const { return view_.buf; }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  py::object owner_;
  Py_buffer view_{};
};

struct library_free {
  void operator()(void* p) const noexcept { edgemap_free(p); }
};

py::bytes convert_bytes(const py::object& data, double threshold,
                        const py::object& threads, const py::object& format,
                        const py::object& bits, const py::object& max_pixels,
                        bool orient) {
  const conversion_options options =
      options_argument(threshold, threads, format, bits, max_pixels, orient);
  const byte_view image(data);
  void* out = nullptr;
  std::size_t out_size = 0;
  int status = EDGEMAP_OK;
  {
    py::gil_scoped_release unlocked;
    status = edgemap_convert_memory_ex(image.data(), image.size(), &out,
                                       &out_size, &options.c);
  }
  const std::unique_ptr<void, library_free> owned(out);
  raise_bits_for_settled_format(options, status);
  if (status != EDGEMAP_OK) raise_status(status);
  return {static_cast<const char*>(owned.get()), out_size};
}

constexpr const char* detect_doc =
    R"(detect(image, threshold=90.0, *, out=None, threads=0)
--

The edge map of an image.

image is a uint8 array of shape (H, W, 3) or (H, W, 4), laid out in memory
any way (flipped and strided views are fine; one the library cannot address
directly is copied first). Channel order does not matter: the gray level is
the truncated mean of the first three channels. A pixel is an edge where
the Sobel gradient magnitude of the gray levels (zero outside the image)
reaches threshold; NaN makes no edge, -inf makes every pixel one.

Returns an array of the image's shape and dtype: 0 on edges and 255
elsewhere in the first three channels, the fourth channel copied. With out
(a uint8 array of the image's shape that does not overlap it), fills and
returns out instead.

threads: 0 splits a large image's rows across the processors; n >= 1 uses
at most n threads. The result is the same for any count. The GIL is
released while the library works.

Raises TypeError for a dtype other than uint8, ValueError for a shape other
than (H, W, 3) or (H, W, 4), a mismatched or overlapping out, or a negative
threads, and MemoryError when the library runs out of memory.)";

constexpr const char* mask_doc =
    R"(mask(image, threshold=90.0, *, out=None, threads=0)
--

The edge map of an image as a mask: a bool array of shape (H, W), True on
edges. The library writes the mask's bytes directly, with no further pass.

image, threshold and threads are as for detect; out, when given, is a bool
array of shape (H, W) that does not overlap the image, filled and returned.)";

constexpr const char* convert_doc =
    R"(convert(source, target, threshold=90.0, *, threads=0, format=None, bits=None, max_pixels=None, orient=False)
--

Writes the edge map of the image file source (a bitmap, a PNG, a JPEG, a
TIFF or a WebP, told by its first bytes, never by its name) to the file
target. Paths are
str, bytes or os.PathLike. The target is written to a temporary file
beside it and renamed over it when complete, so on any failure it is left
as it was.

format: None or 'auto' takes the target's format from its name (.bmp,
.png, .tif or .tiff, any case), and failing that writes a bitmap for a
bitmap source, a TIFF for a TIFF and a PNG for the others; 'bmp', 'png' or
'tiff' chooses it. bits: None (or 0) is the format's default, 1 for PNG
and TIFF (CCITT G4), and for BMP the source's own layout when the source
is a bitmap of 24 or 32 bits (the same width, height, row order, bit count
and fourth bytes: edgemap 1.1's target byte for byte), 24 otherwise; 1 and
8 are gray (edge black, elsewhere white), 24 only for BMP. orient=True
turns the edge map upright by the source's EXIF orientation, as viewers
show the photo; by default it is as the pixels are stored. A source declaring more
than max_pixels pixels (width times height) is refused before any memory
is taken for it; 0 is no limit, and None the library's limit of 2**28
pixels, except for a bitmap written as a bitmap at its own depth, which
has none, as in edgemap 1.1.

Raises edgemap.ImageError (a ValueError) when source is not an image the
library reads (a bitmap it refuses, a format or colour space it does not
handle, more pixels than max_pixels, corrupt compressed data), OSError
(FileNotFoundError, PermissionError, IsADirectoryError where that is the
cause; errno ESPIPE for a FIFO, which is refused rather than waited on)
when source cannot be read or target cannot be written, and ValueError
for an unknown format or bits, or bits=24 for a PNG or TIFF target
however its format was chosen. Each error from the library carries its status code
as .status.)";

constexpr const char* convert_bytes_doc =
    R"(convert_bytes(data, threshold=90.0, *, threads=0, format=None, bits=None, max_pixels=None, orient=False)
--

The edge map, as the bytes of a file, of the image in data (any
bytes-like object holding a bitmap, a PNG, a JPEG, a TIFF or a WebP): what
convert would write for a file holding data, with format None or 'auto'
meaning a bitmap for a bitmap source, a TIFF for a TIFF and a PNG for the
others.

Raises edgemap.ImageError (a ValueError, with .status) when data is not an
image the library reads, ValueError for an unknown format or bits (24
for a PNG target, chosen or automatic), and TypeError when data is not
bytes-like.)";

}  // namespace

PYBIND11_MODULE(_native, m) {
  // The signatures are in the docstrings, in the form inspect.signature
  // reads; pybind11's own would name C++ types.
  py::options options;
  options.disable_function_signatures();

  m.doc() = "The compiled half of edgemap; import edgemap instead.";
  m.def("detect", &detect, detect_doc, py::arg("image"),
        py::arg("threshold") = EDGEMAP_DEFAULT_THRESHOLD, py::kw_only(),
        py::arg("out") = py::none(), py::arg("threads") = 0);
  m.def("mask", &mask, mask_doc, py::arg("image"),
        py::arg("threshold") = EDGEMAP_DEFAULT_THRESHOLD, py::kw_only(),
        py::arg("out") = py::none(), py::arg("threads") = 0);
  m.def("convert", &convert, convert_doc, py::arg("source"), py::arg("target"),
        py::arg("threshold") = EDGEMAP_DEFAULT_THRESHOLD, py::kw_only(),
        py::arg("threads") = 0, py::arg("format") = py::none(),
        py::arg("bits") = py::none(), py::arg("max_pixels") = py::none(),
        py::arg("orient") = false);
  m.def("convert_bytes", &convert_bytes, convert_bytes_doc, py::arg("data"),
        py::arg("threshold") = EDGEMAP_DEFAULT_THRESHOLD, py::kw_only(),
        py::arg("threads") = 0, py::arg("format") = py::none(),
        py::arg("bits") = py::none(), py::arg("max_pixels") = py::none(),
        py::arg("orient") = false);
  m.def("version", &edgemap_version,
        "version()\n--\n\nThe library's version, as edgemap_version gives it.");
  m.def("strerror", &edgemap_strerror, py::arg("status"),
        "strerror(status)\n--\n\nThe library's sentence for a status code.");

  m.attr("OK") = EDGEMAP_OK;
  m.attr("ERROR_OPEN_SOURCE") = EDGEMAP_ERROR_OPEN_SOURCE;
  m.attr("ERROR_HEADER") = EDGEMAP_ERROR_HEADER;
  m.attr("ERROR_BIT_COUNT") = EDGEMAP_ERROR_BIT_COUNT;
  m.attr("ERROR_TOO_LARGE") = EDGEMAP_ERROR_TOO_LARGE;
  m.attr("ERROR_NO_MEMORY") = EDGEMAP_ERROR_NO_MEMORY;
  m.attr("ERROR_TRUNCATED") = EDGEMAP_ERROR_TRUNCATED;
  m.attr("ERROR_OPEN_TARGET") = EDGEMAP_ERROR_OPEN_TARGET;
  m.attr("ERROR_WRITE") = EDGEMAP_ERROR_WRITE;
  m.attr("ERROR_ARGUMENT") = EDGEMAP_ERROR_ARGUMENT;
  m.attr("ERROR_UNSUPPORTED") = EDGEMAP_ERROR_UNSUPPORTED;
  m.attr("ERROR_PIXEL_LIMIT") = EDGEMAP_ERROR_PIXEL_LIMIT;
  m.attr("ERROR_CORRUPT") = EDGEMAP_ERROR_CORRUPT;
  m.attr("DEFAULT_THRESHOLD") = EDGEMAP_DEFAULT_THRESHOLD;
  m.attr("ERROR_NOT_IMAGE") = EDGEMAP_ERROR_NOT_IMAGE;
  m.attr("ERROR_TARGET_TOO_LARGE") = EDGEMAP_ERROR_TARGET_TOO_LARGE;
}
