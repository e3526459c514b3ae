#include "OrvaneCore/json/Utf8.h"

namespace orvane {

std::size_t wellFormedUtf8Length(std::string_view text, std::size_t i, std::size_t* subpart) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = at(i);
  *subpart = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const bool ok = i + k < text.size() && at(i + k) >= (k == 1 ? low : 0x80) && at(i + k) <= (k == 1 ? high : 0xBF);
    if (!ok) {
      *subpart = k;
      return 0;
    }
  }
  return length;
}

bool isValidUtf8(std::string_view text) {
  std::size_t subpart = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = wellFormedUtf8Length(text, i, &subpart);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string repairingUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t subpart = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = wellFormedUtf8Length(text, i, &subpart);
    if (length > 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      i += subpart;
    }
  }
  return out;
}

}  // namespace orvane
