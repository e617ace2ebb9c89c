/* A bitmap in memory to its edge map in memory: convert_memory SOURCE TARGET
 * reads SOURCE, converts it with edgemap_convert_memory and writes TARGET.
 * Build: cc -std=c11 convert_memory.c $(pkg-config --cflags --libs edgemap) */
#include <edgemap.h>
#include <stdio.h>
#include <stdlib.h>

/* The whole file, or NULL. */
static unsigned char* read_all(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  unsigned char* data = NULL;
  size_t used = 0;
  size_t room = 0;
  while (f != NULL) {
    if (used == room) {
      room = room ? 2 * room : 1 << 16;
      unsigned char* grown = realloc(data, room);
      if (grown == NULL) break;
      data = grown;
    }
    const size_t n = fread(data + used, 1, room - used, f);
    used += n;
    if (n == 0) {
      fclose(f);
      *size = used;
      return data;
    }
  }
  if (f != NULL) fclose(f);
  free(data);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: convert_memory SOURCE TARGET\n");
    return 2;
  }
  size_t size = 0;
  unsigned char* bitmap = read_all(argv[1], &size);
  if (bitmap == NULL) {
    fprintf(stderr, "convert_memory: cannot read %s\n", argv[1]);
    return 1;
  }
  void* edges = NULL;
  size_t edges_size = 0;
  const int status =
      edgemap_convert_memory(bitmap, size, &edges, &edges_size, 90.0, 0);
  free(bitmap);
  if (status != EDGEMAP_OK) {
    fprintf(stderr, "convert_memory: %s: %s\n", argv[1],
            edgemap_strerror(status));
    return 1;
  }
  FILE* out = fopen(argv[2], "wb");
  const int written = out != NULL &&
                      fwrite(edges, 1, edges_size, out) == edges_size &&
                      fclose(out) == 0;
  edgemap_free(edges); /* the library's memory goes back to the library */
  if (!written) {
    fprintf(stderr, "convert_memory: cannot write %s\n", argv[2]);
    return 1;
  }
  printf("wrote %zu bytes\n", edges_size);
  return 0;
}
