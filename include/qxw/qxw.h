/* qxw: read and write QXW files, the compressed 16-bit PCM sound of wav2qxw.
   Usable from C99 and C++; see docs/API.md. */
#ifndef QXW_QXW_H
#define QXW_QXW_H

#include <stddef.h>
#include <stdint.h>

#if defined(QXW_BUILDING_LIBRARY) && defined(_WIN32)
#define QXW_API __declspec(dllexport)
#elif defined(QXW_BUILDING_LIBRARY)
#define QXW_API __attribute__((visibility("default")))
#else
#define QXW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The limits every call and both programs hold to: quality levels 0 to QXW_QUALITY_MAX (the
   lossless one), size targets of QXW_BITS_MIN to QXW_BITS_MAX bits per sample, 1 to
   QXW_CHANNELS_MAX channels. */
#define QXW_QUALITY_MAX 9
#define QXW_BITS_MIN 2
#define QXW_BITS_MAX 8
#define QXW_CHANNELS_MAX 6
/* Since 1.3: the highest sample rate in Hz a file may be written with (the lowest is 1). Players
   take no other rate, so neither does an encoding call; a file read with another is decoded all
   the same, and the programs and the plugin refuse it with a line that says why. */
#define QXW_RATE_MAX 2147483647u
/* The search efforts of qxw_encode_search: 0 (the nearest level, as qxw_encode_bits) to this. */
#define QXW_EFFORT_MAX 3

