#include "OrvaneMac/platform/sim/SimCapture.h"

#include <algorithm>
#include <vector>

namespace orvane {

SimCaptureStream::SimCaptureStream(SimCapture& owner, ContentFilter filter, StreamConfiguration configuration,
                                   std::weak_ptr<CaptureStreamDelegate> delegate)
    : filter(std::move(filter)), configuration(configuration), owner_(owner), delegate_(std::move(delegate)) {}

int SimCaptureStream::deliverFrame(const CaptureSample& sample, StreamOutputType type) {
  if (!running) return 0;
  int delivered = 0;
  for (const auto& registered : outputs_) {
    if (registered.type != type) continue;
    registered.output->didOutputSampleBuffer(sample, type);
    ++delivered;
  }
  return delivered;
}

int SimCaptureStream::deliverFrame(double presentationTimeSeconds) {
  const std::int32_t width = std::max(configuration.width, 1);
  const std::int32_t height = std::max(configuration.height, 1);
  const auto bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  // One grey picture per size, shared by the frames, as a real stream reuses its buffer pool.
  if (!pixels_ || pixels_->size() != bytes) pixels_ = std::make_shared<std::vector<std::uint8_t>>(bytes, 0x80);
  const auto& pixels = pixels_;
  CapturedImage image;
  image.width = width;
  image.height = height;
  image.data = pixels->data();
  image.bytesPerRow = width * 4;
  image.owner = pixels;
  CaptureSample sample;
  sample.imageBuffer = std::move(image);
  sample.presentationTimeSeconds = presentationTimeSeconds;
  return deliverFrame(sample);
}

void SimCaptureStream::stopWithError(std::string description) {
  running = false;
  owner_.queue_.post([this, alive = alive_, description = std::move(description)] {
    if (!*alive) return;
    if (auto delegate = delegate_.lock()) delegate->didStopWithError(*this, description);
  });
}

void SimCaptureStream::addStreamOutput(std::shared_ptr<CaptureStreamOutput> output, StreamOutputType type,
                                       std::string queueLabel) {
  calls.emplace_back("addStreamOutput");
  if (owner_.addOutputFailure) throw CaptureServiceError(*owner_.addOutputFailure);
  outputs_.push_back(Registered{std::move(output), type});
  outputQueueLabels.push_back(std::move(queueLabel));
}

Task<void> SimCaptureStream::complete(std::string call) {
  calls.push_back(std::move(call));
  co_await owner_.nextTurn();
}

Task<void> SimCaptureStream::startCapture() {
  co_await complete("startCapture");
  if (owner_.startFailure) throw CaptureServiceError(*owner_.startFailure);
  running = true;
}

Task<void> SimCaptureStream::stopCapture() {
  co_await complete("stopCapture");
  if (owner_.stopFailure) throw CaptureServiceError(*owner_.stopFailure);
  running = false;
}

Task<void> SimCaptureStream::updateConfiguration(StreamConfiguration newConfiguration) {
  co_await complete("updateConfiguration");
  if (owner_.updateFailure) throw CaptureServiceError(*owner_.updateFailure);
  configuration = newConfiguration;
}

Task<void> SimCaptureStream::updateContentFilter(ContentFilter newFilter) {
  co_await complete("updateContentFilter");
  if (owner_.updateFailure) throw CaptureServiceError(*owner_.updateFailure);
  filter = std::move(newFilter);
}

ShareableDisplay& SimCapture::addDisplay(std::int32_t width, std::int32_t height) {
  ShareableDisplay display;
  display.displayID = static_cast<std::uint32_t>(content.displays.size() + 1);
  display.width = width;
  display.height = height;
  // Further displays sit to the right of the ones before.
  double x = 0;
  for (const auto& d : content.displays) x = std::max(x, d.frame.maxX());
  display.frame = Rect(x, 0, width, height);
  content.displays.push_back(display);
  return content.displays.back();
}

ShareableWindow& SimCapture::addWindow(std::uint32_t windowID, ShareableApplication app, Rect frame,
                                       std::optional<std::string> title) {
  ShareableWindow window;
  window.windowID = windowID;
  window.frame = frame;
  window.title = std::move(title);
  window.owningApplication = std::move(app);
  content.windows.push_back(std::move(window));
  return content.windows.back();
}

Task<void> SimCapture::nextTurn() {
  auto shot = makeOneShot<bool>();
  queue_.post([resolver = shot.first] { resolver.resolve(true); });
  co_await shot.second;
}

Task<ShareableContent> SimCapture::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  contentQueries.emplace_back(excludingDesktopWindows, onScreenWindowsOnly);
  co_await nextTurn();
  if (contentFailure) throw CaptureServiceError(*contentFailure);
  ShareableContent result = content;
  if (onScreenWindowsOnly) std::erase_if(result.windows, [](const ShareableWindow& w) { return !w.isOnScreen; });
  co_return result;
}

std::shared_ptr<CaptureStream> SimCapture::makeStream(ContentFilter filter, StreamConfiguration configuration,
                                                      std::weak_ptr<CaptureStreamDelegate> delegate) {
  std::shared_ptr<SimCaptureStream> stream(
      new SimCaptureStream(*this, std::move(filter), configuration, std::move(delegate)));
  streams_.push_back(stream);
  return stream;
}

}  // namespace orvane
