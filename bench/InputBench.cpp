// Host-side cost of one tablet event: the local-control gate, the injector and
// the simulated poster. Goal: at most 1 us per event, so injection adds
// nothing a person could notice next to the network.

#include <benchmark/benchmark.h>

#include <memory>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/platform/sim/SimDesktop.h"

namespace {

using namespace orvane;

// A guard attached but with no tap, so every event is gated and marked.
struct Host {
  ManualExecutor queue;
  CapturingLogSink log;
  SimDesktop sim{queue};
  std::shared_ptr<LocalControlGuard> guard = std::make_shared<LocalControlGuard>(queue, sim, sim, log);
  InputInjector injector{queue, sim, sim, sim, sim, log};
  Host() { injector.attachGuard(guard); }

  // Keeps the recording and the cancelled watchdogs from growing without end.
  void trim(std::int64_t iteration) {
    if ((iteration & 1023) != 0) return;
    sim.clearPosted();
    queue.runUntilIdle();
  }
};

void pointerEvent(benchmark::State& state) {
  Host host;
  const ControlEvent moved = events::MouseMoved{0.4321, 0.8765};
  std::int64_t i = 0;
  for (auto _ : state) {
    host.injector.inject(moved);
    host.trim(++i);
  }
  state.SetItemsProcessed(state.iterations());
}

// Alternating press and release of cmd+shift+key, three events posted each.
void keyEventTwoModifiers(benchmark::State& state) {
  Host host;
  const ControlEvent events[] = {events::KeyEvent{36, {ModifierKey::cmd, ModifierKey::shift}, true},
                                 events::KeyEvent{36, {ModifierKey::cmd, ModifierKey::shift}, false}};
  std::int64_t i = 0;
  for (auto _ : state) {
    host.injector.inject(events[i & 1]);
    host.trim(++i);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(pointerEvent)->Name("inject/mouseMoved");
BENCHMARK(keyEventTwoModifiers)->Name("inject/keyEvent+cmd+shift");

}  // namespace

BENCHMARK_MAIN();
