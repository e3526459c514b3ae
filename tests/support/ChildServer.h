#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace orvane::test {

// What the throwaway servers (PostgreSQL, Redis) share: a loopback port that
// was free a moment ago, and the end of the log a server wrote, for errors.
std::uint16_t freeLoopbackPort();
std::string fileTail(const std::filesystem::path& file, std::size_t bytes = 4000);

}  // namespace orvane::test
