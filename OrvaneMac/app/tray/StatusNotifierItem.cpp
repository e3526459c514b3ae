#include "OrvaneMac/app/tray/StatusNotifierItem.h"

#include <gio/gio.h>
#include <unistd.h>

namespace orvane {

namespace {

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";
constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";

// Both objects' interfaces: the item at kItemPath, its menu at kMenuPath.
constexpr const char* kIntrospection = R"(<node>
  <interface name='org.kde.StatusNotifierItem'>
    <property name='Category' type='s' access='read'/>
    <property name='Id' type='s' access='read'/>
    <property name='Title' type='s' access='read'/>
    <property name='Status' type='s' access='read'/>
    <property name='IconName' type='s' access='read'/>
    <property name='IconPixmap' type='a(iiay)' access='read'/>
    <property name='ToolTip' type='(sa(iiay)ss)' access='read'/>
    <property name='ItemIsMenu' type='b' access='read'/>
    <property name='Menu' type='o' access='read'/>
    <method name='ContextMenu'>
      <arg name='x' type='i' direction='in'/><arg name='y' type='i' direction='in'/>
    </method>
    <method name='Activate'>
      <arg name='x' type='i' direction='in'/><arg name='y' type='i' direction='in'/>
    </method>
    <method name='SecondaryActivate'>
      <arg name='x' type='i' direction='in'/><arg name='y' type='i' direction='in'/>
    </method>
    <method name='Scroll'>
      <arg name='delta' type='i' direction='in'/><arg name='orientation' type='s' direction='in'/>
    </method>
    <signal name='NewTitle'/>
    <signal name='NewIcon'/>
    <signal name='NewToolTip'/>
    <signal name='NewStatus'><arg name='status' type='s'/></signal>
  </interface>
  <interface name='com.canonical.dbusmenu'>
    <property name='Version' type='u' access='read'/>
    <property name='TextDirection' type='s' access='read'/>
    <property name='Status' type='s' access='read'/>
    <method name='GetLayout'>
      <arg name='parentId' type='i' direction='in'/>
      <arg name='recursionDepth' type='i' direction='in'/>
      <arg name='propertyNames' type='as' direction='in'/>
      <arg name='revision' type='u' direction='out'/>
      <arg name='layout' type='(ia{sv}av)' direction='out'/>
    </method>
    <method name='GetGroupProperties'>
      <arg name='ids' type='ai' direction='in'/>
      <arg name='propertyNames' type='as' direction='in'/>
      <arg name='properties' type='a(ia{sv})' direction='out'/>
    </method>
    <method name='Event'>
      <arg name='id' type='i' direction='in'/>
      <arg name='eventId' type='s' direction='in'/>
      <arg name='data' type='v' direction='in'/>
      <arg name='timestamp' type='u' direction='in'/>
    </method>
    <method name='AboutToShow'>
      <arg name='id' type='i' direction='in'/>
      <arg name='needUpdate' type='b' direction='out'/>
    </method>
    <signal name='LayoutUpdated'><arg name='revision' type='u'/><arg name='parent' type='i'/></signal>
  </interface>
</node>)";

GVariant* pixmapArray(const std::vector<IconPixmap>& pixmaps) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  for (const IconPixmap& p : pixmaps) {
    GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, p.argb.data(), p.argb.size(), 1);
    g_variant_builder_add(&builder, "(ii@ay)", p.width, p.height, bytes);
  }
  return g_variant_builder_end(&builder);
}

// A menu item's id is its index + 1; 0 is the root.
bool validItem(const std::vector<TrayMenuItem>& menu, int id) {
  return id >= 1 && static_cast<std::size_t>(id) <= menu.size();
}

GVariant* itemProperties(const TrayMenuItem& item) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  if (item.label.empty()) {
    g_variant_builder_add(&builder, "{sv}", "type", g_variant_new_string("separator"));
  } else {
    g_variant_builder_add(&builder, "{sv}", "label", g_variant_new_string(item.label.c_str()));
  }
  if (!item.enabled) g_variant_builder_add(&builder, "{sv}", "enabled", g_variant_new_boolean(FALSE));
  return g_variant_builder_end(&builder);
}

