/* edgemap: black-and-white Sobel edge maps of bitmaps, PNG and JPEG images.
 *
 * Two faces over one engine:
 *
 * - QTVSolbelP, the legacy entry point: reads the bitmap at source_path,
 *   writes its edge map to target_path and prints one line per size and per
 *   failure to standard output. Paths are zero-terminated UTF-16 strings
 *   (wchar_t on Windows, so L"..." paths and the wide Windows API fit,
 *   char16_t elsewhere); a null pointer stands for no path, which fails like
 *   a file that cannot be opened. The caller keeps ownership of both
 *   strings. The library keeps the last image it loaded: a call whose source
 *   cannot be opened writes the edge map of that image again. Calls from
 *   several threads are serialized inside the library.
 *
 * - The edgemap_ functions: images in memory and files, reentrant, silent.
 *   Every one returns EDGEMAP_OK or a negative EDGEMAP_ERROR_ code, which
 *   edgemap_strerror turns into a sentence. Any number of threads may call
 *   them at once. A pixel is black (0; 1 in a mask) where the Sobel gradient
 *   magnitude of the gray levels (the truncated mean of a pixel's first
 *   three bytes; 0 outside the image) reaches the threshold, and white
 *   (255; 0 in a mask) elsewhere.
 */
#ifndef EDGEMAP_H
#define EDGEMAP_H

#include <stddef.h>
#include <stdint.h>

/* One UTF-16 code unit. */
#if defined(_WIN32)
typedef wchar_t edgemap_char16;
#elif defined(__cplusplus)
typedef char16_t edgemap_char16;
#else
#include <uchar.h>
typedef char16_t edgemap_char16;
#endif

