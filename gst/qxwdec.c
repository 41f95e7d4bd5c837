/* qxwdec: decodes a QXW stream as its bytes arrive, with the fed decoder of the C library.
   Seeking goes back to the file's first byte upstream and decodes up to the target, dropping
   the frames before it: the format has no index, and a frame depends on every one before it. */
#include "qxwdec.h"

#include <gst/audio/audio.h>

#include "qxw/qxw.h"
#include "qxw_channels.h"

GST_DEBUG_CATEGORY_STATIC(qxw_dec_debug);
#define GST_CAT_DEFAULT qxw_dec_debug

/* Frames in each buffer pushed downstream. */
#define QXW_DEC_BLOCK_FRAMES 4096

struct _QxwDec {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;

  qxw_feed_decoder* feed;
  gboolean have_format;  /* this decode's header is in and the source caps are set */
  gboolean known_format; /* the file's format is known: a decode started again keeps it */
  qxw_format format;
  guint64 frame;       /* frames decoded so far */
  guint64 first_frame; /* frames before this one are dropped: the target of a seek */
  gboolean need_segment;
  GstSegment segment;    /* in time, downstream */
  gboolean seek_pending; /* a seek waits for the flush upstream */
  GstSegment seek_segment;
  guint32 seek_seqnum;
  gboolean input_ended;  /* bytes after the file's end, ignored */
  gboolean past_stop;    /* the segment's end is reached: the rest is not decoded */
  gboolean segment_done; /* a segment seek's end is announced: the input's end is not passed on */
  gboolean failed;       /* an error is on the bus: the stream only ends */
};

G_DEFINE_TYPE(QxwDec, qxw_dec, GST_TYPE_ELEMENT);
GST_ELEMENT_REGISTER_DEFINE(qxwdec, "qxwdec", GST_RANK_PRIMARY, QXW_TYPE_DEC);

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-qxw"));

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) [ 1, MAX ], channels = (int) [ 1, 6 ]"));

static GstClockTime frames_to_time(const QxwDec* self, guint64 frames) {
  return gst_util_uint64_scale_int(frames, GST_SECOND, (gint)self->format.sample_rate);
}

/* Starts a new decode from the file's first byte; false when there is no memory. */
static gboolean qxw_dec_restart(QxwDec* self) {
  qxw_feed_decoder_close(self->feed);
  self->feed = NULL;
  self->have_format = FALSE;
  self->frame = 0;
  self->need_segment = TRUE;
  self->input_ended = FALSE;
  self->past_stop = FALSE;
  self->segment_done = FALSE;
  self->failed = FALSE;
  return qxw_feed_decoder_open(&self->feed) == QXW_OK;
}

/* A fault of the stream, on the bus; the flow return that ends the streaming. */
static GstFlowReturn qxw_dec_fail(QxwDec* self, qxw_status status) {
  self->failed = TRUE;
  const char* text = qxw_status_text(status);
  if (status == QXW_OUT_OF_MEMORY) {
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("%s", text), (NULL));
  } else if (status == QXW_NOT_QXW) {
    GST_ELEMENT_ERROR(self, STREAM, WRONG_TYPE, ("%s", text), (NULL));
  } else {
    GST_ELEMENT_ERROR(self, STREAM, DECODE, ("%s", text), (NULL));
  }
  return GST_FLOW_ERROR;
}

