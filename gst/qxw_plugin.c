/* The plugin: the QXW type finder and the two elements. */
#include <string.h>

#include <gst/gst.h>

#include "qxw/qxw.h"
#include "qxwdec.h"
#include "qxwenc.h"

#ifndef PACKAGE
#define PACKAGE "qxw"
#endif

static void qxw_type_find(GstTypeFind* find, gpointer caps) {
  const guint8* data = gst_type_find_peek(find, 0, QXW_MAGIC_SIZE);
  if (data != NULL && memcmp(data, QXW_MAGIC, QXW_MAGIC_SIZE) == 0) {
    gst_type_find_suggest(find, GST_TYPE_FIND_MAXIMUM, (GstCaps*)caps);
  }
}

static gboolean plugin_init(GstPlugin* plugin) {
  GstCaps* caps = gst_caps_new_empty_simple("audio/x-qxw");
  /* Primary: the magic is certain, so decodebin and playbin choose it by themselves. */
  gboolean ok = gst_type_find_register(plugin, "audio/x-qxw", GST_RANK_PRIMARY, qxw_type_find,
                                       "qxw", caps, caps, (GDestroyNotify)gst_caps_unref);
  ok = GST_ELEMENT_REGISTER(qxwdec, plugin) && ok;
  ok = GST_ELEMENT_REGISTER(qxwenc, plugin) && ok;
  return ok;
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, qxw,
                  "QXW compressed 16-bit sound: decoder, encoder and type finder", plugin_init,
                  QXW_PLUGIN_VERSION, "MIT/X11", "qxw", "man:wav2qxw(1)")