GVariant* itemLayout(int id, GVariant* properties, const std::vector<GVariant*>& children) {
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("av"));
  for (GVariant* child : children) g_variant_builder_add(&list, "v", child);
  return g_variant_new("(i@a{sv}@av)", id, properties, g_variant_builder_end(&list));
}

GVariant* menuLayout(const std::vector<TrayMenuItem>& menu, int parentId) {
  if (validItem(menu, parentId)) return itemLayout(parentId, itemProperties(menu[parentId - 1]), {});
  std::vector<GVariant*> children;
  for (std::size_t i = 0; i < menu.size(); ++i) {
    children.push_back(itemLayout(static_cast<int>(i + 1), itemProperties(menu[i]), {}));
  }
  GVariantBuilder root;
  g_variant_builder_init(&root, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&root, "{sv}", "children-display", g_variant_new_string("submenu"));
  return itemLayout(0, g_variant_builder_end(&root), children);
}

bool cancelled(GError* error) { return error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED); }

}  // namespace

// GDBus's entry points: each one turns a call into the item's own terms.
struct StatusNotifierItem::Handlers {
  static StatusNotifierItem& of(void* data) { return *static_cast<StatusNotifierItem*>(data); }

  static void itemMethod(GDBusConnection*, const char*, const char*, const char*, const char* method,
                         GVariant* parameters, GDBusMethodInvocation* invocation, void* data) {
    auto& self = of(data);
    if (g_str_equal(method, "Scroll")) {
      g_dbus_method_invocation_return_value(invocation, nullptr);
      return;
    }
    int x = 0, y = 0;
    g_variant_get(parameters, "(ii)", &x, &y);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (self.onActivate) self.onActivate(x, y);
  }

  static GVariant* itemProperty(GDBusConnection*, const char*, const char*, const char*, const char* property, GError**,
                                void* data) {
    auto& self = of(data);
    if (g_str_equal(property, "Category")) return g_variant_new_string("ApplicationStatus");
    if (g_str_equal(property, "Id")) return g_variant_new_string("orvane");
    if (g_str_equal(property, "Title")) return g_variant_new_string("Orvane");
    if (g_str_equal(property, "Status")) return g_variant_new_string("Active");
    if (g_str_equal(property, "IconName")) return g_variant_new_string("");
    if (g_str_equal(property, "IconPixmap")) return pixmapArray(self.pixmaps_);
    if (g_str_equal(property, "ItemIsMenu")) return g_variant_new_boolean(FALSE);
    if (g_str_equal(property, "Menu")) return g_variant_new_object_path(kMenuPath);
    // ToolTip: no icon of its own, the title, the state.
    return g_variant_new("(s@a(iiay)ss)", "", pixmapArray({}), "Orvane", self.toolTip_.c_str());
  }

