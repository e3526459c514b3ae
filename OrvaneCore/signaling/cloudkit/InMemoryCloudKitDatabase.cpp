#include "OrvaneCore/signaling/cloudkit/InMemoryCloudKitDatabase.h"

#include <algorithm>

#include "OrvaneCore/signaling/cloudkit/RecordStoreRules.h"

namespace orvane {

using namespace record_store;

Task<void> InMemoryCloudKitDatabase::begin(Operation operation, const std::string& name) {
  ++calls_[operation];
  if (latency.count() > 0) co_await sleepFor(latency);
  if (beforeOperation) beforeOperation(operation, name);
}

void InMemoryCloudKitDatabase::requireZone(const CKRecordZoneID& zone) const {
  if (!hasZone(zone)) throwZoneNotFound(zone);
}

CKRecord InMemoryCloudKitDatabase::store(const CKRecord& merged) {
  CKRecord saved = CKRecord::stored(merged.recordType(), merged.recordID(), merged.fields(), makeChangeTag());
  auto it = records_.find(saved.recordID());
  if (it == records_.end()) {
    records_.emplace(saved.recordID(), Stored{nextSeq_++, saved});
  } else {
    it->second.record = saved;
  }
  return saved;
}

Task<CKRecordZone> InMemoryCloudKitDatabase::saveZone(CKRecordZone zone) {
  co_await begin(Operation::saveZone, zone.zoneID.zoneName);
  validateZone(zone.zoneID);
  zones_.insert(zone.zoneID);
  co_return zone;
}

Task<CKDatabaseSubscription> InMemoryCloudKitDatabase::saveSubscription(CKDatabaseSubscription subscription) {
  co_await begin(Operation::saveSubscription, subscription.subscriptionID);
  if (subscription.subscriptionID.empty() || subscription.subscriptionID.size() > kMaxNameBytes) {
    throw CloudKitError(CKErrorCode::invalidArguments, "bad subscription identifier");
  }
  subscriptions_.insert_or_assign(subscription.subscriptionID, subscription);
  co_return subscription;
}

Task<CKRecord> InMemoryCloudKitDatabase::saveRecord(CKRecord record) {
  co_await begin(Operation::saveRecord, record.recordID().recordName);
  requireZone(record.recordID().zoneID);
  co_return store(applySave(std::nullopt, record, CKSavePolicy::allKeys));
}

Task<CKRecord> InMemoryCloudKitDatabase::upsert(CKRecord record, CKSavePolicy savePolicy) {
  co_await begin(Operation::upsert, record.recordID().recordName);
  requireZone(record.recordID().zoneID);
  auto existing = find(record.recordID());
  co_return store(applySave(existing, record, savePolicy));
}

Task<CKRecord> InMemoryCloudKitDatabase::fetchRecord(CKRecordID recordID) {
  co_await begin(Operation::fetchRecord, recordID.recordName);
  requireZone(recordID.zoneID);
  auto found = find(recordID);
  if (!found) throwUnknownItem(recordID);
  co_return *found;
}

Task<CKRecordID> InMemoryCloudKitDatabase::deleteRecord(CKRecordID recordID) {
  co_await begin(Operation::deleteRecord, recordID.recordName);
  requireZone(recordID.zoneID);
  if (records_.erase(recordID) == 0) throwUnknownItem(recordID);
  co_return recordID;
}

Task<CKQueryResult> InMemoryCloudKitDatabase::queryRecords(CKQuery query, CKRecordZoneID zoneID) {
  co_await begin(Operation::queryRecords, zoneID.zoneName);
  requireZone(zoneID);
  std::vector<const Stored*> matches;
  for (const auto& [id, stored] : records_) {
    if (id.zoneID == zoneID && stored.record.recordType() == query.recordType &&
        query.predicate.matches(stored.record)) {
      matches.push_back(&stored);
    }
  }
  std::sort(matches.begin(), matches.end(), [](const Stored* a, const Stored* b) { return a->seq < b->seq; });
  CKQueryResult result;
  std::size_t bytes = 0;
  for (const Stored* stored : matches) {
    bytes += recordBytes(stored->record);
    if (result.matchResults.size() == kMaxQueryResults || bytes > kMaxQueryBytes) {
      result.cursor = CKQueryCursor{std::to_string(stored->seq)};
      break;
    }
    result.matchResults.push_back({stored->record.recordID(), stored->record});
  }
  co_return result;
}

void InMemoryCloudKitDatabase::put(CKRecord record) {
  zones_.insert(record.recordID().zoneID);
  store(record);
}

std::optional<CKRecord> InMemoryCloudKitDatabase::find(const CKRecordID& id) const {
  auto it = records_.find(id);
  if (it == records_.end()) return std::nullopt;
  return it->second.record;
}

std::vector<CKRecord> InMemoryCloudKitDatabase::records(const std::string& recordType) const {
  std::vector<const Stored*> matches;
  for (const auto& [id, stored] : records_) {
    if (stored.record.recordType() == recordType) matches.push_back(&stored);
  }
  std::sort(matches.begin(), matches.end(), [](const Stored* a, const Stored* b) { return a->seq < b->seq; });
  std::vector<CKRecord> out;
  for (const Stored* stored : matches) out.push_back(stored->record);
  return out;
}

int InMemoryCloudKitDatabase::calls(Operation operation) const {
  auto it = calls_.find(operation);
  return it == calls_.end() ? 0 : it->second;
}

}  // namespace orvane