typedef enum qxw_status {
  QXW_OK = 0,
  QXW_INVALID_ARGUMENT = 1, /* null pointer, quality outside 0..9, channels outside 1..6,
                               too many frames, a sample rate outside 1..QXW_RATE_MAX */
  QXW_NOT_QXW = 2,          /* no QXW magic */
  QXW_INVALID_HEADER = 3,   /* the header is inconsistent */
  QXW_TRUNCATED = 4,        /* the data ends early */
  QXW_CORRUPT = 5,          /* the bit stream breaks the format */
  QXW_OUT_OF_MEMORY = 6,
  QXW_BUFFER_TOO_SMALL = 7,
  QXW_TRAILING_DATA = 8,  /* bytes follow the data the header declares: not one whole QXW file */
  QXW_STOPPED = 9,        /* the open callback stopped the run */
  QXW_WRITE_FAILED = 10,  /* a write or seek callback failed */
  QXW_INTERNAL_ERROR = 11 /* a fault inside the library that no input should cause: a bug */
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
/* Since 1.2: the same target, with a search for each sample's level as wav2qxw /X writes it.
   effort 1 to QXW_EFFORT_MAX searches a trellis of level classes the reader never sees, keeping
   more of the sound at the same size (about 0.5 dB on music) at some 5 to 20 times the time of
   effort 0 (13 to 37 times a level's), which is qxw_encode_bits. Any QXW reader decodes the file;
   the bytes never depend on threads. */
QXW_API qxw_status qxw_encode_search(const int16_t* samples, const qxw_format* format,
                                     double bits_per_sample, int effort, int threads,
                                     void** qxw_data, size_t* qxw_size);
QXW_API void qxw_free(void* p);

/* Encoding as a program does it: the steps and figures reported as they come, the file written
   through the caller's functions. */
typedef enum qxw_step {
  QXW_STEP_HISTOGRAM = 0, /* counting the differences */
  QXW_STEP_ANALYSIS = 1,  /* laying out the bins */
  QXW_STEP_STATISTICS = 2,
  QXW_STEP_CODES = 3,
  QXW_STEP_HEADER = 4, /* the output is opened and its header written */
  QXW_STEP_SAMPLES = 5,
  QXW_STEP_DONE = 6,
  /* After QXW_STEP_SAMPLES: the file at the quality asked for (or raised to) or at the size target
     was no smaller than the lossless file, which is written instead. */
  QXW_STEP_LOSSLESS = 7,
  /* After QXW_STEP_SAMPLES: the size target lies below what the sound's file can take (the
     header alone, on a short sound); the file is the smallest level's, or the search's best at
     that size where it keeps more of the sound. */
  QXW_STEP_TARGET_UNMET = 8
} qxw_step;

typedef struct qxw_estimates { /* estimated file sizes in bytes, from the raw differences */
  uint64_t smallest;           /* at quality 0 */
  uint64_t lossless;           /* at quality 9 */
  uint64_t selected;           /* at the quality asked for */
} qxw_estimates;

typedef struct qxw_encode_options {
  int quality;            /* 0..9, used when bits_per_sample is 0 */
  double bits_per_sample; /* 0, or a size target of 2..8 as qxw_encode_bits */
  int threads;            /* as for qxw_encode */
  int digest;             /* nonzero: fill the report's digest, at a little extra time */
} qxw_encode_options;

typedef struct qxw_encoder_callbacks {
  void* context; /* handed to every function below */
  /* Each may be NULL. */
  void (*step)(void* context, qxw_step step);
  void (*estimates)(void* context, const qxw_estimates* estimates); /* levels only */
  /* The table of quality `from` cannot reach the sound's levels; it is written again at `to`. */
  void (*quality_raised)(void* context, int from, int to);
  /* Called once, after the estimates and before the first byte: 0 stops the run there with
     QXW_STOPPED (the caller could not make its output, say). NULL: go on. */
  int (*open)(void* context);
  /* Required. The file's bytes in order; nonzero ends the run with QXW_WRITE_FAILED. */
  int (*write)(void* context, const void* data, size_t size);
  /* Moves the output to an absolute position; nonzero ends the run with QXW_WRITE_FAILED. */
  int (*seek)(void* context, uint64_t position);
  /* Drops everything written and starts again at position 0: the file is being written again
     at a higher quality. Nonzero ends the run with QXW_WRITE_FAILED.
     seek and rewind come together; both NULL for an output that cannot seek (a pipe): the file
     is then held in memory and written whole at the end. */
  int (*rewind)(void* context);
} qxw_encoder_callbacks;

typedef struct qxw_encode_report {
  uint64_t bytes;         /* the whole file */
  double bits_per_sample; /* file bits over frames x channels */
  double signal, noise;   /* sums of squared samples and of squared differences from the decode;
                             filled for size targets, 0 for the levels */
  uint64_t digest;        /* with options->digest, qxw_digest of the samples a reader will
                             decode: a file can be checked against it */
} qxw_encode_report;

/* little_endian_samples: frame_count * channel_count 16-bit little-endian values, interleaved,
   at any alignment (a WAV file's data as it lies in memory). report may be NULL. The bytes are
   those of qxw_encode or qxw_encode_bits with the same settings. */
QXW_API qxw_status qxw_encode_stream(const void* little_endian_samples, const qxw_format* format,
                                     const qxw_encode_options* options,
                                     const qxw_encoder_callbacks* callbacks,
                                     qxw_encode_report* report);

/* Since 1.2: qxw_encode_stream with a search effort for a size target, as qxw_encode_search
   (options->bits_per_sample must then not be 0; effort 0 is qxw_encode_stream). A new call, so
   that the options a program built against 1.0 or 1.1 allocated are never read past their end. */
QXW_API qxw_status qxw_encode_stream_search(const void* little_endian_samples,
                                            const qxw_format* format,
                                            const qxw_encode_options* options, int effort,
                                            const qxw_encoder_callbacks* callbacks,
                                            qxw_encode_report* report);

/* Since 1.3: qxw_encode_stream_search, with the share of the work done told as it goes:
   progress(callbacks->context, done), done rising from 0 to 1, a few times a second at most,
   from any of the encoder's threads but never two at once (a program shows it as a percentage).
   NULL progress: qxw_encode_stream_search. */
QXW_API qxw_status qxw_encode_stream_progress(const void* little_endian_samples,
                                              const qxw_format* format,
                                              const qxw_encode_options* options, int effort,
                                              const qxw_encoder_callbacks* callbacks,
                                              void (*progress)(void* context, double done),
                                              qxw_encode_report* report);

/* A digest of decoded samples, to check a file without keeping its reconstruction: start from 0
   and add each block in order; first_sample counts the samples (not frames) before the block. */
QXW_API uint64_t qxw_digest(uint64_t digest, const int16_t* samples, size_t count,
                            uint64_t first_sample);

QXW_API qxw_status qxw_read_format(const void* qxw_data, size_t qxw_size, qxw_format* format);

/* The fixed part of every QXW file: magic, format, bin table, code lengths, data size. */
#define QXW_HEADER_SIZE 2200
/* The QXW_MAGIC_SIZE bytes every QXW file starts with (a type finder's test). */
#define QXW_MAGIC "TRUV\0\x1A\xFF\xFE"
#define QXW_MAGIC_SIZE 8

/* Every integer and sample of QXW and WAV files is little-endian, whatever the machine. */
static inline uint32_t qxw_read_le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline void qxw_write_le32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(value >> (8 * i));
}
static inline int16_t qxw_read_sample(const uint8_t* p) {
  return (int16_t)(uint16_t)(p[0] | (p[1] << 8));
}
static inline void qxw_write_samples(const int16_t* samples, size_t count, uint8_t* bytes) {
  for (size_t i = 0; i < count; ++i) {
    bytes[2 * i] = (uint8_t)samples[i];
    bytes[2 * i + 1] = (uint8_t)((uint16_t)samples[i] >> 8);
  }
}
/* The size of the whole file the header declares (the header and its data), from the first
   qxw_size bytes: QXW_NOT_QXW without the magic, QXW_TRUNCATED when fewer than QXW_HEADER_SIZE
   bytes are given. Nothing else is checked: a reader of a stream learns how much to read. */
