#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/peer/gst/GstEngine.h"

namespace orvane::pad {

// The GStreamer engine, keeping sight of the connection its factory made
// last, so the pad can read how many bytes of RTP it received.
class StatsEngine final : public rtc::Engine {
 public:
  explicit StatsEngine(LogSink& sink);
  void initializeSSL() override { inner_.initializeSSL(); }
  std::shared_ptr<rtc::PeerConnectionFactory> makeFactory() override;

  // Asks the latest connection for its statistics; the answer arrives on an
  // engine thread and counts in receivedKbps() from then on.
  void refresh();
  // The receive rate between the two latest answers, 0 before there are two.
  double receivedKbps() const;

  class Factory;
  // Bytes of RTP received, as of each answer (steady-clock seconds).
  struct Readings {
    std::mutex mutex;
    std::uint64_t bytes[2] = {0, 0};
    double at[2] = {0, 0};
    int count = 0;
  };

 private:
  rtc::GstEngine inner_;
  std::shared_ptr<Factory> factory_;
  const std::shared_ptr<Readings> readings_ = std::make_shared<Readings>();
};

}  // namespace orvane::pad