/* Once the header is in: the source caps from its format. */
static GstFlowReturn qxw_dec_set_format(QxwDec* self) {
  if (qxw_feed_decoder_format(self->feed, &self->format) != QXW_OK) return GST_FLOW_OK;
  if (self->format.sample_rate == 0 || self->format.sample_rate > QXW_RATE_MAX) {
    GST_ELEMENT_ERROR(
        self, STREAM, DECODE, (NULL),
        ("the file has a sample rate of %u Hz, which no player can use", self->format.sample_rate));
    return GST_FLOW_ERROR;
  }
  GstAudioInfo info;
  const guint32 channels = self->format.channel_count;
  GST_OBJECT_LOCK(self);
  self->known_format = TRUE;
  /* Seeks from the end count from here. */
  self->segment.duration = frames_to_time(self, self->format.frame_count);
  GST_OBJECT_UNLOCK(self);
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16LE, (gint)self->format.sample_rate,
                            (gint)channels, qxw_channel_positions(channels));
  GstCaps* caps = gst_audio_info_to_caps(&info);
  const gboolean ok = gst_pad_set_caps(self->srcpad, caps);
  gst_caps_unref(caps);
  self->have_format = TRUE;
  GstTagList* tags = gst_tag_list_new(GST_TAG_AUDIO_CODEC, "QXW", NULL);
  /* The average bitrate, where upstream knows the file's length. */
  gint64 bytes = 0;
  const GstClockTime duration = frames_to_time(self, self->format.frame_count);
  if (duration > 0 && gst_pad_peer_query_duration(self->sinkpad, GST_FORMAT_BYTES, &bytes) &&
      bytes > 0) {
    const guint64 bitrate = gst_util_uint64_scale((guint64)bytes, 8 * GST_SECOND, duration);
    if (bitrate <= G_MAXUINT) {
      gst_tag_list_add(tags, GST_TAG_MERGE_REPLACE, GST_TAG_BITRATE, (guint)bitrate, NULL);
    }
  }
  gst_pad_push_event(self->srcpad, gst_event_new_tag(tags));
  if (ok) return GST_FLOW_OK;
  /* Caps refused by a pad a seek is flushing are no fault: the decode starts again after it. */
  return GST_PAD_IS_FLUSHING(self->srcpad) ? GST_FLOW_FLUSHING : GST_FLOW_NOT_NEGOTIATED;
}

static void qxw_dec_push_segment(QxwDec* self) {
  if (!self->need_segment) return;
  self->need_segment = FALSE;
  GstEvent* event = gst_event_new_segment(&self->segment);
  if (self->seek_seqnum != GST_SEQNUM_INVALID) gst_event_set_seqnum(event, self->seek_seqnum);
  gst_pad_push_event(self->srcpad, event);
}

/* The segment's end is reached: upstream stops sending, with the end of the stream or, for a
   segment seek, its own segment-done, after which this element announces its own. */
static GstFlowReturn qxw_dec_reach_stop(QxwDec* self) {
  self->past_stop = TRUE;
  return GST_FLOW_EOS;
}

/* A segment seek's end, on the bus and downstream, so that a player can loop without a flush;
   false when the segment is not a segment seek's. */
static gboolean qxw_dec_announce_segment_done(QxwDec* self) {
  if (!(self->segment.flags & GST_SEGMENT_FLAG_SEGMENT)) return FALSE;
  if (self->segment_done) return TRUE;
  self->segment_done = TRUE;
  const gint64 stop = GST_CLOCK_TIME_IS_VALID(self->segment.stop)
                          ? (gint64)self->segment.stop
                          : (gint64)frames_to_time(self, self->format.frame_count);
  GstMessage* message = gst_message_new_segment_done(GST_OBJECT(self), GST_FORMAT_TIME, stop);
  GstEvent* event = gst_event_new_segment_done(GST_FORMAT_TIME, stop);
  if (self->seek_seqnum != GST_SEQNUM_INVALID) {
    gst_message_set_seqnum(message, self->seek_seqnum);
    gst_event_set_seqnum(event, self->seek_seqnum);
  }
  gst_element_post_message(GST_ELEMENT(self), message);
  gst_pad_push_event(self->srcpad, event);
  return TRUE;
}

/* Pushes the frames the bytes so far complete that lie inside the segment: those before a seek's
   target are dropped, and the last ends at the segment's stop. */
