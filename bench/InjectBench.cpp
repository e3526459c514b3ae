// bench_inject: what one injected event costs on a real X server (its own
// Xvfb). Per sample: an XTest motion posted and flushed, then XSync (the
// server has processed it); an event posted until the listener's raw event
// arrives on the main loop (what the local-control guard waits on), for a
// motion and for a key; and a burst of text typed at full speed until its
// last key is seen.
//
//   bench_inject [--samples N]   (default 2000)

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/platform/x11/input/X11EventPoster.h"
#include "OrvaneMac/platform/x11/input/X11InputTap.h"
#include "tests/support/x11/XServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using orvane::CGEvent;

double microsecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Percentiles {
  double p50 = 0, p95 = 0;
};

Percentiles percentiles(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 95 / 100)]};
}

CGEvent motionTo(int i) {
  CGEvent event;
  event.type = orvane::kCGEventMouseMoved;
  event.location = {100.0 + i % 500, 100.0 + (i / 500) % 500};  // never twice in a row at one place
  return event;
}

CGEvent keyEvent(orvane::CGKeyCode key, bool down) {
  CGEvent event;
  event.type = down ? orvane::kCGEventKeyDown : orvane::kCGEventKeyUp;
  event.keyCode = key;
  return event;
}

}  // namespace

int main(int argc, char** argv) {
  int samples = 2000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--samples" && i + 1 < argc) {
      samples = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench_inject [--samples N]\n");
      return 2;
    }
  }
  orvane::test::XServer server({.windowManager = false});
  auto x = orvane::x11::X11Display::open(server.display());
  if (!x) return 1;
  x->attachToMainLoop();
  orvane::SystemClock clock;
  orvane::GLibExecutor queue(clock);
  orvane::x11::X11EventPoster poster(*x, queue);
  orvane::x11::X11InputTap taps(*x);

  std::vector<double> synced;
  for (int i = 0; i < samples; ++i) {
    const auto start = Clock::now();
    poster.post(motionTo(i));
    XSync(x->get(), False);
    synced.push_back(microsecondsSince(start));
  }

  int seen = 0;
  auto tap = taps.createListenOnlyTap(~std::uint64_t{0}, [&](const orvane::TappedEvent&) { ++seen; });
  tap->setEnabled(true);
  // The main loop blocks until the connection has the event; the ticker only
  // lets a lost event end the run instead of hanging it.
  const guint ticker = g_timeout_add(100, [](gpointer) { return int(G_SOURCE_CONTINUE); }, nullptr);
  bool lost = false;
  const auto waitFor = [&](int count) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (seen < count && !lost) {
      g_main_context_iteration(nullptr, TRUE);
      lost = Clock::now() > deadline;
    }
  };
  std::vector<double> motionSeen, keySeen;
  for (int i = 0; i < samples; ++i) {
    const int before = seen;
    auto start = Clock::now();
    poster.post(motionTo(i + 1));
    waitFor(before + 1);
    motionSeen.push_back(microsecondsSince(start));
    start = Clock::now();
    poster.post(keyEvent(0, true));
    waitFor(before + 2);
    keySeen.push_back(microsecondsSince(start));
    poster.post(keyEvent(0, false));
    waitFor(before + 3);
  }

  // Text off the keymap: every character through a lent keycode.
  std::u16string text;
  for (int i = 0; i < 200; ++i) text += char16_t(0x4E00 + i % 16);  // 16 distinct, fewer than the spare keycodes
  const int before = seen;
  const auto start = Clock::now();
  for (char16_t c : text) {
    for (bool down : {true, false}) {
      CGEvent event = keyEvent(0, down);
      event.unicode = std::u16string(1, c);
      poster.post(event);
    }
  }
  waitFor(before + 2 * int(text.size()));
  const double textMs = microsecondsSince(start) / 1000;

  g_source_remove(ticker);
  if (lost) {
    std::fprintf(stderr, "an injected event never reached the tap\n");
    return 1;
  }
  const auto [syncP50, syncP95] = percentiles(synced);
  const auto [motionP50, motionP95] = percentiles(motionSeen);
  const auto [keyP50, keyP95] = percentiles(keySeen);
  std::printf("%d samples on Xvfb %s\n", samples, server.display().c_str());
  std::printf("motion posted until the server has it (XSync): p50 %.0f us, p95 %.0f us\n", syncP50, syncP95);
  std::printf("motion posted until the tap sees it:            p50 %.0f us, p95 %.0f us\n", motionP50, motionP95);
  std::printf("key posted until the tap sees it:               p50 %.0f us, p95 %.0f us\n", keyP50, keyP95);
  std::printf("%zu characters off the keymap typed until the last is seen: %.1f ms (%.0f characters/s)\n", text.size(),
              textMs, text.size() / (textMs / 1000));
  return 0;
}
