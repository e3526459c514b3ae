#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

namespace orvane::test {

// A second client of the bus: where the panel's side (the watcher, the
// calls a tray host makes) lives.
GDBusConnection* connectTo(const std::string& address);

// A method call answered while the main loop runs (the item answers on this
// thread's loop, so a blocking call would wait for itself). Null on error.
GVariant* callAndWait(GDBusConnection* connection, const char* name, const char* path, const char* interface,
                      const char* method, GVariant* parameters, double seconds = 5);
// A property through org.freedesktop.DBus.Properties.Get; null on error.
GVariant* propertyOf(GDBusConnection* connection, const char* name, const char* path, const char* interface,
                     const char* property);

// The panel's StatusNotifierWatcher: records the items that register and
// says whether a host shows them.
class TestWatcher {
 public:
  TestWatcher(GDBusConnection* connection, bool hostRegistered);
  ~TestWatcher();
  // Owned once the bus has confirmed the name.
  bool owned() const { return owned_; }
  const std::vector<std::string>& registeredItems() const { return items_; }

  struct Handlers;

 private:
  GDBusConnection* connection_;
  GDBusNodeInfo* interfaces_;
  unsigned ownerId_ = 0;
  unsigned objectId_ = 0;
  bool hostRegistered_;
  bool owned_ = false;
  std::vector<std::string> items_;
};

}  // namespace orvane::test
