/* qxw: read and write QXW files, the compressed 16-bit PCM sound of wav2qxw.
   Usable from C99 and C++; see docs/API.md. */
#ifndef QXW_QXW_H
#define QXW_QXW_H

#include <stddef.h>
#include <stdint.h>

#if defined(QXW_BUILDING_LIBRARY)
#define QXW_API __attribute__((visibility("default")))
#else
#define QXW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum qxw_status {
  QXW_OK = 0,
  QXW_INVALID_ARGUMENT = 1, /* null pointer, quality outside 0..9, channels outside 1..6, too many frames */
  QXW_NOT_QXW = 2,          /* no QXW magic */
  QXW_INVALID_HEADER = 3,   /* the header is inconsistent */
  QXW_TRUNCATED = 4,        /* the data ends early */
  QXW_CORRUPT = 5,          /* the bit stream breaks the format */
  QXW_OUT_OF_MEMORY = 6,
  QXW_BUFFER_TOO_SMALL = 7,
  QXW_TRAILING_DATA = 8     /* bytes follow the data the header declares: not one whole QXW file */
} qxw_status;

typedef struct qxw_format {
  uint32_t frame_count;
  uint32_t channel_count; /* 1 to 6 */
  uint32_t sample_rate;
} qxw_format;

QXW_API const char* qxw_version(void);                  /* "MAJOR.MINOR.PATCH" */
QXW_API const char* qxw_status_text(qxw_status status); /* one English line, never NULL */

/* samples: frame_count * channel_count interleaved int16 values, channel 0 first.
   threads: 0 = as many as help, 1 = one thread; the bytes never depend on it.
   On QXW_OK, *qxw_data (release with qxw_free) holds *qxw_size bytes: the same bytes
   wav2qxw writes for a WAV file with these samples, this rate and this quality. */
QXW_API qxw_status qxw_encode(const int16_t* samples, const qxw_format* format, int quality,
                              int threads, void** qxw_data, size_t* qxw_size);
/* The same contract, aiming at an average of bits_per_sample (2 to 8) file bits a sample in place
   of a quality level: the file lands within a few percent of it where the sound allows, with the
   bytes wav2qxw /B writes. Any QXW reader decodes it. */
QXW_API qxw_status qxw_encode_bits(const int16_t* samples, const qxw_format* format,
                                   double bits_per_sample, int threads, void** qxw_data,
                                   size_t* qxw_size);
QXW_API void qxw_free(void* p);

QXW_API qxw_status qxw_read_format(const void* qxw_data, size_t qxw_size, qxw_format* format);
/* Decodes the whole file; capacity is counted in int16 values. */
QXW_API qxw_status qxw_decode(const void* qxw_data, size_t qxw_size, int16_t* samples,
                              size_t capacity);

/* Streaming: frames in order, any block size. The data must stay valid until close. */
typedef struct qxw_decoder qxw_decoder;
QXW_API qxw_status qxw_decoder_open(const void* qxw_data, size_t qxw_size, qxw_decoder** decoder);
QXW_API void qxw_decoder_format(const qxw_decoder* decoder, qxw_format* format);
/* Writes up to max_frames frames; *frames_read is 0 at the end. An error is final. */
QXW_API qxw_status qxw_decoder_read(qxw_decoder* decoder, int16_t* samples, size_t max_frames,
                                    size_t* frames_read);
QXW_API void qxw_decoder_close(qxw_decoder* decoder);

#ifdef __cplusplus
}
#endif

#endif
