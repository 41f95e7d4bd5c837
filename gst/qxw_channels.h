/* The channels a QXW file holds: a WAV file's, in its order, without a mask. */
#ifndef QXW_GST_QXW_CHANNELS_H
#define QXW_GST_QXW_CHANNELS_H

#include <gst/audio/audio.h>

G_BEGIN_DECLS

/* The positions of 1 to 6 channels in a QXW file; they are in GStreamer's own order for their
   mask, so a stream either has them as they are or cannot be held. */
const GstAudioChannelPosition* qxw_channel_positions(guint channels);
/* Those positions in words, for a message. */
const char* qxw_channel_layout_name(guint channels);
/* The caps of 16-bit interleaved sound in those positions, 1 to 6 channels. */
GstCaps* qxw_channel_caps(void);

G_END_DECLS

#endif
