/* qxwdec: QXW files in, raw 16-bit sound out. */
#ifndef QXW_GST_QXWDEC_H
#define QXW_GST_QXWDEC_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define QXW_TYPE_DEC (qxw_dec_get_type())
G_DECLARE_FINAL_TYPE(QxwDec, qxw_dec, QXW, DEC, GstElement)
GST_ELEMENT_REGISTER_DECLARE(qxwdec);

G_END_DECLS

#endif
