#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneMac/platform/CaptureStream.h"
#include "OrvaneMac/platform/ShareableContent.h"

namespace orvane {

class SimCapture;

// One stream made by SimCapture. It delivers frames only when the test asks
// (deliverFrame, on the calling thread, which plays the capture thread), so a
// stream nobody feeds is a stream that never produces a frame.
class SimCaptureStream final : public CaptureStream {
 public:
  ~SimCaptureStream() override { *alive_ = false; }

  // Each call the stream received, in order: "addStreamOutput",
  // "startCapture", "stopCapture", "updateConfiguration", "updateContentFilter".
  std::vector<std::string> calls;
  ContentFilter filter;
  StreamConfiguration configuration;
  bool running = false;
  std::vector<std::string> outputQueueLabels;

  // Hands `sample` to the outputs registered for `type` while the stream runs;
  // returns how many outputs received it.
  int deliverFrame(const CaptureSample& sample, StreamOutputType type = StreamOutputType::screen);
  // A BGRA picture of the configured size with the given time stamp.
  int deliverFrame(double presentationTimeSeconds);
  // The system stopping the stream: the delegate hears it on the main loop.
  void stopWithError(std::string description);

  // --- CaptureStream
  void addStreamOutput(std::shared_ptr<CaptureStreamOutput> output, StreamOutputType type,
                       std::string queueLabel) override;
  Task<void> startCapture() override;
  Task<void> stopCapture() override;
  Task<void> updateConfiguration(StreamConfiguration configuration) override;
  Task<void> updateContentFilter(ContentFilter filter) override;

 private:
  friend class SimCapture;
  SimCaptureStream(SimCapture& owner, ContentFilter filter, StreamConfiguration configuration,
                   std::weak_ptr<CaptureStreamDelegate> delegate);
  Task<void> complete(std::string call);

  struct Registered {
    std::shared_ptr<CaptureStreamOutput> output;
    StreamOutputType type;
  };

  SimCapture& owner_;
  std::weak_ptr<CaptureStreamDelegate> delegate_;
  std::vector<Registered> outputs_;
  std::shared_ptr<std::vector<std::uint8_t>> pixels_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The capture services in memory: shareable content the test edits, and a
// stream factory whose streams the test feeds or fails. Asynchronous calls
// complete on the executor's next turn, as the system's completion handlers
// would.
class SimCapture final : public ShareableContentSource, public CaptureStreamFactory {
 public:
  explicit SimCapture(Executor& mainQueue) : queue_(mainQueue) {}

  // --- The content (front window first, main display first)
  ShareableContent content;
  // Set: every content query fails with this description (permission refused).
  std::optional<std::string> contentFailure;
  // The options of every content query so far: (excludingDesktopWindows, onScreenWindowsOnly).
  std::vector<std::pair<bool, bool>> contentQueries;

  // Adds a display; the first one added is the main display.
  ShareableDisplay& addDisplay(std::int32_t width, std::int32_t height);
  // Adds an ordinary window of a new or known application behind all others.
  ShareableWindow& addWindow(std::uint32_t windowID, ShareableApplication app, Rect frame,
                             std::optional<std::string> title = std::nullopt);

  // --- Failures of the stream calls (descriptions), for every stream from now on
  std::optional<std::string> addOutputFailure;
  std::optional<std::string> startFailure;
  std::optional<std::string> stopFailure;
  std::optional<std::string> updateFailure;

  // Every stream made so far, oldest first; latest() is the newest or null.
  const std::vector<std::shared_ptr<SimCaptureStream>>& streams() const { return streams_; }
  SimCaptureStream* latest() const { return streams_.empty() ? nullptr : streams_.back().get(); }

  // --- ShareableContentSource
  Task<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;

  // --- CaptureStreamFactory
  std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                            std::weak_ptr<CaptureStreamDelegate> delegate) override;

 private:
  friend class SimCaptureStream;
  // Resumes the awaiting task on the executor's next turn.
  Task<void> nextTurn();

  Executor& queue_;
  std::vector<std::shared_ptr<SimCaptureStream>> streams_;
};

}  // namespace orvane
