#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneMac/platform/EventPoster.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/input/KeymapChanges.h"
#include "OrvaneMac/platform/x11/input/KeymapIndex.h"
#include "OrvaneMac/platform/x11/input/SpareKeyPool.h"
#include "OrvaneMac/platform/x11/input/VirtualKeys.h"
#include "OrvaneMac/platform/x11/input/WheelSteps.h"

namespace orvane::x11 {

// Posts CoreGraphics-style events as XTest input on the main loop's
// connection. Pointer locations are clamped to the root window; buttons,
// wheels, virtual key codes and media keys become their X counterparts; text
// is typed through the keymap where it has the character, else through spare
// keycodes lent to the character's keysym and mapped back afterwards. Every
// post is flushed at once and nothing waits for the server.
class X11EventPoster final : public EventPoster {
 public:
  struct Options {
    CommandKey commandKey = CommandKey::control;
    int pixelsPerWheelStep = WheelSteps::kDefaultPixelsPerStep;
    // How long a lent keycode stays unused before it may carry another
    // keysym: clients must have translated its last event by then.
    double spareReuseAfter = 0.5;
    // Spare keycodes get their empty mapping back after this much quiet.
    // Every change of the map makes each client read it again, and window
    // managers grab all their shortcut keys anew (about 20 ms of openbox's
    // time each): a character typed again within this time costs nothing.
    double spareRestoreAfter = 2.0;
  };
  // Events wait only while every spare keycode is busy; beyond this many the
  // newest are dropped, releases only beyond twice as many.
  static constexpr std::size_t kMaxDeferredEvents = 1024;

  X11EventPoster(X11Display& display, Executor& mainQueue) : X11EventPoster(display, mainQueue, Options{}) {}
  X11EventPoster(X11Display& display, Executor& mainQueue, Options options);
  // Releases what it holds and gives the spare keycodes their empty mapping back.
  ~X11EventPoster() override;
  X11EventPoster(const X11EventPoster&) = delete;
  X11EventPoster& operator=(const X11EventPoster&) = delete;

  std::optional<Point> cursorLocation() override;
  void post(const CGEvent& event) override;

  // Spare keycodes carry lent keysyms now.
  bool keymapLent() const { return lent_; }
  // Events waiting for a spare keycode.
  std::size_t deferredEvents() const { return deferred_.size(); }

 private:
  enum class Outcome { done, blocked };
  struct Held {
    KeyCode keycode;
    bool spare;
  };
  struct Size {
    int width = 1, height = 1;
  };

  Outcome deliver(CGEvent& event);
  void moveTo(Point location);
  void pressButton(unsigned xButton, bool press);
  void scroll(const CGEvent& event);
  Outcome key(std::uint32_t id, KeySym keysym, bool down);
  Outcome typeText(CGEvent& event);
  void tap(KeyCode keycode, bool shift);
  void pressKeycode(KeyCode keycode, bool press);
  std::optional<KeyCode> lendSpare(KeySym keysym);
  void drainDeferred();
  void scheduleRetry();
  void armRestore();
  void restoreSpares();
  const KeymapIndex& keymap();
  Size rootSize();
  void onEvent(const XEvent& event);

  X11Display& display_;
  Executor& queue_;
  Options options_;
  bool xtest_ = false;
  int handler_ = 0;

  KeymapChanges keymapChanges_;
  KeymapIndex keymap_;
  bool keymapStale_ = true;
  SpareKeyPool spares_;
  bool lent_ = false;
  TimerHandle restoreTimer_;
  std::deque<CGEvent> deferred_;
  TimerHandle retryTimer_;

  WheelSteps vertical_;
  WheelSteps horizontal_;
  std::map<std::uint32_t, Held> heldKeys_;  // by virtual key, media keys above 0xFFFF
  std::map<KeyCode, int> keycodesDown_;     // two virtual keys may share one keycode
  std::set<unsigned> buttonsDown_;

  Size root_;
  std::optional<double> rootReadAt_;
};

}  // namespace orvane::x11
