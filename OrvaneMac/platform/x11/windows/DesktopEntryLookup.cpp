#include "OrvaneMac/platform/x11/windows/DesktopEntryLookup.h"

#include <utility>

namespace orvane::x11 {

ApplicationLookup desktopEntryLookup(std::shared_ptr<const DesktopEntries> entries) {
  return [entries = std::move(entries)](std::string_view resClass,
                                        std::string_view resInstance) -> std::optional<ApplicationIdentity> {
    const DesktopEntry* entry = entries ? entries->forWindowClass(resClass, resInstance) : nullptr;
    if (!entry) return std::nullopt;
    std::string_view id = entry->id;
    if (id.ends_with(".desktop")) id.remove_suffix(8);
    return ApplicationIdentity{entry->name, std::string(id)};
  };
}

}  // namespace orvane::x11
