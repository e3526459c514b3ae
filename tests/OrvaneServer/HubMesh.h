#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "OrvaneServer/Hub.h"

namespace orvane::server {

// One hub, or two clustered hubs wired to each other directly, behind the
// single hub's surface, so that one suite states the rules for both. Sockets
// get mesh-wide ids; pads (and sockets of no role) open on the first
// instance, hosts on the second. What an instance publishes or announces
// reaches the others at once, as the cluster's messages and presence
// doorbells do: a record is re-read from the shared table, and a later
// registration is not overwritten by an earlier one.
class HubMesh {
 public:
  enum class Layout { one, padsAndHostsApart };

  HubMesh(const Clock& clock, Logger log, HubLimits limits, Layout layout) {
    const int count = layout == Layout::one ? 1 : 2;
    for (int i = 0; i < count; ++i) {
      hubs_.push_back(std::make_unique<Hub>(clock, log, limits, nullptr, count == 1 ? "" : name(i)));
    }
  }

  static std::string name(int instance) { return instance == 0 ? "a" : "b"; }
  Hub& hub(int instance) { return *hubs_.at(std::size_t(instance)); }
  int placeOf(const std::string& role) const { return role == "mac" && hubs_.size() > 1 ? 1 : 0; }
  static SocketId global(int instance, SocketId local) { return local * 2 + SocketId(instance); }

  std::optional<SocketId> open(const SessionIdentity& identity) { return openOn(placeOf(identity.role), identity); }
  std::optional<SocketId> openOn(int instance, const SessionIdentity& identity) {
    auto id = hub(instance).open(identity);
    return id ? std::optional(global(instance, *id)) : std::nullopt;
  }
  HubActions frame(SocketId id, std::string_view text) { return on(id, [&](Hub& h, SocketId s) { return h.frame(s, text); }); }
  HubActions control(SocketId id) { return on(id, [&](Hub& h, SocketId s) { return h.control(s); }); }
  HubActions close(SocketId id) { return on(id, [&](Hub& h, SocketId s) { return h.close(s); }); }
  HubActions revokeUser(std::string_view user) { return expand(0, hub(0).revokeUser(user)); }
  std::size_t socketCount() const {
    std::size_t n = 0;
    for (const auto& h : hubs_) n += h->socketCount();
    return n;
  }

  // An instance that stopped: its messages are not received, and after its
  // presence lapsed the others learn it is gone.
  void setReachable(int instance, bool reachable) {
    if (reachable) unreachable_.erase(instance);
    else unreachable_.insert(instance);
  }
  HubActions lapse(int instance, int observer) {
    std::erase_if(table_, [&](const auto& entry) { return decodeDeviceRecord(entry.second)->instance == name(instance); });
    return expand(observer, hub(observer).instanceGone(name(instance)));
  }
  // What `instance` does with a record or message from elsewhere, in mesh-wide terms.
  HubActions deliver(int instance, HubActions actions) { return expand(instance, std::move(actions)); }

 private:
  template <typename F>
  HubActions on(SocketId id, F f) {
    const int instance = int(id % 2);
    if (std::size_t(instance) >= hubs_.size()) return {};
    return expand(instance, f(hub(instance), id / 2));
  }

  HubActions expand(int from, HubActions actions) {
    HubActions out;
    for (HubAction& a : actions) {
      switch (a.kind) {
        case HubAction::Kind::send:
        case HubAction::Kind::close:
          a.socket = global(from, a.socket);
          out.push_back(std::move(a));
          break;
        case HubAction::Kind::publish:
          for (int to = 0; to < int(hubs_.size()); ++to) {
            if (a.target.empty() ? to == from : name(to) != a.target) continue;
            HubActions more = unreachable_.contains(to) ? hub(from).undelivered(a.target, a.text)
                                                        : hub(to).peerMessage(a.text);
            append(out, expand(unreachable_.contains(to) ? from : to, std::move(more)));
          }
          break;
        case HubAction::Kind::announce: {
          auto stored = table_.find(a.target);
          if (stored == table_.end() || decodeDeviceRecord(stored->second)->sinceMs <= decodeDeviceRecord(a.text)->sinceMs) {
            table_[a.target] = a.text;
          }
          ring(a.target, out);
          break;
        }
        case HubAction::Kind::withdraw: {
          auto stored = table_.find(a.target);
          const auto mine = decodeDeviceRecord(a.text);
          if (stored != table_.end()) {
            const auto there = decodeDeviceRecord(stored->second);
            if (there->instance == mine->instance && there->socket == mine->socket) table_.erase(stored);
          }
          ring(a.target, out);
          break;
        }
      }
    }
    return out;
  }

  // The doorbell: every reachable instance re-reads the key.
  void ring(const std::string& key, HubActions& out) {
    auto stored = table_.find(key);
    const std::optional<DeviceRecord> record =
        stored == table_.end() ? std::nullopt : decodeDeviceRecord(stored->second);
    for (int i = 0; i < int(hubs_.size()); ++i) {
      if (!unreachable_.contains(i)) append(out, expand(i, hub(i).remoteDevice(key, record)));
    }
  }

  static void append(HubActions& out, HubActions more) {
    for (auto& a : more) out.push_back(std::move(a));
  }

  std::vector<std::unique_ptr<Hub>> hubs_;
  std::map<std::string, std::string> table_;  // presence key → record
  std::set<int> unreachable_;
};

}  // namespace orvane::server
