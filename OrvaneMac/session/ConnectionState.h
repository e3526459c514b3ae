#pragma once

#include <string>
#include <string_view>

namespace orvane {

// Where the host's remote-control session stands, as the popover shows it.
struct ConnectionState {
  enum class Kind { idle, available, waitingForPad, connected, failed };

  Kind kind = Kind::idle;
  std::string message;  // what the user is shown; failed only

  static ConnectionState idle() { return {}; }
  static ConnectionState available() { return {Kind::available, {}}; }
  static ConnectionState waitingForPad() { return {Kind::waitingForPad, {}}; }
  static ConnectionState connected() { return {Kind::connected, {}}; }
  static ConnectionState failed(std::string message) { return {Kind::failed, std::move(message)}; }

  bool is(Kind k) const { return kind == k; }
  bool operator==(const ConnectionState&) const = default;
};

std::string_view toString(ConnectionState::Kind kind);
// "failed(Sign in required)", "connected", ...
std::string describe(const ConnectionState& state);

}  // namespace orvane
