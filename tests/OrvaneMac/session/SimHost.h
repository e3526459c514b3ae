#pragma once

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/sim/SimAppIndex.h"
#include "OrvaneMac/platform/sim/SimCapture.h"
#include "OrvaneMac/platform/sim/SimDesktop.h"
#include "OrvaneMac/platform/sim/SimSession.h"
#include "tests/OrvaneMac/session/TestHost.h"

namespace orvane::test {

// A whole host on the sim platform: a desktop with one 1440 x 900 screen and
// capture with its display. Virtual time only.
class SimHost : public TestHost {
 public:
  SimHost() {
    capture.addDisplay(1440, 900);
    build(main, ports(), {"/usr/share/applications/"});
  }

  ~SimHost() override {
    coordinator.reset();
    main.runUntilIdle();
    main.runUntil([this] { return recordStoresClosed(); }, std::chrono::seconds(10));
  }

  void runUntilIdle() override { main.runUntilIdle(); }

  SessionPorts ports() {
    return SessionPorts{desktop, desktop, desktop, desktop, desktop, desktop, capture,
                        capture, appIndex, session, session, session, session};
  }

  // The local user pressing a key: the guard takes control for the grace window.
  void localKeyDown() {
    CGEvent key;
    key.type = kCGEventKeyDown;
    desktop.localInput(key);
    main.runUntilIdle();
  }

  ManualExecutor main;
  SimDesktop desktop{main};
  SimSession session{main, desktop};
  SimCapture capture{main};
  SimAppIndex appIndex{main};
};

}  // namespace orvane::test
