#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace orvane::server {

using SocketId = std::uint64_t;

// What instances of one cluster tell each other. Another instance is trusted
// no more than a client: every decoder is strict and bounded.

// A device registered on some instance, as that instance announces it.
struct DeviceRecord {
  std::string instance;
  SocketId socket = 0;
  std::string role;
  std::string name;
  std::int64_t sinceMs = 0;   // when it registered: a later registration of the device replaces an earlier one
  std::int64_t lastSeen = 0;  // Unix seconds

  bool operator==(const DeviceRecord&) const = default;
};
std::string encodeDeviceRecord(const DeviceRecord& record);
std::optional<DeviceRecord> decodeDeviceRecord(std::string_view text);

// Where a device's record is kept: its user and device id, which hold no
// control characters (the hub refuses such ids), joined by a newline.
std::string presenceKey(std::string_view user, std::string_view deviceId);
std::optional<std::pair<std::string, std::string>> splitPresenceKey(std::string_view key);

// One instance to another about a pairing between their sockets: `from` on
// `fromInstance`, `to` on the receiver.
struct PeerMessage {
  enum class Kind {
    connect,        // a pad asks the host `to` (device `targetDevice` of `user`) for a session
    route,          // `frame` for the partner `to`
    gone,           // `deviceId`, the partner of `to`, left or paired anew
    refuseConnect,  // `to` asked for a host that is not there any more
    refuseRoute,    // `to` sent to a partner that is not there any more
    revoke,         // every socket of `user` closes (to every instance)
  };
  Kind kind = Kind::route;
  std::string fromInstance;
  SocketId from = 0;
  SocketId to = 0;
  std::string user;
  std::string targetDevice;
  std::string deviceId;  // connect: the pad; gone: the one that left
  std::string name;      // connect: the pad's name
  std::string frame;     // route: encoded, ready to send

  bool operator==(const PeerMessage&) const = default;
};
std::string encodePeerMessage(const PeerMessage& message);
std::optional<PeerMessage> decodePeerMessage(std::string_view text);

}  // namespace orvane::server
