#include "OrvaneCore/peer/gst/GstDataChannel.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "OrvaneCore/peer/gst/EngineEnums.h"
#include "OrvaneCore/peer/gst/GstRef.h"
#include "OrvaneCore/peer/gst/ObserverSlot.h"

namespace orvane::rtc {

struct WebRtcDataChannel::State {
  State(GstWebRTCDataChannel* c, Logger l) : channel(GST_WEBRTC_DATA_CHANNEL(gst_object_ref(c))), log(std::move(l)) {}
  ~State() { gst_object_unref(channel); }

  GstWebRTCDataChannel* channel;
  Logger log;
  DataChannel* owner = nullptr;  // dereferenced only inside an observer call
  ObserverSlot<DataChannelObserver> observer;
  std::atomic<DataChannelState> state{DataChannelState::connecting};
  std::atomic<DataChannelState> reported{DataChannelState::connecting};
  std::atomic<bool> closed{false};
  std::vector<gulong> handlers;

  // Until the first observer: messages kept, in order. Held while that
  // observer receives them so that later messages cannot overtake.
  std::recursive_mutex firstObserverMutex;
  bool observed = false;
  std::vector<std::pair<std::vector<std::uint8_t>, bool>> early;

  void message(std::span<const std::uint8_t> data, bool isBinary) {
    {
      std::lock_guard lock(firstObserverMutex);
      if (!observed) {
        early.emplace_back(std::vector<std::uint8_t>(data.begin(), data.end()), isBinary);
        return;
      }
    }
    if (closed) return;
    observer.call([&](DataChannelObserver& o) { o.onMessage(*owner, data, isBinary); });
  }

  void reportState(DataChannelState next) {
    state = next;
    if (reported.exchange(next) == next) return;
    observer.call([&](DataChannelObserver& o) { o.onStateChange(*owner); });
  }
};

namespace {

using State = WebRtcDataChannel::State;

void onReadyState(GObject* object, GParamSpec*, gpointer data) {
  auto& state = held<State>(data);
  GstWebRTCDataChannelState raw;
  g_object_get(object, "ready-state", &raw, nullptr);
  const auto mapped = fromGst(raw);
  if (mapped && !state.closed) state.reportState(*mapped);
}

void onString(GstWebRTCDataChannel*, gchar* text, gpointer data) {
  const std::string_view view = text ? std::string_view(text) : std::string_view();
  held<State>(data).message({reinterpret_cast<const std::uint8_t*>(view.data()), view.size()}, false);
}

void onData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
  gsize size = 0;
  const void* p = bytes ? g_bytes_get_data(bytes, &size) : nullptr;
  held<State>(data).message({static_cast<const std::uint8_t*>(p), size}, true);
}

void onError(GstWebRTCDataChannel*, GError* error, gpointer data) {
  held<State>(data).log.error("data channel error: %{public}s", error ? error->message : "unknown");
}

}  // namespace

std::shared_ptr<WebRtcDataChannel> WebRtcDataChannel::wrap(GstWebRTCDataChannel* channel, const Logger& log) {
  auto state = std::make_shared<State>(channel, log);
  std::shared_ptr<WebRtcDataChannel> wrapper(new WebRtcDataChannel(state));
  state->owner = wrapper.get();
  auto* object = G_OBJECT(channel);
  state->handlers = {
      connectHeld(object, "notify::ready-state", G_CALLBACK(onReadyState), state),
      connectHeld(object, "on-message-string", G_CALLBACK(onString), state),
      connectHeld(object, "on-message-data", G_CALLBACK(onData), state),
      connectHeld(object, "on-error", G_CALLBACK(onError), state),
  };
  // The channel may have moved on before the handlers were in place.
  GstWebRTCDataChannelState raw;
  g_object_get(object, "ready-state", &raw, nullptr);
  if (const auto mapped = fromGst(raw)) state->state = state->reported = *mapped;
  return wrapper;
}

WebRtcDataChannel::~WebRtcDataChannel() {
  state_->observer.exchange(nullptr);
  for (gulong id : state_->handlers) g_signal_handler_disconnect(state_->channel, id);
}

std::string WebRtcDataChannel::label() const {
  gchar* label = nullptr;
  g_object_get(state_->channel, "label", &label, nullptr);
  std::string out = label ? label : "";
  g_free(label);
  return out;
}

DataChannelState WebRtcDataChannel::readyState() const { return state_->state; }

bool WebRtcDataChannel::send(std::span<const std::uint8_t> data, bool isBinary) {
  if (state_->closed || state_->state != DataChannelState::open) return false;
  GError* error = nullptr;
  gboolean ok;
  if (isBinary) {
    GBytes* bytes = g_bytes_new(data.data(), data.size());
    ok = gst_webrtc_data_channel_send_data_full(state_->channel, bytes, &error);
    g_bytes_unref(bytes);
  } else {
    const std::string text(data.begin(), data.end());
    if (text.find('\0') != std::string::npos || !g_utf8_validate(text.data(), gssize(text.size()), nullptr)) {
      return false;
    }
    ok = gst_webrtc_data_channel_send_string_full(state_->channel, text.c_str(), &error);
  }
  if (error) {
    state_->log.error("data channel send failed: %{public}s", error->message);
    g_error_free(error);
  }
  return ok;
}

void WebRtcDataChannel::setObserver(DataChannelObserver* observer) {
  if (observer) {
    std::lock_guard lock(state_->firstObserverMutex);
    if (!state_->observed) {
      state_->observer.exchange(observer);
      state_->observed = true;
      auto early = std::move(state_->early);
      for (const auto& [bytes, isBinary] : early) {
        state_->observer.call([&](DataChannelObserver& o) { o.onMessage(*this, bytes, isBinary); });
      }
      return;
    }
  }
  state_->observer.exchange(observer);
}

void WebRtcDataChannel::connectionClosed() {
  if (state_->closed.exchange(true)) return;
  state_->reportState(DataChannelState::closed);
}

}  // namespace orvane::rtc