static GstFlowReturn qxw_dec_push_frames(QxwDec* self) {
  const gsize frame_bytes = 2 * (gsize)self->format.channel_count;
  const guint64 stop_frame =
      GST_CLOCK_TIME_IS_VALID(self->segment.stop)
          ? gst_util_uint64_scale_int_ceil(self->segment.stop, (gint)self->format.sample_rate,
                                           GST_SECOND)
          : G_MAXUINT64;
  while (!self->past_stop) {
    GstBuffer* buffer = gst_buffer_new_allocate(NULL, QXW_DEC_BLOCK_FRAMES * frame_bytes, NULL);
    if (buffer == NULL) return qxw_dec_fail(self, QXW_OUT_OF_MEMORY);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    size_t frames = 0;
    const qxw_status status =
        qxw_feed_decoder_pull(self->feed, (int16_t*)map.data, QXW_DEC_BLOCK_FRAMES, &frames);
#if G_BYTE_ORDER == G_BIG_ENDIAN
    for (gsize i = 0; i < frames * self->format.channel_count; ++i) {
      ((guint16*)map.data)[i] = GUINT16_TO_LE(((guint16*)map.data)[i]);
    }
#endif
    gst_buffer_unmap(buffer, &map);
    if (status != QXW_OK || frames == 0) {
      gst_buffer_unref(buffer);
      return status == QXW_OK ? GST_FLOW_OK : qxw_dec_fail(self, status);
    }
    const guint64 start = self->frame;
    self->frame += frames;
    const guint64 first = MAX(start, self->first_frame);
    const guint64 end = MIN(self->frame, stop_frame);
    if (first >= end) {
      gst_buffer_unref(buffer);
      if (self->frame >= stop_frame) return qxw_dec_reach_stop(self);
      continue;
    }
    gst_buffer_resize(buffer, (gssize)((first - start) * frame_bytes),
                      (gssize)((end - first) * frame_bytes));
    GST_BUFFER_OFFSET(buffer) = first;
    GST_BUFFER_OFFSET_END(buffer) = end;
    GST_BUFFER_PTS(buffer) = frames_to_time(self, first);
    GST_BUFFER_DURATION(buffer) = frames_to_time(self, end) - GST_BUFFER_PTS(buffer);
    qxw_dec_push_segment(self);
    const GstFlowReturn flow = gst_pad_push(self->srcpad, buffer);
    if (flow != GST_FLOW_OK) return flow;
    if (end == stop_frame) return qxw_dec_reach_stop(self);
  }
  return GST_FLOW_EOS;
}

static GstFlowReturn qxw_dec_chain(GstPad* pad, GstObject* parent, GstBuffer* buffer) {
  QxwDec* self = QXW_DEC(parent);
  (void)pad;
  if (self->failed) {
    gst_buffer_unref(buffer);
    return GST_FLOW_ERROR;
  }
  if (self->input_ended) {
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    gst_buffer_unref(buffer);
    return qxw_dec_fail(self, QXW_OUT_OF_MEMORY);
  }
  GstFlowReturn flow = GST_FLOW_OK;
  gsize at = 0;
  while (flow == GST_FLOW_OK && at < map.size) {
    size_t used = 0;
    const qxw_status status =
        qxw_feed_decoder_push(self->feed, map.data + at, map.size - at, &used);
    at += used;
    if (status == QXW_TRAILING_DATA) {
      GST_ELEMENT_WARNING(self, STREAM, DECODE, (NULL),
                          ("bytes follow the QXW data; they are not decoded"));
      self->input_ended = TRUE;
      at = map.size;
    } else if (status != QXW_OK) {
      flow = qxw_dec_fail(self, status);
      break;
    }
    if (!self->have_format) flow = qxw_dec_set_format(self);
    if (flow == GST_FLOW_OK && self->have_format) flow = qxw_dec_push_frames(self);
  }
  gst_buffer_unmap(buffer, &map);
  gst_buffer_unref(buffer);
  return flow;
}

/* The end of the input: the frames left, or the error of a stream cut short. */
static void qxw_dec_drain(QxwDec* self) {
  if (self->past_stop || self->failed) return;
  const qxw_status status = qxw_feed_decoder_finish(self->feed);
  if (status != QXW_OK) {
    qxw_dec_fail(self, status);
  } else if (self->have_format) {
    qxw_dec_push_frames(self);
  }
}

/* A seek's segment takes effect where upstream starts the file again: the frames before its
   target are dropped. The latest seek wins. */
