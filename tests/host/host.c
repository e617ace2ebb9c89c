/* A host program that uses edgemap.dll the way Windows hosts always have:
 * LoadLibraryW by name, GetProcAddress("QTVSolbelP") and calls with wide
 * paths, here names outside every ANSI code page; then the same for the
 * edgemap_ functions a newer host finds beside it. Written in C, so it also
 * shows that the public header works from C. Prints "host: ok" and exits
 * with 0 when every check passes. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "edgemap.h"

typedef int32_t(EDGEMAP_CALL* qtv_solbel_fn)(const edgemap_char16*,
                                             const edgemap_char16*);
/* The edgemap_ functions use the default C convention. */
typedef const char* (*version_fn)(void);
typedef int (*convert_file_w_fn)(const wchar_t*, const wchar_t*, double,
                                 unsigned);
typedef int (*convert_memory_fn)(const void*, size_t, void**, size_t*, double,
                                 unsigned);
typedef void (*free_fn)(void*);
typedef void (*options_init_fn)(edgemap_options*);
typedef int (*convert_file_ex_w_fn)(const wchar_t*, const wchar_t*,
                                    const edgemap_options*);

enum { width = 6, height = 4, bytes_per_pixel = 3, stride = 20 };
enum { pixel_bytes = stride * height, file_bytes = 54 + pixel_bytes };

static int failures;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "host: FAILED: %s\n", what);
    ++failures;
  }
}

static void put_u32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = (unsigned char)(v >> (8 * i));
}

/* Left half dark, right half light: gray 0 and 200. */
static int gray_at(int r, int c) {
  if (r < 0 || c < 0 || r >= height || c >= width) return 0;
  return c < width / 2 ? 0 : 200;
}

/* A zeroed file with the 54-byte header both bitmaps share. */
static void put_header(unsigned char* file) {
  memset(file, 0, file_bytes);
  file[0] = 'B';
  file[1] = 'M';
  put_u32(file + 2, file_bytes);
  put_u32(file + 10, 54);
  put_u32(file + 14, 40);
  put_u32(file + 18, width);
  put_u32(file + 22, height);
  file[26] = 1;
  file[28] = 24;
}

static void make_source(unsigned char* file) {
  put_header(file);
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      unsigned char* p = file + 54 + r * stride + c * bytes_per_pixel;
      const int g = gray_at(r, c);
      p[0] = (unsigned char)(g == 0 ? 0 : g - 10);
      p[1] = (unsigned char)g;
      p[2] = (unsigned char)(g == 0 ? 0 : g + 10);
    }
  }
}

/* The edge map in integers: black where gx^2 + gy^2 reaches 90^2. */
static void make_expected(unsigned char* file) {
  put_header(file);
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      const int gx = gray_at(r - 1, c + 1) + 2 * gray_at(r, c + 1) +
                     gray_at(r + 1, c + 1) - gray_at(r - 1, c - 1) -
                     2 * gray_at(r, c - 1) - gray_at(r + 1, c - 1);
      const int gy = gray_at(r + 1, c - 1) + 2 * gray_at(r + 1, c) +
                     gray_at(r + 1, c + 1) - gray_at(r - 1, c - 1) -
                     2 * gray_at(r - 1, c) - gray_at(r - 1, c + 1);
      const unsigned char level = gx * gx + gy * gy >= 8100 ? 0 : 255;
      memset(file + 54 + r * stride + c * bytes_per_pixel, level, 3);
    }
  }
}

static int write_file(const wchar_t* path, const unsigned char* data,
                      size_t n) {
  FILE* f = _wfopen(path, L"wb");
  if (f == NULL) return 0;
  const size_t written = fwrite(data, 1, n, f);
  return fclose(f) == 0 && written == n;
}

/* Reads up to cap bytes; returns the count, or -1 when the file cannot be
 * opened. */
