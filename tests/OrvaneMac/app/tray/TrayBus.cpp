#include "tests/OrvaneMac/app/tray/TrayBus.h"

#include <memory>
#include <stdexcept>

#include "tests/support/x11/MainLoop.h"

namespace orvane::test {

GDBusConnection* connectTo(const std::string& address) {
  const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GDBusConnection* connection =
      g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, nullptr);
  if (!connection) throw std::runtime_error("cannot connect to " + address);
  return connection;
}

GVariant* callAndWait(GDBusConnection* connection, const char* name, const char* path, const char* interface,
                      const char* method, GVariant* parameters, double seconds) {
  struct Reply {
    bool done = false;
    GVariant* value = nullptr;
  };
  auto reply = std::make_shared<Reply>();
  auto* held = new std::shared_ptr<Reply>(reply);
  g_dbus_connection_call(
      connection, name, path, interface, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE,
      static_cast<int>(seconds * 1000), nullptr,
      [](GObject* source, GAsyncResult* result, void* data) {
        std::unique_ptr<std::shared_ptr<Reply>> r(static_cast<std::shared_ptr<Reply>*>(data));
        (*r)->value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        (*r)->done = true;
      },
      held);
  runMainLoopUntil([&] { return reply->done; }, seconds + 1);
  return reply->value;
}

GVariant* propertyOf(GDBusConnection* connection, const char* name, const char* path, const char* interface,
                     const char* property) {
  GVariant* reply = callAndWait(connection, name, path, "org.freedesktop.DBus.Properties", "Get",
                                g_variant_new("(ss)", interface, property));
  if (!reply) return nullptr;
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  g_variant_unref(reply);
  return value;
}

namespace {
constexpr const char* kWatcherXml = R"(<node>
  <interface name='org.kde.StatusNotifierWatcher'>
    <method name='RegisterStatusNotifierItem'><arg name='service' type='s' direction='in'/></method>
    <property name='IsStatusNotifierHostRegistered' type='b' access='read'/>
  </interface>
</node>)";
}  // namespace

struct TestWatcher::Handlers {
  static void method(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters,
                     GDBusMethodInvocation* invocation, void* data) {
    const char* service = nullptr;
    g_variant_get(parameters, "(&s)", &service);
    static_cast<TestWatcher*>(data)->items_.push_back(service);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
  static GVariant* property(GDBusConnection*, const char*, const char*, const char*, const char*, GError**,
                            void* data) {
    return g_variant_new_boolean(static_cast<TestWatcher*>(data)->hostRegistered_);
  }
  static void acquired(GDBusConnection*, const char*, void* data) { static_cast<TestWatcher*>(data)->owned_ = true; }
};

TestWatcher::TestWatcher(GDBusConnection* connection, bool hostRegistered)
    : connection_(connection),
      interfaces_(g_dbus_node_info_new_for_xml(kWatcherXml, nullptr)),
      hostRegistered_(hostRegistered) {
  static const GDBusInterfaceVTable vtable = {Handlers::method, Handlers::property, nullptr, {}};
  objectId_ = g_dbus_connection_register_object(connection_, "/StatusNotifierWatcher", interfaces_->interfaces[0],
                                                &vtable, this, nullptr, nullptr);
  ownerId_ = g_bus_own_name_on_connection(connection_, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
                                          Handlers::acquired, nullptr, this, nullptr);
}

TestWatcher::~TestWatcher() {
  g_bus_unown_name(ownerId_);
  g_dbus_connection_unregister_object(connection_, objectId_);
  g_dbus_node_info_unref(interfaces_);
}

}  // namespace orvane::test
