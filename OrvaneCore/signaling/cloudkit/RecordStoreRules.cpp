#include "OrvaneCore/signaling/cloudkit/RecordStoreRules.h"

#include <cstdio>
#include <random>

namespace orvane::record_store {

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t codePoint;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kMinimum[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::size_t valueBytes(const CKValue& value) {
  switch (typeOf(value)) {
    case CKValueType::string: return std::get<std::string>(value).size();
    case CKValueType::int32: return 4;
    case CKValueType::int64:
    case CKValueType::date: return 8;
    case CKValueType::bytes: return std::get<CKBytes>(value).size();
  }
  return 0;
}

std::size_t recordBytes(const CKRecord& record) {
  std::size_t total = 0;
  for (const auto& [key, value] : record.fields()) total += key.size() + valueBytes(value);
  return total;
}

namespace {

void checkName(std::string_view what, std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes || !isValidUtf8(name)) {
    throw CloudKitError(CKErrorCode::invalidArguments,
                        std::string(what) + " must be 1 to " + std::to_string(kMaxNameBytes) + " bytes of UTF-8");
  }
}

}  // namespace

void validateZone(const CKRecordZoneID& zone) {
  checkName("zone name", zone.zoneName);
  checkName("zone owner", zone.ownerName);
}

void validateIdentifiers(const CKRecordID& id, std::string_view recordType) {
  validateZone(id.zoneID);
  checkName("record name", id.recordName);
  checkName("record type", recordType);
}

CKRecord applySave(const std::optional<CKRecord>& existing, const CKRecord& incoming, CKSavePolicy policy) {
  validateIdentifiers(incoming.recordID(), incoming.recordType());
  for (const auto& [key, value] : incoming.fields()) {
    checkName("field key", key);
    if (auto* text = std::get_if<std::string>(&value); text && !isValidUtf8(*text)) {
      throw CloudKitError(CKErrorCode::invalidArguments, "field '" + key + "' is not UTF-8");
    }
  }
  std::map<std::string, CKValue> fields;
  switch (policy) {
    case CKSavePolicy::ifServerRecordUnchanged:
      if (existing && existing->recordChangeTag() != incoming.recordChangeTag()) {
        throw CloudKitError(CKErrorCode::serverRecordChanged,
                            "record '" + incoming.recordID().recordName + "' changed on the server");
      }
      fields = incoming.fields();
      break;
    case CKSavePolicy::allKeys:
      fields = incoming.fields();
      break;
    case CKSavePolicy::changedKeys:
      if (existing) {
        if (existing->recordType() != incoming.recordType()) {
          throw CloudKitError(CKErrorCode::invalidArguments, "record '" + incoming.recordID().recordName + "' is a " +
                                                                 existing->recordType() + ", not a " +
                                                                 incoming.recordType());
        }
        fields = existing->fields();
      }
      for (const auto& key : incoming.changedKeys()) {
        if (const CKValue* value = incoming.value(key)) {
          fields.insert_or_assign(key, *value);
        } else {
          fields.erase(key);
        }
      }
      break;
  }
  CKRecord result = CKRecord::stored(incoming.recordType(), incoming.recordID(), std::move(fields), {});
  if (result.fields().size() > kMaxFieldsPerRecord || recordBytes(result) > kMaxRecordBytes) {
    throw CloudKitError(CKErrorCode::limitExceeded, "record '" + incoming.recordID().recordName + "' is too large");
  }
  return result;
}

std::string makeChangeTag() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(engine()));
  return text;
}

void throwUnknownItem(const CKRecordID& id) {
  throw CloudKitError(CKErrorCode::unknownItem, "record '" + id.recordName + "' not found");
}

void throwZoneNotFound(const CKRecordZoneID& zone) {
  throw CloudKitError(CKErrorCode::zoneNotFound, "zone '" + zone.zoneName + "' does not exist");
}

}  // namespace orvane::record_store
