#pragma once

#include <cstddef>

#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitTypes.h"

namespace orvane {

// The record database the CloudKit signalling backend runs on: the user's
// private database, here an in-memory one for tests or a SQLite file shared
// by the processes of one machine. Every operation fails with CloudKitError.
// Arguments are taken by value: the operations are coroutines.
class CloudKitDatabaseProtocol {
 public:
  virtual ~CloudKitDatabaseProtocol() = default;

  // Creates the zone, or does nothing when it exists.
  virtual Task<CKRecordZone> saveZone(CKRecordZone zone) = 0;
  // Creates or replaces the subscription with that identifier.
  virtual Task<CKDatabaseSubscription> saveSubscription(CKDatabaseSubscription subscription) = 0;
  // The plain save: creates the record or replaces all its fields.
  virtual Task<CKRecord> saveRecord(CKRecord record) = 0;
  // One modify operation with the given policy; `changedKeys` creates the
  // record when it is missing. Returns the record as stored, with its new tag.
  virtual Task<CKRecord> upsert(CKRecord record, CKSavePolicy savePolicy) = 0;
  // unknownItem when there is no such record.
  virtual Task<CKRecord> fetchRecord(CKRecordID recordID) = 0;
  // unknownItem when there is no such record.
  virtual Task<CKRecordID> deleteRecord(CKRecordID recordID) = 0;
  // The first batch of matches (at most kMaxQueryResults), oldest record
  // first, with a cursor when there are more. A record that cannot be read
  // is a per-record error, never a failed query.
  virtual Task<CKQueryResult> queryRecords(CKQuery query, CKRecordZoneID zoneID) = 0;
};

// The bounds every database enforces on writes and reads: the platform's
// record size limit, and a cap on what one query may return.
inline constexpr std::size_t kMaxQueryResults = 400;
inline constexpr std::size_t kMaxRecordBytes = 1024 * 1024;  // keys and values of one record
inline constexpr std::size_t kMaxNameBytes = 255;            // record names, types, keys, zone names
inline constexpr std::size_t kMaxFieldsPerRecord = 128;
inline constexpr std::size_t kMaxQueryBytes = 16 * 1024 * 1024;  // one answer; the rest goes behind the cursor

}  // namespace orvane