  static void menuMethod(GDBusConnection*, const char*, const char*, const char*, const char* method,
                         GVariant* parameters, GDBusMethodInvocation* invocation, void* data) {
    auto& self = of(data);
    const auto& menu = self.menu_;
    if (g_str_equal(method, "GetLayout")) {
      int parentId = 0, depth = 0;
      g_variant_get(parameters, "(ii@as)", &parentId, &depth, nullptr);
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(u@(ia{sv}av))", self.menuRevision_, menuLayout(menu, parentId)));
    } else if (g_str_equal(method, "GetGroupProperties")) {
      GVariant* ids = g_variant_get_child_value(parameters, 0);
      gsize count = 0;
      const auto* wanted = static_cast<const gint32*>(g_variant_get_fixed_array(ids, &count, sizeof(gint32)));
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ia{sv})"));
      for (std::size_t i = 0; i < (count ? count : menu.size()); ++i) {
        const int id = count ? wanted[i] : static_cast<int>(i + 1);
        if (validItem(menu, id)) g_variant_builder_add(&builder, "(i@a{sv})", id, itemProperties(menu[id - 1]));
      }
      g_variant_unref(ids);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&builder)));
    } else if (g_str_equal(method, "AboutToShow")) {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else {  // Event
      int id = 0;
      const char* event = nullptr;
      g_variant_get(parameters, "(i&s@vu)", &id, &event, nullptr, nullptr);
      std::optional<PopoverAction> action;
      if (g_str_equal(event, "clicked") && validItem(menu, id)) action = menu[id - 1].action;
      g_dbus_method_invocation_return_value(invocation, nullptr);
      if (action && self.onMenuAction) self.onMenuAction(*action);
    }
  }

  static GVariant* menuProperty(GDBusConnection*, const char*, const char*, const char*, const char* property, GError**,
                                void*) {
    if (g_str_equal(property, "Version")) return g_variant_new_uint32(3);
    if (g_str_equal(property, "TextDirection")) return g_variant_new_string("ltr");
    return g_variant_new_string("normal");
  }

  static void busAcquired(GDBusConnection* connection, const char*, void* data) { of(data).busAcquired(connection); }
  static void nameAcquired(GDBusConnection* connection, const char*, void* data) {
    auto& self = of(data);
    self.log_.info("[Tray] owns %{public}s", self.busName_);
    self.watchId_ = g_bus_watch_name_on_connection(connection, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                   watcherAppeared, watcherVanished, data, nullptr);
  }
  static void nameLost(GDBusConnection* connection, const char*, void* data) { of(data).nameLost(connection); }
  static void watcherAppeared(GDBusConnection*, const char*, const char*, void* data) { of(data).watcherAppeared(); }
  static void watcherVanished(GDBusConnection*, const char*, void* data) { of(data).watcherVanished(); }

  static void hostSignal(GDBusConnection*, const char*, const char*, const char*, const char* signal, GVariant*,
                         void* data) {
    if (g_str_has_prefix(signal, "StatusNotifierHost")) of(data).queryHost();
  }

  static void registerReply(GObject* source, GAsyncResult* result, void* data) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (cancelled(error)) {  // the item is gone
      g_error_free(error);
      return;
    }
    auto& self = of(data);
    self.registered_ = reply != nullptr;
    if (reply) {
      self.log_.info("[Tray] registered with the watcher");
      g_variant_unref(reply);
      self.queryHost();
    } else {
      self.log_.error("[Tray] the watcher refused the item: %{public}s", error->message);
      g_error_free(error);
      self.setHostAvailable(false);
    }
  }

  static void hostReply(GObject* source, GAsyncResult* result, void* data) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (cancelled(error)) {
      g_error_free(error);
      return;
    }
    bool available = false;
    if (reply) {
      GVariant* value = nullptr;
      g_variant_get(reply, "(v)", &value);
      available = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
      g_variant_unref(value);
      g_variant_unref(reply);
    } else {
      g_error_free(error);
    }
    of(data).setHostAvailable(available);
  }
};

namespace {
const GDBusInterfaceVTable kItemVTable = {
    StatusNotifierItem::Handlers::itemMethod, StatusNotifierItem::Handlers::itemProperty, nullptr, {}};
const GDBusInterfaceVTable kMenuVTable = {
    StatusNotifierItem::Handlers::menuMethod, StatusNotifierItem::Handlers::menuProperty, nullptr, {}};
}  // namespace

StatusNotifierItem::StatusNotifierItem(LogSink& log)
    : log_("com.kelbrin.Orvane.Mac", "tray", log),
      busName_("org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1"),
      interfaces_(g_dbus_node_info_new_for_xml(kIntrospection, nullptr)),
      cancellable_(g_cancellable_new()) {
  for (int size : kIconSizes) pixmaps_.push_back(drawTrayIcon(size, colour_));
  ownerId_ = g_bus_own_name(G_BUS_TYPE_SESSION, busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, Handlers::busAcquired,
                            Handlers::nameAcquired, Handlers::nameLost, this, nullptr);
}

