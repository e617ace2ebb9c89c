/* edgemap: black-and-white Sobel edge maps of bitmaps.
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

/* The library's version, "1.1.0". */
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
 * every thread count. */
EDGEMAP_API int edgemap_detect(const uint8_t* src, ptrdiff_t src_stride,
                               uint8_t* dst, ptrdiff_t dst_stride,
                               uint32_t width, uint32_t height,
                               uint32_t bytes_per_pixel, double threshold,
                               unsigned threads) EDGEMAP_NOEXCEPT;

/* The same decision as one byte per pixel: mask (r, c), at
 * r * mask_stride + c, is 1 for an edge and 0 otherwise. mask_stride must
 * cover width bytes; the rules for src and the arguments are as above. */
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
 * do. Paths are UTF-8 (on Windows too; see edgemap_convert_file_w).
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

/* Frees memory the library handed out; NULL is fine. */
EDGEMAP_API void edgemap_free(void* memory) EDGEMAP_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* EDGEMAP_H */
