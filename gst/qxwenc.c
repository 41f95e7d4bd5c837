/* qxwenc: gathers the raw sound of a whole stream and writes it as one QXW file at its end, with
   the encoder of the C library: the bytes of wav2qxw for the same samples and settings. The
   format's bins and codes are fitted to every sample, so nothing can be written before the last
   one has arrived. */
#include "qxwenc.h"

#include <gst/audio/audio.h>

#include "qxw/qxw.h"

GST_DEBUG_CATEGORY_STATIC(qxw_enc_debug);
#define GST_CAT_DEFAULT qxw_enc_debug

#define QXW_ENC_DEFAULT_QUALITY 3

enum { PROP_0, PROP_QUALITY, PROP_BITS };

struct _QxwEnc {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;

  gint quality;
  gdouble bits; /* a size target in bits per sample; 0 for the quality level */
  GstAudioInfo info;
  gboolean have_info;
  GByteArray* samples; /* every sample so far, as the stream's little-endian bytes */
};

G_DEFINE_TYPE(QxwEnc, qxw_enc, GST_TYPE_ELEMENT);
GST_ELEMENT_REGISTER_DEFINE(qxwenc, "qxwenc", GST_RANK_SECONDARY, QXW_TYPE_ENC);

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) [ 1, MAX ], channels = (int) [ 1, 6 ]"));

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-qxw"));

/* The library writes the file here, in pieces, at the end of the stream. */
typedef struct {
  QxwEnc* self;
  GstFlowReturn flow;
  guint64 offset;
} QxwEncWriter;

static int qxw_enc_write(void* context, const void* data, size_t size) {
  QxwEncWriter* writer = context;
  GstBuffer* buffer = gst_buffer_new_memdup(data, size);
  GST_BUFFER_OFFSET(buffer) = writer->offset;
  writer->offset += size;
  GST_BUFFER_OFFSET_END(buffer) = writer->offset;
  writer->flow = gst_pad_push(writer->self->srcpad, buffer);
  return writer->flow == GST_FLOW_OK ? 0 : 1;
}

/* Encodes what was gathered and pushes the file; false after posting the error. */
static gboolean qxw_enc_write_file(QxwEnc* self) {
  const guint64 frame_bytes = 2 * (guint64)GST_AUDIO_INFO_CHANNELS(&self->info);
  const guint64 frames = self->samples->len / frame_bytes;
  /* A QXW file holds what a WAV file can: data below 4 GiB. */
  if (frames * frame_bytes + 44 > G_MAXUINT32) {
    GST_ELEMENT_ERROR(
        self, STREAM, ENCODE, (NULL),
        ("the sound is too long for one QXW file (%" G_GUINT64_FORMAT " frames)", frames));
    return FALSE;
  }
  GstCaps* caps = gst_caps_new_empty_simple("audio/x-qxw");
  gst_pad_set_caps(self->srcpad, caps);
  gst_caps_unref(caps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment));

  const qxw_format format = {(uint32_t)frames, (uint32_t)GST_AUDIO_INFO_CHANNELS(&self->info),
                             (uint32_t)GST_AUDIO_INFO_RATE(&self->info)};
  const qxw_encode_options options = {self->quality, self->bits, 0, 0};
  QxwEncWriter writer = {self, GST_FLOW_OK, 0};
  /* No seek and no rewind: the library holds the file and writes it whole. */
  qxw_encoder_callbacks callbacks = {0};
  callbacks.context = &writer;
  callbacks.write = qxw_enc_write;
  static const guint8 nothing = 0;
  const void* data = self->samples->len > 0 ? self->samples->data : &nothing;
  const qxw_status status = qxw_encode_stream(data, &format, &options, &callbacks, NULL);
  if (status == QXW_OK) return TRUE;
  if (status == QXW_WRITE_FAILED && writer.flow <= GST_FLOW_NOT_NEGOTIATED) {
    GST_ELEMENT_FLOW_ERROR(self, writer.flow);
  } else if (status != QXW_WRITE_FAILED) {
    GST_ELEMENT_ERROR(self, STREAM, ENCODE, (NULL), ("%s", qxw_status_text(status)));
  }
  return FALSE;
}

