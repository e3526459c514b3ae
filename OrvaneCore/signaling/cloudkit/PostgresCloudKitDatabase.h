#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "OrvaneCore/signaling/cloudkit/CloudKitDatabase.h"

namespace orvane {

class BlockingExecutor;

// True for the values that name a PostgreSQL server ("postgresql://..." or
// "postgres://...") rather than a record store file.
bool isPostgresRecordStore(std::string_view location);

// The record database in a PostgreSQL schema that the devices of one user
// share over the network. The same rules as the SQLite file: typed fields
// (a type tag beside each value), every read checked, a record that cannot be
// read a per-record error. Writes are serialised by one advisory lock, as
// the file serialises its writers.
//
// Operations run on a thread of the store's own, one at a time in the order
// they were called, so that a slow or lost server never stalls the caller's
// executor; the awaiting task resumes on its executor. A lost connection
// fails the operation with serviceUnavailable and the next one reconnects.
// Thread-safe.
class PostgresCloudKitDatabase final : public CloudKitDatabaseProtocol {
 public:
  struct Options {
    std::string url;  // postgresql://... (never logged: it may hold a password)
    std::chrono::seconds connectTimeout{5};
    std::chrono::milliseconds statementTimeout{5000};
    // The listener's wait after a failed reconnect, doubling up to the most.
    std::chrono::milliseconds firstBackoff{100};
    std::chrono::milliseconds maxBackoff{5000};
  };

  explicit PostgresCloudKitDatabase(Options options);
  ~PostgresCloudKitDatabase() override;
  PostgresCloudKitDatabase(const PostgresCloudKitDatabase&) = delete;
  PostgresCloudKitDatabase& operator=(const PostgresCloudKitDatabase&) = delete;

  Task<CKRecordZone> saveZone(CKRecordZone zone) override;
  Task<CKDatabaseSubscription> saveSubscription(CKDatabaseSubscription subscription) override;
  Task<CKRecord> saveRecord(CKRecord record) override;
  Task<CKRecord> upsert(CKRecord record, CKSavePolicy savePolicy) override;
  Task<CKRecord> fetchRecord(CKRecordID recordID) override;
  Task<CKRecordID> deleteRecord(CKRecordID recordID) override;
  Task<CKQueryResult> queryRecords(CKQuery query, CKRecordZoneID zoneID) override;

  // The push of this store: a listening connection of its own, on a
  // background thread, calls `onRemoteChange` soon after another connection
  // commits a change, never for this object's own writes, and once after
  // every (re)connection, since changes made while it was away were missed.
  // Replaces an earlier watch.
  void watchRemoteChanges(std::function<void()> onRemoteChange);

  // Connections the listener has made so far: for tests.
  int listenerConnections() const;

 private:
  struct Impl;
  struct Listener;
  std::shared_ptr<Impl> impl_;  // held by operations under way too
  std::unique_ptr<Listener> listener_;
  std::unique_ptr<BlockingExecutor> blocking_;
};

}  // namespace orvane
