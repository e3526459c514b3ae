#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>

#include "OrvaneCore/input/LocalControlPolicy.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/platform/EventPoster.h"
#include "OrvaneMac/platform/InputTap.h"

namespace orvane {

// A person at the computer always wins: any mouse button, scroll, key press
// or modifier change the host did not inject pauses remote injection, releases
// what the tablet still holds and reports the change; injection resumes once
// the person has been quiet for the grace window. The policy's
// injectionDisabled flag is the emergency stop, which works without a tap.
class LocalControlGuard {
 public:
  // "ORV1" read big-endian, in kCGEventSourceUserData of every injected event.
  static constexpr std::int64_t kInjectionMarker = 0x4F525631;
  // What counts as local input. Plain movement does not: a nudged mouse
  // should not take the desktop away from the tablet.
  static constexpr std::array<CGEventType, 10> kLocalInputTypes = {
      kCGEventLeftMouseDown,  kCGEventLeftMouseUp,      kCGEventRightMouseDown,    kCGEventRightMouseUp,
      kCGEventOtherMouseDown, kCGEventLeftMouseDragged, kCGEventRightMouseDragged, kCGEventScrollWheel,
      kCGEventKeyDown,        kCGEventFlagsChanged};
  // The resume check runs just after the grace window so the policy has
  // surely turned.
  static constexpr double kResumeCheckSlack = 0.05;

  LocalControlGuard(Executor& mainQueue, InputTap& taps, EventPoster& events, LogSink& log = systemLogSink());
  LocalControlGuard(const LocalControlGuard&) = delete;
  LocalControlGuard& operator=(const LocalControlGuard&) = delete;

  // Installs the listen-only tap; without it only the emergency stop works.
  void start();
  // Removes the tap and forgets everything, without a report.
  void stop();
  // Recomputes whether the local user has control and reports a change.
  void evaluate();
  // Posts marked releases for what the tablet holds, at the cursor.
  void releaseHeldInjectedInput();

  bool hasTap() const { return tap_ != nullptr; }
  LocalControlPolicy& policy() { return policy_; }
  const LocalControlPolicy& policy() const { return policy_; }
  // Filled by the injector: what the tablet pressed and has not released.
  std::set<CGMouseButton>& heldMouseButtons() { return heldMouseButtons_; }
  std::set<CGKeyCode>& heldKeyVKeys() { return heldKeyVKeys_; }

  std::function<void(bool active)> onLocalControlChanged;

 private:
  void tapped(const TappedEvent& event);
  void scheduleResumeCheck();

  Executor& queue_;
  InputTap& taps_;
  EventPoster& events_;
  Console console_;
  LocalControlPolicy policy_{LocalControlPolicy::kDefaultGraceWindow};
  std::set<CGMouseButton> heldMouseButtons_;
  std::set<CGKeyCode> heldKeyVKeys_;
  std::unique_ptr<EventTap> tap_;
  TimerHandle resumeTimer_;
  bool lastEmitted_ = false;
};

}  // namespace orvane
