/* The public header from C99: encodes and decodes a short sound through every call. */
#include <stdlib.h>

#include "qxw/qxw.h"

int qxw_c_round_trip(void) {
  int16_t samples[2 * 64];
  int16_t back[2 * 64];
  qxw_format format = {64, 2, 8000};
  qxw_format read_back;
  void* data = NULL;
  size_t size = 0;
  size_t i;
  size_t frames = 0;
  int same = 1;
  qxw_decoder* decoder = NULL;
  for (i = 0; i < 2 * 64; ++i) samples[i] = (int16_t)((i * 37) % 200 - 100);
  if (qxw_encode(samples, &format, 9, 1, &data, &size) != QXW_OK) return 1;
  if (qxw_read_format(data, size, &read_back) != QXW_OK || read_back.frame_count != 64) return 2;
  if (qxw_decode(data, size, back, 2 * 64) != QXW_OK) return 3;
  for (i = 0; i < 2 * 64; ++i) same = same && back[i] == samples[i];
  if (!same) return 4;
  if (qxw_decoder_open(data, size, &decoder) != QXW_OK) return 5;
  if (qxw_decoder_read(decoder, back, 64, &frames) != QXW_OK || frames != 64) return 6;
  qxw_decoder_close(decoder);
  qxw_free(data);
  return qxw_status_text(QXW_CORRUPT) != NULL ? 0 : 7;
}
