#include "OrvaneCore/protocol/Base64.h"

#include <array>

namespace orvane {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> kDecode = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return table;
}();

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(kAlphabet[n >> 18]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back(kAlphabet[n & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
    out.push_back(kAlphabet[n >> 18]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool lastQuad = i + 4 == text.size();
    const std::size_t dataChars = lastQuad ? 4 - padding : 4;
    std::uint32_t n = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      std::uint8_t sextet = 0;
      if (k < dataChars) {
        sextet = kDecode[static_cast<unsigned char>(text[i + k])];
        if (sextet == kInvalid) return std::nullopt;  // '=' included: padding only at the end
      }
      n = (n << 6) | sextet;
    }
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (dataChars >= 3) out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (dataChars == 4) out.push_back(static_cast<std::uint8_t>(n));
    // Bits the padding discards must be zero, so each byte string has one text.
    if ((dataChars == 2 && (n & 0xffff) != 0) || (dataChars == 3 && (n & 0xff) != 0)) return std::nullopt;
  }
  return out;
}

}  // namespace orvane
