#pragma once

#include <functional>
#include <string>

#include "OrvaneMac/app/tray/PopoverModel.h"

using GtkWidget = struct _GtkWidget;
using GtkCssProvider = struct _GtkCssProvider;

namespace orvane {

// The popover as a GTK 3 window. As a popover it is a small undecorated
// window at the tray item's click point, above the others and out of the
// task bar, gone when it loses focus or on Escape. As a normal window
// (decorated, titled "Orvane") it stands in for a tray that is not there.
// Its content is rebuilt from a PopoverContent whenever that changes. Needs
// GTK initialised; main loop only.
class PopoverWindow {
 public:
  static constexpr int kWidth = 260;

  enum class Mode { popover, window };
  enum class HideReason { focusLost, escape, owner };

  PopoverWindow();
  ~PopoverWindow();
  PopoverWindow(const PopoverWindow&) = delete;
  PopoverWindow& operator=(const PopoverWindow&) = delete;

  // Rebuilds the rows unless the content is what is shown already. Text typed
  // into the sign-in field survives.
  void setContent(const PopoverContent& content);
  // As a popover placed at the point (root coordinates), kept on that
  // monitor's work area.
  void showAt(int x, int y);
  void showAsWindow();
  void hide() { hide(HideReason::owner); }

  bool visible() const;
  Mode mode() const { return mode_; }
  GtkWidget* widget() const { return window_; }
  // The button showing `label`, for tests and keyboard focus; null when none.
  GtkWidget* findButton(const std::string& label) const;
  // What the sign-in field holds; empty without one.
  std::string signInText() const;
  void setSignInText(const std::string& text);

  // A button was pressed; `text` is the sign-in field's content.
  std::function<void(PopoverAction, const std::string& text)> onAction;
  std::function<void(HideReason)> onHidden;

 private:
  struct Signals;

  void hide(HideReason reason);
  void setMode(Mode mode);
  void rebuild();
  GtkWidget* buildRow(const PopoverRow& row);
  GtkWidget* buildButton(const PopoverButton& button, bool borderless);
  GtkWidget* label(const std::string& text, Tint tint, bool wrap, const char* styleClass = nullptr);
  void style(GtkWidget* widget, Tint tint, const char* styleClass = nullptr);
  void clicked(GtkWidget* button);

  GtkWidget* window_ = nullptr;
  GtkWidget* rows_ = nullptr;
  GtkWidget* signInEntry_ = nullptr;  // inside rows_ while a sign-in row is shown
  GtkCssProvider* css_ = nullptr;
  PopoverContent content_;
  bool built_ = false;
  Mode mode_ = Mode::popover;
};

}  // namespace orvane