QXW_API qxw_status qxw_file_size(const void* qxw_data, size_t qxw_size, uint64_t* file_size);
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

/* Fed decoding, for bytes that arrive in pieces (a pipe, a network, a media pipeline): push
   hands in the next bytes, pull takes out the frames they complete, and the caller keeps the
   reading, so nothing blocks inside the library and one loop serves a pipe and an event-driven
   element alike. The decoder holds the header, a fixed 32 KB of the data and a few channel
   states, whatever the file's length. Errors come with the bytes that make them certain and are
   final; the statuses are those of qxw_decoder_open and qxw_decoder_read. */
typedef struct qxw_feed_decoder qxw_feed_decoder;
QXW_API qxw_status qxw_feed_decoder_open(qxw_feed_decoder** decoder);
/* Takes as many of the size bytes as there is room for, and says how many in *used: pull the
   frames, then push the rest. QXW_NOT_QXW, QXW_INVALID_HEADER and QXW_CORRUPT as soon as these
   bytes show them. QXW_TRAILING_DATA: bytes follow the file's end; *used counts those that
   belong to it, and its frames can still be pulled. */
QXW_API qxw_status qxw_feed_decoder_push(qxw_feed_decoder* decoder, const void* data, size_t size,
                                         size_t* used);
/* Frames, channels and rate once the header's QXW_HEADER_SIZE bytes are in; QXW_TRUNCATED
   before. */
QXW_API qxw_status qxw_feed_decoder_format(const qxw_feed_decoder* decoder, qxw_format* format);
/* Writes up to max_frames of the frames the bytes so far complete; *frames_read 0: push more,
   or, after qxw_feed_decoder_finish, the end. */
QXW_API qxw_status qxw_feed_decoder_pull(qxw_feed_decoder* decoder, int16_t* samples,
                                         size_t max_frames, size_t* frames_read);
/* No more bytes will come: QXW_TRUNCATED (or QXW_NOT_QXW) unless the whole file came; on QXW_OK
   pull the frames left. */
QXW_API qxw_status qxw_feed_decoder_finish(qxw_feed_decoder* decoder);
QXW_API void qxw_feed_decoder_close(qxw_feed_decoder* decoder);

#ifdef __cplusplus
}
#endif

#endif
