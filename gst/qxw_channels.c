#include "qxw_channels.h"

#include "qxw/qxw.h"

static const GstAudioChannelPosition qxw_positions[QXW_CHANNELS_MAX][QXW_CHANNELS_MAX] = {
    {GST_AUDIO_CHANNEL_POSITION_MONO},
    {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT},
    {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT,
     GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER},
    {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT,
     GST_AUDIO_CHANNEL_POSITION_REAR_LEFT, GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT},
    {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT,
     GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER, GST_AUDIO_CHANNEL_POSITION_REAR_LEFT,
     GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT},
    {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT,
     GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER, GST_AUDIO_CHANNEL_POSITION_LFE1,
     GST_AUDIO_CHANNEL_POSITION_REAR_LEFT, GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT},
};

const GstAudioChannelPosition* qxw_channel_positions(guint channels) {
  return channels >= 1 && channels <= QXW_CHANNELS_MAX ? qxw_positions[channels - 1] : NULL;
}

const char* qxw_channel_layout_name(guint channels) {
  static const char* const names[QXW_CHANNELS_MAX] = {
      "mono",
      "front left and right",
      "front left, right and centre",
      "front left and right, rear left and right",
      "front left, right and centre, rear left and right",
      "front left, right and centre, LFE, rear left and right"};
  return channels >= 1 && channels <= QXW_CHANNELS_MAX ? names[channels - 1] : "none";
}

GstCaps* qxw_channel_caps(void) {
  GstCaps* caps = gst_caps_new_empty();
  for (guint channels = 1; channels <= QXW_CHANNELS_MAX; ++channels) {
    GstAudioInfo info;
    gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16LE, 44100, (gint)channels,
                              qxw_channel_positions(channels));
    GstCaps* one = gst_audio_info_to_caps(&info);
    /* Any rate the header can hold. */
    gst_caps_set_simple(one, "rate", GST_TYPE_INT_RANGE, 1, G_MAXINT, NULL);
    gst_caps_append(caps, one);
  }
  return caps;
}