#ifdef __cplusplus
extern "C" {
#define EDGEMAP_NOEXCEPT noexcept
#else
#define EDGEMAP_NOEXCEPT
#endif

#if defined(_WIN32)
#if defined(EDGEMAP_BUILDING_LIBRARY)
#define EDGEMAP_API __declspec(dllexport)
#elif defined(EDGEMAP_STATIC) /* linked in, not through the DLL */
#define EDGEMAP_API
#else
#define EDGEMAP_API __declspec(dllimport)
#endif
/* Exported undecorated (QTVSolbelP, never QTVSolbelP@8) on 32-bit too. */
#define EDGEMAP_CALL __stdcall
#else
#define EDGEMAP_API __attribute__((visibility("default")))
#define EDGEMAP_CALL
#endif

/* Returns 999 whatever happened; failures are reported on standard output
 * ("fopen fp_s error", "fopen fname_t error", ...). */
EDGEMAP_API int32_t EDGEMAP_CALL QTVSolbelP(const edgemap_char16* source_path,
                                            const edgemap_char16* target_path)
    EDGEMAP_NOEXCEPT;

/* Status codes of the edgemap_ functions: one per failure the legacy entry
 * reports (its line in quotes), and one for a call the API cannot accept. */
#define EDGEMAP_OK 0
#define EDGEMAP_ERROR_OPEN_SOURCE (-1) /* "fopen fp_s error" */
#define EDGEMAP_ERROR_HEADER (-2)      /* "fread fp_s error" */
#define EDGEMAP_ERROR_BIT_COUNT (-3)   /* "check bit_count error" */
#define EDGEMAP_ERROR_TOO_LARGE (-4)   /* "malloc images_s error" */
#define EDGEMAP_ERROR_NO_MEMORY (-5)   /* "malloc image_t error" */
#define EDGEMAP_ERROR_TRUNCATED (-6)   /* "fread images_s error" */
#define EDGEMAP_ERROR_OPEN_TARGET (-7) /* "fopen fname_t error" */
#define EDGEMAP_ERROR_WRITE (-8)       /* "fwrite fp_t error" */
#define EDGEMAP_ERROR_ARGUMENT (-9)
/* Since 1.2, from the _ex functions only: a format, colour space or depth
 * this build does not handle; more pixels than max_pixels; compressed data
 * that is corrupt or cut short. */
#define EDGEMAP_ERROR_UNSUPPORTED (-10)
#define EDGEMAP_ERROR_PIXEL_LIMIT (-11)
#define EDGEMAP_ERROR_CORRUPT (-12)
/* Since 1.3, from the _ex functions only: a source that is none of the
 * formats the library reads (told by its first bytes), where the
 * conversion is not the legacy one, which judges any source as a bitmap. */
#define EDGEMAP_ERROR_NOT_IMAGE (-13)
/* Since 1.3, from the _ex functions only: an edge map too large for the
 * target's format (a BMP of 4 GiB or more, past its 32-bit size field),
 * which another format (PNG) or fewer bits per pixel may still hold; 1.2
 * returned EDGEMAP_ERROR_TOO_LARGE. */
#define EDGEMAP_ERROR_TARGET_TOO_LARGE (-14)

/* The library's version, "1.3.0". */
EDGEMAP_API const char* edgemap_version(void) EDGEMAP_NOEXCEPT;

/* A short English sentence for a status code; never NULL, also for codes
 * this version does not know. The string is static. */
EDGEMAP_API const char* edgemap_strerror(int status) EDGEMAP_NOEXCEPT;

/* The edge map of an image in memory: the same bytes QTVSolbelP writes for
 * the same pixels, at any threshold (NaN never makes an edge). Pixel (r, c)
 * starts at r * stride + c * bytes_per_pixel from src and from dst; strides
 * may be negative (a bottom-up image) and must cover a row. bytes_per_pixel
 * is at least 3; dst gets 0 or 255 in the first three bytes of each pixel,
 * and the bytes past the third copied from src; bytes between rows are not
 * touched. Width or height 0: EDGEMAP_OK, nothing written. Null pointers
 * with a non-empty image, a stride shorter than a row, or src and dst
 * overlapping: EDGEMAP_ERROR_ARGUMENT, nothing written.
 *
 * threads: 0 splits the rows across the processors when the image is large
 * enough to gain; n >= 1 uses at most n threads. The output is the same for
 * every thread count.
 *
 * NOTE the argument order, which differs from edgemap_detect_mask's (both
 * are fixed by the ABI):
 *   edgemap_detect     (src, src_stride, dst, dst_stride, width, height,
 *                       bytes_per_pixel, threshold, threads)
 *   edgemap_detect_mask(src, src_stride, bytes_per_pixel, mask, mask_stride,
 *                       width, height, threshold, threads)
 * width, height, bytes_per_pixel and threads convert into one another, so a
 * call in the other function's order compiles without a warning. */
EDGEMAP_API int edgemap_detect(const uint8_t* src, ptrdiff_t src_stride,
                               uint8_t* dst, ptrdiff_t dst_stride,
                               uint32_t width, uint32_t height,
                               uint32_t bytes_per_pixel, double threshold,
                               unsigned threads) EDGEMAP_NOEXCEPT;

/* The same decision as one byte per pixel: mask (r, c), at
 * r * mask_stride + c, is 1 for an edge and 0 otherwise. mask_stride must
 * cover width bytes; the rules for src and the arguments are as above.
 *
 * NOTE the argument order, which differs from edgemap_detect's: here
 * bytes_per_pixel follows src_stride, there it follows the height.
 *   edgemap_detect_mask(src, src_stride, bytes_per_pixel, mask, mask_stride,
 *                       width, height, threshold, threads)
 *   edgemap_detect     (src, src_stride, dst, dst_stride, width, height,
 *                       bytes_per_pixel, threshold, threads) */
EDGEMAP_API int edgemap_detect_mask(const uint8_t* src, ptrdiff_t src_stride,
                                    uint32_t bytes_per_pixel, uint8_t* mask,
                                    ptrdiff_t mask_stride, uint32_t width,
                                    uint32_t height, double threshold,
                                    unsigned threads) EDGEMAP_NOEXCEPT;

/* Bitmap file to bitmap file, by the legacy entry's rules for reading (row
 * padding, top-down rows, 32-bit pixels keeping their fourth byte, the
 * same checks in the same order) and with the same target bytes, but
 * silent, without state between calls and without a global lock. The
 * target is written to a temporary file beside it and renamed over it when
 * complete: on any failure the target is left as it was. Where the folder
 * refuses the temporary file or the rename (a read-only folder, or a sticky
 * one where the target is another user's) while the target itself may be
 * written, it is written in place instead, as tools that write in place
 * do: only after the source's header has been accepted, its old bytes kept
 * until the new image reaches them and cut to the new length on success, a
 * target that is the source itself converted from a copy of the source in
 * memory; only a failure halfway through the pixels leaves it partly
 * written. Paths are UTF-8 (on Windows too; see edgemap_convert_file_w).
 *
 * On EDGEMAP_ERROR_OPEN_SOURCE, _OPEN_TARGET and _WRITE, errno holds the
 * system's reason (ENOENT, EACCES, ENOSPC, EMFILE, ...), or 0 when there
 * was none (a FIFO refused as a source). */
EDGEMAP_API int edgemap_convert_file(const char* source, const char* target,
                                     double threshold,
                                     unsigned threads) EDGEMAP_NOEXCEPT;

#if defined(_WIN32)
/* The same with UTF-16 paths. */
EDGEMAP_API int edgemap_convert_file_w(const wchar_t* source,
                                       const wchar_t* target, double threshold,
                                       unsigned threads) EDGEMAP_NOEXCEPT;
#endif

/* The same for a bitmap of size bytes in memory. The library allocates the
 * target bitmap: *out (free it with edgemap_free) of *out_size bytes. On
 * failure *out is NULL and *out_size 0. */
EDGEMAP_API int edgemap_convert_memory(const void* bitmap, size_t size,
                                       void** out, size_t* out_size,
                                       double threshold,
                                       unsigned threads) EDGEMAP_NOEXCEPT;

/* The threshold the legacy entry always uses, and every other entry's
 * default. */
#define EDGEMAP_DEFAULT_THRESHOLD 90.0

/* edgemap_options.max_pixels as edgemap_options_init sets it: 2^28 pixels. */
#define EDGEMAP_DEFAULT_MAX_PIXELS ((uint64_t)1 << 28)

/* Target formats (edgemap_options.format). */
#define EDGEMAP_FORMAT_AUTO 0 /* see edgemap_convert_file_ex */
#define EDGEMAP_FORMAT_BMP 1
#define EDGEMAP_FORMAT_PNG 2
#define EDGEMAP_FORMAT_TIFF 3 /* since 1.3 */

/* How the _ex functions read and write. Fill one with edgemap_options_init
 * and change the fields you need: later versions add fields at the end,
 * and the size field tells the library how many the caller knows. */
typedef struct edgemap_options {
  /* sizeof(edgemap_options) as the caller compiled it; set by
   * edgemap_options_init. The library takes 1.2's size (the fields up to
   * max_pixels; orient is then 0) and its own; any other size is
   * EDGEMAP_ERROR_ARGUMENT. */
  size_t size;
  /* Gradient magnitude that makes an edge. Default 90. */
  double threshold;
  /* 0 (default): as many threads as pay for the image; n: at most n. */
  unsigned threads;
  /* EDGEMAP_FORMAT_AUTO (default), _BMP, _PNG or _TIFF. */
  int format;
  /* Bits per target pixel: 0 (default) is the format's default, which is
   * 1 for PNG, and for BMP the source's own layout (24 or 32 bits, the
   * 1.1 target byte for byte) when the source is a bitmap, 24 otherwise,
   * and for TIFF 1 (CCITT G4; 8 bits are Deflate). BMP takes 1, 8 or 24,
   * PNG and TIFF 1 or 8; other values are
   * EDGEMAP_ERROR_ARGUMENT. 1 and 8 bits are gray: edge black (0),
   * elsewhere white. */
  unsigned bits;
  /* Sources declaring more pixels (width times height) are refused with
   * EDGEMAP_ERROR_PIXEL_LIMIT before any memory in proportion to them is
   * taken; 0 means no limit. The default, EDGEMAP_DEFAULT_MAX_PIXELS
   * (2^28 = 268435456, 16384 x 16384), guards against compressed images
   * that declare far more pixels than they hold; it is not applied to the
   * legacy conversion (a bitmap to a BMP target at the default bits),
   * whose source holds every pixel it declares and which 1.1 never
   * limited. Any other value applies to every conversion. */
  uint64_t max_pixels;
  /* Since 1.3. Non-zero: the edge map is turned upright by the source's
   * EXIF orientation (a JPEG's APP1, a PNG's eXIf, a TIFF's Orientation
   * tag, a WebP's EXIF chunk), as viewers show the image; the map is then
   * held whole, a bit a pixel, until the last row. 0 (default): the map
   * is as the pixels are stored, as Pillow and ImageMagick leave them. */
  int orient;
} edgemap_options;

/* Sets every field to its default. */
EDGEMAP_API void edgemap_options_init(edgemap_options* options)
    EDGEMAP_NOEXCEPT;

/* Any image file to an edge map file. The source is a bitmap (any depth,
 * palette, bit-field masks, RLE, OS/2 headers), a PNG, a JPEG, a TIFF or a
 * WebP, told by its first bytes, never by its name; a build without the
 * codecs reads bitmaps only and refuses the others with
 * EDGEMAP_ERROR_UNSUPPORTED. options may be NULL for the defaults. With
 * EDGEMAP_FORMAT_AUTO the target's format is chosen by the extension of
 * its name (.png, .bmp, .tif or .tiff, any case), and otherwise is BMP for
 * a bitmap source, TIFF for a TIFF and PNG for the others. A bitmap source
 * of 24 or 32 bits with a BMP target at the default bits gives exactly
 * what edgemap_convert_file gives (which refuses bitmaps of fewer bits;
 * here they get a 24-bit BMP). Any other target is a standard bottom-up
 * BMP (1 bit with a black and white palette, 8 bits with a gray one, or
 * 24 bits), a gray PNG or a gray TIFF, upright as the source is shown.
 * Sources are read a band of rows at a time, except interlaced PNGs,
 * progressive JPEGs and RLE bitmaps, which are held whole. The target
 * is replaced as edgemap_convert_file replaces it; on failure it is left
 * as it was. errno is set as by edgemap_convert_file. */
EDGEMAP_API int edgemap_convert_file_ex(const char* source, const char* target,
                                        const edgemap_options* options)
    EDGEMAP_NOEXCEPT;

#if defined(_WIN32)
/* The same with UTF-16 paths. */
EDGEMAP_API int edgemap_convert_file_ex_w(
    const wchar_t* source, const wchar_t* target,
    const edgemap_options* options) EDGEMAP_NOEXCEPT;
#endif

/* The same for an image of size bytes in memory, with the target in memory
 * as edgemap_convert_memory hands it out. With EDGEMAP_FORMAT_AUTO the
 * target is BMP for a bitmap source, TIFF for a TIFF and PNG for the
 * others. */
EDGEMAP_API int edgemap_convert_memory_ex(
    const void* image, size_t size, void** out, size_t* out_size,
    const edgemap_options* options) EDGEMAP_NOEXCEPT;

/* Frees memory the library handed out; NULL is fine. */
EDGEMAP_API void edgemap_free(void* memory) EDGEMAP_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* EDGEMAP_H */
