#pragma once

#include <X11/X.h>

#include <optional>
#include <vector>

namespace orvane::x11 {

// Keycodes the keyboard map leaves without symbols, lent to keysyms the map
// lacks (text, symbols of other layouts). X clients translate a key event
// with the map as it is when they get to the event, not as it was when the
// event was sent: a keycode whose keysym changes while events for it are in
// flight types the wrong character. So a keycode keeps its keysym for a whole
// burst (each distinct keysym gets its own keycode, repeats reuse it) and is
// lent to another keysym only once it has been unused for `reuseAfter`.
class SpareKeyPool {
 public:
  explicit SpareKeyPool(double reuseAfter);

  // The keycodes to lend. Lent keycodes still listed keep their keysym and
  // holds; the others are forgotten.
  void setSpares(const std::vector<KeyCode>& keycodes);
  bool empty() const { return slots_.empty(); }
  bool owns(KeyCode keycode) const;

  struct Lease {
    KeyCode keycode;
    bool mapNow;  // the keycode does not carry the keysym yet
  };
  // A keycode for `keysym` at time `now`; nothing while every keycode is
  // held or was used too recently to change.
  std::optional<Lease> lend(KeySym keysym, double now);
  // A held keycode (a key the tablet keeps pressed) is never lent anew.
  void hold(KeyCode keycode);
  void unhold(KeyCode keycode);
  bool anyHeld() const;
  // When a keycode may next be lent to a new keysym; nothing while all are held.
  std::optional<double> nextLendableAt() const;
  // The keycodes that carry a keysym and are not held, which the caller maps
  // back to no symbols; the pool forgets their keysyms.
  std::vector<KeyCode> takeMapped();

 private:
  struct Slot {
    KeyCode keycode = 0;
    KeySym keysym = NoSymbol;
    double lastUsed = 0;
    int holds = 0;
  };

  double reuseAfter_;
  std::vector<Slot> slots_;
};

}  // namespace orvane::x11