static void qxw_dec_apply_seek(QxwDec* self) {
  GST_OBJECT_LOCK(self);
  if (self->seek_pending) {
    self->segment = self->seek_segment;
    self->seek_pending = FALSE;
    /* The first frame whose time is the segment's start or later. */
    self->first_frame =
        gst_util_uint64_scale_ceil(self->segment.start, self->format.sample_rate, GST_SECOND);
  }
  GST_OBJECT_UNLOCK(self);
}

static gboolean qxw_dec_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QxwDec* self = QXW_DEC(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: /* the source caps come from the header */
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_SEGMENT: {
      /* Upstream's is in bytes, ours in time. After a seek, upstream starts again at the file's
         first byte, flushing or not. */
      GST_OBJECT_LOCK(self);
      const gboolean applies = self->seek_pending;
      GST_OBJECT_UNLOCK(self);
      gst_event_unref(event);
      if (!applies) return TRUE;
      qxw_dec_apply_seek(self);
      return qxw_dec_restart(self);
    }
    case GST_EVENT_FLUSH_STOP:
      if (!qxw_dec_restart(self)) {
        gst_event_unref(event);
        return FALSE;
      }
      return gst_pad_push_event(self->srcpad, event);
    case GST_EVENT_SEGMENT_DONE: /* upstream's, in bytes, for a segment seek: ours follows */
      gst_event_unref(event);
      qxw_dec_drain(self);
      qxw_dec_announce_segment_done(self);
      return TRUE;
    case GST_EVENT_EOS:
      /* The end goes on downstream, after any error, so that the pipeline ends rather than
         waits; but a segment seek ends with its segment-done, whatever upstream does. */
      qxw_dec_drain(self);
      if (!self->failed && qxw_dec_announce_segment_done(self)) {
        gst_event_unref(event);
        return TRUE;
      }
      return gst_pad_push_event(self->srcpad, event);
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

/* A seek in time forward, flushing or not, from the start or the end, a segment seek too: the
   file again from its first byte, upstream, the frames before the target dropped. A seek that
   comes while another is under way replaces it. */
static gboolean qxw_dec_seek(QxwDec* self, GstEvent* event) {
  gdouble rate;
  GstFormat format;
  GstSeekFlags flags;
  GstSeekType start_type, stop_type;
  gint64 start, stop;
  gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start, &stop_type, &stop);
  GST_OBJECT_LOCK(self);
  const gboolean known = self->known_format;
  GST_OBJECT_UNLOCK(self);
  if (format != GST_FORMAT_TIME || rate <= 0 || !known) {
    GST_DEBUG_OBJECT(self, "refusing a seek that is not one forward in time");
    return FALSE;
  }
  const guint32 seqnum = gst_event_get_seqnum(event);
  GST_OBJECT_LOCK(self);
  GstSegment segment = self->seek_pending ? self->seek_segment : self->segment;
  gboolean update = FALSE;
  const gboolean valid = gst_segment_do_seek(&segment, rate, format, flags, start_type,
                                             (guint64)start, stop_type, (guint64)stop, &update);
  if (valid) {
    self->seek_segment = segment;
    self->seek_pending = TRUE;
    self->seek_seqnum = seqnum;
  }
  GST_OBJECT_UNLOCK(self);
  if (!valid) return FALSE;
  if (flags & GST_SEEK_FLAG_SEGMENT) {
    /* The bin passes a segment-done on once every element that started one has ended it. */
    GstMessage* message =
        gst_message_new_segment_start(GST_OBJECT(self), GST_FORMAT_TIME, (gint64)segment.start);
    gst_message_set_seqnum(message, seqnum);
    gst_element_post_message(GST_ELEMENT(self), message);
  }
  /* Upstream ends a segment seek with a segment-done of its own, not with the end of the stream,
     so that the next seek need not flush. */
  GstEvent* upstream = gst_event_new_seek(1.0, GST_FORMAT_BYTES,
                                          flags & (GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT),
                                          GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, -1);
  gst_event_set_seqnum(upstream, seqnum);
  const gboolean ok = gst_pad_push_event(self->sinkpad, upstream);
  if (!ok) {
    GST_OBJECT_LOCK(self);
    if (self->seek_seqnum == seqnum) self->seek_pending = FALSE;
    GST_OBJECT_UNLOCK(self);
  }
  return ok;
}

