#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/platform/sim/SimDesktop.h"

namespace orvane::test {

using Lines = std::vector<std::string>;

// One line per posted event, so expected sequences read as tables:
// "keyDown 55 0x120000 M" (M: the injection marker), "leftDown 720,450 b0 c2",
// "scroll -6,4", "system 8 0xa00 -1".
inline std::string describe(const CGEvent& e) {
  static const std::map<CGEventType, const char*> kNames = {
      {1, "leftDown"},     {2, "leftUp"},   {3, "rightDown"}, {4, "rightUp"},  {5, "moved"},      {6, "leftDragged"},
      {7, "rightDragged"}, {10, "keyDown"}, {11, "keyUp"},    {14, "system"}, {22, "scroll"}, {25, "otherDown"},
      {26, "otherUp"}};
  const char* name = kNames.at(e.type);
  char text[128];
  if (e.type == kCGEventScrollWheel) {
    std::snprintf(text, sizeof text, "scroll %d,%d", e.wheel1, e.wheel2);
  } else if (e.type == kNSEventTypeSystemDefined) {
    std::snprintf(text, sizeof text, "system %d 0x%llx %lld", e.subtype, static_cast<long long>(e.data1),
                  static_cast<long long>(e.data2));
  } else if (e.type == kCGEventKeyDown || e.type == kCGEventKeyUp) {
    std::snprintf(text, sizeof text, "%s %u", name, e.keyCode);
  } else {
    std::snprintf(text, sizeof text, "%s %lld,%lld b%u", name, static_cast<long long>(e.location.x),
                  static_cast<long long>(e.location.y), e.button);
  }
  std::string line = text;
  if (e.clickState) line += " c" + std::to_string(e.clickState);
  if (e.flags) std::snprintf(text, sizeof text, " 0x%llx", static_cast<unsigned long long>(e.flags)), line += text;
  if (e.userData) line += e.userData == LocalControlGuard::kInjectionMarker ? " M" : " user=" + std::to_string(e.userData);
  return line;
}

// The events posted so far, one line each; forgets them.
inline Lines takePosted(SimDesktop& desktop) {
  Lines lines;
  for (const CGEvent& e : desktop.posted()) lines.push_back(describe(e));
  desktop.clearPosted();
  return lines;
}

// A desktop with one 1440 x 900 screen, an injector and a guard attached to it.
class InputFixture : public ::testing::Test {
 protected:
  InputFixture() { injector.attachGuard(guard); }

  Lines posted() const {
    Lines lines;
    for (const CGEvent& e : sim.posted()) lines.push_back(describe(e));
    return lines;
  }
  Lines takePosted() { return test::takePosted(sim); }
  // A person at the desktop, with the tap's delivery run.
  void local(CGEventType type, std::int64_t userData = 0) {
    CGEvent event;
    event.type = type;
    event.userData = userData;
    sim.localInput(event);
    queue.runUntilIdle();
  }

  ManualExecutor queue;
  CapturingLogSink log;
  SimDesktop sim{queue};
  std::shared_ptr<LocalControlGuard> guard = std::make_shared<LocalControlGuard>(queue, sim, sim, log);
  InputInjector injector{queue, sim, sim, sim, sim, log};
};

}  // namespace orvane::test
