#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneCore/signaling/cloudkit/CloudKitTypes.h"
#include "tests/support/Await.h"

namespace orvane::test {

inline CKRecordZoneID orvaneZone() { return CKRecordZoneID{"Orvane"}; }

inline CKRecord makeRecord(std::string type, std::string name, std::vector<std::pair<std::string, CKValue>> fields,
                           CKRecordZoneID zone = orvaneZone()) {
  CKRecord record(std::move(type), CKRecordID{std::move(name), std::move(zone)});
  for (auto& [key, value] : fields) record.set(key, std::move(value));
  return record;
}

// The code of the CloudKitError `fn` throws, or nothing.
template <typename Fn>
std::optional<CKErrorCode> errorCode(Fn&& fn) {
  try {
    fn();
  } catch (const CloudKitError& e) {
    return e.code();
  }
  return std::nullopt;
}

}  // namespace orvane::test
