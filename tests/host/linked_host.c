/* A host linked against edgemap.dll's import library: the loader resolves
 * QTVSolbelP by its undecorated name. Null paths fail both opens, and the
 * call still returns 999. */
#include <stdio.h>

#include "edgemap.h"

int main(void) {
  const int32_t result = QTVSolbelP(NULL, NULL);
  fflush(stdout);
  if (result != 999) {
    fprintf(stderr, "linked host: QTVSolbelP returned %d\n", (int)result);
    return 1;
  }
  printf("linked host: ok\n");
  return 0;
}
