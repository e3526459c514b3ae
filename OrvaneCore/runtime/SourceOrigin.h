#pragma once

#include <cstdint>

namespace orvane {

// Where a call was made from, as std::source_location says it. That one
// needs a compiler builtin clang 14 (the fuzzing build's) lacks; these are
// in every compiler we build with.
class SourceOrigin {
 public:
  static constexpr SourceOrigin current(const char* file = __builtin_FILE(), const char* function = __builtin_FUNCTION(),
                                        std::uint_least32_t line = __builtin_LINE()) noexcept {
    return SourceOrigin(file, function, line);
  }
  constexpr SourceOrigin() noexcept = default;

  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }

 private:
  constexpr SourceOrigin(const char* file, const char* function, std::uint_least32_t line) noexcept
      : file_(file), function_(function), line_(line) {}

  const char* file_ = "";
  const char* function_ = "";
  std::uint_least32_t line_ = 0;
};

}  // namespace orvane
