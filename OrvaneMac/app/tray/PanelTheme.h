#pragma once

#include <functional>

using GtkSettings = struct _GtkSettings;

namespace orvane {

// Whether the desktop's panel is dark, as far as GTK's settings tell: a dark
// variant preferred, or a theme named dark ("Adwaita-dark", "Arc-Dark").
// The idle tray icon is drawn white on a dark panel, black otherwise.
// Needs GTK initialised; main loop only.
class PanelTheme {
 public:
  PanelTheme();
  ~PanelTheme();
  PanelTheme(const PanelTheme&) = delete;
  PanelTheme& operator=(const PanelTheme&) = delete;

  bool dark() const;
  // The theme or its dark preference changed.
  std::function<void()> onChange;

 private:
  static void changed(void* object, void* spec, void* self);

  GtkSettings* settings_ = nullptr;
  unsigned long themeHandler_ = 0;
  unsigned long preferDarkHandler_ = 0;
};

}  // namespace orvane
