#include "OrvaneMac/platform/x11/input/X11EventPoster.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace orvane::x11 {
namespace {

constexpr std::uint32_t kMediaKeyId = 0x10000;  // above every virtual key code
constexpr int kMediaKeyDown = 0x0A;
constexpr int kMediaKeyUp = 0x0B;
// How often the root's size is read again: screens change rarely, pointer
// motion is the hot path.
constexpr double kRootSizeRefresh = 1.0;
constexpr double kMinRetryDelay = 0.01;

unsigned xButton(const CGEvent& event) {
  switch (event.type) {
    case kCGEventLeftMouseDown:
    case kCGEventLeftMouseUp: return 1;
    case kCGEventRightMouseDown:
    case kCGEventRightMouseUp: return 3;
    default: break;
  }
  switch (event.button) {
    case 3: return 8;  // back
    case 4: return 9;  // forward
    default: return 2;
  }
}

// What must not be lost: a dropped release leaves a key or button pressed.
bool isRelease(const CGEvent& event) {
  switch (event.type) {
    case kCGEventLeftMouseUp:
    case kCGEventRightMouseUp:
    case kCGEventOtherMouseUp: return true;
    case kCGEventKeyUp: return event.unicode.empty();
    case kNSEventTypeSystemDefined: return ((event.data1 >> 8) & 0xFF) == kMediaKeyUp;
    default: return false;
  }
}

struct CodePoint {
  char32_t value;
  std::size_t offset;  // of its first UTF-16 unit
};

// Unpaired surrogates are dropped: no key types half a character.
std::vector<CodePoint> codePoints(const std::u16string& text) {
  std::vector<CodePoint> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out.push_back({0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00), i});
      ++i;
    } else if (unit < 0xD800 || unit > 0xDFFF) {
      out.push_back({unit, i});
    }
  }
  return out;
}

}  // namespace

X11EventPoster::X11EventPoster(X11Display& display, Executor& mainQueue, Options options)
    : display_(display),
      queue_(mainQueue),
      options_(options),
      keymapChanges_(display),
      spares_(options.spareReuseAfter),
      vertical_(options.pixelsPerWheelStep),
      horizontal_(options.pixelsPerWheelStep) {
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  xtest_ = !display_.broken() && XTestQueryExtension(display_.get(), &eventBase, &errorBase, &major, &minor);
  // Our requests go through even while another client grabs the server.
  if (xtest_) XTestGrabControl(display_.get(), True);
  handler_ = display_.addEventHandler([this](const XEvent& event) { onEvent(event); });
}

X11EventPoster::~X11EventPoster() {
  display_.removeEventHandler(handler_);
  deferred_.clear();
  if (display_.broken()) return;
  if (xtest_) {
    for (const auto& [keycode, _] : keycodesDown_) XTestFakeKeyEvent(display_.get(), keycode, False, CurrentTime);
    for (unsigned button : buttonsDown_) XTestFakeButtonEvent(display_.get(), button, False, CurrentTime);
  }
  for (const auto& [id, held] : heldKeys_) {
    if (held.spare) spares_.unhold(held.keycode);
  }
  restoreSpares();
  XFlush(display_.get());
}

std::optional<Point> X11EventPoster::cursorLocation() {
  if (display_.broken()) return std::nullopt;
  ::Window root = 0, child = 0;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned mask = 0;
  XQueryPointer(display_.get(), display_.root(), &root, &child, &rootX, &rootY, &x, &y, &mask);
  if (display_.broken()) return std::nullopt;
  return Point{double(rootX), double(rootY)};
}

void X11EventPoster::post(const CGEvent& event) {
  if (!xtest_ || display_.broken()) return;
  // Order is kept: once one event waits, every later one waits behind it.
  if (!deferred_.empty()) {
    const std::size_t limit = isRelease(event) ? 2 * kMaxDeferredEvents : kMaxDeferredEvents;
    if (deferred_.size() < limit) deferred_.push_back(event);
    return;
  }
  CGEvent copy = event;
  if (deliver(copy) == Outcome::blocked) {
    deferred_.push_back(std::move(copy));
    scheduleRetry();
  }
  XFlush(display_.get());
}

