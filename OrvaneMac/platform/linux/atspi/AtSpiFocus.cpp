#include "OrvaneMac/platform/linux/atspi/AtSpiFocus.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvaneMac/platform/linux/atspi/AtSpiRoles.h"

namespace orvane {

namespace {

// Every AT-SPI call is a synchronous D-Bus round trip made on the main loop.
// libatspi gives up on an application after this (measured: once or twice
// this, depending on where its wait loop wakes).
constexpr int kCallTimeoutMs = 500;
constexpr auto kStallAfter = std::chrono::milliseconds(kCallTimeoutMs * 9 / 10);
// An application that did not answer is left alone this long: each click
// would otherwise hold the main loop again.
constexpr auto kUnresponsiveFor = std::chrono::seconds(5);
// Containers nested deeper than this are not followed to their leaves.
constexpr int kMaxDepth = 32;
// Process ids of applications seen; bus names are never reused while the bus runs.
constexpr std::size_t kMaxCachedPids = 1024;

constexpr const char* kFocusEvent = "object:state-changed:focused";
constexpr const char* kActivateEvent = "window:activate";

// libatspi's error domain and codes are private to it.
constexpr gint kAtspiErrorApplicationGone = 0;
constexpr gint kAtspiErrorIpc = 1;

struct ObjectUnref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using Ref = std::unique_ptr<T, ObjectUnref>;

template <typename T>
Ref<T> retain(T* object) {
  return Ref<T>(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

// A failed call's error, owned; the codes it maps to.
class CallError {
 public:
  CallError() : started_(std::chrono::steady_clock::now()) {}
  ~CallError() {
    if (error_) g_error_free(error_);
  }
  CallError(const CallError&) = delete;
  CallError& operator=(const CallError&) = delete;
  GError** out() { return &error_; }
  // Calls over an application's own connection give up after the timeout
  // without saying so: an empty answer that took that long is none.
  explicit operator bool() const { return error_ != nullptr || timedOut(); }
  // A timeout or a refused call reads as "cannot complete", as an application
  // that does not answer does on the Mac; a vanished one as an invalid element.
  AXError code() const {
    if (!error_) return timedOut() ? kAXErrorCannotComplete : kAXErrorSuccess;
    if (error_->domain == g_quark_from_static_string("atspi_error")) {
      if (error_->code == kAtspiErrorApplicationGone) return kAXErrorInvalidUIElement;
      if (error_->code == kAtspiErrorIpc) return kAXErrorCannotComplete;
    }
    return kAXErrorFailure;
  }

 private:
  bool timedOut() const { return std::chrono::steady_clock::now() - started_ >= kStallAfter; }

  std::chrono::steady_clock::time_point started_;
  GError* error_ = nullptr;
};

struct States {
  bool focused = false;
  bool active = false;
  bool showing = false;
  bool editable = false;
  bool multiLine = false;
};

// From libatspi's cache, which the state-change events keep current.
States statesOf(AtspiAccessible* accessible) {
  Ref<AtspiStateSet> set(atspi_accessible_get_state_set(accessible));
  States states;
  if (!set) return states;
  states.focused = atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED);
  states.active = atspi_state_set_contains(set.get(), ATSPI_STATE_ACTIVE);
  states.showing = atspi_state_set_contains(set.get(), ATSPI_STATE_SHOWING);
  states.editable = atspi_state_set_contains(set.get(), ATSPI_STATE_EDITABLE);
  states.multiLine = atspi_state_set_contains(set.get(), ATSPI_STATE_MULTI_LINE);
  return states;
}

// The children that came before a call failed, and the failure.
std::vector<Ref<AtspiAccessible>> childrenOf(AtspiAccessible* parent, AXError* failure = nullptr) {
  std::vector<Ref<AtspiAccessible>> children;
  CallError error;
  const gint count = atspi_accessible_get_child_count(parent, error.out());
  if (error && failure) *failure = error.code();
  for (gint i = 0; !error && i < count; ++i) {
    CallError childError;
    Ref<AtspiAccessible> child(atspi_accessible_get_child_at_index(parent, i, childError.out()));
    if (childError && failure) *failure = childError.code();
    if (childError) break;  // the rest would wait as long again
    if (child) children.push_back(std::move(child));
  }
  return children;
}

class AtSpiNode final : public AccessibleNode {
 public:
  AtSpiNode(Ref<AtspiAccessible> accessible, std::string role, std::int32_t pid)
      : accessible_(std::move(accessible)), role_(std::move(role)), pid_(pid) {}
  const std::string& role() const override { return role_; }
  std::int32_t pid() const override { return pid_; }

 private:
  Ref<AtspiAccessible> accessible_;
  std::string role_;
  std::int32_t pid_;
};

class WatchSubscription final : public Subscription {
 public:
  explicit WatchSubscription(std::shared_ptr<bool> alive) : alive_(std::move(alive)) {}
  ~WatchSubscription() override { *alive_ = false; }

 private:
  std::shared_ptr<bool> alive_;
};

class AtSpiFocusImpl final : public AtSpiFocus {
 public:
  explicit AtSpiFocusImpl(Executor& main) : main_(main) {
    listener_ = atspi_event_listener_new(&AtSpiFocusImpl::onEvent, this, nullptr);
    for (const char* type : {kFocusEvent, kActivateEvent}) {
      CallError error;
      atspi_event_listener_register(listener_, type, error.out());
    }
  }

  ~AtSpiFocusImpl() override {
    for (const char* type : {kFocusEvent, kActivateEvent}) {
      CallError error;
      atspi_event_listener_deregister(listener_, type, error.out());
    }
    g_object_unref(listener_);
    for (auto& watch : watches_) *watch.alive = false;
  }

  AXResult<AXElement> focusedElement() override {
    // Focus that moved before we listened, or before an application heard
    // that anyone does, sent no event.
    if (!focused_) findFocused();
    if (!focused_) return {kAXErrorNoValue, nullptr};
    const States states = statesOf(focused_.get());
    if (!states.focused) {
      focused_.reset();
      return {kAXErrorNoValue, nullptr};
    }
    return {kAXErrorSuccess, node(retain(focused_.get()), focusedPid_, states)};
  }

  AXResult<AXElement> elementAtPoint(std::int32_t pid, float x, float y) override {
    if (!std::isfinite(x) || !std::isfinite(y)) return {kAXErrorIllegalArgument, nullptr};
    // Screen coordinates travel as 32-bit integers.
    const auto clamp = [](float v) { return static_cast<gint>(std::fmax(-1e9f, std::fmin(1e9f, v))); };
    if (isUnresponsive(pid)) return {kAXErrorCannotComplete, nullptr};
    AXResult<AXElement> hit = hitTest(pid, clamp(x), clamp(y));
    if (hit.error == kAXErrorCannotComplete) markUnresponsive(pid);
    return hit;
  }

  std::unique_ptr<Subscription> observeFocus(std::int32_t pid, std::function<void()> changed) override {
    std::erase_if(watches_, [](const Watch& watch) { return !*watch.alive; });
    auto alive = std::make_shared<bool>(true);
    watches_.push_back(Watch{pid, std::make_shared<std::function<void()>>(std::move(changed)), alive});
    return std::make_unique<WatchSubscription>(std::move(alive));
  }

 private:
  struct Watch {
    std::int32_t pid;
    std::shared_ptr<std::function<void()>> changed;
    std::shared_ptr<bool> alive;
  };

  // The application's deepest element at a screen point.
  AXResult<AXElement> hitTest(std::int32_t pid, gint px, gint py) {
    // Some calls give up silently (a state set not cached yet): the whole
    // query gets one call's time, not one per call.
    const auto started = std::chrono::steady_clock::now();
    const auto stalled = [&] { return std::chrono::steady_clock::now() - started >= kStallAfter; };
    Ref<AtspiAccessible> app = applicationOf(pid);
    if (!app) return {kAXErrorInvalidUIElement, nullptr};

    // The active window first: it is on top where windows overlap.
    AXError failure = kAXErrorSuccess;
    std::vector<Ref<AtspiAccessible>> frames = childrenOf(app.get(), &failure);
    if (frames.empty() && failure != kAXErrorSuccess) return {failure, nullptr};
    std::stable_partition(frames.begin(), frames.end(),
                          [](const Ref<AtspiAccessible>& frame) { return statesOf(frame.get()).active; });
    for (auto& frame : frames) {
      if (stalled()) return {kAXErrorCannotComplete, nullptr};
      if (!statesOf(frame.get()).showing) continue;
      Ref<AtspiComponent> component(atspi_accessible_get_component_iface(frame.get()));
      if (!component) continue;
      CallError error;
      const bool inside = atspi_component_contains(component.get(), px, py, ATSPI_COORD_TYPE_SCREEN, error.out());
      if (error) return {error.code(), nullptr};
      if (!inside) continue;
      return deepest(std::move(frame), pid, px, py);
    }
    return {kAXErrorNoValue, nullptr};
  }

  static void onEvent(AtspiEvent* event, void* self) {
    static_cast<AtSpiFocusImpl*>(self)->handle(*event);
    g_boxed_free(ATSPI_TYPE_EVENT, event);  // each listener gets its own copy
  }

  void handle(const AtspiEvent& event) {
    if (!event.source || !event.type) return;
    const std::optional<std::int32_t> pid = pidOf(event.source);
    if (std::string_view(event.type).starts_with(kFocusEvent)) {
      if (event.detail1 != 0) {
        focused_ = retain(event.source);
        focusedPid_ = pid.value_or(0);
      } else if (focused_.get() == event.source) {
        focused_.reset();
      }
    }
    if (pid) notify(*pid);
  }

  // The callbacks run from the executor, not from inside libatspi's dispatch.
  void notify(std::int32_t pid) {
    for (const Watch& watch : watches_) {
      if (watch.pid != pid || !*watch.alive) continue;
      main_.post([changed = watch.changed, alive = watch.alive] {
        if (*alive) (*changed)();
      });
    }
  }

  std::optional<std::int32_t> pidOf(AtspiAccessible* accessible) {
    const AtspiObject* object = ATSPI_OBJECT(accessible);
    if (!object->app || !object->app->bus_name) return std::nullopt;
    const std::string busName = object->app->bus_name;
    if (auto it = pids_.find(busName); it != pids_.end()) return it->second;
    CallError error;
    const guint pid = atspi_accessible_get_process_id(accessible, error.out());
    if (error || pid == 0 || pid > static_cast<guint>(INT32_MAX)) return std::nullopt;
    if (pids_.size() >= kMaxCachedPids) pids_.clear();
    pids_.emplace(busName, static_cast<std::int32_t>(pid));
    return static_cast<std::int32_t>(pid);
  }

  Ref<AtspiAccessible> applicationOf(std::int32_t pid) {
    if (pid < 1) return nullptr;
    Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return nullptr;
    for (auto& app : childrenOf(desktop.get())) {
      if (pidOf(app.get()) == pid) return std::move(app);
    }
    return nullptr;
  }

  // Asks each level for its child at the point until none is narrower.
  AXResult<AXElement> deepest(Ref<AtspiAccessible> current, std::int32_t pid, gint x, gint y) {
    for (int depth = 0; depth < kMaxDepth; ++depth) {
      Ref<AtspiComponent> component(atspi_accessible_get_component_iface(current.get()));
      if (!component) break;
      CallError error;
      Ref<AtspiAccessible> child(
          atspi_component_get_accessible_at_point(component.get(), x, y, ATSPI_COORD_TYPE_SCREEN, error.out()));
      if (error) return {error.code(), nullptr};
      if (!child || child.get() == current.get()) break;
      current = std::move(child);
    }
    const States states = statesOf(current.get());
    return {kAXErrorSuccess, node(std::move(current), pid, states)};
  }

  // The focused element of the active window of any application. Cheap while
  // no window is active: frames and their states come from libatspi's cache.
  void findFocused() {
    Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return;
    GArray* wanted = g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
    const AtspiStateType focused = ATSPI_STATE_FOCUSED;
    g_array_append_val(wanted, focused);
    Ref<AtspiStateSet> states(atspi_state_set_new(wanted));
    g_array_free(wanted, TRUE);
    Ref<AtspiMatchRule> rule(atspi_match_rule_new(states.get(), ATSPI_Collection_MATCH_ALL, nullptr,
                                                  ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL,
                                                  nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
    for (auto& app : childrenOf(desktop.get())) {
      const std::int32_t pid = pidOf(app.get()).value_or(0);
      if (isUnresponsive(pid)) continue;
      AXError failure = kAXErrorSuccess;
      for (auto& frame : childrenOf(app.get(), &failure)) {
        if (!statesOf(frame.get()).active) continue;
        Ref<AtspiCollection> collection(atspi_accessible_get_collection_iface(frame.get()));
        if (!collection) continue;
        CallError error;
        GArray* matches = atspi_collection_get_matches(collection.get(), rule.get(),
                                                       ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, error.out());
        if (error) failure = error.code();
        if (!matches) continue;
        for (guint i = 0; i < matches->len; ++i) {
          Ref<AtspiAccessible> match(g_array_index(matches, AtspiAccessible*, i));
          if (match && !focused_) {
            focused_ = std::move(match);
            focusedPid_ = pid;
          }
        }
        g_array_free(matches, TRUE);
        if (focused_) return;
      }
      if (failure == kAXErrorCannotComplete) markUnresponsive(pid);
    }
  }

  bool isUnresponsive(std::int32_t pid) const {
    auto it = unresponsive_.find(pid);
    return it != unresponsive_.end() && std::chrono::steady_clock::now() < it->second;
  }

  void markUnresponsive(std::int32_t pid) {
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(unresponsive_, [&](const auto& entry) { return entry.second <= now; });
    unresponsive_[pid] = now + kUnresponsiveFor;
  }

  static AXElement node(Ref<AtspiAccessible> accessible, std::int32_t pid, const States& states) {
    CallError error;
    const AtspiRole role = atspi_accessible_get_role(accessible.get(), error.out());
    std::string name = accessibilityRole(error ? ATSPI_ROLE_UNKNOWN : role, states.editable, states.multiLine);
    return std::make_shared<AtSpiNode>(std::move(accessible), std::move(name), pid);
  }

  Executor& main_;
  AtspiEventListener* listener_ = nullptr;
  Ref<AtspiAccessible> focused_;
  std::int32_t focusedPid_ = 0;
  std::map<std::string, std::int32_t> pids_;
  std::map<std::int32_t, std::chrono::steady_clock::time_point> unresponsive_;
  std::vector<Watch> watches_;
};

}  // namespace

std::unique_ptr<AtSpiFocus> connectAtSpiFocus(Executor& main, LogSink& log) {
  const int status = atspi_init();  // 1: this process is connected already
  if (status != 0 && status != 1) {
    // A failed init leaves libatspi marked initialised but without a bus, and
    // any later call would abort; undoing it lets a later attempt start over.
    atspi_exit();
    Logger("com.kelbrin.Orvane.Mac", "session", log)
        .notice("[TextFieldObserver] no accessibility bus: text-field focus is not reported");
    return nullptr;
  }
  atspi_set_timeout(kCallTimeoutMs, -1);  // -1: no longer grace for applications just started
  // libatspi dispatches on the global default context unless told otherwise;
  // the executor runs on the caller's thread-default one.
  if (GMainContext* context = g_main_context_get_thread_default()) atspi_set_main_context(context);
  return std::make_unique<AtSpiFocusImpl>(main);
}

}  // namespace orvane
