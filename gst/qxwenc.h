/* qxwenc: raw 16-bit sound in, one QXW file out at the end of the stream. */
#ifndef QXW_GST_QXWENC_H
#define QXW_GST_QXWENC_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define QXW_TYPE_ENC (qxw_enc_get_type())
G_DECLARE_FINAL_TYPE(QxwEnc, qxw_enc, QXW, ENC, GstElement)
GST_ELEMENT_REGISTER_DECLARE(qxwenc);

G_END_DECLS

#endif
