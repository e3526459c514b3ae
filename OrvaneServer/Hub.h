#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneServer/Limits.h"
#include "OrvaneServer/TokenBucket.h"
#include "OrvaneServer/auth/Auth.h"

namespace orvane {
struct WSEnvelope;
}

namespace orvane::server {

using SocketId = std::uint64_t;

// Something the network side must do for the hub.
struct HubAction {
  enum class Kind { send, close };
  Kind kind = Kind::send;
  SocketId socket = 0;
  std::string text;  // send: the frame; close: the reason
  std::uint16_t closeCode = 0;

  bool operator==(const HubAction&) const = default;
};
using HubActions = std::vector<HubAction>;

struct HubLimits {
  std::size_t maxSocketsPerUser = limits::kMaxSocketsPerUser;
  double framesPerSecond = limits::kFramesPerSecond;
  double frameBurst = limits::kFrameBurst;
};

// The signalling rules without any network: which devices are online for
// which user, who is paired with whom, and what each frame makes the server
// send. Devices see and reach only devices of their own user. Not thread-safe.
//
// A socket is opened with the identity of its session token, registers its
// device with "hello" (role and device id must be those the token was issued
// for), and is then served: "listHosts" from any device, "connectRequest"
// from pads to hosts ("mac"), and offer/answer/ice/bye to the paired device.
// A socket the hub drops (replaced, over its rate, account deleted) is
// forgotten at once; the close action tells the network side to close it.
class Hub {
 public:
  Hub(const Clock& clock, Logger log, HubLimits limits = {});

  // Nothing when the user already has the most sockets allowed.
  std::optional<SocketId> open(const SessionIdentity& identity);
  HubActions frame(SocketId socket, std::string_view text);
  // A ping or pong arrived: the socket is alive, and it spends rate budget.
  HubActions control(SocketId socket);
  HubActions close(SocketId socket);
  HubActions revokeUser(std::string_view userId);

  std::size_t socketCount() const { return sockets_.size(); }

 private:
  struct Socket {
    Socket(SessionIdentity i, TokenBucket b) : identity(std::move(i)), bucket(b) {}
    SessionIdentity identity;
    TokenBucket bucket;
    bool registered = false;
    std::string role;
    std::string deviceId;
    std::string deviceName;
    SocketId partner = 0;
    std::int64_t lastSeen = 0;
  };
  using DeviceKey = std::pair<std::string, std::string>;  // user, device

  void hello(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out);
  void listHosts(SocketId id, const Socket& s, HubActions& out);
  void connectRequest(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out);
  void route(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out);
  void unpair(SocketId id, HubActions& out);  // tells the partner it is gone
  void drop(SocketId id, std::uint16_t code, std::string reason, HubActions& out);
  void forget(SocketId id);
  std::int64_t nowSeconds() const;

  const Clock& clock_;
  Logger log_;
  HubLimits limits_;
  SocketId nextId_ = 1;
  std::unordered_map<SocketId, Socket> sockets_;
  std::map<DeviceKey, SocketId> devices_;  // registered devices, ordered by user
  std::unordered_map<std::string, std::size_t> socketsPerUser_;
};

// Control characters and quotes replaced, for log lines built from client text.
std::string printable(std::string_view text);

}  // namespace orvane::server
