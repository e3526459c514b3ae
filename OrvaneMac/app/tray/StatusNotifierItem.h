#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/app/tray/PopoverModel.h"
#include "OrvaneMac/app/tray/TrayIcon.h"

using GDBusConnection = struct _GDBusConnection;
using GCancellable = struct _GCancellable;
using GDBusNodeInfo = struct _GDBusNodeInfo;
using GVariant = struct _GVariant;

namespace orvane {

// The host's tray item: a StatusNotifierItem on the session bus with a small
// com.canonical.dbusmenu menu beside it. It owns
// "org.kde.StatusNotifierItem-<pid>-1", registers with the
// StatusNotifierWatcher, and registers again whenever a watcher (re)appears.
// Main loop only (the thread-default GLib context it was made on).
class StatusNotifierItem {
 public:
  static constexpr const char* kItemPath = "/StatusNotifierItem";
  static constexpr const char* kMenuPath = "/MenuBar";
  static constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
  static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
  static constexpr int kIconSizes[] = {22, 44};

  // Starts owning the name on the session bus; everything after that is
  // reported through the callbacks.
  explicit StatusNotifierItem(LogSink& log = systemLogSink());
  ~StatusNotifierItem();
  StatusNotifierItem(const StatusNotifierItem&) = delete;
  StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

  const std::string& busName() const { return busName_; }

  // Each emits its change signal when the value differs from the last one.
  void setIconColour(Rgb colour);
  void setToolTip(const std::string& description);
  void setMenu(std::vector<TrayMenuItem> items);

  // Whether a tray host shows items: the watcher's IsStatusNotifierHostRegistered.
  // Nothing until known; false without a bus or a watcher.
  std::optional<bool> hostAvailable() const { return hostAvailable_; }
  // The watcher accepted the item.
  bool registered() const { return registered_; }

  // Activate(x, y): the item was clicked; SecondaryActivate and ContextMenu
  // end here too, as the popover is the item's whole interface.
  std::function<void(int x, int y)> onActivate;
  std::function<void(PopoverAction)> onMenuAction;
  std::function<void(bool available)> onHostAvailabilityChanged;

  // The interfaces' method and property handlers; GDBus calls them.
  struct Handlers;

 private:
  void busAcquired(GDBusConnection* connection);
  void nameLost(GDBusConnection* connection);
  void watcherAppeared();
  void watcherVanished();
  void registerWithWatcher();
  void queryHost();
  void setHostAvailable(bool available);
  void emit(const char* path, const char* interface, const char* signal, GVariant* parameters);

  Logger log_;
  std::string busName_;
  GDBusNodeInfo* interfaces_ = nullptr;
  GDBusConnection* connection_ = nullptr;  // not owned: the shared session bus
  GCancellable* cancellable_ = nullptr;    // pending calls to the watcher
  unsigned ownerId_ = 0;
  unsigned watchId_ = 0;
  unsigned itemObjectId_ = 0;
  unsigned menuObjectId_ = 0;
  unsigned hostSignalsId_ = 0;

  Rgb colour_;
  std::vector<IconPixmap> pixmaps_;
  std::string toolTip_;
  std::vector<TrayMenuItem> menu_;
  std::uint32_t menuRevision_ = 1;
  std::optional<bool> hostAvailable_;
  bool registered_ = false;
};

}  // namespace orvane
