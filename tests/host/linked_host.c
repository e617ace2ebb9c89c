/* A host linked against edgemap.dll's import library: the loader resolves
 * every public function by its undecorated name, QTVSolbelP (__stdcall)
 * and the edgemap_ functions (the default C convention) alike. Each is
 * called once with arguments whose result is known without a file: a
 * mismatched convention or a wrong import shows as a crash or a wrong
 * result. */
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

  if (failures != 0) return 1;
  printf("linked host: ok\n");
  return 0;
}