static GstFlowReturn qxw_enc_chain(GstPad* pad, GstObject* parent, GstBuffer* buffer) {
  QxwEnc* self = QXW_ENC(parent);
  (void)pad;
  if (!self->have_info) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("sound arrived before its format"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, RESOURCE, READ, (NULL), ("a buffer could not be read"));
    return GST_FLOW_ERROR;
  }
  /* Past 4 GiB no QXW file can hold the sound; stop gathering well before memory runs out. */
  const gboolean fits = (guint64)self->samples->len + map.size <= G_MAXUINT32;
  if (fits) g_byte_array_append(self->samples, map.data, (guint)map.size);
  gst_buffer_unmap(buffer, &map);
  gst_buffer_unref(buffer);
  if (!fits) {
    GST_ELEMENT_ERROR(self, STREAM, ENCODE, (NULL), ("the sound is too long for one QXW file"));
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

static gboolean qxw_enc_set_caps(QxwEnc* self, GstCaps* caps) {
  GstAudioInfo info;
  if (!gst_audio_info_from_caps(&info, caps)) return FALSE;
  /* One file has one format: a change once sound has arrived cannot be written. */
  if (self->have_info && self->samples->len > 0 && !gst_audio_info_is_equal(&info, &self->info)) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                      ("the sound's format changed inside the stream"));
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
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_FLUSH_STOP:
      g_byte_array_set_size(self->samples, 0);
      return gst_pad_event_default(pad, parent, event);
    case GST_EVENT_EOS:
      if (self->have_info && !qxw_enc_write_file(self)) {
        gst_event_unref(event);
        return FALSE;
      }
      g_byte_array_set_size(self->samples, 0);
      return gst_pad_push_event(self->srcpad, event);
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

static void qxw_enc_set_property(GObject* object, guint id, const GValue* value,
                                 GParamSpec* param) {
  QxwEnc* self = QXW_ENC(object);
  GST_OBJECT_LOCK(self);
  if (id == PROP_QUALITY) {
    self->quality = g_value_get_int(value);
  } else if (id == PROP_BITS) {
    self->bits = g_value_get_double(value);
  } else {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
  }
  GST_OBJECT_UNLOCK(self);
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
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && self->bits > 0 &&
      self->bits < QXW_BITS_MIN) {
    GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, (NULL),
                      ("bits is a size target of %d to %d bits per sample, or 0 for none",
                       QXW_BITS_MIN, QXW_BITS_MAX));
    return GST_STATE_CHANGE_FAILURE;
  }
  const GstStateChangeReturn result =
      GST_ELEMENT_CLASS(qxw_enc_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    g_byte_array_set_size(self->samples, 0);
    self->have_info = FALSE;
  }
  return result;
}

static void qxw_enc_finalize(GObject* object) {
  g_byte_array_unref(QXW_ENC(object)->samples);
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
                          "Aim at this many file bits per sample, 2 to 8, in place of the quality "
                          "(as wav2qxw /B#, decimals allowed); 0 is off",
                          0, QXW_BITS_MAX, 0, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "QXW encoder", "Codec/Encoder/Audio",
      "Encodes 16-bit sound as a QXW file with the bytes wav2qxw writes. The format fits its "
      "bins and codes to every sample, so the element holds the whole stream in memory and "
      "writes the file when the stream ends",
      "the wav2qxw authors");
  GST_DEBUG_CATEGORY_INIT(qxw_enc_debug, "qxwenc", 0, "QXW encoder");
}

static void qxw_enc_init(QxwEnc* self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, qxw_enc_chain);
  gst_pad_set_event_function(self->sinkpad, qxw_enc_sink_event);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
  self->quality = QXW_ENC_DEFAULT_QUALITY;
  self->samples = g_byte_array_new();
}
