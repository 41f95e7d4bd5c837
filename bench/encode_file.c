/* Encodes a plain 16-bit PCM WAV file (44-byte header) through the library with a chosen number
   of threads, for timing: encode_file in.wav out.qxw quality threads [steps]. The input is
   mapped, as wav2qxw maps it. With "steps", prints how many milliseconds each step took:
   mapping the input, then the library's steps in order, then closing the file. */
#define _POSIX_C_SOURCE 200809L
#define _DEFAULT_SOURCE 1
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "qxw/qxw.h"

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* The time each step started at; entry 7 is the end. */
static double started[8];

static void on_step(void* context, qxw_step step) {
  (void)context;
  started[step] = now_ms();
}
static int on_write(void* context, const void* data, size_t size) {
  return fwrite(data, 1, size, (FILE*)context) == size ? 0 : 1;
}
static int on_seek(void* context, uint64_t position) {
  return fseeko((FILE*)context, (off_t)position, SEEK_SET);
}
static int on_rewind(void* context) { return fseeko((FILE*)context, 0, SEEK_SET); }

int main(int argc, char** argv) {
  const double begin = now_ms();
  const unsigned char* header;
  int in;
  FILE* out;
  struct stat info;
  size_t size;
  qxw_format format;
  qxw_encode_options options;
  qxw_encoder_callbacks callbacks;
  int i;
  if ((argc != 5 && (argc != 6 || strcmp(argv[5], "steps") != 0)) ||
      (in = open(argv[1], O_RDONLY)) < 0) {
    fprintf(stderr, "usage: %s in.wav out.qxw quality threads [steps]\n", argv[0]);
    return 1;
  }
  if (fstat(in, &info) != 0 || info.st_size < 44) return 2;
  size = (size_t)info.st_size;
#ifdef MAP_POPULATE
  header = mmap(NULL, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, in, 0);
#else
  header = mmap(NULL, size, PROT_READ, MAP_PRIVATE, in, 0);
#endif
  if (header == MAP_FAILED) return 2;
  format.channel_count = (uint32_t)(header[22] | header[23] << 8);
  format.sample_rate = (uint32_t)header[24] | (uint32_t)header[25] << 8 |
                       (uint32_t)header[26] << 16 | (uint32_t)header[27] << 24;
  if (format.channel_count == 0) return 2;
  format.frame_count = (uint32_t)((size - 44) / 2 / format.channel_count);
  out = fopen(argv[2], "wb");
  if (out == NULL) return 2;
  memset(&options, 0, sizeof options);
  options.quality = atoi(argv[3]);
  options.threads = atoi(argv[4]);
  memset(&callbacks, 0, sizeof callbacks);
  callbacks.context = out;
  callbacks.step = on_step;
  callbacks.write = on_write;
  callbacks.seek = on_seek;
  callbacks.rewind = on_rewind;
  if (qxw_encode_stream(header + 44, &format, &options, &callbacks, NULL) != QXW_OK) return 2;
  if (fclose(out) != 0) return 2;
  munmap((void*)header, size);
  close(in);
  started[7] = now_ms();
  if (argc == 6) {
    printf("%.2f", started[0] - begin);
    for (i = 0; i < 7; ++i) printf(" %.2f", started[i + 1] - started[i]);
    printf("\n");
  }
  return 0;
}
