#include "tools/orvane-pad/PngWriter.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cstring>

namespace orvane::pad {

namespace {

void copyPlane(std::uint8_t* into, int intoStride, const std::vector<std::uint8_t>& from, int width, int height) {
  for (int row = 0; row < height; ++row) {
    std::memcpy(into + std::ptrdiff_t(row) * intoStride, from.data() + std::ptrdiff_t(row) * width, std::size_t(width));
  }
}

// The picture in GStreamer's I420 layout, whose strides are rounded up.
GstBuffer* toBuffer(const I420Image& image, GstVideoInfo& info) {
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    return nullptr;
  }
  const int cw = (image.width + 1) / 2, ch = (image.height + 1) / 2;
  copyPlane(map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 0), GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), image.y,
            image.width, image.height);
  copyPlane(map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 1), GST_VIDEO_INFO_PLANE_STRIDE(&info, 1), image.u, cw, ch);
  copyPlane(map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 2), GST_VIDEO_INFO_PLANE_STRIDE(&info, 2), image.v, cw, ch);
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

}  // namespace

std::optional<std::string> writePng(const I420Image& image, const std::string& path) {
  const int cw = (image.width + 1) / 2, ch = (image.height + 1) / 2;
  if (image.width <= 0 || image.height <= 0 || image.y.size() != std::size_t(image.width) * image.height ||
      image.u.size() != std::size_t(cw) * ch || image.v.size() != image.u.size()) {
    return "not a complete picture";
  }
  gst_init(nullptr, nullptr);
  GError* error = nullptr;
  GstElement* pipeline =
      gst_parse_launch("appsrc name=src format=time ! videoconvert ! pngenc ! filesink name=sink", &error);
  if (!pipeline) {
    std::string message = error ? error->message : "cannot build the PNG pipeline";
    g_clear_error(&error);
    return message;
  }
  g_clear_error(&error);  // a pipeline may come with a warning
  GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_object_set(sink, "location", path.c_str(), nullptr);

  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, guint(image.width), guint(image.height));
  info.fps_n = 0;
  info.fps_d = 1;
  GstCaps* caps = gst_video_info_to_caps(&info);
  gst_app_src_set_caps(GST_APP_SRC(src), caps);
  gst_caps_unref(caps);

  std::optional<std::string> failure;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    failure = "cannot start the PNG pipeline";
  } else if (GstBuffer* buffer = toBuffer(image, info)) {
    GST_BUFFER_PTS(buffer) = 0;
    gst_app_src_push_buffer(GST_APP_SRC(src), buffer);  // takes the buffer
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND,
                                                     GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (!message) {
      failure = "the PNG pipeline did not finish";
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
      GError* pipelineError = nullptr;
      gst_message_parse_error(message, &pipelineError, nullptr);
      failure = pipelineError ? pipelineError->message : "the PNG pipeline failed";
      g_clear_error(&pipelineError);
    }
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
  } else {
    failure = "cannot allocate the picture";
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return failure;
}

}  // namespace orvane::pad
