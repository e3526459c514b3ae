// A control event's way through the host: JSON text in, decoded, routed by
// the session coordinator's gate, injected and posted on the sim desktop.
//
// BM_DecodeDispatchPost: what the main loop does per pointer event once the
// text is in hand. BM_ChannelToPost: the whole path from the data channel,
// including the peer-connection manager's decode and its hop to the main
// executor. Goal: at most 2 us per pointer event.

#include <benchmark/benchmark.h>

#include <string>

#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneMac/session/DispatchRoute.h"
#include "tests/OrvaneMac/session/SimHost.h"

using namespace orvane;

namespace {

// The posted-event record grows with every post; trim it now and then so the
// figure is the dispatch, not the vector.
constexpr int kTrimEvery = 4096;

struct ConnectedHost : test::SimHost {
  ConnectedHost() {
    connectSession();
    desktop.clearPosted();
  }
  void trim() {
    posted += desktop.posted().size();
    desktop.clearPosted();
  }
  // Every iteration must have reached the desktop, or the figure means nothing.
  void check(benchmark::State& state) {
    trim();
    if (posted != static_cast<std::size_t>(state.iterations())) state.SkipWithError("events were not posted");
  }
  std::size_t posted = 0;
};

const std::string kMove = R"({"type":"mouseMoved","x":0.4375,"y":0.61})";
const std::string kDrag = R"({"type":"mouseDragged","button":"left","x":0.4375,"y":0.61})";

void BM_DecodeDispatchPost(benchmark::State& state, const std::string& json) {
  ConnectedHost host;
  int n = 0;
  for (auto _ : state) {
    auto decoded = decodeControlEvent(json);
    host.coordinator->handleControlEvent(decoded.value());
    if (++n == kTrimEvery) {
      n = 0;
      host.trim();
    }
  }
  host.check(state);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_DecodeDispatchPost, mouseMoved, kMove);
BENCHMARK_CAPTURE(BM_DecodeDispatchPost, mouseDragged, kDrag);

void BM_ChannelToPost(benchmark::State& state) {
  ConnectedHost host;
  auto& channel = host.channel();
  int n = 0;
  for (auto _ : state) {
    channel.receive(kMove);
    host.main.runUntilIdle();
    if (++n == kTrimEvery) {
      n = 0;
      host.trim();
    }
  }
  host.check(state);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChannelToPost);

// The gate alone, for reference: the route of a pointer event.
void BM_RouteOnly(benchmark::State& state) {
  const ControlEvent event = events::MouseMoved{0.5, 0.5};
  for (auto _ : state) benchmark::DoNotOptimize(routeFor(event, true));
}
BENCHMARK(BM_RouteOnly);

}  // namespace

BENCHMARK_MAIN();
