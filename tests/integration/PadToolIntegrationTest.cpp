// orvane-pad against a real host process through the real orvane-signal
// server: listing, video, control events both ways, the snapshot, and the
// host noticing a pad that was killed.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneCore/identity/AppleAuthClient.h"
#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "tests/OrvaneServer/Child.h"
#include "tests/support/Await.h"
#include "tests/support/SelfSignedCertificate.h"
#include "tests/support/TempDir.h"

namespace orvane {
namespace {

using Clock = std::chrono::steady_clock;
using test::Child;

// How long one orvane-pad run may take. In the sanitizer build its start alone
// costs about 3 s of CPU (OpenSSL reading the system's CA bundle under ASan's
// allocator), on two cores it shares with the server, the host and another test.
constexpr double kPadRunSeconds = 30;

// orvane-signal on a free loopback port, with accounts for one user's host
// and pad.
class PadTool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> args{ORVANE_SIGNAL_EXE, "serve", "--port", "0", "--data-dir", dataDir()};
    if (certificate_) args.insert(args.end(), {"--tls-cert", certificate_->cert, "--tls-key", certificate_->key});
    server_.emplace(args);
    const auto listening = server_->waitPrefix(Child::out, "listening on ", 10);
    ASSERT_TRUE(listening) << server_->transcript();
    const std::string port = listening->substr(listening->rfind(':'));
    // The certificate names localhost, not the address.
    httpUrl_ = (certificate_ ? "https://localhost" : "http://127.0.0.1") + port;
    wsUrl_ = (certificate_ ? "wss://localhost" : "ws://127.0.0.1") + port;
  }
  void TearDown() override {
    if (server_) {
      server_->signal(SIGTERM);
      EXPECT_EQ(server_->wait(10), 0);
    }
  }

  std::string dataDir() const { return (dir_.path / "signal").string(); }

  // A session token for `deviceId`, from a fresh invite exchanged over HTTP.
  std::string sessionToken(const std::string& deviceId, const std::string& role) {
    Child invite({ORVANE_SIGNAL_EXE, "invite", "--user", "alice", "--data-dir", dataDir()});
    EXPECT_EQ(invite.wait(10), 0);
    const auto lines = invite.lines(Child::out);
    if (lines.empty()) return "";
    ManualExecutor exec;
    AppleAuthClientOptions options;
    if (certificate_) options.extraCaFile = certificate_->cert;
    AppleAuthClient client(*Url::parse(httpUrl_), exec, options);
    return test::await(exec, client.exchange(lines[0], deviceId, role, deviceId + " name"), Seconds(10)).sessionToken;
  }