X11EventPoster::Outcome X11EventPoster::deliver(CGEvent& event) {
  switch (event.type) {
    case kCGEventMouseMoved:
    case kCGEventLeftMouseDragged:
    case kCGEventRightMouseDragged:
    case kCGEventOtherMouseDragged: moveTo(event.location); return Outcome::done;
    case kCGEventLeftMouseDown:
    case kCGEventRightMouseDown:
    case kCGEventOtherMouseDown:
    case kCGEventLeftMouseUp:
    case kCGEventRightMouseUp:
    case kCGEventOtherMouseUp: {
      // A click needs nothing more to be a double click for X clients: they
      // count presses close in time and place, so the second press at the
      // same spot, posted at once, is one.
      const bool press = event.type == kCGEventLeftMouseDown || event.type == kCGEventRightMouseDown ||
                         event.type == kCGEventOtherMouseDown;
      moveTo(event.location);
      pressButton(xButton(event), press);
      return Outcome::done;
    }
    case kCGEventScrollWheel: scroll(event); return Outcome::done;
    case kCGEventKeyDown:
    case kCGEventKeyUp: {
      const bool down = event.type == kCGEventKeyDown;
      // Text is typed whole on the key-down; its key-up has nothing left to do.
      if (!event.unicode.empty()) return down ? typeText(event) : Outcome::done;
      // Modifier flags are not pressed here: the injector posts every
      // modifier as its own key event around the key.
      return key(event.keyCode, keysymForVirtualKey(event.keyCode, options_.commandKey), down);
    }
    case kNSEventTypeSystemDefined: {
      if (event.subtype != kNXSubtypeAuxControlButtons) return Outcome::done;
      const int keyType = static_cast<int>((event.data1 >> 16) & 0xFFFF);
      const int phase = static_cast<int>((event.data1 >> 8) & 0xFF);
      if (phase != kMediaKeyDown && phase != kMediaKeyUp) return Outcome::done;
      return key(kMediaKeyId + keyType, keysymForMediaKey(keyType), phase == kMediaKeyDown);
    }
    default: return Outcome::done;
  }
}

void X11EventPoster::moveTo(Point location) {
  if (!std::isfinite(location.x) || !std::isfinite(location.y)) return;
  const Size size = rootSize();
  const double x = std::clamp(std::floor(location.x), 0.0, double(size.width - 1));
  const double y = std::clamp(std::floor(location.y), 0.0, double(size.height - 1));
  XTestFakeMotionEvent(display_.get(), display_.screen(), int(x), int(y), CurrentTime);
}

void X11EventPoster::pressButton(unsigned button, bool press) {
  // Like a real mouse: no second press of a button that is down, no release
  // of one that is up.
  if (press ? !buttonsDown_.insert(button).second : buttonsDown_.erase(button) == 0) return;
  XTestFakeButtonEvent(display_.get(), button, press ? True : False, CurrentTime);
}

void X11EventPoster::scroll(const CGEvent& event) {
  // Positive wheel values scroll up and left, as CoreGraphics has them.
  const auto notches = [&](int steps, unsigned positive, unsigned negative) {
    for (int i = 0; i < std::abs(steps); ++i) {
      XTestFakeButtonEvent(display_.get(), steps > 0 ? positive : negative, True, CurrentTime);
      XTestFakeButtonEvent(display_.get(), steps > 0 ? positive : negative, False, CurrentTime);
    }
  };
  notches(vertical_.add(event.wheel1), 4, 5);
  notches(horizontal_.add(event.wheel2), 6, 7);
}

X11EventPoster::Outcome X11EventPoster::key(std::uint32_t id, KeySym keysym, bool down) {
  if (!down) {
    auto it = heldKeys_.find(id);
    if (it == heldKeys_.end()) return Outcome::done;  // never pressed through us
    pressKeycode(it->second.keycode, false);
    if (it->second.spare) spares_.unhold(it->second.keycode);
    heldKeys_.erase(it);
    return Outcome::done;
  }
  if (keysym == NoSymbol || heldKeys_.count(id)) return Outcome::done;
  // A keysym the map has only with Shift would come out as the unshifted one.
  Held held{0, false};
  if (auto found = keymap().find(keysym, false)) {
    held.keycode = found->keycode;
  } else if (spares_.empty()) {
    return Outcome::done;
  } else if (auto spare = lendSpare(keysym)) {
    held = {*spare, true};
    spares_.hold(*spare);
  } else {
    return Outcome::blocked;
  }
  heldKeys_.emplace(id, held);
  pressKeycode(held.keycode, true);
  return Outcome::done;
}

X11EventPoster::Outcome X11EventPoster::typeText(CGEvent& event) {
  const auto characters = codePoints(event.unicode);
  const auto shift = keymap().find(XK_Shift_L, false);
  const bool shiftDown = shift && keycodesDown_.count(shift->keycode);
  for (std::size_t i = 0; i < characters.size(); ++i) {
    // CR LF is one line break.
    if (characters[i].value == U'\n' && i > 0 && characters[i - 1].value == U'\r') continue;
    const KeySym keysym = keysymForCharacter(characters[i].value);
    if (keysym == NoSymbol) continue;
    // The keymap's own key where Shift is as the character needs it.
    auto found = keymap().find(keysym, shift.has_value());
    if (found && !(shiftDown && !found->shift)) {
      tap(found->keycode, found->shift && !shiftDown);
      continue;
    }
    if (spares_.empty()) continue;
    auto spare = lendSpare(keysym);
    if (!spare) {
      // The rest waits for a keycode; what is typed stays typed.
      event.unicode.erase(0, characters[i].offset);
      return Outcome::blocked;
    }
    tap(*spare, false);
  }
  return Outcome::done;
}