StatusNotifierItem::~StatusNotifierItem() {
  g_cancellable_cancel(cancellable_);
  if (watchId_) g_bus_unwatch_name(watchId_);
  if (connection_) {
    if (hostSignalsId_) g_dbus_connection_signal_unsubscribe(connection_, hostSignalsId_);
    if (itemObjectId_) g_dbus_connection_unregister_object(connection_, itemObjectId_);
    if (menuObjectId_) g_dbus_connection_unregister_object(connection_, menuObjectId_);
  }
  g_bus_unown_name(ownerId_);
  g_object_unref(cancellable_);
  g_dbus_node_info_unref(interfaces_);
}

void StatusNotifierItem::busAcquired(GDBusConnection* connection) {
  connection_ = connection;
  GError* error = nullptr;
  itemObjectId_ = g_dbus_connection_register_object(connection, kItemPath,
                                                    g_dbus_node_info_lookup_interface(interfaces_, kItemInterface),
                                                    &kItemVTable, this, nullptr, &error);
  if (!error) {
    menuObjectId_ = g_dbus_connection_register_object(connection, kMenuPath,
                                                      g_dbus_node_info_lookup_interface(interfaces_, kMenuInterface),
                                                      &kMenuVTable, this, nullptr, &error);
  }
  if (error) {
    log_.error("[Tray] cannot export the item: %{public}s", error->message);
    g_error_free(error);
  }
  hostSignalsId_ =
      g_dbus_connection_signal_subscribe(connection, kWatcherName, kWatcherInterface, nullptr, kWatcherPath, nullptr,
                                         G_DBUS_SIGNAL_FLAGS_NONE, Handlers::hostSignal, this, nullptr);
}

void StatusNotifierItem::nameLost(GDBusConnection* connection) {
  // Without a connection there is no session bus at all; either way no tray
  // will show this item.
  if (!connection) {
    log_.error("[Tray] no session bus");
  } else {
    log_.error("[Tray] cannot own %{public}s", busName_);
  }
  registered_ = false;
  setHostAvailable(false);
}

void StatusNotifierItem::watcherAppeared() { registerWithWatcher(); }

void StatusNotifierItem::watcherVanished() {
  registered_ = false;
  setHostAvailable(false);
}

void StatusNotifierItem::registerWithWatcher() {
  g_dbus_connection_call(connection_, kWatcherName, kWatcherPath, kWatcherInterface, "RegisterStatusNotifierItem",
                         g_variant_new("(s)", busName_.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
                         Handlers::registerReply, this);
}

void StatusNotifierItem::queryHost() {
  if (!connection_) return;
  g_dbus_connection_call(connection_, kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", kWatcherInterface, "IsStatusNotifierHostRegistered"),
                         G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable_, Handlers::hostReply, this);
}

void StatusNotifierItem::setHostAvailable(bool available) {
  if (hostAvailable_ == available) return;
  hostAvailable_ = available;
  log_.info("[Tray] tray host available: %{bool,public}d", available);
  if (onHostAvailabilityChanged) onHostAvailabilityChanged(available);
}

void StatusNotifierItem::emit(const char* path, const char* interface, const char* signal, GVariant* values) {
  if (!connection_) {
    if (values) g_variant_unref(g_variant_ref_sink(values));
    return;
  }
  g_dbus_connection_emit_signal(connection_, nullptr, path, interface, signal, values, nullptr);
}

void StatusNotifierItem::setIconColour(Rgb colour) {
  if (colour == colour_) return;
  colour_ = colour;
  pixmaps_.clear();
  for (int size : kIconSizes) pixmaps_.push_back(drawTrayIcon(size, colour_));
  emit(kItemPath, kItemInterface, "NewIcon", nullptr);
}

void StatusNotifierItem::setToolTip(const std::string& description) {
  if (description == toolTip_) return;
  toolTip_ = description;
  emit(kItemPath, kItemInterface, "NewToolTip", nullptr);
}

void StatusNotifierItem::setMenu(std::vector<TrayMenuItem> items) {
  if (items == menu_) return;
  menu_ = std::move(items);
  ++menuRevision_;
  emit(kMenuPath, kMenuInterface, "LayoutUpdated", g_variant_new("(ui)", menuRevision_, 0));
}

}  // namespace orvane
