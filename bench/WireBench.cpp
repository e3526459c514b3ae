// Control-channel codec cost. Targets: a pointer event decodes in under 1 us
// and encodes in under 0.5 us, so the codec never shows up next to injection.

#include <benchmark/benchmark.h>

#include <string>

#include "OrvaneCore/protocol/ControlEvent.h"

namespace {

using namespace orvane;

ControlEvent mouseMoved() { return events::MouseMoved{0.4321, 0.8765}; }
ControlEvent keyEvent() { return events::KeyEvent{36, {ModifierKey::cmd, ModifierKey::shift}, true}; }
ControlEvent windowList() {
  events::WindowList list;
  for (int i = 0; i < 50; ++i) {
    list.windows.push_back({std::to_string(10000 + i), "Application " + std::to_string(i),
                            "Document " + std::to_string(i) + " - ~/projects/orvane/src", std::nullopt});
  }
  return list;
}

template <ControlEvent (*Make)()>
void encode(benchmark::State& state) {
  const ControlEvent event = Make();
  for (auto _ : state) {
    auto text = encodeControlEvent(event);
    benchmark::DoNotOptimize(text);
  }
}

template <ControlEvent (*Make)()>
void decode(benchmark::State& state) {
  const std::string text = *encodeControlEvent(Make());
  for (auto _ : state) {
    auto event = decodeControlEvent(text);
    if (!event) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(event);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(decode<mouseMoved>)->Name("decode/mouseMoved");
BENCHMARK(encode<mouseMoved>)->Name("encode/mouseMoved");
BENCHMARK(decode<keyEvent>)->Name("decode/keyEvent");
BENCHMARK(encode<keyEvent>)->Name("encode/keyEvent");
BENCHMARK(decode<windowList>)->Name("decode/windowList50");
BENCHMARK(encode<windowList>)->Name("encode/windowList50");

}  // namespace

BENCHMARK_MAIN();
