#pragma once

#include <X11/Xlib.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

using GMainContext = struct _GMainContext;
using GSource = struct _GSource;

namespace orvane::x11 {

// One connection to the X server. Xlib serves one Display from one thread:
// the ports on the main loop share one connection; the capture thread opens
// its own. Errors are recorded per connection (never fatal), and a lost
// connection marks the object broken instead of ending the process.
class X11Display {
 public:
  // Nothing when the display cannot be opened. An empty name means $DISPLAY.
  static std::unique_ptr<X11Display> open(const std::string& name = {});
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  Display* get() const { return display_; }
  ::Window root() const { return root_; }
  int screen() const { return screen_; }
  int fd() const { return ConnectionNumber(display_); }
  // The server closed the connection or it failed; every later call is a no-op.
  bool broken() const { return broken_; }

  // XInternAtom, cached.
  Atom atom(std::string_view name);

  // Runs `request` and returns the first X error code it caused (Success when
  // none). Waits for the server's answer, so use it where the outcome matters.
  int trap(const std::function<void()>& request);
  // The first error recorded since the last call, cleared by the call. Errors
  // outside trap() are recorded here too instead of ending the process.
  int takeError();

  // --- Properties (nothing when the property is missing or of another type/format)
  std::optional<std::vector<unsigned long>> cardinals(::Window window, std::string_view property,
                                                     Atom type = XA_CARDINAL_ID);
  std::optional<std::vector<::Window>> windows(::Window window, std::string_view property);
  // UTF8_STRING, or a Latin-1 STRING converted to UTF-8.
  std::optional<std::string> text(::Window window, std::string_view property);

  // Sends an EWMH client message to the root window.
  void sendRootMessage(::Window window, std::string_view messageType, std::array<long, 5> data);

  // --- Events on the GLib main loop. Handlers see every event read from the
  // connection, in order; a handler may remove itself (or any other). A
  // GenericEvent arrives with its cookie data already fetched (xcookie.data).
  using EventHandler = std::function<void(const XEvent&)>;
  int addEventHandler(EventHandler handler);
  void removeEventHandler(int id);
  // Reads events whenever the connection has some, on `context` (null: the
  // thread-default one). `onBroken` runs there once when the connection is lost.
  void attachToMainLoop(GMainContext* context = nullptr);
  std::function<void()> onBroken;
  // Reads and dispatches whatever is queued now (what the main-loop source does).
  void dispatchPending();

  static constexpr Atom XA_CARDINAL_ID = 6;  // XA_CARDINAL without Xatom.h in every includer

 private:
  X11Display(Display* display);
  static int onError(Display* display, XErrorEvent* event);
  static void onIOErrorExit(Display* display, void* self);
  static X11Display* of(Display* display);

  Display* display_;
  ::Window root_;
  int screen_;
  bool broken_ = false;
  int firstError_ = 0;
  std::unordered_map<std::string, Atom> atoms_;
  std::map<int, EventHandler> handlers_;
  int nextHandler_ = 1;
  GSource* source_ = nullptr;
};

}  // namespace orvane::x11