static long read_file(const wchar_t* path, unsigned char* data, size_t cap) {
  FILE* f = _wfopen(path, L"rb");
  if (f == NULL) return -1;
  const size_t n = fread(data, 1, cap, f);
  fclose(f);
  return (long)n;
}

static void check_version(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  check(length > 0 && length < MAX_PATH, "GetModuleFileNameW");
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  check(size > 0, "the DLL has version information");
  if (size == 0) return;
  void* info = malloc(size);
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT fixed_size = 0;
  if (info != NULL && GetFileVersionInfoW(path, 0, size, info) &&
      VerQueryValueW(info, L"\\", (void**)&fixed, &fixed_size) &&
      fixed_size >= sizeof *fixed) {
    /* Four parts, the library's three and 0: 1.3.0 is 1.3.0.0. */
    unsigned major = 0, minor = 0, patch = 0;
    check(sscanf(EDGEMAP_EXPECTED_VERSION, "%u.%u.%u", &major, &minor,
                 &patch) == 3,
          "the expected version has three parts");
    const DWORD ms = (DWORD)(major << 16 | minor), ls = (DWORD)(patch << 16);
    check(fixed->dwFileVersionMS == ms && fixed->dwFileVersionLS == ls,
          "file version " EDGEMAP_EXPECTED_VERSION ".0");
    check(fixed->dwProductVersionMS == ms && fixed->dwProductVersionLS == ls,
          "product version " EDGEMAP_EXPECTED_VERSION ".0");
    check(fixed->dwFileType == VFT_DLL, "file type dynamic library");
  } else {
    check(0, "VerQueryValueW");
  }
  free(info);
}

static FARPROC find(HMODULE module, const char* name) {
  FARPROC f = GetProcAddress(module, name);
  check(f != NULL, name);
  return f;
}

/* The API through the DLL: the version, a file with a name outside every
 * ANSI code page, through the 1.1 call and the one taking options, and a
 * bitmap in memory that the library allocates and frees. */
static void check_api(HMODULE module, const wchar_t* source,
                      const wchar_t* target, const unsigned char* source_file,
                      const unsigned char* expected) {
  version_fn version =
      (version_fn)(void (*)(void))find(module, "edgemap_version");
  convert_file_w_fn convert_file_w =
      (convert_file_w_fn)(void (*)(void))find(module, "edgemap_convert_file_w");
  convert_memory_fn convert_memory =
      (convert_memory_fn)(void (*)(void))find(module, "edgemap_convert_memory");
  free_fn free_memory = (free_fn)(void (*)(void))find(module, "edgemap_free");
  options_init_fn options_init =
      (options_init_fn)(void (*)(void))find(module, "edgemap_options_init");
  convert_file_ex_w_fn convert_file_ex_w =
      (convert_file_ex_w_fn)(void (*)(void))find(module,
                                                 "edgemap_convert_file_ex_w");
  find(module, "edgemap_convert_file_ex");
  find(module, "edgemap_convert_memory_ex");
  if (!version || !convert_file_w || !convert_memory || !free_memory ||
      !options_init || !convert_file_ex_w) {
    return;
  }

  check(strcmp(version(), EDGEMAP_EXPECTED_VERSION) == 0, "edgemap_version");

  static unsigned char got[file_bytes + 1];
  check(convert_file_w(source, target, 90.0, 0) == EDGEMAP_OK,
        "edgemap_convert_file_w succeeds");
  const long n = read_file(target, got, sizeof got);
  check(n == file_bytes && memcmp(got, expected, file_bytes) == 0,
        "edgemap_convert_file_w writes the edge map");

  /* The defaults and a .bmp target: the same bytes. */
  edgemap_options options;
  options_init(&options);
  DeleteFileW(target);
  check(convert_file_ex_w(source, target, &options) == EDGEMAP_OK,
        "edgemap_convert_file_ex_w succeeds");
  const long n_ex = read_file(target, got, sizeof got);
  check(n_ex == file_bytes && memcmp(got, expected, file_bytes) == 0,
        "edgemap_convert_file_ex_w writes the edge map");

  void* out = NULL;
  size_t out_size = 0;
  check(convert_memory(source_file, file_bytes, &out, &out_size, 90.0, 2) ==
            EDGEMAP_OK,
        "edgemap_convert_memory succeeds");
  check(out != NULL && out_size == file_bytes &&
            memcmp(out, expected, file_bytes) == 0,
        "edgemap_convert_memory gives the edge map");
  free_memory(out);
}

