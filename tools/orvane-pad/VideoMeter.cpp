#include "tools/orvane-pad/VideoMeter.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace orvane::pad {

namespace {

void copyPlane(std::vector<std::uint8_t>& into, const std::uint8_t* from, int stride, int width, int height) {
  into.resize(std::size_t(width) * height);
  for (int row = 0; row < height; ++row) {
    std::copy_n(from + std::ptrdiff_t(row) * stride, width, into.begin() + std::ptrdiff_t(row) * width);
  }
}

}  // namespace

void VideoMeter::wantSnapshot(std::function<void(I420Image)> onSnapshot) {
  std::lock_guard lock(mutex_);
  onSnapshot_ = std::move(onSnapshot);
}

void VideoMeter::onFrame(const rtc::VideoFrame& frame) {
  std::function<void(I420Image)> snapshot;
  {
    std::lock_guard lock(mutex_);
    ++frames_;
    seen_ = true;
    width_ = frame.width;
    height_ = frame.height;
    snapshot = std::exchange(onSnapshot_, nullptr);
  }
  if (!snapshot || frame.format != rtc::VideoFrame::Format::i420 || frame.width <= 0 || frame.height <= 0) return;
  I420Image image;
  image.width = frame.width;
  image.height = frame.height;
  const int chromaWidth = (frame.width + 1) / 2, chromaHeight = (frame.height + 1) / 2;
  copyPlane(image.y, frame.planes[0], frame.strides[0], frame.width, frame.height);
  copyPlane(image.u, frame.planes[1], frame.strides[1], chromaWidth, chromaHeight);
  copyPlane(image.v, frame.planes[2], frame.strides[2], chromaWidth, chromaHeight);
  snapshot(std::move(image));
}

VideoMeter::Sample VideoMeter::take() {
  std::lock_guard lock(mutex_);
  Sample sample{frames_, width_, height_};
  frames_ = 0;
  return sample;
}

bool VideoMeter::anyFrame() {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::string videoReport(double fps, int width, int height, double kbps) {
  char line[96];
  std::snprintf(line, sizeof line, "video: fps=%.1f size=%dx%d kbps=%.0f", fps, width, height, std::max(0.0, kbps));
  return line;
}

}  // namespace orvane::pad
