/* qxwenc: gathers the raw sound of a whole stream and writes it as one QXW file at its end, with
   the encoder of the C library: the bytes of wav2qxw for the same samples and settings. The
   format's bins and codes are fitted to every sample, so no byte can be written before the last
   sample has arrived; a gap goes out at the start instead, so that downstream prerolls. */
#include "qxwenc.h"

#include <gst/audio/audio.h>

#include "qxw/qxw.h"
#include "qxw_channels.h"

GST_DEBUG_CATEGORY_STATIC(qxw_enc_debug);
#define GST_CAT_DEFAULT qxw_enc_debug

#define QXW_ENC_DEFAULT_QUALITY 3
/* The gathered sound grows by an eighth at a time, never less than this: no doubling. */
#define QXW_ENC_MIN_GROWTH (1u << 20)

enum { PROP_0, PROP_QUALITY, PROP_BITS };

struct _QxwEnc {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;

  gint quality;
  gdouble bits; /* a size target in bits per sample; 0 for the quality level */
  GstAudioInfo info;
  gboolean have_info;
  gboolean started; /* the source caps, segment and the opening gap are out */
  guint8* samples;  /* every sample so far, as the stream's little-endian bytes */
  gsize size;
  gsize capacity;
};

G_DEFINE_TYPE(QxwEnc, qxw_enc, GST_TYPE_ELEMENT);
GST_ELEMENT_REGISTER_DEFINE(qxwenc, "qxwenc", GST_RANK_SECONDARY, QXW_TYPE_ENC);

/* The sink pad's caps query narrows this to the layouts a file holds (qxw_channel_caps), which
   audioconvert then converts to; caps are accepted as this template takes them. */
static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) [ 1, MAX ], channels = (int) [ 1, 6 ]"));

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-qxw"));

static void qxw_enc_clear(QxwEnc* self) {
  g_free(self->samples);
  self->samples = NULL;
  self->size = self->capacity = 0;
}

/* Room for more bytes of sound; false when memory runs out. */
static gboolean qxw_enc_reserve(QxwEnc* self, gsize more) {
  if (self->capacity - self->size >= more) return TRUE;
  gsize capacity = self->capacity + MAX(self->capacity / 8, QXW_ENC_MIN_GROWTH);
  capacity = MAX(capacity, self->size + more);
  guint8* grown = g_try_realloc(self->samples, capacity);
  if (grown == NULL) return FALSE;
  self->samples = grown;
  self->capacity = capacity;
  return TRUE;
}

/* The source's caps and byte segment, and a gap: a sink downstream prerolls on it, so a
   pipeline that waits for every branch (a tee) goes on to play while the sound gathers. */
static void qxw_enc_start_output(QxwEnc* self) {
  if (self->started) return;
  self->started = TRUE;
  GstCaps* caps = gst_caps_new_empty_simple("audio/x-qxw");
  gst_pad_set_caps(self->srcpad, caps);
  gst_caps_unref(caps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment));
  gst_pad_push_event(self->srcpad, gst_event_new_gap(0, GST_CLOCK_TIME_NONE));
}

/* The library writes the file here, in pieces, at the end of the stream. */
typedef struct {
  QxwEnc* self;
  GstFlowReturn flow;
  guint64 offset;
} QxwEncWriter;

/* The held file comes whole: it goes out in buffers of this size, so that no second copy of it
   is made. */
#define QXW_ENC_BUFFER_BYTES (1u << 20)

static int qxw_enc_write(void* context, const void* data, size_t size) {
  QxwEncWriter* writer = context;
  for (size_t at = 0; at < size && writer->flow == GST_FLOW_OK;) {
    const size_t piece = MIN(size - at, QXW_ENC_BUFFER_BYTES);
    GstBuffer* buffer = gst_buffer_new_memdup((const guint8*)data + at, piece);
    at += piece;
    GST_BUFFER_OFFSET(buffer) = writer->offset;
    writer->offset += piece;
    GST_BUFFER_OFFSET_END(buffer) = writer->offset;
    writer->flow = gst_pad_push(writer->self->srcpad, buffer);
  }
  return writer->flow == GST_FLOW_OK ? 0 : 1;
}

/* Encodes what was gathered and pushes the file, posting any error. Downstream that wants no
   more (end of stream, a flush) is not an error. */
