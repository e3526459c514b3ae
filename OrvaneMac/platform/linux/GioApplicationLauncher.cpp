#include "OrvaneMac/platform/linux/GioApplicationLauncher.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <utility>

namespace orvane {

namespace {

// GIO announces each process it spawns with its pid in the platform data.
void onLaunched(GAppLaunchContext*, GAppInfo*, GVariant* platformData, gpointer out) {
  gint32 pid = 0;
  if (platformData && g_variant_lookup(platformData, "pid", "i", &pid) && pid > 0) {
    *static_cast<std::optional<pid_t>*>(out) = static_cast<pid_t>(pid);
  }
}

}  // namespace

GioApplicationLauncher::GioApplicationLauncher(std::string display, LogSink& log)
    : display_(std::move(display)), log_("com.kelbrin.Orvane.Mac", "session", log) {}

GioApplicationLauncher::Result GioApplicationLauncher::launch(const std::string& desktopFilePath) {
  GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(desktopFilePath.c_str());
  if (!info) {
    log_.error("[AppLauncher] not a desktop entry: %{public}s", desktopFilePath);
    return Result{Failure::noSuchEntry, "not a desktop entry", std::nullopt};
  }
  GAppLaunchContext* context = g_app_launch_context_new();
  if (!display_.empty()) g_app_launch_context_setenv(context, "DISPLAY", display_.c_str());
  Result result;
  const gulong handler = g_signal_connect(context, "launched", G_CALLBACK(onLaunched), &result.pid);
  GError* error = nullptr;
  if (!g_app_info_launch(G_APP_INFO(info), nullptr, context, &error)) {
    result.failure = Failure::launchFailed;
    result.message = error ? error->message : "unknown error";
    log_.error("[AppLauncher] could not start %{public}s: %{public}s", desktopFilePath, result.message);
  } else {
    log_.info("[AppLauncher] started %{public}s", desktopFilePath);
  }
  if (error) g_error_free(error);
  g_signal_handler_disconnect(context, handler);
  g_object_unref(context);
  g_object_unref(info);
  return result;
}

}  // namespace orvane
