#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "OrvaneCore/signaling/cloudkit/CloudKitDatabase.h"

namespace orvane {

// The tests' database: the same rules as the SQLite one, kept in maps, used
// from one thread. An optional latency (in the executor's time) makes every
// operation wait, so overlapping polls can be tested; a hook can fail any
// operation.
class InMemoryCloudKitDatabase final : public CloudKitDatabaseProtocol {
 public:
  enum class Operation { saveZone, saveSubscription, saveRecord, upsert, fetchRecord, deleteRecord, queryRecords };

  Task<CKRecordZone> saveZone(CKRecordZone zone) override;
  Task<CKDatabaseSubscription> saveSubscription(CKDatabaseSubscription subscription) override;
  Task<CKRecord> saveRecord(CKRecord record) override;
  Task<CKRecord> upsert(CKRecord record, CKSavePolicy savePolicy) override;
  Task<CKRecord> fetchRecord(CKRecordID recordID) override;
  Task<CKRecordID> deleteRecord(CKRecordID recordID) override;
  Task<CKQueryResult> queryRecords(CKQuery query, CKRecordZoneID zoneID) override;

  // Runs before each operation takes effect (after the latency); throwing
  // fails the operation with that error. The name is the record's or the zone's.
  std::function<void(Operation, const std::string& name)> beforeOperation;
  Seconds latency{0};

  // Direct access for tests, without latency or hook.
  void put(CKRecord record);  // stores the fields as given, creating its zone
  std::optional<CKRecord> find(const CKRecordID& id) const;
  std::vector<CKRecord> records(const std::string& recordType) const;  // oldest first
  bool hasZone(const CKRecordZoneID& zone) const { return zones_.count(zone) != 0; }
  const std::map<std::string, CKDatabaseSubscription>& subscriptions() const { return subscriptions_; }
  int calls(Operation operation) const;

 private:
  struct Stored {
    std::uint64_t seq;  // creation order, kept across saves
    CKRecord record;
  };

  Task<void> begin(Operation operation, const std::string& name);
  CKRecord store(const CKRecord& merged);
  void requireZone(const CKRecordZoneID& zone) const;

  std::set<CKRecordZoneID> zones_;
  std::map<std::string, CKDatabaseSubscription> subscriptions_;
  std::map<CKRecordID, Stored> records_;
  std::map<Operation, int> calls_;
  std::uint64_t nextSeq_ = 1;
};

}  // namespace orvane
