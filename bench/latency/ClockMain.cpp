// orvane-latency-clock: draws the latency code (the draw time and a frame
// number) at the screen's top-left at a steady rate, for receivers of the
// screen's video to read back.
//
//   orvane-latency-clock [--display NAME] [--rate HZ] [--motion none|full] [--seconds N]
//
// Prints "clock ready WxH rate=R motion=M" once the first frame is on the
// screen and "clock frames=N late=K" (K: ticks skipped) when it ends, after N
// seconds or at SIGINT/SIGTERM.

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/latency/LatencyClock.h"
#include "bench/latency/TickSchedule.h"

namespace {

using namespace orvane::latency;

struct ClockOptions {
  std::string display;
  double rate = 60;
  Motion motion = Motion::none;
  double seconds = 0;  // 0: until a signal
  bool randomPhase = true;
};

std::optional<double> number(const std::string& text, double min, double max) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

std::optional<ClockOptions> parseOptions(const std::vector<std::string>& args, std::string& error) {
  ClockOptions options;
  auto fail = [&](std::string message) {
    error = std::move(message);
    return std::optional<ClockOptions>();
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return fail(name + " needs a value");
    }
    if (name == "--display") {
      options.display = value;
    } else if (name == "--rate") {
      const auto rate = number(value, 1, 1000);
      if (!rate) return fail("--rate must be 1 to 1000 Hz");
      options.rate = *rate;
    } else if (name == "--motion") {
      if (value != "none" && value != "full") return fail("--motion must be none or full");
      options.motion = value == "full" ? Motion::full : Motion::none;
    } else if (name == "--phase") {
      if (value != "fixed" && value != "random") return fail("--phase must be fixed or random");
      options.randomPhase = value == "random";
    } else if (name == "--seconds") {
      const auto seconds = number(value, 0, 1e7);
      if (!seconds) return fail("--seconds must be a number, 0 for no end");
      options.seconds = *seconds;
    } else {
      return fail("unknown option " + name);
    }
  }
  return options;
}

std::int64_t nanos(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void sleepUntil(std::int64_t monotonicNs) {
  const timespec due{time_t(monotonicNs / 1'000'000'000), long(monotonicNs % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

// SIGINT and SIGTERM stay blocked and are polled once a tick: the loop ends
// between frames, with no handler state to share.
bool stopRequested(const sigset_t& stops) {
  const timespec zero{};
  return sigtimedwait(&stops, nullptr, &zero) > 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (std::find_if(args.begin(), args.end(), [](const auto& arg) { return arg == "-h" || arg == "--help"; }) !=
      args.end()) {
    std::puts("Usage: orvane-latency-clock [--display NAME] [--rate HZ] [--phase random|fixed] [--motion none|full]"
              " [--seconds N]");
    return 0;
  }
  std::string error;
  const auto options = parseOptions(args, error);
  if (!options) {
    std::fprintf(stderr, "orvane-latency-clock: %s\n", error.c_str());
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, nullptr);

  try {
    LatencyClock clock(options->display, options->motion);
    const auto periodNs = std::int64_t(std::llround(1e9 / options->rate));
    const std::int64_t start = nanos(CLOCK_MONOTONIC);
    // Counted in ticks: a deadline a rounding error short of the end would be one more.
    const std::int64_t tickCount = options->seconds > 0 ? std::llround(options->seconds * options->rate) : INT64_MAX;
    TickSchedule ticks(start, periodNs);
    long frames = 0, late = 0;
    // A clock locked to the capture's schedule would be seen at one fixed
    // point of it; a random moment within each period samples them all.
    std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<std::int64_t> offset(0, options->randomPhase ? periodNs - 1 : 0);
    while (ticks.index() < tickCount) {
      sleepUntil(ticks.nextDue() + offset(random));
      if (stopRequested(stops)) break;
      clock.draw({std::uint64_t(nanos(CLOCK_REALTIME) / 1000), std::uint32_t(frames)});
      if (++frames == 1) {
        std::printf("clock ready %dx%d rate=%g motion=%s\n", clock.screenWidth(), clock.screenHeight(), options->rate,
                    options->motion == Motion::full ? "full" : "none");
      }
      late += long(ticks.advance(nanos(CLOCK_MONOTONIC)));
    }
    // Ticks skipped past the end were never part of the run.
    if (ticks.index() > tickCount) late -= long(ticks.index() - tickCount);
    std::printf("clock frames=%ld late=%ld\n", frames, late);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "orvane-latency-clock: %s\n", failure.what());
    return 1;
  }
  return 0;
}
