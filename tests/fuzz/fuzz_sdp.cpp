// Any bytes as a peer's SDP or candidate line: the readings and rewrites must
// not crash, and must keep what they promise about the text they return.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "OrvaneCore/peer/CandidateFilter.h"
#include "OrvaneCore/peer/gst/SdpText.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace orvane;

  std::string problem;
  if (const auto candidate = rtc::normalizeCandidate(text, problem)) {
    std::string again;
    require(rtc::normalizeCandidate(*candidate, again) == candidate, "a normalized candidate normalizes differently");
  }

  rtc::mediaMids(text);
  rtc::remoteVideos(text);
  rtc::bundleTag(text);
  const std::string directed = rtc::withExplicitDirections(text);
  require(rtc::withExplicitDirections(directed) == directed, "directions added twice");
  rtc::withBrowserH264(text, size > 0 ? data[0] : 31);
  rtc::withTrackNames(text, {{1, "stream", "track"}, {static_cast<std::uint32_t>(size), "-", "t2"}});

  const std::set<std::string> ips = {"192.168.1.20", "fe80::1", "10.0.0.1"};
  require(filterSDP(text, {}) == text, "an empty address set filtered something");
  const std::string filtered = filterSDP(text, ips);
  require(filtered.size() <= text.size(), "filtering made the SDP longer");
  require(filterSDP(filtered, ips) == filtered, "filtering twice removed more");
  shouldDropCandidate(text, ips);
  return 0;
}
