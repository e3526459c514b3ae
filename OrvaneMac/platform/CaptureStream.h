#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneMac/platform/ShareableContent.h"

namespace orvane {

// kCVPixelFormatType_32BGRA: the four characters 'BGRA'.
inline constexpr std::uint32_t kCVPixelFormatType_32BGRA = 0x42475241;

// SCStreamConfiguration, as far as the host sets it.
struct StreamConfiguration {
  std::int32_t width = 1920;   // pixels
  std::int32_t height = 1080;  // pixels
  Seconds minimumFrameInterval{0};
  std::int32_t queueDepth = 3;
  std::uint32_t pixelFormat = kCVPixelFormatType_32BGRA;
  bool showsCursor = true;  // the system's default
  bool operator==(const StreamConfiguration&) const = default;
};

// SCContentFilter(display:excludingApplications:exceptingWindows:) with no
// applications excluded and no windows excepted: the whole display.
struct ContentFilter {
  ShareableDisplay display;
  bool operator==(const ContentFilter&) const = default;
};

// SCStreamOutputType.
enum class StreamOutputType { screen, audio };

// A captured picture in the configured pixel format (one BGRA plane). The
// pixels are viewed, not owned: `owner` keeps them alive, so the picture can
// be handed on without a copy.
struct CapturedImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  const std::uint8_t* data = nullptr;
  std::int32_t bytesPerRow = 0;
  std::shared_ptr<const void> owner;
};

// CMSampleBuffer: the image buffer (none for status-only buffers) and the
// presentation time stamp in seconds as CMTimeGetSeconds gives it, which
// may be NaN or infinite.
struct CaptureSample {
  std::optional<CapturedImage> imageBuffer;
  double presentationTimeSeconds = 0;
};

// SCStreamOutput: called on the stream's capture thread.
class CaptureStreamOutput {
 public:
  virtual ~CaptureStreamOutput() = default;
  virtual void didOutputSampleBuffer(const CaptureSample& sample, StreamOutputType type) = 0;
};

class CaptureStream;

// SCStreamDelegate: called on the main loop.
class CaptureStreamDelegate {
 public:
  virtual ~CaptureStreamDelegate() = default;
  virtual void didStopWithError(CaptureStream& stream, const std::string& description) = 0;
};

// SCStream. Asynchronous calls complete on the main loop and throw
// CaptureServiceError on failure. Destroying the stream stops it: once the
// destructor has returned no output or delegate call runs or will start.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // addStreamOutput(_:type:sampleHandlerQueue:) with a serial queue named
  // `queueLabel`. Throws CaptureServiceError when the output is refused.
  virtual void addStreamOutput(std::shared_ptr<CaptureStreamOutput> output, StreamOutputType type,
                               std::string queueLabel) = 0;
  virtual Task<void> startCapture() = 0;
  virtual Task<void> stopCapture() = 0;
  virtual Task<void> updateConfiguration(StreamConfiguration configuration) = 0;
  virtual Task<void> updateContentFilter(ContentFilter filter) = 0;
};

// SCStream(filter:configuration:delegate:). The delegate is held weakly.
class CaptureStreamFactory {
 public:
  virtual ~CaptureStreamFactory() = default;
  virtual std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                                    std::weak_ptr<CaptureStreamDelegate> delegate) = 0;
};

}  // namespace orvane
