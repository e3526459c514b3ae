#include "OrvaneMac/app/tray/PanelTheme.h"

#include <gtk/gtk.h>

namespace orvane {

PanelTheme::PanelTheme() : settings_(gtk_settings_get_default()) {
  if (!settings_) return;
  g_object_ref(settings_);
  themeHandler_ = g_signal_connect(settings_, "notify::gtk-theme-name", G_CALLBACK(changed), this);
  preferDarkHandler_ =
      g_signal_connect(settings_, "notify::gtk-application-prefer-dark-theme", G_CALLBACK(changed), this);
}

PanelTheme::~PanelTheme() {
  if (!settings_) return;
  g_signal_handler_disconnect(settings_, themeHandler_);
  g_signal_handler_disconnect(settings_, preferDarkHandler_);
  g_object_unref(settings_);
}

bool PanelTheme::dark() const {
  if (!settings_) return false;
  gboolean preferDark = FALSE;
  char* theme = nullptr;
  g_object_get(settings_, "gtk-application-prefer-dark-theme", &preferDark, "gtk-theme-name", &theme, nullptr);
  bool dark = preferDark;
  if (theme) {
    char* lower = g_ascii_strdown(theme, -1);
    dark = dark || g_strstr_len(lower, -1, "dark") != nullptr;
    g_free(lower);
    g_free(theme);
  }
  return dark;
}

void PanelTheme::changed(void*, void*, void* self) {
  auto* theme = static_cast<PanelTheme*>(self);
  if (theme->onChange) theme->onChange();
}

}  // namespace orvane
