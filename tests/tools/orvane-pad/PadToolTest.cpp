// orvane-pad's parts that need no network: the command line, the standard
// input's line splitting, and the decoded-frame copy behind the snapshot.

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tools/orvane-pad/LineReader.h"
#include "tools/orvane-pad/PadOptions.h"
#include "tools/orvane-pad/VideoMeter.h"

namespace orvane::pad {
namespace {

std::string errorOf(std::vector<std::string> args) {
  const Parsed parsed = parse(args);
  const auto* error = std::get_if<UsageError>(&parsed);
  return error ? error->message : "";
}

TEST(PadOptions, ReadsBothCommandsAndRefusesWhatCannotWork) {
  const Parsed parsed = parse({"--server", "wss://signal.example:8443/base", "--token=abc", "--device-id", "P1",
                               "--ice-server", "stun:stun.example:3478", "--ice-server",
                               "turn:198.51.100.1:3478?transport=tcp", "--ice-username", "u", "--ice-credential", "p",
                               "connect", "H1", "--snapshot", "f.png", "--timeout", "2.5"});
  ASSERT_TRUE(std::holds_alternative<PadOptions>(parsed)) << std::get<UsageError>(parsed).message;
  const auto& options = std::get<PadOptions>(parsed);
  EXPECT_EQ(options.server.toString(), "wss://signal.example:8443/base");
  EXPECT_EQ(options.token, "abc");
  EXPECT_EQ(options.deviceId, "P1");
  EXPECT_EQ(options.timeoutSeconds, 2.5);
  const auto& connect = std::get<ConnectCommand>(options.command);
  EXPECT_EQ(connect.hostId, "H1");
  EXPECT_EQ(connect.snapshotFile, "f.png");
  EXPECT_FALSE(connect.latencySeconds);
  const Parsed measuring = parse({"--token", "t", "connect", "H1", "--latency", "10"});
  ASSERT_TRUE(std::holds_alternative<PadOptions>(measuring));
  EXPECT_EQ(std::get<ConnectCommand>(std::get<PadOptions>(measuring).command).latencySeconds, 10.0);
  ASSERT_TRUE(options.iceServers);
  ASSERT_EQ(options.iceServers->size(), 2u);
  EXPECT_EQ((*options.iceServers)[0], (rtc::IceServer{{"stun:stun.example:3478"}, std::nullopt, std::nullopt}));
  EXPECT_EQ((*options.iceServers)[1].username, "u");

  const Parsed list = parse({"--token", "t", "list", "--ice-server", "none"});
  ASSERT_TRUE(std::holds_alternative<PadOptions>(list));
  EXPECT_EQ(std::get<PadOptions>(list).server.toString(), "wss://signal.orvane.app");
  EXPECT_EQ(std::get<PadOptions>(list).iceServers, std::vector<rtc::IceServer>{});
  EXPECT_FALSE(std::get<PadOptions>(parse({"--token", "t", "list"})).iceServers);
  EXPECT_TRUE(std::holds_alternative<Help>(parse({"list", "--help"})));

  EXPECT_EQ(errorOf({"list"}), "--token is required");
  EXPECT_EQ(errorOf({"--token", "t"}), "missing command: list or connect HOST_ID");
  EXPECT_EQ(errorOf({"--token", "t", "connect"}), "connect needs exactly one HOST_ID");
  EXPECT_EQ(errorOf({"--token", "t", "list", "--snapshot", "f.png"}), "--snapshot goes with connect");
  EXPECT_EQ(errorOf({"--token", "t", "list", "--latency", "5"}), "--latency goes with connect");
  EXPECT_EQ(errorOf({"--token", "t", "connect", "H", "--latency", "-1"}),
            "--latency must be a number of seconds above 0, at most 3600");
  EXPECT_EQ(errorOf({"--token", "t", "--server", "https://x", "list"}), "--server must be a ws:// or wss:// URL");
  EXPECT_EQ(errorOf({"--token", "t", "--timeout", "0", "list"}),
            "--timeout must be a number of seconds above 0, at most 3600");
  EXPECT_EQ(errorOf({"--token", "t", "--token", "u", "list"}), "--token given twice");
  EXPECT_EQ(errorOf({"--token", "t", "--ice-server", "turn:h:1", "list"}),
            "a TURN server needs --ice-username and --ice-credential");
  EXPECT_EQ(errorOf({"--token", "t", "--ice-server", "http://h", "list"}),
            "--ice-server must be a stun:, turn: or turns: URL");
  EXPECT_EQ(errorOf({"--token", "t", "--bogus", "list"}), "unknown option --bogus");
  EXPECT_EQ(errorOf({"--token"}), "--token needs a value");
  EXPECT_EQ(errorOf({"--token", "t", "--verbose=yes", "list"}), "--verbose takes no value");
}

TEST(LineReader, SplitsLinesAcrossReadsSkipsOverlongOnesAndReportsTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::vector<std::string> lines;
  int overlong = 0, ends = 0;
  LineReader reader(
      fds[0], [&](std::string line) { lines.push_back(std::move(line)); }, [&] { ++overlong; }, [&] { ++ends; });
  auto pump = [] {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  };
  auto send = [&](const std::string& text) {
    ASSERT_EQ(write(fds[1], text.data(), text.size()), ssize_t(text.size()));
    // The writer may outpace the reader: drain until nothing is pending.
    for (int i = 0; i < 50; ++i) pump();
  };
  send("{\"a\":1}\n{\"b\"");
  send(":2}\n\n");
  std::thread big([&] {
    const std::string huge(LineReader::kMaxLineBytes + 1, 'x');
    ASSERT_EQ(write(fds[1], huge.data(), huge.size()), ssize_t(huge.size()));
    ASSERT_EQ(write(fds[1], "\nafter\nlast", 11), 11);
    close(fds[1]);
  });
  while (ends == 0) g_main_context_iteration(nullptr, TRUE);
  big.join();
  EXPECT_EQ(lines, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}", "", "after", "last"}));
  EXPECT_EQ(overlong, 1);
  EXPECT_EQ(ends, 1);
  close(fds[0]);
}

TEST(VideoMeter, CountsFramesAndCopiesOnePictureWithoutItsRowPadding) {
  VideoMeter meter;
  std::vector<I420Image> snapshots;
  meter.wantSnapshot([&](I420Image image) { snapshots.push_back(std::move(image)); });
  // 6x4 with padded rows: Y stride 8, chroma stride 4.
  std::vector<std::uint8_t> y(8 * 4, 0xEE), u(4 * 2, 0xEE), v(4 * 2, 0xEE);
  for (int row = 0; row < 4; ++row) {
    for (int x = 0; x < 6; ++x) y[row * 8 + x] = std::uint8_t(row * 10 + x);
  }
  for (int row = 0; row < 2; ++row) {
    for (int x = 0; x < 3; ++x) u[row * 4 + x] = v[row * 4 + x] = std::uint8_t(100 + row * 10 + x);
  }
  rtc::VideoFrame frame;
  frame.width = 6;
  frame.height = 4;
  frame.planes = {y.data(), u.data(), v.data()};
  frame.strides = {8, 4, 4};
  meter.onFrame(frame);
  meter.onFrame(frame);
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(snapshots[0].y, (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15, 20, 21, 22, 23, 24,
                                                       25, 30, 31, 32, 33, 34, 35}));
  EXPECT_EQ(snapshots[0].u, (std::vector<std::uint8_t>{100, 101, 102, 110, 111, 112}));
  const auto sample = meter.take();
  EXPECT_EQ(sample.frames, 2);
  EXPECT_EQ(sample.width, 6);
  EXPECT_EQ(meter.take().frames, 0);
  EXPECT_EQ(videoReport(29.94, 1920, 1080, 8123.4), "video: fps=29.9 size=1920x1080 kbps=8123");
}

}  // namespace
}  // namespace orvane::pad
