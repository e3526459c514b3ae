#include "OrvaneCore/peer/gst/SdpText.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "OrvaneCore/peer/gst/H264Level.h"

namespace orvane::rtc {
namespace {

constexpr std::size_t kMaxCandidateLength = 1024;

std::string_view trimLineEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> splitSpaces(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t end = std::min(s.find(' ', pos), s.size());
    if (end > pos) out.push_back(s.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

template <typename T>
bool parseNumber(std::string_view s, T& value, std::size_t maxDigits) {
  if (s.empty() || s.size() > maxDigits) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

bool allOf(std::string_view s, bool (*accept)(char)) { return !s.empty() && std::all_of(s.begin(), s.end(), accept); }

bool isAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isIceChar(char c) { return isAlnum(c) || c == '+' || c == '/'; }
bool isAddressChar(char c) { return isAlnum(c) || c == '.' || c == ':' || c == '-'; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

// Calls fn(line) for each line without its ending.
template <typename Fn>
void forEachLine(std::string_view sdp, Fn fn) {
  std::size_t pos = 0;
  while (pos <= sdp.size()) {
    const std::size_t end = std::min(sdp.find('\n', pos), sdp.size());
    fn(trimLineEnd(sdp.substr(pos, end - pos)));
    pos = end + 1;
  }
}

}  // namespace

std::optional<std::string> normalizeCandidate(std::string_view line, std::string& problem) {
  line = trimLineEnd(line);
  if (line.starts_with("a=")) line.remove_prefix(2);
  if (line.size() > kMaxCandidateLength) {
    problem = "candidate line too long";
    return std::nullopt;
  }
  if (!line.starts_with("candidate:")) {
    problem = "not a candidate line";
    return std::nullopt;
  }
  if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    problem = "control character in candidate";
    return std::nullopt;
  }
  const auto fields = splitSpaces(line.substr(10));
  if (fields.size() < 7) {
    problem = "too few candidate fields";
    return std::nullopt;
  }
  unsigned component = 0;
  std::uint32_t priority = 0;
  std::uint16_t port = 0;
  if (!allOf(fields[0], isIceChar) || fields[0].size() > 32) {
    problem = "bad foundation";
  } else if (!parseNumber(fields[1], component, 3) || component < 1 || component > 256) {
    problem = "bad component";
  } else if (!equalsIgnoringCase(fields[2], "udp") && !equalsIgnoringCase(fields[2], "tcp")) {
    problem = "bad transport";
  } else if (!parseNumber(fields[3], priority, 10)) {
    problem = "bad priority";
  } else if (!allOf(fields[4], isAddressChar) || fields[4].size() > 255) {
    problem = "bad address";
  } else if (!parseNumber(fields[5], port, 5)) {
    problem = "bad port";
  } else if (fields.size() < 8 || fields[6] != "typ" ||
             (fields[7] != "host" && fields[7] != "srflx" && fields[7] != "prflx" && fields[7] != "relay")) {
    problem = "bad candidate type";
  } else {
    return std::string(line);
  }
  return std::nullopt;
}

std::vector<std::string> mediaMids(std::string_view sdp) {
  std::vector<std::string> mids;
  forEachLine(sdp, [&](std::string_view line) {
    if (line.starts_with("m=")) {
      mids.emplace_back();
    } else if (line.starts_with("a=mid:") && !mids.empty() && mids.back().empty()) {
      mids.back() = std::string(line.substr(6));
    }
  });
  return mids;
}

std::vector<RemoteVideo> remoteVideos(std::string_view sdp) {
  struct Section {
    bool video = false;
    bool rejected = false;
    bool sends = true;  // sendrecv unless told otherwise
    RemoteVideo info;
    bool hasMsid = false;
  };
  std::vector<Section> sections;
  forEachLine(sdp, [&](std::string_view line) {
    if (line.starts_with("m=")) {
      const auto fields = splitSpaces(line.substr(2));
      Section s;
      s.video = !fields.empty() && fields[0] == "video";
      s.rejected = fields.size() < 2 || fields[1] == "0";
      sections.push_back(std::move(s));
      return;
    }
    if (sections.empty()) return;
    Section& s = sections.back();
    if (line == "a=bundle-only") {
      s.rejected = false;
    } else if (line == "a=sendrecv" || line == "a=sendonly") {
      s.sends = true;
    } else if (line == "a=recvonly" || line == "a=inactive") {
      s.sends = false;
    } else if (line.starts_with("a=mid:")) {
      s.info.mid = std::string(line.substr(6));
    } else if (!s.hasMsid && (line.starts_with("a=msid:") || (line.starts_with("a=ssrc:") && line.find(" msid:") != std::string_view::npos))) {
      const auto value = line.substr(line.find("msid:") + 5);
      const auto fields = splitSpaces(value);
      if (!fields.empty()) {
        s.info.streamId = std::string(fields[0]);
        if (fields.size() > 1) s.info.trackId = std::string(fields[1]);
        s.hasMsid = true;
      }
    }
  });
  std::vector<RemoteVideo> out;
  for (auto& s : sections) {
    if (!s.video || s.rejected || !s.sends) continue;
    if (s.info.streamId.empty() || s.info.streamId == "-") s.info.streamId = "default";
    if (s.info.trackId.empty()) s.info.trackId = s.info.mid;
    out.push_back(std::move(s.info));
  }
  return out;
}

std::optional<std::string> bundleTag(std::string_view sdp) {
  std::optional<std::string> tag;
  forEachLine(sdp, [&](std::string_view line) {
    if (tag || !line.starts_with("a=group:BUNDLE")) return;
    const auto mids = splitSpaces(line.substr(14));
    if (!mids.empty()) tag = std::string(mids[0]);
  });
  return tag;
}

std::string withExplicitDirections(std::string_view sdp) {
  std::string out;
  bool media = false, hasDirection = false;
  auto close = [&] {
    if (media && !hasDirection) out += "a=sendrecv\r\n";
  };
  forEachLine(sdp, [&](std::string_view line) {
    if (line.empty()) return;
    if (line.starts_with("m=")) {
      close();
      media = line.starts_with("m=audio ") || line.starts_with("m=video ");
      hasDirection = false;
    } else if (line == "a=sendrecv" || line == "a=sendonly" || line == "a=recvonly" || line == "a=inactive") {
      hasDirection = true;
    }
    out.append(line).append("\r\n");
  });
  close();
  return out;
}

std::string withBrowserH264(std::string_view sdp, int levelIdc) {
  const std::string parameters = " packetization-mode=1;profile-level-id=" +
                                 constrainedBaselineProfileLevelId(levelIdc) + ";level-asymmetry-allowed=1";
  std::vector<std::string_view> lines;
  forEachLine(sdp, [&](std::string_view line) { lines.push_back(line); });
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::vector<std::string> h264;  // payload types mapped to H264
  for (const auto line : lines) {
    if (line.starts_with("a=rtpmap:") && line.find(" H264/") != std::string_view::npos) {
      h264.emplace_back(line.substr(9, line.find(' ') - 9));
    }
  }
  auto isH264 = [&](std::string_view prefix, std::string_view line) {
    if (!line.starts_with(prefix)) return std::string_view();
    const auto pt = line.substr(prefix.size(), line.find(' ') - prefix.size());
    return std::find(h264.begin(), h264.end(), pt) != h264.end() ? pt : std::string_view();
  };
  std::string out;
  for (const auto line : lines) {
    if (!isH264("a=fmtp:", line).empty()) continue;  // replaced next to its a=rtpmap
    out.append(line).append("\r\n");
    if (const auto pt = isH264("a=rtpmap:", line); !pt.empty()) {
      out.append("a=fmtp:").append(pt).append(parameters).append("\r\n");
    }
  }
  return out;
}

std::string withTrackNames(std::string_view sdp, const std::vector<LocalTrackName>& tracks) {
  // Session part first, then one entry per m-section.
  std::vector<std::vector<std::string_view>> sections(1);
  forEachLine(sdp, [&](std::string_view line) {
    if (line.empty()) return;
    if (line.starts_with("m=")) sections.emplace_back();
    sections.back().push_back(line);
  });
  auto ssrcOf = [](std::string_view line) -> std::optional<std::uint32_t> {
    if (!line.starts_with("a=ssrc:")) return std::nullopt;
    std::uint32_t ssrc = 0;
    const auto digits = line.substr(7, line.find(' ') - 7);
    return parseNumber(digits, ssrc, 10) ? std::optional(ssrc) : std::nullopt;
  };
  std::string out;
  for (const auto& lines : sections) {
    const LocalTrackName* track = nullptr;
    for (const auto line : lines) {
      const auto ssrc = ssrcOf(line);
      const auto it = std::find_if(tracks.begin(), tracks.end(), [&](const auto& t) { return ssrc == t.ssrc; });
      if (it != tracks.end()) track = &*it;
    }
    if (!track) {
      for (const auto line : lines) out.append(line).append("\r\n");
      continue;
    }
    const std::string msid = track->streamId + " " + track->trackId;
    bool named = false;
    for (const auto line : lines) {
      if (line.starts_with("a=msid:")) continue;
      if (!named && (line.starts_with("a=ssrc-group:") || line.starts_with("a=ssrc:") || line.starts_with("a=mid:"))) {
        out.append("a=msid:").append(msid).append("\r\n");
        named = true;
      }
      if (ssrcOf(line) && line.find(" msid:") != std::string_view::npos) {
        out.append(line.substr(0, line.find(" msid:"))).append(" msid:").append(msid).append("\r\n");
      } else {
        out.append(line).append("\r\n");
      }
    }
  }
  return out;
}

}  // namespace orvane::rtc
