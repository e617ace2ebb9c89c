/* edgemap: black-and-white Sobel edge maps of bitmap files.
 *
 * The library exports exactly one function. It reads the bitmap at
 * source_path, writes its edge map to target_path and prints one line per
 * size and per failure to standard output. Paths are zero-terminated UTF-16
 * strings (wchar_t on Windows, so L"..." paths and the wide Windows API fit,
 * char16_t elsewhere); a null pointer stands for no path, which fails like a
 * file that cannot be opened. The caller keeps ownership of both strings.
 *
 * The library keeps the last image it loaded: a call whose source cannot be
 * opened writes the edge map of that image again. Calls from several threads
 * are serialized inside the library.
 */
#ifndef EDGEMAP_H
#define EDGEMAP_H

#include <stdint.h>

/* One UTF-16 code unit. */
#if defined(_WIN32)
#include <stddef.h>
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

#ifdef __cplusplus
}
#endif

#endif /* EDGEMAP_H */
