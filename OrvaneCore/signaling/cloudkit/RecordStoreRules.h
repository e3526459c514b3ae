#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneCore/signaling/cloudkit/CloudKitDatabase.h"

// What the in-memory and the SQLite database share, so both answer alike.
namespace orvane::record_store {

bool isValidUtf8(std::string_view text);

// Bytes a record counts against kMaxRecordBytes: keys plus values, numbers and
// dates at their binary width.
std::size_t recordBytes(const CKRecord& record);
std::size_t valueBytes(const CKValue& value);

// Throws invalidArguments for names and keys that are empty, too long or not
// UTF-8, and for strings that are not UTF-8.
void validateIdentifiers(const CKRecordID& id, std::string_view recordType);
void validateZone(const CKRecordZoneID& zone);

// The record a save leaves stored, before its new tag: `existing` is the
// stored record, if any. Throws serverRecordChanged, invalidArguments
// (record type differs) or limitExceeded.
CKRecord applySave(const std::optional<CKRecord>& existing, const CKRecord& incoming, CKSavePolicy policy);

// An opaque tag, fresh for every save.
std::string makeChangeTag();

[[noreturn]] void throwUnknownItem(const CKRecordID& id);
[[noreturn]] void throwZoneNotFound(const CKRecordZoneID& zone);

}  // namespace orvane::record_store
