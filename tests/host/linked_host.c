/* A host linked against edgemap.dll's import library: the loader resolves
 * every public function by its undecorated name, QTVSolbelP (__stdcall)
 * and the edgemap_ functions (the default C convention) alike. Each is
 * called with arguments whose result is known: a mismatched convention, a
 * wrong import or an options struct laid out differently on the two sides
 * shows as a crash or a wrong result. */
#include <stdio.h>
#include <string.h>

#include "edgemap.h"

static int failures;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "linked host: FAILED: %s\n", what);
    ++failures;
  }
}

static uint32_t u32_at(const uint8_t* at) {
  return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 |
         (uint32_t)at[3] << 24;
}

/* A 4 x 1 bitmap, gray 0 0 255 255. Outside the image is 0, so only the
 * first pixel has no edge. */
/* clang-format off */
static const uint8_t step_bmp[66] = {
    'B', 'M', 66, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,   /* file header */
    40, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, /* 4 x 1, 24 bits */
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255,   /* the row */
};
/* clang-format on */

/* Whether bmp is a 1-bit 4 x 1 bitmap whose first pixel is white and the
 * other three black, through its palette. */
static int is_step_edges_1bit(const uint8_t* bmp, size_t size) {
  if (size < 62 || bmp[0] != 'B' || bmp[1] != 'M' || u32_at(bmp + 2) != size ||
      u32_at(bmp + 18) != 4 || u32_at(bmp + 22) != 1 || bmp[28] != 1) {
    return 0;
  }
  const uint8_t* palette = bmp + 14 + u32_at(bmp + 14);
  const uint32_t pixels = u32_at(bmp + 10);
  if (pixels >= size || palette + 8 > bmp + pixels) return 0;
  for (int c = 0; c < 4; ++c) {
    const int index = bmp[pixels] >> (7 - c) & 1;
    const uint8_t* colour = palette + 4 * index;
    const int level = c == 0 ? 255 : 0;
    if (colour[0] != level || colour[1] != level || colour[2] != level) {
      return 0;
    }
  }
  return 1;
}

static long read_whole(const char* path, uint8_t* data, size_t cap) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return -1;
  const size_t n = fread(data, 1, cap, f);
  fclose(f);
  return (long)n;
}

/* The options struct, and the _ex functions on memory and on files: the
 * step at 1 bit, a PNG cut short refused, and the files holding what
 * memory gets. */
static void check_ex(void) {
  edgemap_options options;
  memset(&options, 0xA5, sizeof options);
  edgemap_options_init(&options);
  check(options.size == sizeof options && options.threshold == 90.0 &&
            options.threads == 0 && options.format == EDGEMAP_FORMAT_AUTO &&
            options.bits == 0 && options.max_pixels == (uint64_t)1 << 28,
        "edgemap_options_init");
  options.bits = 1;

  void* out = NULL;
  size_t out_size = 0;
  check(edgemap_convert_memory_ex(step_bmp, sizeof step_bmp, &out, &out_size,
                                  &options) == EDGEMAP_OK &&
            is_step_edges_1bit(out, out_size),
        "edgemap_convert_memory_ex gives a 1-bit bitmap");

  static const uint8_t png[16] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n',
                                  0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  /* A build with the codecs finds the header cut short; a bitmap-only
   * build reads no PNG at all. */
#if EDGEMAP_HAS_CODECS
  const int png_refused = EDGEMAP_ERROR_CORRUPT;
#else
  const int png_refused = EDGEMAP_ERROR_UNSUPPORTED;
#endif
  void* refused = &failures;
  size_t refused_size = 1;
  check(edgemap_convert_memory_ex(png, sizeof png, &refused, &refused_size,
                                  NULL) == png_refused &&
            refused == NULL && refused_size == 0,
        "edgemap_convert_memory_ex refuses a PNG cut short");

  /* The files sit in the working folder, under names no other test uses. */
  static const char source[] = "linked_host-source.bmp";
  static const char target[] = "linked_host-target.bmp";
  static uint8_t got[256];
  FILE* f = fopen(source, "wb");
  check(f != NULL && fwrite(step_bmp, 1, sizeof step_bmp, f) == sizeof step_bmp,
        "write the source");
  if (f != NULL) fclose(f);
  check(edgemap_convert_file_ex(source, target, &options) == EDGEMAP_OK &&
            out != NULL &&
            read_whole(target, got, sizeof got) == (long)out_size &&
            memcmp(got, out, out_size) == 0,
        "edgemap_convert_file_ex writes what memory gets");
  remove(target);
  check(edgemap_convert_file_ex_w(L"linked_host-source.bmp",
                                  L"linked_host-target.bmp",
                                  &options) == EDGEMAP_OK &&
            out != NULL &&
            read_whole(target, got, sizeof got) == (long)out_size &&
            memcmp(got, out, out_size) == 0,
        "edgemap_convert_file_ex_w writes what memory gets");
  remove(target);
  remove(source);
  edgemap_free(out);
}

int main(void) {
  /* Null paths fail both opens, and the call still returns 999. */
  check(QTVSolbelP(NULL, NULL) == 999, "QTVSolbelP returns 999");
  fflush(stdout);

  check(strcmp(edgemap_version(), EDGEMAP_EXPECTED_VERSION) == 0,
        "edgemap_version");
  check(strcmp(edgemap_strerror(EDGEMAP_OK), "success") == 0,
        "edgemap_strerror");

  /* Three black pixels in a row: gray 0 everywhere, no edge. */
  const uint8_t src[9] = {0};
  uint8_t dst[9];
  uint8_t mask[3];
  memset(dst, 7, sizeof dst);
  memset(mask, 7, sizeof mask);
  check(edgemap_detect(src, 9, dst, 9, 3, 1, 3, 90.0, 1) == EDGEMAP_OK &&
            dst[0] == 255 && dst[8] == 255,
        "edgemap_detect");
  check(edgemap_detect_mask(src, 9, 3, mask, 3, 3, 1, 90.0, 1) == EDGEMAP_OK &&
            mask[0] == 0 && mask[2] == 0,
        "edgemap_detect_mask");

  void* out = &failures;
  size_t out_size = 1;
  check(edgemap_convert_memory(src, sizeof src, &out, &out_size, 90.0, 0) ==
                EDGEMAP_ERROR_HEADER &&
            out == NULL && out_size == 0,
        "edgemap_convert_memory");
  edgemap_free(out);
  check(edgemap_convert_file(NULL, NULL, 90.0, 0) == EDGEMAP_ERROR_ARGUMENT,
        "edgemap_convert_file");
  check(edgemap_convert_file_w(NULL, NULL, 90.0, 0) == EDGEMAP_ERROR_ARGUMENT,
        "edgemap_convert_file_w");
  check_ex();

  if (failures != 0) return 1;
  printf("linked host: ok\n");
  return 0;
}
