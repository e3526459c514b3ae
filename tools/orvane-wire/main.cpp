// orvane-wire KIND: decodes one JSON text per input line as KIND and prints,
// per line, "ok " and the value re-encoded, or "error " and the reason.
// Lets scripts and other implementations check their messages against ours.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "OrvaneCore/json/DecodeResult.h"
#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/signaling/SignalingMessage.h"
#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace {

using orvane::DecodeResult;

DecodeResult<std::string> control(std::string_view line) {
  DecodeResult<orvane::ControlEvent> event = orvane::decodeControlEvent(line);
  if (!event) return DecodeResult<std::string>::failure(event.error());
  std::optional<std::string> text = orvane::encodeControlEvent(event.value());
  if (!text) return DecodeResult<std::string>::failure("cannot encode");
  return std::move(*text);
}

DecodeResult<std::string> signaling(std::string_view line) {
  DecodeResult<orvane::SignalingMessage> message = orvane::decodeSignalingMessage(line);
  if (!message) return DecodeResult<std::string>::failure(message.error());
  return orvane::encodeSignalingMessage(message.value());
}

DecodeResult<std::string> envelope(std::string_view line) {
  DecodeResult<orvane::WSEnvelope> frame = orvane::wsDecode(line);
  if (!frame) return DecodeResult<std::string>::failure(frame.error());
  return orvane::wsEncode(frame.value());
}

struct Kind {
  std::string_view name;
  DecodeResult<std::string> (*roundTrip)(std::string_view line);
};
constexpr Kind kKinds[] = {
    {"control", &control},
    {"signaling", &signaling},
    {"envelope", &envelope},
};

void usage(std::ostream& out) {
  out << "usage: orvane-wire KIND < lines\n"
         "Decodes each input line as one JSON message of KIND and prints one line per input line:\n"
         "  ok <the decoded message re-encoded>   or   error <reason>\n"
         "KIND is one of:";
  for (const Kind& kind : kKinds) out << ' ' << kind.name;
  out << '\n';
}

// Reasons come from our decoders, but a line break in one would desynchronise
// the one-line-per-input contract, so flatten defensively.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    usage(std::cout);
    return 0;
  }
  const Kind* kind = nullptr;
  for (const Kind& k : kKinds) {
    if (argc == 2 && k.name == argv[1]) kind = &k;
  }
  if (kind == nullptr) {
    if (argc == 2) std::cerr << "orvane-wire: unknown kind '" << argv[1] << "'\n";
    usage(std::cerr);
    return 2;
  }

  std::ios::sync_with_stdio(false);
  const bool interactive = isatty(STDOUT_FILENO) != 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    DecodeResult<std::string> result = kind->roundTrip(line);
    if (result) {
      std::cout << "ok " << result.value() << '\n';
    } else {
      std::cout << "error " << oneLine(result.error()) << '\n';
    }
    if (interactive) std::cout.flush();
  }
  std::cout.flush();
  if (std::cin.bad()) {
    std::cerr << "orvane-wire: cannot read standard input\n";
    return 1;
  }
  if (!std::cout) {
    std::cerr << "orvane-wire: cannot write standard output\n";
    return 1;
  }
  return 0;
}