int wmain(void) {
  wchar_t dir[MAX_PATH];
  const DWORD temp = GetTempPathW(MAX_PATH - 80, dir);
  if (temp == 0 || temp >= MAX_PATH - 80) {
    fprintf(stderr, "host: no temporary folder\n");
    return 1;
  }
  _snwprintf(dir + temp, 80, L"edgemap-host-%lu",
             (unsigned long)GetCurrentProcessId());
  dir[MAX_PATH - 1] = 0;
  check(CreateDirectoryW(dir, NULL) != 0, "CreateDirectoryW");

  /* Cyrillic, CJK and a character outside the BMP: no ANSI code page has
   * all three. */
  wchar_t source[MAX_PATH], target[MAX_PATH], again[MAX_PATH],
      missing[MAX_PATH], api_target[MAX_PATH];
  _snwprintf(source, MAX_PATH, L"%ls\\\u0416\u4e2d\U0001F600 source.bmp", dir);
  _snwprintf(target, MAX_PATH, L"%ls\\\u00e9\u0416 target.bmp", dir);
  _snwprintf(again, MAX_PATH, L"%ls\\\u4e2d again.bmp", dir);
  _snwprintf(missing, MAX_PATH, L"%ls\\missing \u0416.bmp", dir);
  _snwprintf(api_target, MAX_PATH, L"%ls\\\U0001F600 api.bmp", dir);

  static unsigned char source_file[file_bytes], expected[file_bytes],
      got[file_bytes + 1];
  make_source(source_file);
  make_expected(expected);
  check(write_file(source, source_file, file_bytes), "write the source");

  HMODULE module = LoadLibraryW(L"edgemap.dll");
  if (module == NULL) {
    fprintf(stderr, "host: LoadLibraryW(edgemap.dll) failed: %lu\n",
            (unsigned long)GetLastError());
    return 1;
  }
  qtv_solbel_fn qtv_solbel =
      (qtv_solbel_fn)(void (*)(void))GetProcAddress(module, "QTVSolbelP");
  if (qtv_solbel == NULL) {
    fprintf(stderr, "host: GetProcAddress(QTVSolbelP) failed\n");
    return 1;
  }

  check(qtv_solbel(source, target) == 999, "first call returns 999");
  long n = read_file(target, got, sizeof got);
  check(n == file_bytes && memcmp(got, expected, file_bytes) == 0,
        "the target holds the edge map");

  /* The module keeps the last image: a missing source saves it again. */
  qtv_solbel(missing, again);
  n = read_file(again, got, sizeof got);
  check(n == file_bytes && memcmp(got, expected, file_bytes) == 0,
        "a missing source saves the last image again");

  qtv_solbel(NULL, NULL); /* nothing to read or write, and no crash */
  check_version(module);
  check_api(module, source, api_target, source_file, expected);
  FreeLibrary(module);
  /* The call with two threads started the library's worker threads, which
   * live as long as the process: the DLL must stay in memory for them. */
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  if (system.dwNumberOfProcessors > 1) {
    check(GetModuleHandleW(L"edgemap.dll") != NULL,
          "edgemap.dll stays loaded for its worker threads");
  }

  DeleteFileW(source);
  DeleteFileW(target);
  DeleteFileW(again);
  DeleteFileW(api_target);
  RemoveDirectoryW(dir);
  fflush(stdout);
  if (failures != 0) return 1;
  printf("host: ok\n");
  return 0;
}
