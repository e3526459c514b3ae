// orvane-host: shares this X display with the user's tablet. See HostOptions.cpp for the usage.

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <malloc.h>

#include <csignal>
#include <cstdio>

#include "OrvaneCore/peer/AppVersion.h"
#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/app/AppDelegate.h"

#include "OrvaneCore/peer/gst/GLibLeakSuppressions.h"

namespace {

using namespace orvane;

// A screen's worth of pixels and the encoder's frames are allocated anew for
// every session. glibc raises its mmap threshold past the first such block
// freed and then keeps the later ones in its per-thread arenas, resident
// after the session ends: hundreds of MiB after a few dozen connections. A
// fixed threshold hands every block this large back to the system when freed.
constexpr int kLargeBlockBytes = 512 * 1024;
// GStreamer's streaming threads go back to GLib's shared pool when a session
// ends, where idle threads would stay for 15 s: a second is enough to reuse
// them for the next session's start.
constexpr guint kIdlePoolThreadMs = 1000;

int onSignal(void* delegate) {
  static_cast<app::AppDelegate*>(delegate)->quit();
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
  g_thread_pool_set_max_idle_time(kIdlePoolThreadMs);
  const std::vector<std::string> arguments(argv, argv + argc);
  JsonFileUserDefaults defaults;
  const app::ParsedOptions parsed =
      app::parseHostOptions(std::vector<std::string>(arguments.begin() + 1, arguments.end()), defaults);
  if (std::holds_alternative<app::Help>(parsed)) {
    std::fputs(app::kUsage, stdout);
    return 0;
  }
  if (std::holds_alternative<app::Version>(parsed)) {
    std::printf("orvane-host %s\n", AppVersion::display().c_str());
    return 0;
  }
  if (const auto* error = std::get_if<app::UsageError>(&parsed)) {
    std::fprintf(stderr, "orvane-host: %s\nTry orvane-host --help.\n", error->message.c_str());
    return 2;
  }
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "orvane-host: cannot open the X display; Orvane shares an X11 session\n");
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);

  SystemClock clock;
  GLibExecutor main(clock);
  bool relaunch = false;
  {
    app::AppDelegate delegate(main, defaults, std::get<app::HostOptions>(parsed), arguments);
    if (!delegate.applicationDidFinishLaunching()) return 1;
    const guint interrupt = g_unix_signal_add(SIGINT, onSignal, &delegate);
    const guint terminate = g_unix_signal_add(SIGTERM, onSignal, &delegate);
    main.run();
    g_source_remove(interrupt);
    g_source_remove(terminate);
    relaunch = delegate.relaunchRequested();
  }
  if (relaunch) {
    app::execSelf(arguments);
    return 1;
  }
  return 0;
}
