#include "tools/orvane-pad/PadOptions.h"

#include <charconv>
#include <cmath>
#include <map>

#include "OrvaneCore/signaling/AppSettings.h"

namespace orvane::pad {

const char* const kUsage = R"(Usage: orvane-pad [options] list
       orvane-pad [options] connect HOST_ID [--snapshot FILE.png] [--latency SECONDS]

A command-line tablet peer. "list" prints the signed-in user's hosts, one per
line: the id, a tab, the name. "connect" asks HOST_ID for a session, prints
every control event the host sends as one JSON line on standard output, sends
every JSON line read from standard input as a control event, and reports the
decoded video once a second on standard error:
  video: fps=29.9 size=1920x1080 kbps=8123
It runs until the connection ends (status 0) or it is interrupted (130 for
SIGINT, 143 for SIGTERM); it fails with status 1 when it cannot sign in, the
host is not online or no connection comes up in time, and with 2 for bad
arguments. The end of standard input does not end the session.

Options:
  --server URL          ws:// or wss:// signalling server (default wss://signal.orvane.app)
  --token TOKEN         the session token (required)
  --device-id ID        the device the token was issued for (default orvane-pad)
  --name NAME           this device's name (default orvane-pad)
  --ca-file FILE        a PEM certificate to trust for a self-hosted wss:// server
  --ice-server URL      a STUN or TURN URL, repeatable; replaces the built-in servers
                        ("none" for no server at all)
  --ice-username USER   user name for the TURN URLs
  --ice-credential PASS credential for the TURN URLs
  --force-relay         connect through TURN over TCP only
  --timeout SECONDS     how long to wait for the host and the connection (default 20)
  --snapshot FILE.png   connect: save one decoded frame as PNG
  --latency SECONDS     connect: for SECONDS after the first frame, read the code
                        orvane-latency-clock draws on the host's screen from every
                        frame, then print on standard output and end (status 1
                        when no code was read):
                        latency frames=N missed=M p50=MS p95=MS p99=MS max=MS gap=MS
                        (gap: the longest time between two decoded frames)
  --latency-skip SECONDS  with --latency: leave out the first SECONDS after the
                        first frame (a settled session's figures)
  --verbose             log the connection's progress on standard error
  -h, --help            show this help
)";

namespace {

const std::map<std::string, bool> kOptions = {
    // name → takes a value
    {"--server", true},      {"--token", true},          {"--device-id", true},      {"--name", true},
    {"--ca-file", true},     {"--ice-server", true},     {"--ice-username", true},   {"--ice-credential", true},
    {"--force-relay", false}, {"--timeout", true},       {"--snapshot", true},       {"--verbose", false},
    {"--latency", true},     {"--latency-skip", true},
};

std::optional<double> seconds(const std::string& text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value <= 0 || value > 3600) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

Parsed parse(const std::vector<std::string>& args) {
  std::map<std::string, std::string> single;
  std::vector<std::string> iceUrls;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    if (name == "-h" || name == "--help") return Help{};
    if (!name.starts_with("--")) {
      positional.push_back(name);
      continue;
    }
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    const auto known = kOptions.find(name);
    if (known == kOptions.end()) return UsageError{"unknown option " + name};
    if (known->second && !value) {
      if (i + 1 >= args.size()) return UsageError{name + " needs a value"};
      value = args[++i];
    }
    if (!known->second && value) return UsageError{name + " takes no value"};
    if (name == "--ice-server") {
      iceUrls.push_back(*value);
    } else if (!single.emplace(name, value.value_or("")).second) {
      return UsageError{name + " given twice"};
    }
  }

  PadOptions options;
  if (positional.empty()) return UsageError{"missing command: list or connect HOST_ID"};
  if (positional[0] == "list") {
    if (positional.size() != 1) return UsageError{"list takes no argument"};
    if (single.contains("--snapshot")) return UsageError{"--snapshot goes with connect"};
    if (single.contains("--latency")) return UsageError{"--latency goes with connect"};
    options.command = ListCommand{};
  } else if (positional[0] == "connect") {
    if (positional.size() != 2 || positional[1].empty()) return UsageError{"connect needs exactly one HOST_ID"};
    ConnectCommand connect{positional[1], std::nullopt, std::nullopt, std::nullopt};
    if (single.contains("--snapshot")) {
      if (single["--snapshot"].empty()) return UsageError{"--snapshot needs a file name"};
      connect.snapshotFile = single["--snapshot"];
    }
    if (single.contains("--latency")) {
      connect.latencySeconds = seconds(single["--latency"]);
      if (!connect.latencySeconds) return UsageError{"--latency must be a number of seconds above 0, at most 3600"};
    }
    if (single.contains("--latency-skip")) {
      if (!connect.latencySeconds) return UsageError{"--latency-skip goes with --latency"};
      connect.latencySkipSeconds = seconds(single["--latency-skip"]);
      if (!connect.latencySkipSeconds) return UsageError{"--latency-skip must be a number of seconds above 0, at most 3600"};
    }
    options.command = connect;
  } else {
    return UsageError{"unknown command " + positional[0]};
  }

  if (!single.contains("--token") || single["--token"].empty()) return UsageError{"--token is required"};
  options.token = single["--token"];
  const std::string server = single.contains("--server") ? single["--server"] : std::string(AppSettings::serverURLString);
  const auto url = Url::parse(server);
  if (!url || (url->scheme != "ws" && url->scheme != "wss")) {
    return UsageError{"--server must be a ws:// or wss:// URL"};
  }
  options.server = *url;
  if (single.contains("--device-id")) options.deviceId = single["--device-id"];
  if (options.deviceId.empty()) return UsageError{"--device-id must not be empty"};
  if (single.contains("--name")) options.deviceName = single["--name"];
  if (single.contains("--ca-file")) options.caFile = single["--ca-file"];
  options.forceRelay = single.contains("--force-relay");
  options.verbose = single.contains("--verbose");
  if (single.contains("--timeout")) {
    const auto timeout = seconds(single["--timeout"]);
    if (!timeout) return UsageError{"--timeout must be a number of seconds above 0, at most 3600"};
    options.timeoutSeconds = *timeout;
  }

  if (single.contains("--ice-username") != single.contains("--ice-credential")) {
    return UsageError{"--ice-username and --ice-credential go together"};
  }
  if (!iceUrls.empty()) {
    std::vector<rtc::IceServer> servers;
    for (const auto& iceUrl : iceUrls) {
      if (iceUrl == "none") {
        if (iceUrls.size() != 1) return UsageError{"--ice-server none stands alone"};
        break;
      }
      if (!iceUrl.starts_with("stun:") && !iceUrl.starts_with("turn:") && !iceUrl.starts_with("turns:")) {
        return UsageError{"--ice-server must be a stun:, turn: or turns: URL"};
      }
      rtc::IceServer ice;
      ice.urls = {iceUrl};
      if (!iceUrl.starts_with("stun:")) {
        if (!single.contains("--ice-username")) return UsageError{"a TURN server needs --ice-username and --ice-credential"};
        ice.username = single["--ice-username"];
        ice.credential = single["--ice-credential"];
      }
      servers.push_back(std::move(ice));
    }
    options.iceServers = std::move(servers);
  } else if (single.contains("--ice-username")) {
    return UsageError{"--ice-username goes with a TURN --ice-server"};
  }
  return options;
}

}  // namespace orvane::pad
