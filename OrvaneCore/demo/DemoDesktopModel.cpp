#include "OrvaneCore/demo/DemoDesktopModel.h"

#include <algorithm>

namespace orvane {

namespace {

constexpr std::array<DemoApp, 3> kApps = {DemoApp::notes, DemoApp::safari, DemoApp::finder};
constexpr std::array<DemoScenario, 5> kScenarios = {DemoScenario::typeText, DemoScenario::resizeWindow,
                                                    DemoScenario::pageScroll, DemoScenario::pinchZoom,
                                                    DemoScenario::switchApp};

// macOS virtual key codes of the page keys the pad sends.
constexpr std::int64_t kPageDownKey = 121;
constexpr std::int64_t kPageUpKey = 116;
constexpr double kPageStep = 120;
constexpr double kMaxPageOffset = 600;

constexpr double kScaleStep = 1.2;
constexpr double kMinScale = 0.6;
constexpr double kMaxScale = 1.6;

}  // namespace

std::string_view toString(DemoApp app) {
  switch (app) {
    case DemoApp::notes: return "notes";
    case DemoApp::safari: return "safari";
    case DemoApp::finder: return "finder";
  }
  return {};
}

std::optional<DemoApp> demoAppFromString(std::string_view raw) {
  for (DemoApp app : kApps) {
    if (toString(app) == raw) return app;
  }
  return std::nullopt;
}

std::string_view displayName(DemoApp app) {
  switch (app) {
    case DemoApp::notes: return "Notes";
    case DemoApp::safari: return "Safari";
    case DemoApp::finder: return "Finder";
  }
  return {};
}

std::optional<DemoApp> demoAppForWindowID(std::string_view windowID) {
  if (windowID == "demo-notes") return DemoApp::notes;
  if (windowID == "demo-safari") return DemoApp::safari;
  if (windowID == "demo-finder") return DemoApp::finder;
  return std::nullopt;
}

const std::array<DemoApp, 3>& allDemoApps() { return kApps; }

std::string_view toString(DemoScenario scenario) {
  switch (scenario) {
    case DemoScenario::typeText: return "typeText";
    case DemoScenario::resizeWindow: return "resizeWindow";
    case DemoScenario::pageScroll: return "pageScroll";
    case DemoScenario::pinchZoom: return "pinchZoom";
    case DemoScenario::switchApp: return "switchApp";
  }
  return {};
}

std::optional<DemoScenario> demoScenarioFromString(std::string_view raw) {
  for (DemoScenario scenario : kScenarios) {
    if (toString(scenario) == raw) return scenario;
  }
  return std::nullopt;
}

const std::array<DemoScenario, 5>& allDemoScenarios() { return kScenarios; }

const std::vector<WindowInfo>& DemoDesktopModel::windows() {
  static const std::vector<WindowInfo> list = {
      {"demo-notes", "Notes", "Welcome to Orvane", std::nullopt},
      {"demo-safari", "Safari", "Start Page", std::nullopt},
      {"demo-finder", "Finder", "Documents", std::nullopt},
  };
  return list;
}

template <typename T>
bool DemoDesktopModel::assign(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}

bool DemoDesktopModel::complete(DemoScenario scenario) { return completed_.insert(scenario).second; }

void DemoDesktopModel::handle(const ControlEvent& event) {
  bool changed = false;
  if (auto* e = event.get<events::MouseMoved>()) {
    changed = assign(cursor_, std::optional<Point>(Point{e->x, e->y}));
  } else if (auto* e = event.get<events::MouseDragged>()) {
    changed = assign(cursor_, std::optional<Point>(Point{e->x, e->y}));
  } else if (auto* e = event.get<events::MouseDown>()) {
    cursor_ = Point{e->x, e->y};
    ++rippleCounter_;
    ripple_ = DemoRipple{Point{e->x, e->y}, rippleCounter_};
    changed = true;
  } else if (auto* e = event.get<events::KeyEvent>()) {
    if (!e->isDown || (e->keyCode != kPageDownKey && e->keyCode != kPageUpKey)) return;
    const double delta = e->keyCode == kPageDownKey ? kPageStep : -kPageStep;
    changed = assign(pageOffset_, std::clamp(pageOffset_ + delta, 0.0, kMaxPageOffset));
    changed = complete(DemoScenario::pageScroll) || changed;
  } else if (auto* e = event.get<events::TypeText>()) {
    typedText_ += e->text;
    changed = !e->text.empty();
    changed = complete(DemoScenario::typeText) || changed;
  } else if (auto* e = event.get<events::SwitchToWindow>()) {
    auto app = demoAppForWindowID(e->windowID);
    if (!app) return;
    changed = assign(currentApp_, *app);
    changed = complete(DemoScenario::switchApp) || changed;
  } else if (event.get<events::EnlargeWindow>()) {
    changed = assign(focusedWindowScale_, std::min(focusedWindowScale_ * kScaleStep, kMaxScale));
    changed = complete(DemoScenario::resizeWindow) || changed;
  } else if (event.get<events::ShrinkWindow>()) {
    changed = assign(focusedWindowScale_, std::max(focusedWindowScale_ / kScaleStep, kMinScale));
    changed = complete(DemoScenario::resizeWindow) || changed;
  }
  if (changed && onChange) onChange();
}

void DemoDesktopModel::skip(DemoScenario scenario) {
  if (complete(scenario) && onChange) onChange();
}

void DemoDesktopModel::markPinchZoom() { skip(DemoScenario::pinchZoom); }

std::optional<DemoScenario> DemoDesktopModel::currentStep() const {
  for (DemoScenario step : stepOrder) {
    if (!completed_.contains(step)) return step;
  }
  return std::nullopt;
}

}  // namespace orvane
