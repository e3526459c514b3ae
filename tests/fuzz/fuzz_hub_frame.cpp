// Any bytes as what clients send the signalling server, and as what the other
// instances of its cluster send it: WebSocket text frames through the hub, the
// handshake's credentials and request target, peer messages and device
// records. Nothing may crash, every frame the hub sends and every message or
// record it gives the cluster must decode, and it may only address sockets it
// has opened.
//
// Input: lines. "0".."3" + text: a frame from that socket; "p<n>": a ping
// from socket n; "c<n>": socket n closes and opens again; "t": ten seconds
// pass; "h" + text: handshake fields split at '|' (authorization, offered
// subprotocols, target); "m" + text: a peer message; "u" + text: a message of
// ours that reached no one; "r" + user|device|record: a device elsewhere;
// "g" + name: an instance lapsed.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/signaling/websocket/WSEnvelope.h"
#include "OrvaneServer/Hub.h"
#include "OrvaneServer/WebRules.h"

namespace {

using namespace orvane;
using namespace orvane::server;

class SilentSink final : public LogSink {
 public:
  bool enabled(LogLevel) const override { return false; }
  void write(const LogRecord&) override {}
  void writeLine(std::string_view) override {}
};

void require(bool ok, const char* what, std::string_view detail = {}) {
  if (ok) return;
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

const SessionIdentity kIdentities[] = {
    {"alice", "mac-1", "mac", "Desk"},
    {"alice", "pad-1", "pad", "Tablet"},
    {"alice", "pad-2", "pad", "Phone"},
    {"bob", "mac-9", "mac", "Other"},
};

void handshake(std::string_view fields) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t bar = fields.find('|', start);
    parts.push_back(fields.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  parts.resize(3);
  const WsCredentials credentials = readWsCredentials(parts[0], parts[1]);
  require(credentials.subprotocol.empty() || parts[1].find(credentials.subprotocol) != std::string_view::npos,
          "selected a subprotocol that was not offered", credentials.subprotocol);
  const std::string_view path = targetPath(parts[2]);
  require(parts[2].find(path) != std::string_view::npos, "a target path not taken from the target", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ManualClock clock;
  SilentSink sink;
  Hub hub(clock, Logger("fuzz", "hub", sink), HubLimits{3, 50, 100}, nullptr, "a");
  std::optional<SocketId> sockets[4];
  std::set<SocketId> opened;
  for (int i = 0; i < 4; ++i) {
    sockets[i] = hub.open(kIdentities[i]);
    if (sockets[i]) opened.insert(*sockets[i]);
  }
  const auto check = [&](const HubActions& actions) {
    for (const HubAction& action : actions) {
      switch (action.kind) {
        case HubAction::Kind::send:
          require(bool(wsDecode(action.text)), "a frame that does not decode", action.text);
          [[fallthrough]];
        case HubAction::Kind::close:
          require(opened.count(action.socket) == 1, "an action for a socket never opened");
          break;
        case HubAction::Kind::publish:
          require(bool(decodePeerMessage(action.text)), "a peer message that does not decode", action.text);
          break;
        case HubAction::Kind::announce:
        case HubAction::Kind::withdraw:
          require(decodeDeviceRecord(action.text) && splitPresenceKey(action.target), "a record that does not decode",
                  action.text);
          break;
      }
    }
  };

  for (std::size_t start = 0; start < input.size();) {
    const std::size_t end = std::min(input.find('\n', start), input.size());
    const std::string_view line = input.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const char op = line[0];
    const std::string_view rest = line.substr(1);
    const auto socketOf = [&](std::string_view digit) { return digit.empty() ? 0 : (digit[0] - '0') & 3; };
    if (op >= '0' && op <= '3') {
      if (auto id = sockets[op - '0']) check(hub.frame(*id, rest));
    } else if (op == 'p') {
      if (auto id = sockets[socketOf(rest)]) check(hub.control(*id));
    } else if (op == 'c') {
      const int n = socketOf(rest);
      if (sockets[n]) check(hub.close(*sockets[n]));
      sockets[n] = hub.open(kIdentities[n]);
      if (sockets[n]) opened.insert(*sockets[n]);
    } else if (op == 't') {
      clock.advance(Seconds(10));
    } else if (op == 'h') {
      handshake(rest);
    } else if (op == 'm') {
      check(hub.peerMessage(rest));
    } else if (op == 'u') {
      check(hub.undelivered("b", rest));
    } else if (op == 'g') {
      check(hub.instanceGone(rest));
    } else if (op == 'r') {
      const std::size_t bar = rest.find('|');
      const std::size_t second = bar == std::string_view::npos ? bar : rest.find('|', bar + 1);
      if (second != std::string_view::npos) {
        const std::string key = presenceKey(rest.substr(0, bar), rest.substr(bar + 1, second - bar - 1));
        check(hub.remoteDevice(key, decodeDeviceRecord(rest.substr(second + 1))));
      }
    }
    require(hub.socketCount() <= 4, "more sockets than were opened");
  }
  for (auto& id : sockets) {
    if (id) check(hub.close(*id));
  }
  require(hub.socketCount() == 0, "sockets left after every socket closed");
  return 0;
}
