#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/signaling/Url.h"

// orvane-pad's command line, parsed without side effects.
namespace orvane::pad {

struct ListCommand {};

struct ConnectCommand {
  std::string hostId;
  std::optional<std::string> snapshotFile;  // one decoded frame as PNG
  // Measure the latency clock's delay for this long after the first frame, then end.
  std::optional<double> latencySeconds;
  // Seconds after the first frame left out of those figures.
  std::optional<double> latencySkipSeconds;
};

struct PadOptions {
  Url server;
  std::string token;
  // The device the session token was issued for: the server refuses a hello
  // from any other.
  std::string deviceId = "orvane-pad";
  std::string deviceName = "orvane-pad";
  std::string caFile;
  // Without any --ice-server the built-in STUN and TURN servers apply.
  std::optional<std::vector<rtc::IceServer>> iceServers;
  bool forceRelay = false;
  double timeoutSeconds = 20;
  bool verbose = false;
  std::variant<ListCommand, ConnectCommand> command;
};

struct Help {};
struct UsageError {
  std::string message;
};

using Parsed = std::variant<PadOptions, Help, UsageError>;

// `args` without the program name.
Parsed parse(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace orvane::pad