void X11EventPoster::tap(KeyCode keycode, bool shift) {
  const auto shiftKey = shift ? keymap().find(XK_Shift_L, false) : std::nullopt;
  if (shiftKey) pressKeycode(shiftKey->keycode, true);
  XTestFakeKeyEvent(display_.get(), keycode, True, CurrentTime);
  XTestFakeKeyEvent(display_.get(), keycode, False, CurrentTime);
  if (shiftKey) pressKeycode(shiftKey->keycode, false);
}

void X11EventPoster::pressKeycode(KeyCode keycode, bool press) {
  int& count = keycodesDown_[keycode];
  count += press ? 1 : -1;
  const bool send = press ? count == 1 : count == 0;
  if (count <= 0) keycodesDown_.erase(keycode);
  if (send) XTestFakeKeyEvent(display_.get(), keycode, press ? True : False, CurrentTime);
}

std::optional<KeyCode> X11EventPoster::lendSpare(KeySym keysym) {
  keymap();  // the spare list is current
  auto lease = spares_.lend(keysym, queue_.now());
  if (!lease) return std::nullopt;
  if (lease->mapNow) {
    // Twice: a lone letter would be given its other case as the Shift level,
    // and an upper-case one would then type in lower case. The server orders
    // this before the key events that follow on the connection.
    std::array<KeySym, 2> both = {keysym, keysym};
    XChangeKeyboardMapping(display_.get(), lease->keycode, 2, both.data(), 1);
    lent_ = true;
  }
  armRestore();
  return lease->keycode;
}

void X11EventPoster::scheduleRetry() {
  const double now = queue_.now();
  const double at = spares_.nextLendableAt().value_or(now + options_.spareReuseAfter);
  retryTimer_ = queue_.postAfter(Seconds(std::max(kMinRetryDelay, at - now)), [this] { drainDeferred(); });
}

void X11EventPoster::drainDeferred() {
  if (display_.broken()) return;
  while (!deferred_.empty()) {
    if (deliver(deferred_.front()) == Outcome::blocked) {
      scheduleRetry();
      break;
    }
    deferred_.pop_front();
  }
  XFlush(display_.get());
}

void X11EventPoster::armRestore() {
  restoreTimer_ = queue_.postAfter(Seconds(options_.spareRestoreAfter), [this] {
    restoreSpares();
    XFlush(display_.get());
  });
}

void X11EventPoster::restoreSpares() {
  if (!deferred_.empty()) return armRestore();
  std::array<KeySym, 2> none = {NoSymbol, NoSymbol};
  for (KeyCode keycode : spares_.takeMapped()) XChangeKeyboardMapping(display_.get(), keycode, 2, none.data(), 1);
  // A key the tablet still holds keeps its keysym until released.
  lent_ = spares_.anyHeld();
  if (lent_) armRestore();
}

const KeymapIndex& X11EventPoster::keymap() {
  if (!keymapStale_ || display_.broken()) return keymap_;
  keymapStale_ = false;
  int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
  XDisplayKeycodes(display_.get(), &minKeycode, &maxKeycode);
  KeySym* keysyms = XGetKeyboardMapping(display_.get(), KeyCode(minKeycode), maxKeycode - minKeycode + 1, &perKeycode);
  if (!keysyms) return keymap_;
  const std::size_t count = std::size_t(maxKeycode - minKeycode + 1) * std::size_t(std::max(perKeycode, 0));
  // Keycodes lent out carry our keysyms now but stay ours to lend.
  keymap_ = KeymapIndex(minKeycode, perKeycode, std::span<const KeySym>(keysyms, count),
                        [this](KeyCode keycode) { return spares_.owns(keycode); });
  XFree(keysyms);
  spares_.setSpares(keymap_.emptyKeycodes());
  return keymap_;
}

X11EventPoster::Size X11EventPoster::rootSize() {
  const double now = queue_.now();
  if (rootReadAt_ && now - *rootReadAt_ < kRootSizeRefresh && now >= *rootReadAt_) return root_;
  ::Window root = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (XGetGeometry(display_.get(), display_.root(), &root, &x, &y, &width, &height, &border, &depth) && width > 0 &&
      height > 0) {
    root_ = {int(width), int(height)};
    rootReadAt_ = now;
  }
  return root_;
}

void X11EventPoster::onEvent(const XEvent& event) {
  const auto change = keymapChanges_.of(event);
  if (!change) return;
  if (change->everything) keymapStale_ = true;
  // Our own lending and restoring need no new read of the map.
  for (int i = 0; i < change->count && !keymapStale_; ++i) {
    const int keycode = change->firstKeycode + i;
    keymapStale_ = keycode > 255 || !spares_.owns(KeyCode(keycode));
  }
}

}  // namespace orvane::x11
