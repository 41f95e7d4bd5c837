/* Reads the samples of a 16-bit PCM WAV file, compresses them with libqxw, decodes the result in
   blocks and compares it with the input; given a third name, also writes the QXW file there as a
   program would, through the streaming encoder and stdio.
   Usage: roundtrip file.wav [quality [out.qxw]]   (quality 0 to 9, default 9: lossless) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <qxw/qxw.h>

static uint32_t le32(const unsigned char* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Finds the "fmt " and "data" chunks; fills format and returns the samples, or NULL. */
static int16_t* read_wav(const char* name, qxw_format* format) {
  FILE* file = fopen(name, "rb");
  unsigned char head[12], chunk[8], fmt[16];
  int16_t* samples = NULL;
  int have_format = 0;
  if (file == NULL) return NULL;
  if (fread(head, 1, 12, file) != 12 || memcmp(head, "RIFF", 4) != 0 ||
      memcmp(head + 8, "WAVE", 4) != 0) {
    fclose(file);
    return NULL;
  }
  while (fread(chunk, 1, 8, file) == 8) {
    uint32_t size = le32(chunk + 4);
    if (memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && fread(fmt, 1, 16, file) == 16) {
      format->channel_count = (uint32_t)(fmt[2] | fmt[3] << 8);
      format->sample_rate = le32(fmt + 4);
      have_format = fmt[0] == 1 && fmt[1] == 0 && fmt[14] == 16 && fmt[15] == 0;
      size -= 16;
    } else if (memcmp(chunk, "data", 4) == 0 && have_format && format->channel_count > 0) {
      size_t i, count;
      unsigned char* bytes = malloc(size ? size : 1);
      format->frame_count = size / 2 / format->channel_count;
      count = (size_t)format->frame_count * format->channel_count;
      samples = malloc(count * sizeof *samples + 1);
      if (bytes == NULL || samples == NULL || fread(bytes, 1, count * 2, file) != count * 2) {
        free(bytes);
        free(samples);
        samples = NULL;
        break;
      }
      for (i = 0; i < count; ++i) samples[i] = (int16_t)(bytes[2 * i] | bytes[2 * i + 1] << 8);
      free(bytes);
      break;
    }
    if (fseek(file, (long)(size + (size & 1)), SEEK_CUR) != 0) break;
  }
  fclose(file);
  return samples;
}

/* The streaming encoder's output functions over a stdio file. */
static int file_write(void* file, const void* data, size_t size) {
  return fwrite(data, 1, size, (FILE*)file) == size ? 0 : 1;
}
static int file_seek(void* file, uint64_t position) {
  return fseek((FILE*)file, (long)position, SEEK_SET) != 0;
}
static int file_rewind(void* file) { return freopen(NULL, "wb", (FILE*)file) == NULL; }
static void show_step(void* file, qxw_step step) {
  static const char* const names[] = {"histogram", "analysis", "statistics", "codes",
                                      "header",    "samples",  "done"};
  (void)file;
  printf("step: %s\n", names[step]);
}

/* Writes the QXW file of the samples to name through qxw_encode_stream. */
static qxw_status write_qxw(const char* name, const int16_t* samples, const qxw_format* format,
                            int quality) {
  unsigned char* bytes;
  size_t i, count = (size_t)format->frame_count * format->channel_count;
  qxw_encode_options options = {0, 0, 0, 0};
  qxw_encoder_callbacks callbacks = {NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};
  qxw_encode_report report;
  qxw_status status;
  FILE* file = fopen(name, "wb");
  if (file == NULL) return QXW_STOPPED;
  /* The streaming call takes the little-endian bytes of a WAV file's data. */
  bytes = malloc(2 * count + 1);
  for (i = 0; bytes != NULL && i < count; ++i) {
    bytes[2 * i] = (unsigned char)(samples[i] & 0xFF);
    bytes[2 * i + 1] = (unsigned char)((uint16_t)samples[i] >> 8);
  }
  options.quality = quality;
  callbacks.context = file;
  callbacks.step = show_step;
  callbacks.write = file_write;
  callbacks.seek = file_seek;
  callbacks.rewind = file_rewind;
  status = bytes == NULL ? QXW_OUT_OF_MEMORY
                         : qxw_encode_stream(bytes, format, &options, &callbacks, &report);
  if (fclose(file) != 0 && status == QXW_OK) status = QXW_WRITE_FAILED;
  if (status == QXW_OK) printf("wrote %s: %lu bytes\n", name, (unsigned long)report.bytes);
  free(bytes);
  return status;
}

int main(int argc, char** argv) {
  qxw_format format = {0, 0, 0};
  void* data = NULL;
  size_t size = 0, count, at = 0, frames = 0, i;
  int16_t block[6 * 4096];
  double worst = 0;
  qxw_decoder* decoder = NULL;
  qxw_status status;
  int quality = argc > 2 ? atoi(argv[2]) : 9;
  int16_t* samples = argc > 1 ? read_wav(argv[1], &format) : NULL;
  if (samples == NULL) {
    fprintf(stderr, "usage: %s file.wav [quality [out.qxw]]: a 16-bit PCM WAV file\n", argv[0]);
    return 1;
  }
  count = (size_t)format.frame_count * format.channel_count;
  status = qxw_encode(samples, &format, quality, 0, &data, &size);
  if (status != QXW_OK) {
    fprintf(stderr, "encode: %s\n", qxw_status_text(status));
    return 2;
  }
  status = qxw_decoder_open(data, size, &decoder);
  while (status == QXW_OK) {
    status = qxw_decoder_read(decoder, block, 4096, &frames);
    if (status != QXW_OK || frames == 0) break;
    for (i = 0; i < frames * format.channel_count; ++i, ++at) {
      double difference = (double)block[i] - samples[at];
      if (difference < 0) difference = -difference;
      if (difference > worst) worst = difference;
    }
  }
  qxw_decoder_close(decoder);
  if (status != QXW_OK || at != count) {
    fprintf(stderr, "decode: %s\n", qxw_status_text(status));
    return 2;
  }
  if (argc > 3 && (status = write_qxw(argv[3], samples, &format, quality)) != QXW_OK) {
    fprintf(stderr, "write %s: %s\n", argv[3], qxw_status_text(status));
    return 2;
  }
  printf(
      "libqxw %s: %lu frames of %lu channels, %lu bytes as WAV data, %lu as QXW (quality %d); "
      "largest difference %.0f\n",
      qxw_version(), (unsigned long)format.frame_count, (unsigned long)format.channel_count,
      (unsigned long)(count * 2), (unsigned long)size, quality, worst);
  qxw_free(data);
  free(samples);
  return quality == 9 && worst != 0 ? 3 : 0;
}
