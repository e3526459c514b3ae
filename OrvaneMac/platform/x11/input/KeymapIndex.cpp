#include "OrvaneMac/platform/x11/input/KeymapIndex.h"

#include <algorithm>

namespace orvane::x11 {

KeymapIndex::KeymapIndex(int minKeycode, int perKeycode, std::span<const KeySym> keysyms,
                         const std::function<bool(KeyCode)>& ours) {
  if (perKeycode <= 0) return;
  const std::size_t count = keysyms.size() / static_cast<std::size_t>(perKeycode);
  for (std::size_t i = 0; i < count; ++i) {
    const int code = minKeycode + static_cast<int>(i);
    if (code < 0 || code > 255) break;
    const auto keycode = static_cast<KeyCode>(code);
    const auto row = keysyms.subspan(i * perKeycode, perKeycode);
    if (ours(keycode) || std::all_of(row.begin(), row.end(), [](KeySym k) { return k == NoSymbol; })) {
      empty_.push_back(keycode);
      continue;
    }
    for (int level = 0; level < std::min(perKeycode, 2); ++level) {
      if (row[level] == NoSymbol) continue;
      const Key key{keycode, level == 1};
      auto [it, added] = keys_.emplace(row[level], key);
      if (!added && it->second.shift && !key.shift) it->second = key;  // a plain key beats a shifted one
    }
  }
}

std::optional<KeymapIndex::Key> KeymapIndex::find(KeySym keysym, bool allowShift) const {
  auto it = keys_.find(keysym);
  if (it == keys_.end() || (it->second.shift && !allowShift)) return std::nullopt;
  return it->second;
}

}  // namespace orvane::x11
