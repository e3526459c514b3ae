// The latency code without a display: its bit layout and CRC, reading it
// back from pictures as a decoder hands them over (scaled, blurred, video-range
// luma), and the clock's tick schedule.

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "bench/latency/LatencyCode.h"
#include "bench/latency/TickSchedule.h"

namespace orvane::latency {
namespace {

struct Luma {
  int width = 0, height = 0, stride = 0;
  std::vector<std::uint8_t> pixels;
  std::uint8_t& at(int x, int y) { return pixels[std::size_t(y) * stride + x]; }
  std::uint8_t at(int x, int y) const { return pixels[std::size_t(y) * stride + x]; }
};

// A screen of grey noise with the code at its top-left in video-range luma
// (white 235, black 16), rows padded as decoders pad them.
Luma screenWithCode(int width, int height, LatencyStamp stamp) {
  Luma screen{width, height, width + 32, {}};
  screen.pixels.resize(std::size_t(screen.stride) * height);
  std::mt19937 random(7);
  for (auto& pixel : screen.pixels) pixel = std::uint8_t(96 + random() % 64);
  const LatencyBits bits = encodeLatencyCode(stamp);
  for (int y = 0; y < kStripHeight; ++y) {
    for (int x = 0; x < kStripWidth; ++x) {
      screen.at(x, y) = bits[std::size_t((y / kCellPixels) * kColumns + x / kCellPixels)] ? 235 : 16;
    }
  }
  return screen;
}

// Area-averaged to two thirds of the size (1920x1080 → 1280x720), then a 3x3 box blur.
Luma shrinkAndBlur(const Luma& in) {
  Luma small{in.width * 2 / 3, in.height * 2 / 3, in.width * 2 / 3, {}};
  small.pixels.resize(std::size_t(small.width) * small.height);
  for (int y = 0; y < small.height; ++y) {
    for (int x = 0; x < small.width; ++x) {
      int sum = 0;
      for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) sum += in.at((3 * x + i) / 2, (3 * y + j) / 2);
      }
      small.at(x, y) = std::uint8_t(sum / 9);
    }
  }
  Luma blurred = small;
  for (int y = 1; y + 1 < small.height; ++y) {
    for (int x = 1; x + 1 < small.width; ++x) {
      int sum = 0;
      for (int j = -1; j <= 1; ++j) {
        for (int i = -1; i <= 1; ++i) sum += small.at(x + i, y + j);
      }
      blurred.at(x, y) = std::uint8_t(sum / 9);
    }
  }
  return blurred;
}

std::optional<LatencyStamp> decode(const Luma& picture, int screenWidth, int screenHeight) {
  return decodeLatencyCode(picture.pixels.data(), picture.stride, picture.width, picture.height, screenWidth,
                           screenHeight);
}

TEST(LatencyCode, LaysOutTimeFrameAndCrcMostSignificantBitFirst) {
  const std::string_view check = "123456789";
  EXPECT_EQ(crc16CcittFalse({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}), 0x29B1);

  const LatencyBits high = encodeLatencyCode({std::uint64_t(1) << 55, 1});
  EXPECT_TRUE(high[0]);  // the time's top bit in the first cell
  for (int i = 1; i < kTimeBits + kFrameBits - 1; ++i) EXPECT_FALSE(high[std::size_t(i)]) << i;
  EXPECT_TRUE(high[kTimeBits + kFrameBits - 1]);  // the frame's lowest bit just before the CRC

  const LatencyStamp stamp{1'780'000'000'123'456, 0xABCDEF};
  EXPECT_EQ(parseLatencyBits(encodeLatencyCode(stamp)), stamp);
  // Wider values lose their high bits, not their low ones.
  EXPECT_EQ(parseLatencyBits(encodeLatencyCode({(std::uint64_t(0xFF) << 56) | 42, 0x1000007})),
            (LatencyStamp{42, 7}));
}

TEST(LatencyCode, CrcRefusesAnySingleFlippedCell) {
  const LatencyBits bits = encodeLatencyCode({1'780'000'000'654'321, 4242});
  for (int i = 0; i < kBits; ++i) {
    LatencyBits flipped = bits;
    flipped.flip(std::size_t(i));
    EXPECT_FALSE(parseLatencyBits(flipped)) << "cell " << i;
  }
}

TEST(LatencyCode, ReadsFullSizeAndScaledBlurredPictures) {
  const LatencyStamp stamp{1'780'000'000'000'001, 77};
  const Luma screen = screenWithCode(1920, 1080, stamp);
  EXPECT_EQ(decode(screen, 1920, 1080), stamp);
  EXPECT_EQ(decode(shrinkAndBlur(screen), 1920, 1080), stamp);
  // Read as if unscaled, the cells are sampled in the wrong places.
  EXPECT_FALSE(decode(shrinkAndBlur(screen), 1280, 720));
}

TEST(LatencyCode, NothingFromPicturesThatCannotHoldIt) {
  Luma noise = screenWithCode(1280, 720, {1, 1});
  std::fill(noise.pixels.begin(), noise.pixels.end(), std::uint8_t(128));
  EXPECT_FALSE(decode(noise, 1280, 720));

  const Luma small = screenWithCode(1280, 720, {5, 5});
  EXPECT_FALSE(decode(small, 700, 720));  // a screen narrower than the strip
  EXPECT_FALSE(decode(small, 1280, 20));
  EXPECT_FALSE(decodeLatencyCode(small.pixels.data(), small.stride, 640, 32, 640, 32));
  EXPECT_FALSE(decodeLatencyCode(small.pixels.data(), small.width - 1, small.width, small.height, 1280, 720));
  EXPECT_FALSE(decodeLatencyCode(nullptr, 1280, 1280, 720, 1280, 720));
  EXPECT_FALSE(decodeLatencyCode(small.pixels.data(), small.stride, 0, 720, 1280, 720));
  // A picture a few pixels across for a whole screen reads single pixels, within bounds.
  EXPECT_FALSE(decodeLatencyCode(small.pixels.data(), small.stride, 3, 2, 1920, 1080));
}

TEST(TickSchedule, KeepsWholePeriodsAndSkipsRatherThanBursts) {
  TickSchedule ticks(1000, 100);
  EXPECT_EQ(ticks.nextDue(), 1000);
  EXPECT_EQ(ticks.advance(1030), 0);
  EXPECT_EQ(ticks.nextDue(), 1100);
  // Ending inside the next slot: that tick runs at once, nothing skipped.
  EXPECT_EQ(ticks.advance(1150), 0);
  EXPECT_EQ(ticks.nextDue(), 1200);
  // Three and a half periods late: the slot being lived in, not the ones passed.
  EXPECT_EQ(ticks.advance(1560), 2);
  EXPECT_EQ(ticks.nextDue(), 1500);
  EXPECT_EQ(ticks.advance(1510), 0);
  EXPECT_EQ(ticks.nextDue(), 1600);  // back on the grid
}

}  // namespace
}  // namespace orvane::latency
