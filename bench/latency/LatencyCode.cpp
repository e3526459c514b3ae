#include "bench/latency/LatencyCode.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace orvane::latency {

namespace {

constexpr int kThreshold = 128;

// The 10 bytes the CRC covers: 7 of time, 3 of frame, big-endian.
std::array<std::uint8_t, 10> payloadBytes(std::uint64_t time, std::uint32_t frame) {
  std::array<std::uint8_t, 10> bytes{};
  for (int i = 0; i < 7; ++i) bytes[std::size_t(i)] = std::uint8_t(time >> (8 * (6 - i)));
  for (int i = 0; i < 3; ++i) bytes[std::size_t(7 + i)] = std::uint8_t(frame >> (8 * (2 - i)));
  return bytes;
}

void putBits(LatencyBits& bits, int first, int count, std::uint64_t value) {
  for (int i = 0; i < count; ++i) bits[std::size_t(first + i)] = (value >> (count - 1 - i)) & 1;
}

std::uint64_t getBits(const LatencyBits& bits, int first, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 1) | (bits[std::size_t(first + i)] ? 1 : 0);
  return value;
}

// The pixels [begin, end) of the central half of one cell along one axis,
// never empty, inside [0, size).
struct Span {
  int begin, end;
};

Span centralHalf(int cell, double scale, int size) {
  const double centre = (cell + 0.5) * kCellPixels * scale;
  const double quarter = kCellPixels * scale / 4;
  int begin = int(std::lround(centre - quarter));
  int end = int(std::lround(centre + quarter));
  if (end <= begin) {
    begin = int(std::floor(centre));
    end = begin + 1;
  }
  begin = std::clamp(begin, 0, size - 1);
  end = std::clamp(end, begin + 1, size);
  return {begin, end};
}

}  // namespace

std::uint16_t crc16CcittFalse(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const std::uint8_t byte : bytes) {
    crc ^= std::uint16_t(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
  }
  return crc;
}

LatencyBits encodeLatencyCode(LatencyStamp stamp) {
  const std::uint64_t time = stamp.timeUs & ((std::uint64_t(1) << kTimeBits) - 1);
  const std::uint32_t frame = stamp.frame & ((1u << kFrameBits) - 1);
  LatencyBits bits;
  putBits(bits, 0, kTimeBits, time);
  putBits(bits, kTimeBits, kFrameBits, frame);
  putBits(bits, kTimeBits + kFrameBits, kCrcBits, crc16CcittFalse(payloadBytes(time, frame)));
  return bits;
}

std::optional<LatencyStamp> parseLatencyBits(const LatencyBits& bits) {
  const std::uint64_t time = getBits(bits, 0, kTimeBits);
  const auto frame = std::uint32_t(getBits(bits, kTimeBits, kFrameBits));
  const auto crc = std::uint16_t(getBits(bits, kTimeBits + kFrameBits, kCrcBits));
  if (crc != crc16CcittFalse(payloadBytes(time, frame))) return std::nullopt;
  return LatencyStamp{time, frame};
}

std::optional<LatencyStamp> decodeLatencyCode(const std::uint8_t* luma, int stride, int width, int height,
                                              int screenWidth, int screenHeight) {
  if (!luma || width <= 0 || height <= 0 || stride < width) return std::nullopt;
  // At a scale of width/screenWidth the strip fits the picture exactly when
  // the screen holds it.
  if (screenWidth < kStripWidth || screenHeight < kStripHeight) return std::nullopt;
  const double sx = double(width) / screenWidth, sy = double(height) / screenHeight;
  LatencyBits bits;
  for (int row = 0; row < kRows; ++row) {
    const Span ys = centralHalf(row, sy, height);
    for (int col = 0; col < kColumns; ++col) {
      const Span xs = centralHalf(col, sx, width);
      long sum = 0;
      for (int y = ys.begin; y < ys.end; ++y) {
        const std::uint8_t* line = luma + std::ptrdiff_t(y) * stride;
        for (int x = xs.begin; x < xs.end; ++x) sum += line[x];
      }
      const long count = long(ys.end - ys.begin) * (xs.end - xs.begin);
      bits[std::size_t(row * kColumns + col)] = sum >= long(kThreshold) * count;
    }
  }
  return parseLatencyBits(bits);
}

}  // namespace orvane::latency
