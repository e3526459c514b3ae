#pragma once

#include <gst/gst.h>

#include <memory>

namespace orvane::rtc {

struct GstObjectUnref {
  void operator()(gpointer object) const {
    if (object) gst_object_unref(object);
  }
};
template <typename T>
using GstPtr = std::unique_ptr<T, GstObjectUnref>;

struct GstCapsUnref {
  void operator()(GstCaps* caps) const {
    if (caps) gst_caps_unref(caps);
  }
};
using GstCapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;

// Signal and callback user data that keeps `T` alive for as long as GLib may
// still call with it: the closure's destroy notify releases it.
template <typename T>
gpointer heldData(std::shared_ptr<T> target) {
  return new std::shared_ptr<T>(std::move(target));
}
template <typename T>
void releaseHeld(gpointer data, GClosure* = nullptr) {
  delete static_cast<std::shared_ptr<T>*>(data);
}
template <typename T>
T& held(gpointer data) {
  return **static_cast<std::shared_ptr<T>*>(data);
}

template <typename T>
gulong connectHeld(gpointer instance, const char* signal, GCallback callback, std::shared_ptr<T> target) {
  return g_signal_connect_data(instance, signal, callback, heldData(std::move(target)), &releaseHeld<T>,
                               GConnectFlags(0));
}

}  // namespace orvane::rtc
