#pragma once

// H.264 levels: which one a picture size and frame rate need, and how
// GStreamer caps and SDP spell it. A level is its level_idc: 31 for 3.1.

#include <optional>
#include <string>

namespace orvane::rtc {

// The lowest level whose limits hold `width`×`height` at `framesPerSecond`:
// frame size (MaxFS), macroblock rate (MaxMBPS) and each side at most
// sqrt(8 × MaxFS) macroblocks, the checks x264 makes. nullopt for a size
// that is not positive or beyond level 6.2. Level 1b is never chosen (1.1
// covers it).
std::optional<int> h264LevelFor(int width, int height, int framesPerSecond);

// As GStreamer's `level` caps field writes it: "3.1", "4", "4.2".
std::string h264LevelName(int levelIdc);

// The SDP profile-level-id of constrained baseline at that level: "42e01f"
// for 3.1.
std::string constrainedBaselineProfileLevelId(int levelIdc);

}  // namespace orvane::rtc
