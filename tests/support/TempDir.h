#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace orvane::test {

// A fresh directory under the system temp dir, removed with everything in it.
struct TempDir {
  std::filesystem::path path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  TempDir() = default;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { std::filesystem::remove_all(path); }
};

// The permission bits of `path`, for checks that secrets are private.
inline unsigned modeOf(const std::filesystem::path& path) {
  return static_cast<unsigned>(std::filesystem::status(path).permissions() & std::filesystem::perms::mask);
}

}  // namespace orvane::test
