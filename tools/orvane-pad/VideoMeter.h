#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaneCore/peer/RtcEngine.h"

namespace orvane::pad {

// One decoded picture, its planes packed (strides = plane widths).
struct I420Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> y, u, v;
};

// The pad's view of the incoming video: frames decoded since the last
// report, the latest size, and one copied picture when asked for.
// onFrame() runs on the decoder's thread; the rest on the main executor.
class VideoMeter final : public rtc::VideoSink {
 public:
  struct Sample {
    int frames = 0;
    int width = 0;
    int height = 0;
  };

  // Called once, on the decoder's thread, with the first frame decoded
  // after wantSnapshot(); it should only hand the picture on.
  void wantSnapshot(std::function<void(I420Image)> onSnapshot);
  void onFrame(const rtc::VideoFrame& frame) override;
  // What was decoded since the previous call.
  Sample take();
  bool anyFrame();

 private:
  std::mutex mutex_;
  int frames_ = 0;
  int width_ = 0;
  int height_ = 0;
  bool seen_ = false;
  std::function<void(I420Image)> onSnapshot_;
};

// The once-a-second report: "video: fps=29.9 size=1920x1080 kbps=8123".
std::string videoReport(double fps, int width, int height, double kbps);

}  // namespace orvane::pad