static void qxw_enc_write_file(QxwEnc* self) {
  const guint64 frame_bytes = 2 * (guint64)GST_AUDIO_INFO_CHANNELS(&self->info);
  const guint64 frames = self->size / frame_bytes;
  qxw_enc_start_output(self);
  GST_OBJECT_LOCK(self);
  const qxw_encode_options options = {self->quality, self->bits, 0, 0};
  GST_OBJECT_UNLOCK(self);
  const qxw_format format = {(uint32_t)frames, (uint32_t)GST_AUDIO_INFO_CHANNELS(&self->info),
                             (uint32_t)GST_AUDIO_INFO_RATE(&self->info)};
  QxwEncWriter writer = {self, GST_FLOW_OK, 0};
  /* No seek and no rewind: the library holds the file and writes it whole. */
  qxw_encoder_callbacks callbacks = {0};
  callbacks.context = &writer;
  callbacks.write = qxw_enc_write;
  static const guint8 nothing = 0;
  const void* data = self->size > 0 ? self->samples : &nothing;
  const qxw_status status = qxw_encode_stream(data, &format, &options, &callbacks, NULL);
  if (status == QXW_OK) return;
  if (status == QXW_WRITE_FAILED) {
    if (writer.flow <= GST_FLOW_NOT_NEGOTIATED) GST_ELEMENT_FLOW_ERROR(self, writer.flow);
  } else if (status == QXW_OUT_OF_MEMORY) {
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("out of memory"),
                      ("%" G_GSIZE_FORMAT " bytes of sound could not be encoded", self->size));
  } else {
    GST_ELEMENT_ERROR(self, STREAM, ENCODE, (NULL), ("%s", qxw_status_text(status)));
  }
}

static GstFlowReturn qxw_enc_chain(GstPad* pad, GstObject* parent, GstBuffer* buffer) {
  QxwEnc* self = QXW_ENC(parent);
  (void)pad;
  if (!self->have_info) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("sound arrived before its format"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  qxw_enc_start_output(self);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, RESOURCE, READ, (NULL), ("a buffer could not be read"));
    return GST_FLOW_ERROR;
  }
  /* A QXW file holds what a WAV file can: data below 4 GiB. */
  const gboolean fits = (guint64)self->size + map.size + 44 <= G_MAXUINT32;
  const gboolean room = fits && qxw_enc_reserve(self, map.size);
  if (room) {
    memcpy(self->samples + self->size, map.data, map.size);
    self->size += map.size;
  }
  gst_buffer_unmap(buffer, &map);
  gst_buffer_unref(buffer);
  if (!fits) {
    GST_ELEMENT_ERROR(self, STREAM, ENCODE, (NULL), ("the sound is too long for one QXW file"));
    return GST_FLOW_ERROR;
  }
  if (!room) {
    GST_ELEMENT_ERROR(
        self, RESOURCE, FAILED, ("out of memory"),
        ("%" G_GSIZE_FORMAT " bytes of sound gathered; no room for more", self->size));
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

/* Whether the file holds the stream's channels where the stream has them. */
static gboolean qxw_enc_holds_layout(const GstAudioInfo* info) {
  const gint channels = GST_AUDIO_INFO_CHANNELS(info);
  if (GST_AUDIO_INFO_IS_UNPOSITIONED(info)) return TRUE;
  if (channels == 1) {
    const GstAudioChannelPosition only = GST_AUDIO_INFO_POSITION(info, 0);
    return only == GST_AUDIO_CHANNEL_POSITION_MONO ||
           only == GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER;
  }
  const GstAudioChannelPosition* held = qxw_channel_positions((guint)channels);
  for (gint c = 0; c < channels; ++c) {
    if (GST_AUDIO_INFO_POSITION(info, c) != held[c]) return FALSE;
  }
  return TRUE;
}

/* Says which layout a file holds, as an error or as a warning beside another element's. */
static void qxw_enc_refuse_layout(QxwEnc* self, const GstAudioInfo* info, gboolean error) {
  const gint channels = GST_AUDIO_INFO_CHANNELS(info);
  gchar* text = g_strdup_printf(
      "A QXW file holds %d channels as %s, as a WAV file without a channel mask does; this "
      "stream has them elsewhere (audioconvert before qxwenc moves them)",
      channels, qxw_channel_layout_name((guint)channels));
  if (error) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("%s", text), (NULL));
  } else {
    GST_ELEMENT_WARNING(self, STREAM, FORMAT, ("%s", text), (NULL));
  }
  g_free(text);
}

static gboolean qxw_enc_set_caps(QxwEnc* self, GstCaps* caps) {
  GstAudioInfo info;
  if (!gst_audio_info_from_caps(&info, caps)) return FALSE;
  if (!qxw_enc_holds_layout(&info)) {
    qxw_enc_refuse_layout(self, &info, TRUE);
    return FALSE;
  }
  /* One file has one format: the sound before a change is written as a complete file first. */
  if (self->have_info && self->size > 0 && !gst_audio_info_is_equal(&info, &self->info)) {
    qxw_enc_write_file(self);
    qxw_enc_clear(self);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                      ("the sound's format changed inside the stream; the sound before the "
                       "change was written as a complete file"));
    return FALSE;
  }
  self->info = info;
  self->have_info = TRUE;
  return TRUE;
}

static gboolean qxw_enc_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QxwEnc* self = QXW_ENC(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps* caps;
      gst_event_parse_caps(event, &caps);
      const gboolean ok = qxw_enc_set_caps(self, caps);
      gst_event_unref(event);
      return ok;
    }
    case GST_EVENT_SEGMENT: /* the file's own byte segment goes out with it */
    case GST_EVENT_GAP:     /* silence still to come is gathered, not skipped */
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_FLUSH_STOP:
      qxw_enc_clear(self);
      self->started = FALSE;
      return gst_pad_event_default(pad, parent, event);
    case GST_EVENT_EOS:
      /* The end goes on whatever became of the file, so that the pipeline ends. */
      if (self->have_info) qxw_enc_write_file(self);
      qxw_enc_clear(self);
      return gst_pad_push_event(self->srcpad, event);
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

