/* edgemap_detect on an image the program holds: a disc drawn into a BGR
 * buffer whose rows run bottom-up (a negative stride), its edge map, and
 * the same decision as a one-byte mask, drawn as text.
 * Build: cc -std=c11 detect_buffer.c $(pkg-config --cflags --libs edgemap) */
#include <edgemap.h>
#include <stdint.h>
#include <stdio.h>

enum { width = 40, height = 20, channels = 3 };

int main(void) {
  static uint8_t image[height][width][channels];
  static uint8_t edges[height][width][channels];
  static uint8_t mask[height][width];
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      const int dx = c - width / 2;
      const int dy = 2 * (r - height / 2);
      const uint8_t level = dx * dx + dy * dy < 15 * 15 ? 200 : 40;
      for (int k = 0; k < channels; ++k) image[r][c][k] = level;
    }
  }
  /* Row 0 of the picture is the last row in memory. */
  const ptrdiff_t up = -(ptrdiff_t)sizeof image[0];
  int status =
      edgemap_detect(&image[height - 1][0][0], up, &edges[height - 1][0][0], up,
                     width, height, channels, 90.0, 0);
  if (status == EDGEMAP_OK) {
    status = edgemap_detect_mask(&image[0][0][0], sizeof image[0], channels,
                                 &mask[0][0], sizeof mask[0], width, height,
                                 90.0, 1);
  }
  if (status != EDGEMAP_OK) {
    fprintf(stderr, "detect_buffer: %s\n", edgemap_strerror(status));
    return 1;
  }
  int differ = 0;
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      differ |= (edges[r][c][0] == 0) != (mask[r][c] == 1);
      putchar(mask[r][c] ? '#' : '.');
    }
    putchar('\n');
  }
  printf(differ ? "picture and mask differ\n" : "picture and mask agree\n");
  return differ;
}
