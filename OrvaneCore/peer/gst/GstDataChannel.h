#pragma once

#include <gst/webrtc/webrtc.h>

#include <memory>
#include <string>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/runtime/Log.h"

namespace orvane::rtc {

// A GstWebRTCDataChannel as a DataChannel. Callbacks arrive on webrtcbin's
// threads. Messages that arrive before the first observer is set are kept
// and handed to it when it is set (the pad adopts a channel that the host may
// already be writing to).
class WebRtcDataChannel final : public DataChannel {
 public:
  // Takes a reference of its own.
  static std::shared_ptr<WebRtcDataChannel> wrap(GstWebRTCDataChannel* channel, const Logger& log);
  ~WebRtcDataChannel() override;

  std::string label() const override;
  DataChannelState readyState() const override;
  // Text frames must be NUL-free UTF-8 (webrtcbin takes a C string).
  bool send(std::span<const std::uint8_t> data, bool isBinary) override;
  void setObserver(DataChannelObserver* observer) override;

  // The connection closed: the channel reads "closed" and tells its observer.
  void connectionClosed();

  struct State;

 private:
  explicit WebRtcDataChannel(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

}  // namespace orvane::rtc