/* Only the layouts a file holds. A fixed layout it cannot hold gets a line that says why, beside
   the negotiation's error. */
static gboolean qxw_enc_sink_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return gst_pad_query_default(pad, parent, query);
  GstCaps* filter;
  gst_query_parse_caps(query, &filter);
  GstCaps* caps = qxw_channel_caps();
  if (filter != NULL) {
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
    GstAudioInfo info;
    if (gst_caps_is_empty(caps) && gst_caps_is_fixed(filter) &&
        gst_audio_info_from_caps(&info, filter) && GST_AUDIO_INFO_CHANNELS(&info) >= 1 &&
        GST_AUDIO_INFO_CHANNELS(&info) <= QXW_CHANNELS_MAX && !qxw_enc_holds_layout(&info)) {
      qxw_enc_refuse_layout(QXW_ENC(parent), &info, FALSE);
    }
  }
  gst_query_set_caps_result(query, caps);
  gst_caps_unref(caps);
  return TRUE;
}

static void qxw_enc_set_property(GObject* object, guint id, const GValue* value,
                                 GParamSpec* param) {
  QxwEnc* self = QXW_ENC(object);
  if (id == PROP_QUALITY) {
    GST_OBJECT_LOCK(self);
    self->quality = g_value_get_int(value);
    GST_OBJECT_UNLOCK(self);
  } else if (id == PROP_BITS) {
    const gdouble bits = g_value_get_double(value);
    /* Between off and the smallest target there is nothing the encoder takes: refused here, so
       that a setting made while the sound flows can never spoil the file at its end. */
    if (bits > 0 && bits < QXW_BITS_MIN) {
      g_warning("qxwenc: bits is 0 (off) or a size target of %d to %d; %g is refused", QXW_BITS_MIN,
                QXW_BITS_MAX, bits);
      return;
    }
    GST_OBJECT_LOCK(self);
    self->bits = bits;
    GST_OBJECT_UNLOCK(self);
  } else {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
  }
}

static void qxw_enc_get_property(GObject* object, guint id, GValue* value, GParamSpec* param) {
  QxwEnc* self = QXW_ENC(object);
  GST_OBJECT_LOCK(self);
  if (id == PROP_QUALITY) {
    g_value_set_int(value, self->quality);
  } else if (id == PROP_BITS) {
    g_value_set_double(value, self->bits);
  } else {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
  }
  GST_OBJECT_UNLOCK(self);
}

static GstStateChangeReturn qxw_enc_change_state(GstElement* element, GstStateChange transition) {
  QxwEnc* self = QXW_ENC(element);
  const GstStateChangeReturn result =
      GST_ELEMENT_CLASS(qxw_enc_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    qxw_enc_clear(self);
    self->have_info = FALSE;
    self->started = FALSE;
  }
  return result;
}

static void qxw_enc_finalize(GObject* object) {
  qxw_enc_clear(QXW_ENC(object));
  G_OBJECT_CLASS(qxw_enc_parent_class)->finalize(object);
}

static void qxw_enc_class_init(QxwEncClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  object_class->set_property = qxw_enc_set_property;
  object_class->get_property = qxw_enc_get_property;
  object_class->finalize = qxw_enc_finalize;
  element_class->change_state = qxw_enc_change_state;
  g_object_class_install_property(
      object_class, PROP_QUALITY,
      g_param_spec_int("quality", "Quality",
                       "0 (smallest) to 8 trade exactness for size; 9 keeps every sample "
                       "(as wav2qxw /Q#)",
                       0, QXW_QUALITY_MAX, QXW_ENC_DEFAULT_QUALITY,
                       G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  g_object_class_install_property(
      object_class, PROP_BITS,
      g_param_spec_double("bits", "Size target",
                          "0 (off), or a size target of 2 to 8 file bits per sample in place of "
                          "the quality (as wav2qxw /B#, decimals allowed); a value between 0 and "
                          "2 is refused",
                          0, QXW_BITS_MAX, 0, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "QXW encoder", "Codec/Encoder/Audio",
      "Encodes 16-bit sound as a QXW file with the bytes wav2qxw writes. The format fits its "
      "bins and codes to every sample, so the element holds the whole stream in memory (its "
      "size as a WAV file, an eighth more while it grows) and writes the file when the stream "
      "ends",
      "the wav2qxw authors");
  GST_DEBUG_CATEGORY_INIT(qxw_enc_debug, "qxwenc", 0, "QXW encoder");
}

static void qxw_enc_init(QxwEnc* self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, qxw_enc_chain);
  gst_pad_set_event_function(self->sinkpad, qxw_enc_sink_event);
  gst_pad_set_query_function(self->sinkpad, qxw_enc_sink_query);
  /* Any layout is let in, to be refused with a line that says why where the file cannot hold
     it; the caps query offers only those it holds. */
  GST_PAD_SET_ACCEPT_TEMPLATE(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
  self->quality = QXW_ENC_DEFAULT_QUALITY;
}
