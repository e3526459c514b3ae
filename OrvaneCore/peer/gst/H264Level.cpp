#include "OrvaneCore/peer/gst/H264Level.h"

#include <cstdint>
#include <cstdio>

namespace orvane::rtc {
namespace {

struct Limits {
  int levelIdc;
  std::int64_t maxMacroblocksPerSecond;
  std::int64_t maxFrameMacroblocks;
};

// H.264 Table A-1, without 1b.
constexpr Limits kLevels[] = {
    {10, 1485, 99},        {11, 3000, 396},       {12, 6000, 396},       {13, 11880, 396},
    {20, 11880, 396},      {21, 19800, 792},      {22, 20250, 1620},     {30, 40500, 1620},
    {31, 108000, 3600},    {32, 216000, 5120},    {40, 245760, 8192},    {41, 245760, 8192},
    {42, 522240, 8704},    {50, 589824, 22080},   {51, 983040, 36864},   {52, 2073600, 36864},
    {60, 4177920, 139264}, {61, 8355840, 139264}, {62, 16711680, 139264},
};

}  // namespace

std::optional<int> h264LevelFor(int width, int height, int framesPerSecond) {
  if (width <= 0 || height <= 0 || framesPerSecond <= 0) return std::nullopt;
  const std::int64_t columns = (std::int64_t(width) + 15) / 16;
  const std::int64_t rows = (std::int64_t(height) + 15) / 16;
  const std::int64_t frame = columns * rows;
  for (const Limits& l : kLevels) {
    if (frame <= l.maxFrameMacroblocks && frame * framesPerSecond <= l.maxMacroblocksPerSecond &&
        columns * columns <= 8 * l.maxFrameMacroblocks && rows * rows <= 8 * l.maxFrameMacroblocks) {
      return l.levelIdc;
    }
  }
  return std::nullopt;
}

std::string h264LevelName(int levelIdc) {
  std::string name = std::to_string(levelIdc / 10);
  if (levelIdc % 10) name += "." + std::to_string(levelIdc % 10);
  return name;
}

std::string constrainedBaselineProfileLevelId(int levelIdc) {
  char text[7];
  std::snprintf(text, sizeof text, "42e0%02x", unsigned(levelIdc) & 0xFFu);
  return text;
}

}  // namespace orvane::rtc