static gboolean qxw_dec_src_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QxwDec* self = QXW_DEC(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
    const gboolean ok = qxw_dec_seek(self, event);
    gst_event_unref(event);
    return ok;
  }
  return gst_pad_event_default(pad, parent, event);
}

static gboolean qxw_dec_src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  QxwDec* self = QXW_DEC(parent);
  GstFormat format;
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION:
      gst_query_parse_duration(query, &format, NULL);
      if (!self->known_format) break;
      if (format == GST_FORMAT_TIME) {
        gst_query_set_duration(query, format,
                               (gint64)frames_to_time(self, self->format.frame_count));
        return TRUE;
      }
      if (format == GST_FORMAT_DEFAULT) {
        gst_query_set_duration(query, format, self->format.frame_count);
        return TRUE;
      }
      break;
    case GST_QUERY_POSITION:
      gst_query_parse_position(query, &format, NULL);
      if (!self->known_format || format != GST_FORMAT_TIME) break;
      /* While a seek decodes up to its target, the target is where playback stands. */
      gst_query_set_position(query, format,
                             (gint64)frames_to_time(self, MAX(self->frame, self->first_frame)));
      return TRUE;
    case GST_QUERY_SEEKING: {
      gst_query_parse_seeking(query, &format, NULL, NULL, NULL);
      if (format != GST_FORMAT_TIME || !self->known_format) break;
      /* Seekable in time where upstream can go back to the first byte. */
      GstQuery* bytes = gst_query_new_seeking(GST_FORMAT_BYTES);
      gboolean seekable = FALSE;
      if (gst_pad_peer_query(self->sinkpad, bytes)) {
        gst_query_parse_seeking(bytes, NULL, &seekable, NULL, NULL);
      }
      gst_query_unref(bytes);
      gst_query_set_seeking(query, format, seekable, 0,
                            (gint64)frames_to_time(self, self->format.frame_count));
      return TRUE;
    }
    default:
      break;
  }
  return gst_pad_query_default(pad, parent, query);
}

static GstStateChangeReturn qxw_dec_change_state(GstElement* element, GstStateChange transition) {
  QxwDec* self = QXW_DEC(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    gst_segment_init(&self->segment, GST_FORMAT_TIME);
    self->first_frame = 0;
    self->seek_pending = FALSE;
    self->seek_seqnum = GST_SEQNUM_INVALID;
    self->format.sample_rate = 0;
    self->known_format = FALSE;
    if (!qxw_dec_restart(self)) return GST_STATE_CHANGE_FAILURE;
  }
  const GstStateChangeReturn result =
      GST_ELEMENT_CLASS(qxw_dec_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    qxw_feed_decoder_close(self->feed);
    self->feed = NULL;
    self->have_format = FALSE;
  }
  return result;
}

static void qxw_dec_finalize(GObject* object) {
  qxw_feed_decoder_close(QXW_DEC(object)->feed);
  G_OBJECT_CLASS(qxw_dec_parent_class)->finalize(object);
}

static void qxw_dec_class_init(QxwDecClass* klass) {
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  G_OBJECT_CLASS(klass)->finalize = qxw_dec_finalize;
  element_class->change_state = qxw_dec_change_state;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "QXW decoder", "Codec/Decoder/Audio",
      "Decodes QXW files (wav2qxw's compressed 16-bit sound) to interleaved 16-bit samples as "
      "their bytes arrive; seeks by decoding again from the start up to the target",
      "the wav2qxw authors");
  GST_DEBUG_CATEGORY_INIT(qxw_dec_debug, "qxwdec", 0, "QXW decoder");
}

static void qxw_dec_init(QxwDec* self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, qxw_dec_chain);
  gst_pad_set_event_function(self->sinkpad, qxw_dec_sink_event);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_set_event_function(self->srcpad, qxw_dec_src_event);
  gst_pad_set_query_function(self->srcpad, qxw_dec_src_query);
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
  gst_segment_init(&self->segment, GST_FORMAT_TIME);
  self->seek_seqnum = GST_SEQNUM_INVALID;
}