  std::vector<std::string> pad(const std::string& token, std::vector<std::string> command) {
    std::vector<std::string> args{ORVANE_PAD_EXE, "--server", wsUrl_, "--token", token, "--device-id", "P1",
                                  "--ice-server", "none"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }

  test::TempDir dir_;
  std::optional<test::SelfSignedCertificate> certificate_;  // serves wss:// when set
  std::optional<Child> server_;
  std::string httpUrl_, wsUrl_;
};

// Width and height from a PNG's header, or nothing when it is not one.
std::optional<std::pair<int, int>> pngSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[24] = {};
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return std::nullopt;
  static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (!std::equal(std::begin(kSignature), std::end(kSignature), head) || std::string(head + 12, head + 16) != "IHDR") {
    return std::nullopt;
  }
  auto be32 = [&](int at) { return head[at] << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
  return std::make_pair(be32(16), be32(20));
}

struct VideoReport {
  double fps = 0;
  int width = 0, height = 0, kbps = 0;
};

// "video: fps=29.9 size=640x360 kbps=812", exactly.
std::optional<VideoReport> readReport(const std::string& line) {
  VideoReport r;
  char extra = 0;
  if (std::sscanf(line.c_str(), "video: fps=%lf size=%dx%d kbps=%d%c", &r.fps, &r.width, &r.height, &r.kbps, &extra) !=
      4) {
    return std::nullopt;
  }
  return r;
}

TEST_F(PadTool, ListsConnectsStreamsAndExchangesControlEventsAndTheHostNoticesItsDeath) {
  const std::string hostToken = sessionToken("H1", "mac");
  const std::string padToken = sessionToken("P1", "pad");
  ASSERT_FALSE(hostToken.empty());
  ASSERT_FALSE(padToken.empty());
  Child host({ORVANE_TEST_HOST_EXE, "--server", wsUrl_, "--token", hostToken, "--device-id", "H1", "--name",
              "Test host", "--size", "640x360"});
  ASSERT_TRUE(host.waitPrefix(Child::out, "started", 10)) << host.transcript();

  // The host may not have said hello yet when the pad first asks.
  std::vector<std::string> listed;
  const auto listUntil = Clock::now() + std::chrono::duration<double>(kPadRunSeconds);
  while (Clock::now() < listUntil) {
    Child list(pad(padToken, {"list"}));
    ASSERT_EQ(list.wait(kPadRunSeconds), 0) << list.transcript();
    listed = list.lines(Child::out);
    if (!listed.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(listed, std::vector<std::string>{"H1\tTest host"});

  const std::string snapshot = (dir_.path / "frame.png").string();
  Child padProcess(pad(padToken, {"connect", "H1", "--snapshot", snapshot}));
  const auto transcripts = [&] { return padProcess.transcript() + host.transcript(); };

  // Video: a report with the host's size and a plausible rate, and the PNG.
  const auto steady = padProcess.waitLine(
      Child::err,
      [](const std::string& line) {
        const auto report = readReport(line);
        return report && report->width == 640 && report->height == 360 && report->fps >= 20;
      },
      kPadRunSeconds);
  ASSERT_TRUE(steady) << transcripts();
  EXPECT_GT(readReport(*steady)->kbps, 10) << *steady;  // a mostly still picture needs little
  ASSERT_TRUE(padProcess.waitPrefix(Child::err, "orvane-pad: snapshot saved to " + snapshot, 5)) << transcripts();
  EXPECT_EQ(pngSize(snapshot), std::make_pair(640, 360));

  // The host's own event, then one typed on the pad's standard input and
  // the host's echo of it; a bad line is reported and skipped.
  EXPECT_TRUE(padProcess.waitLine(Child::out, [](const std::string& l) { return l == *encodeControlEvent(events::PeerVersion{1, "test"}); }, 5))
      << transcripts();
  const std::string typed = *encodeControlEvent(events::MouseMoved{0.25, 0.5});
  padProcess.write("{\"type\":\"mouseMoved\",\"x\":\"left\"}\n" + typed + "\n");
  EXPECT_TRUE(padProcess.waitPrefix(Child::err, "orvane-pad: stdin line 1 skipped: ", 5)) << transcripts();
  EXPECT_TRUE(host.waitLine(Child::out, [&](const std::string& l) { return l == "control: " + typed; }, 5))
      << transcripts();
  const std::string echo = *encodeControlEvent(events::WindowFocused{"echo " + typed, "orvane_test_host"});
  EXPECT_TRUE(padProcess.waitLine(Child::out, [&](const std::string& l) { return l == echo; }, 5)) << transcripts();
  for (const auto& line : host.lines(Child::out)) EXPECT_EQ(line.find("x\":\"left"), std::string::npos) << line;

  // The pad dies without a word: the host reports the loss within 10 s.
  padProcess.signal(SIGKILL);
  const auto killed = Clock::now();
  const auto lost = host.waitPrefix(Child::out, "onDisconnected ", 12);
  const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
  ASSERT_TRUE(lost) << transcripts();
  EXPECT_LE(seconds, 10.0);
  RecordProperty("disconnect_seconds", std::to_string(seconds));
  std::printf("host reported the killed pad after %.1f s\n", seconds);

  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10), 0) << host.transcript();
}

TEST_F(PadTool, RefusesBadArgumentsAnUnknownHostAndABadToken) {
  Child noToken({ORVANE_PAD_EXE, "--server", wsUrl_, "list"});
  EXPECT_EQ(noToken.wait(5), 2);
  EXPECT_TRUE(noToken.waitPrefix(Child::err, "orvane-pad: --token is required", 1));

  Child badToken(pad("not-a-token", {"list"}));
  EXPECT_EQ(badToken.wait(kPadRunSeconds), 1) << badToken.transcript();
  EXPECT_TRUE(badToken.waitPrefix(Child::err, "orvane-pad: cannot sign in to " + wsUrl_, 1)) << badToken.transcript();
  EXPECT_TRUE(badToken.lines(Child::out).empty());

  const std::string padToken = sessionToken("P1", "pad");
  // Waits for a host that never comes, until interrupted.
  Child waiting(pad(padToken, {"connect", "H1"}));
  Child unknownHost(pad(padToken, {"--timeout", "2", "connect", "H9"}));
  // Another device's token: the server refuses the hello.
  std::vector<std::string> asOther = pad(padToken, {"list"});
  asOther[6] = "P2";
  Child otherDevice(asOther);
  EXPECT_EQ(otherDevice.wait(kPadRunSeconds), 1) << otherDevice.transcript();
  EXPECT_TRUE(otherDevice.waitPrefix(Child::err, "orvane-pad: cannot sign in to " + wsUrl_ + ": not_authorized", 1))
      << otherDevice.transcript();
  EXPECT_EQ(unknownHost.wait(kPadRunSeconds), 1) << unknownHost.transcript();
  EXPECT_TRUE(unknownHost.waitPrefix(Child::err, "orvane-pad: host H9 is not online", 1)) << unknownHost.transcript();
  waiting.signal(SIGINT);
  EXPECT_EQ(waiting.wait(kPadRunSeconds), 130) << waiting.transcript();
}

class PadToolOverTls : public PadTool {
 protected:
  void SetUp() override {
    certificate_.emplace();
    PadTool::SetUp();
  }
};

TEST_F(PadToolOverTls, TrustsASelfHostedServerOnlyThroughItsCertificate) {
  const std::string padToken = sessionToken("P1", "pad");
  ASSERT_FALSE(padToken.empty());
  std::vector<std::string> trusting = pad(padToken, {"--ca-file", certificate_->cert, "list"});
  Child list(trusting);
  EXPECT_EQ(list.wait(kPadRunSeconds), 0) << list.transcript();
  EXPECT_TRUE(list.lines(Child::out).empty());  // no host of alice's is online

  Child untrusting(pad(padToken, {"list"}));
  EXPECT_EQ(untrusting.wait(kPadRunSeconds), 1) << untrusting.transcript();
  EXPECT_TRUE(untrusting.waitPrefix(Child::err, "orvane-pad: cannot sign in to " + wsUrl_ + ": ", 1))
      << untrusting.transcript();
}

}  // namespace
}  // namespace orvane
