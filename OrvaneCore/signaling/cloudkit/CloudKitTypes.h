#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"

namespace orvane {

// The owner name of a zone that belongs to the signed-in user.
inline constexpr std::string_view kCKCurrentUserDefaultName = "__defaultOwner__";

struct CKRecordZoneID {
  std::string zoneName;
  std::string ownerName{kCKCurrentUserDefaultName};

  auto operator<=>(const CKRecordZoneID&) const = default;
};

struct CKRecordID {
  std::string recordName;
  CKRecordZoneID zoneID;

  auto operator<=>(const CKRecordID&) const = default;
};

struct CKRecordZone {
  CKRecordZoneID zoneID;
};

// A subscription to every change in the database, delivered as a push.
struct CKDatabaseSubscription {
  std::string subscriptionID;
  bool shouldSendContentAvailable = false;  // silent pushes
};

using CKBytes = std::vector<std::uint8_t>;

// One field value; the alternative is the stored type, so a date read as a
// string is simply not there.
using CKValue = std::variant<std::string, std::int32_t, std::int64_t, WallTime, CKBytes>;

enum class CKValueType { string, int32, int64, date, bytes };  // index of CKValue
std::string_view toString(CKValueType type);
std::optional<CKValueType> ckValueTypeFromString(std::string_view text);
inline CKValueType typeOf(const CKValue& value) { return static_cast<CKValueType>(value.index()); }

// A record as a client holds it: type, identifier, typed fields, the change
// tag of the stored version it came from, and which keys were set since.
class CKRecord {
 public:
  CKRecord(std::string recordType, CKRecordID recordID)
      : recordType_(std::move(recordType)), recordID_(std::move(recordID)) {}

  // A record as a database returns it: nothing changed yet.
  static CKRecord stored(std::string recordType, CKRecordID recordID, std::map<std::string, CKValue> fields,
                         std::string changeTag);

  const std::string& recordType() const { return recordType_; }
  const CKRecordID& recordID() const { return recordID_; }
  const std::optional<std::string>& recordChangeTag() const { return changeTag_; }

  // Sets the field, or removes it when `value` is empty; either way the key
  // counts as changed.
  void set(const std::string& key, std::optional<CKValue> value);

  const CKValue* value(const std::string& key) const;
  // The field when it is stored with that type; nothing when missing or typed otherwise.
  std::optional<std::string> string(const std::string& key) const;
  std::optional<std::int32_t> int32(const std::string& key) const;
  std::optional<std::int64_t> int64(const std::string& key) const;
  std::optional<WallTime> date(const std::string& key) const;

  const std::map<std::string, CKValue>& fields() const { return fields_; }
  const std::set<std::string>& changedKeys() const { return changedKeys_; }

 private:
  std::string recordType_;
  CKRecordID recordID_;
  std::optional<std::string> changeTag_;
  std::map<std::string, CKValue> fields_;
  std::set<std::string> changedKeys_;
};

// How a save treats a record that already exists.
enum class CKSavePolicy {
  ifServerRecordUnchanged,  // refuse unless the record carries the stored change tag
  changedKeys,              // write only the keys set on the record object
  allKeys,                  // replace every field
};

// The error codes of the platform's record service that this program meets;
// the numbers are the platform's.
enum class CKErrorCode {
  internalError = 1,
  serviceUnavailable = 6,
  unknownItem = 11,
  invalidArguments = 12,
  serverRecordChanged = 14,
  serverRejectedRequest = 15,
  badDatabase = 24,
  zoneNotFound = 26,
  limitExceeded = 27,
};
std::string_view toString(CKErrorCode code);

// Every failure of a database operation. what() is the readable form the
// signalling lines print: "Unknown Item (11): record 'x' not found".
class CloudKitError : public std::runtime_error {
 public:
  CloudKitError(CKErrorCode code, const std::string& message);
  CKErrorCode code() const { return code_; }

 private:
  CKErrorCode code_;
};

// The query predicates of this program: comparisons of one key with one value
// joined by AND, written as the platform's format strings
// ("sessionID == %@ AND fromRole == %@"). "==" holds when the field is stored
// with the argument's type and value; "!=" is its negation, so a missing field
// satisfies "!=".
class CKPredicate {
 public:
  enum class Op { equal, notEqual };
  struct Comparison {
    std::string key;
    Op op;
    CKValue value;
  };

  // Throws CloudKitError(invalidArguments) for any other form, or when the
  // arguments do not match the placeholders.
  static CKPredicate format(std::string_view format, std::vector<CKValue> arguments);

  const std::vector<Comparison>& comparisons() const { return comparisons_; }
  bool matches(const CKRecord& record) const;

 private:
  std::vector<Comparison> comparisons_;
};

struct CKQuery {
  std::string recordType;
  CKPredicate predicate;
};

// Where a query's next batch would start; nothing in this program follows it.
struct CKQueryCursor {
  std::string position;
};

struct CKQueryResult {
  // One matching record, or why it could not be read.
  struct Match {
    CKRecordID recordID;
    std::variant<CKRecord, CloudKitError> result;

    const CKRecord* record() const { return std::get_if<CKRecord>(&result); }
    const CloudKitError* error() const { return std::get_if<CloudKitError>(&result); }
  };
  std::vector<Match> matchResults;
  std::optional<CKQueryCursor> cursor;
};

// A fresh random (version 4) UUID in upper-case hex, the platform's text form.
std::string makeUUIDString();

}  // namespace orvane
