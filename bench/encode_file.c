/* Encodes a plain 16-bit PCM WAV file (44-byte header) through the library with a chosen number
   of threads, for timing: encode_file in.wav out.qxw quality threads. The input is mapped, as
   wav2qxw maps it. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qxw/qxw.h"

int main(int argc, char** argv) {
  const unsigned char* header;
  int in;
  FILE* out;
  struct stat info;
  size_t size;
  const int16_t* samples;
  size_t count;
  void* data;
  size_t bytes;
  qxw_format format;
  qxw_status status;
  if (argc != 5 || (in = open(argv[1], O_RDONLY)) < 0) {
    fprintf(stderr, "usage: %s in.wav out.qxw quality threads\n", argv[0]);
    return 1;
  }
  if (fstat(in, &info) != 0 || info.st_size < 44) return 2;
  size = (size_t)info.st_size;
  header = mmap(NULL, size, PROT_READ, MAP_PRIVATE, in, 0);
  if (header == MAP_FAILED) return 2;
  format.channel_count = (uint32_t)(header[22] | header[23] << 8);
  format.sample_rate = (uint32_t)header[24] | (uint32_t)header[25] << 8 | (uint32_t)header[26] << 16 |
                       (uint32_t)header[27] << 24;
  if (format.channel_count == 0) return 2;
  count = (size_t)(size - 44) / 2 / format.channel_count * format.channel_count;
  format.frame_count = (uint32_t)(count / format.channel_count);
  samples = (const int16_t*)(header + 44);
  status = qxw_encode(samples, &format, atoi(argv[3]), atoi(argv[4]), &data, &bytes);
  if (status != QXW_OK) {
    fprintf(stderr, "%s\n", qxw_status_text(status));
    return 2;
  }
  out = fopen(argv[2], "wb");
  if (out == NULL || fwrite(data, 1, bytes, out) != bytes || fclose(out) != 0) return 2;
  qxw_free(data);
  munmap((void*)header, size);
  close(in);
  return 0;
}
