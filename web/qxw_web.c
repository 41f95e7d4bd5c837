/* The module's side of an encode: the library's streaming encoder with the file gathered in
   memory and the news a program prints (estimates, a raised quality, a file written lossless, a
   target not met) kept for the page. Only the public C interface is used. */
#include <emscripten.h>
#include <stdlib.h>
#include <string.h>

#include "qxw/qxw.h"

/* The share of an encode done, to the module's onQxwProgress where qxw.mjs set one. */
EM_JS(void, qxw_web_progress, (double done), {
  if (Module["onQxwProgress"]) Module["onQxwProgress"](done);
});

static void qxw_web_told(void* context, double done) {
  (void)context;
  qxw_web_progress(done);
}

typedef struct qxw_web_result {
  unsigned char* data;
  size_t size;
  size_t capacity;
  int failed;
  int have_estimates;
  double estimates[3];             /* smallest, lossless, selected */
  int raised[QXW_QUALITY_MAX + 1]; /* each quality a level was raised to, in order */
  int raised_count;
  int lossless;
  int unmet;
  qxw_encode_report report;
} qxw_web_result;

static int qxw_web_write(void* context, const void* data, size_t size) {
  qxw_web_result* r = context;
  if (r->size + size > r->capacity) {
    size_t capacity = r->capacity ? r->capacity : 65536;
    while (capacity < r->size + size) capacity *= 2;
    unsigned char* grown = realloc(r->data, capacity);
    if (grown == NULL) {
      r->failed = 1;
      return 1;
    }
    r->data = grown;
    r->capacity = capacity;
  }
  memcpy(r->data + r->size, data, size);
  r->size += size;
  return 0;
}

static void qxw_web_step(void* context, qxw_step step) {
  qxw_web_result* r = context;
  if (step == QXW_STEP_LOSSLESS) r->lossless = 1;
  if (step == QXW_STEP_TARGET_UNMET) r->unmet = 1;
}

static void qxw_web_estimates(void* context, const qxw_estimates* e) {
  qxw_web_result* r = context;
  r->have_estimates = 1;
  r->estimates[0] = (double)e->smallest;
  r->estimates[1] = (double)e->lossless;
  r->estimates[2] = (double)e->selected;
}

static void qxw_web_raised(void* context, int from, int to) {
  qxw_web_result* r = context;
  (void)from; /* the quality before: the one asked for, or the last raised to */
  if (r->raised_count <= QXW_QUALITY_MAX) r->raised[r->raised_count++] = to;
}

/* Encodes little-endian samples; the result (its file and news) is the caller's to free with
   qxw_web_result_free, also on failure. */
qxw_web_result* qxw_web_encode(const void* samples, uint32_t frames, uint32_t channels,
                               uint32_t rate, int quality, double bits, int effort,
                               qxw_status* status) {
  qxw_web_result* r = calloc(1, sizeof *r);
  if (r == NULL) {
    *status = QXW_OUT_OF_MEMORY;
    return NULL;
  }
  const qxw_format format = {frames, channels, rate};
  /* One thread: the module has none to spare, and the bytes never depend on it. */
  const qxw_encode_options options = {quality, bits, 1, 0};
  qxw_encoder_callbacks callbacks = {0};
  callbacks.context = r;
  callbacks.write = qxw_web_write;
  callbacks.step = qxw_web_step;
  callbacks.estimates = qxw_web_estimates;
  callbacks.quality_raised = qxw_web_raised;
  *status = qxw_encode_stream_progress(samples, &format, &options, effort, &callbacks, qxw_web_told,
                                       &r->report);
  if (*status == QXW_WRITE_FAILED && r->failed) *status = QXW_OUT_OF_MEMORY;
  return r;
}

void qxw_web_result_free(qxw_web_result* r) {
  if (r == NULL) return;
  free(r->data);
  free(r);
}

const unsigned char* qxw_web_result_data(const qxw_web_result* r) { return r->data; }
size_t qxw_web_result_size(const qxw_web_result* r) { return r->size; }
/* The three estimates in bytes, or -1 when the run made none (a size target). */
double qxw_web_result_estimate(const qxw_web_result* r, int which) {
  return r->have_estimates ? r->estimates[which] : -1;
}
/* The quality of the i-th raise, or -1 past the last. */
int qxw_web_result_raised(const qxw_web_result* r, int i) {
  return i >= 0 && i < r->raised_count ? r->raised[i] : -1;
}
int qxw_web_result_lossless(const qxw_web_result* r) { return r->lossless; }
int qxw_web_result_unmet(const qxw_web_result* r) { return r->unmet; }
double qxw_web_result_signal(const qxw_web_result* r) { return r->report.signal; }
double qxw_web_result_noise(const qxw_web_result* r) { return r->report.noise; }
