/* photo_edges SOURCE TARGET: the edge map of a JPEG, PNG or bitmap as a
 * 1-bit PNG (or a 1-bit bitmap when TARGET ends in .bmp), at threshold 60,
 * refusing images of more than 50 megapixels. */
#include <edgemap.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: photo_edges SOURCE TARGET\n", stderr);
    return 2;
  }
  edgemap_options options;
  edgemap_options_init(&options); /* every field at its default */
  options.threshold = 60.0;
  options.bits = 1;
  options.max_pixels = 50000000;
  int status = edgemap_convert_file_ex(argv[1], argv[2], &options);
  if (status != EDGEMAP_OK) {
    int cause = errno;
    fprintf(stderr, "photo_edges: %s: %s%s%s\n", argv[1],
            edgemap_strerror(status), cause != 0 ? ": " : "",
            cause != 0 ? strerror(cause) : "");
    return 1;
  }
  return 0;
}
