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
#include "OrvaneServer/HubWire.h"
#include "OrvaneServer/Limits.h"
#include "OrvaneServer/TokenBucket.h"
#include "OrvaneServer/TurnCredentials.h"
#include "OrvaneServer/auth/Auth.h"

namespace orvane {
struct WSEnvelope;
}

namespace orvane::server {

// Something the network side must do for the hub.
struct HubAction {
  enum class Kind {
    send,      // `text` to `socket`
    close,     // `socket`, with `closeCode` and the reason in `text`
    publish,   // the peer message `text` to the instance `target` ("": every instance)
    announce,  // the device record `text` under the presence key `target`, unless a newer one is there
    withdraw,  // the presence key `target`, if it still holds the record `text` names (instance and socket)
  };
  Kind kind = Kind::send;
  SocketId socket = 0;
  std::string text;
  std::uint16_t closeCode = 0;
  std::string target;

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
//
// In a cluster, each instance has its own hub, named by `instance`. It
// announces its registered devices and withdraws them; it is told of the other
// instances' devices (remoteDevice) and learns of pairings and frames across
// instances as peer messages, which it answers with the same rules: a pad on
// one instance pairs with a host on another, and what the single hub would
// say of a device that is gone, it says of one whose instance is gone or that
// a message could not reach. A later registration of a device, anywhere,
// replaces an earlier one.
//
// With an issuer, "welcome" carries relay credentials. Once half their life
// is over, the next frame, ping or pong of that socket brings a fresh
// "welcome": clients ping every 20 s, and the server pings browsers.
class Hub {
 public:
  // An empty `instance`: the only one; no cluster actions.
  Hub(const Clock& clock, Logger log, HubLimits limits = {}, IceServerIssuer issuer = nullptr,
      std::string instance = {});

  // Nothing when the user already has the most sockets allowed.
  std::optional<SocketId> open(const SessionIdentity& identity);
  HubActions frame(SocketId socket, std::string_view text);
  // A ping or pong arrived: the socket is alive, and it spends rate budget.
  HubActions control(SocketId socket);
  HubActions close(SocketId socket);
  // A deleted account: on every instance.
  HubActions revokeUser(std::string_view userId);

  // What the cluster says: the record under a presence key changed (none:
  // withdrawn), a peer message arrived, one of ours reached no one, or an
  // instance stopped refreshing its presence.
  HubActions remoteDevice(std::string_view presenceKey, const std::optional<DeviceRecord>& record);
  // Everything the cluster holds now, read after a (re)connection: what is not in it is gone.
  HubActions remoteDevices(const std::vector<std::pair<std::string, DeviceRecord>>& records);
  HubActions peerMessage(std::string_view text);
  HubActions undelivered(std::string_view instance, std::string_view text);
  HubActions instanceGone(std::string_view instance);

  // Every device registered here, announced again (the shared table was lost).
  HubActions announceAll();

  std::size_t socketCount() const { return sockets_.size(); }
  // The other instances this hub knows devices or partners on.
  std::vector<std::string> knownInstances() const;

 private:
  // The paired device's socket, here (instance empty) or on another instance.
  struct Partner {
    std::string instance;
    SocketId socket = 0;  // 0: none
    std::string deviceId;
    bool is(std::string_view inst, SocketId id) const { return socket != 0 && socket == id && instance == inst; }
  };
  struct Socket {
    Socket(SessionIdentity i, TokenBucket b) : identity(std::move(i)), bucket(b) {}
    SessionIdentity identity;
    TokenBucket bucket;
    bool registered = false;
    std::string role;
    std::string deviceId;
    std::string deviceName;
    Partner partner;
    std::int64_t lastSeen = 0;
    std::int64_t sinceMs = 0;     // registered
    std::int64_t announced = -1;  // the lastSeen the cluster was last told
    std::optional<std::int64_t> refreshAt;  // when issued credentials are half spent
  };
  using DeviceKey = std::pair<std::string, std::string>;  // user, device

  void hello(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out);
  void welcome(SocketId id, Socket& s, HubActions& out);
  void listHosts(SocketId id, const Socket& s, HubActions& out);
  void connectRequest(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out);
  void route(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out);
  void unpair(SocketId id, HubActions& out);  // tells the partner it is gone
  void drop(SocketId id, std::uint16_t code, std::string reason, HubActions& out);
  void forget(SocketId id, HubActions& out);
  void revokeHere(std::string_view userId, HubActions& out);
  void acceptConnect(const PeerMessage& m, HubActions& out);
  void refused(PeerMessage::Kind kind, SocketId id, std::string_view instance, SocketId partner, HubActions& out);
  void announce(SocketId id, Socket& s, HubActions& out);
  void publish(std::string_view instance, PeerMessage m, HubActions& out) const;
  DeviceRecord recordOf(SocketId id, const Socket& s) const;
  bool clustered() const { return !instance_.empty(); }
  std::int64_t nowSeconds() const;
  std::int64_t nowMs() const;

  const Clock& clock_;
  Logger log_;
  HubLimits limits_;
  IceServerIssuer issuer_;
  std::string instance_;
  SocketId nextId_ = 1;
  std::unordered_map<SocketId, Socket> sockets_;
  std::map<DeviceKey, SocketId> devices_;  // registered devices, ordered by user
  std::map<DeviceKey, DeviceRecord> remote_;  // other instances' devices
  std::unordered_map<std::string, std::size_t> socketsPerUser_;
};

// Control characters and quotes replaced, for log lines built from client text.
std::string printable(std::string_view text);

}  // namespace orvane::server
