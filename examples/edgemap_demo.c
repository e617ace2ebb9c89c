/* Calls edgemap from C: edgemap_demo SOURCE TARGET.
 * Build: cc -std=c11 edgemap_demo.c $(pkg-config --cflags --libs edgemap) */
#include <edgemap.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>
#include <wchar.h>

/* Widens a path in the locale's encoding to UTF-16; NULL if it is not
 * valid there. UTF-16 never needs more units than the input has bytes. */
static char16_t* widen(const char* path) {
  size_t left = strlen(path);
  char16_t* wide = malloc((left + 1) * sizeof *wide);
  mbstate_t state;
  size_t n = 0;
  memset(&state, 0, sizeof state);
  while (wide != NULL && left > 0) {
    size_t used = mbrtoc16(&wide[n], path, left, &state);
    if (used == (size_t)-3) { /* second half of a surrogate pair */
      n++;
      continue;
    }
    if (used == 0 || used > left) {
      free(wide);
      return NULL;
    }
    path += used;
    left -= used;
    n++;
  }
  if (wide != NULL) wide[n] = 0;
  return wide;
}

int main(int argc, char** argv) {
  char16_t* source;
  char16_t* target;
  int32_t result;
  if (argc != 3) {
    fprintf(stderr, "usage: edgemap_demo SOURCE TARGET\n");
    return 2;
  }
  setlocale(LC_ALL, "");
  source = widen(argv[1]);
  target = widen(argv[2]);
  result = QTVSolbelP(source, target);
  printf("QTVSolbelP returned %d\n", (int)result);
  free(source);
  free(target);
  return result == 999 ? 0 : 1;
}
