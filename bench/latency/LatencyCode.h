#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <span>

// The code the latency clock draws at the screen's top-left and receivers
// read back from decoded video: 2 rows of 48 square cells of 16 screen
// pixels, white for 1 and black for 0. Bit i sits in cell i (row-major):
// 56 bits of draw time (CLOCK_REALTIME µs), 24 bits of frame number, then a
// CRC-16/CCITT-FALSE of both; all most significant bit first.
namespace orvane::latency {

inline constexpr int kCellPixels = 16;
inline constexpr int kColumns = 48;
inline constexpr int kRows = 2;
inline constexpr int kBits = kColumns * kRows;
inline constexpr int kStripWidth = kColumns * kCellPixels;  // 768
inline constexpr int kStripHeight = kRows * kCellPixels;    // 32

inline constexpr int kTimeBits = 56;
inline constexpr int kFrameBits = 24;
inline constexpr int kCrcBits = 16;

struct LatencyStamp {
  std::uint64_t timeUs = 0;  // only the low 56 bits travel
  std::uint32_t frame = 0;   // only the low 24 bits travel
  bool operator==(const LatencyStamp&) const = default;
};

// Bit i is cell i: set = white.
using LatencyBits = std::bitset<kBits>;

// Poly 0x1021, init 0xFFFF, not reflected, no final xor.
std::uint16_t crc16CcittFalse(std::span<const std::uint8_t> bytes);

LatencyBits encodeLatencyCode(LatencyStamp stamp);
// The stamp when the CRC checks, with time and frame reduced to their widths.
std::optional<LatencyStamp> parseLatencyBits(const LatencyBits& bits);

// Reads the code from an 8-bit luma plane that shows a screen of
// screenWidth x screenHeight pixels scaled to width x height. Each cell is
// the mean of the central half of its scaled area against a threshold of 128.
// Nothing when the picture cannot hold the strip or the CRC does not check.
std::optional<LatencyStamp> decodeLatencyCode(const std::uint8_t* luma, int stride, int width, int height,
                                              int screenWidth, int screenHeight);

}  // namespace orvane::latency
