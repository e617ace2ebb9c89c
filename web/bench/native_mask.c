/* The native library's mask of bench.js's 1920 x 1080 RGBA image on one
 * thread, timed as the page times the modules: the median of 15 calls
 * after at least 500 ms of warm-up. EDGEMAP_KERNEL picks the variant
 * (sse41 for the comparison with SIMD128, whose vectors are as wide).
 * Prints the median in milliseconds. */
#include <edgemap.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

enum { width = 1920, height = 1080 };

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int by_value(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(void) {
  uint8_t* src = malloc((size_t)width * height * 4);
  uint8_t* mask = malloc((size_t)width * height);
  if (src == NULL || mask == NULL) return 1;
  /* bench.js's test_image, byte for byte. */
  uint32_t x = 12345;
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      x = x * 1103515245u + 12345u;
      const int noise = (int)((x >> 24) % 24);
      uint8_t* p = src + 4 * ((size_t)r * width + c);
      const int disc =
          (c - 900) * (c - 900) + (r - 500) * (r - 500) < 300 * 300 ? 120 : 0;
      p[0] = (uint8_t)((int)(c * 255.0 / width + disc + noise) & 255);
      p[1] = (uint8_t)((int)(r * 255.0 / height + noise) & 255);
      p[2] = (uint8_t)((((c ^ r) & 64) * 2 + disc / 2) & 255);
      p[3] = 255;
    }
  }
  double times[15];
  const double start = now_ms();
  while (now_ms() - start < 500) {
    edgemap_detect_mask(src, width * 4, 4, mask, width, width, height, 90, 1);
  }
  for (int i = 0; i < 15; ++i) {
    const double t = now_ms();
    if (edgemap_detect_mask(src, width * 4, 4, mask, width, width, height, 90,
                            1) != EDGEMAP_OK) {
      return 1;
    }
    times[i] = now_ms() - t;
  }
  qsort(times, 15, sizeof times[0], by_value);
  printf("%.3f\n", times[7]);
  free(src);
  free(mask);
  return 0;
}
