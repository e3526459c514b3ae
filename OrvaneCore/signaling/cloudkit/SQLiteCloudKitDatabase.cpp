#include "OrvaneCore/signaling/cloudkit/SQLiteCloudKitDatabase.h"

#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#include "OrvaneCore/runtime/BlockingExecutor.h"
#include "OrvaneCore/signaling/cloudkit/RecordStoreRules.h"

namespace orvane {

using namespace record_store;

namespace {

constexpr int kSchemaVersion = 1;
// Another process holds the write lock for milliseconds; the wait blocks the
// caller's loop, so a writer that never lets go costs little per operation.
constexpr int kBusyTimeoutMs = 500;
// Nothing valid comes near it (a record is at most 1 MiB); bounds what SQLite
// itself ever loads from a hostile row.
constexpr int kMaxSQLiteValueBytes = 4 * 1024 * 1024;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS zones(
  owner TEXT NOT NULL,
  name TEXT NOT NULL,
  PRIMARY KEY(owner, name)) STRICT;
CREATE TABLE IF NOT EXISTS subscriptions(
  id TEXT NOT NULL PRIMARY KEY,
  content_available INTEGER NOT NULL) STRICT;
CREATE TABLE IF NOT EXISTS records(
  seq INTEGER PRIMARY KEY,
  zone_owner TEXT NOT NULL,
  zone_name TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  change_tag TEXT NOT NULL,
  UNIQUE(zone_owner, zone_name, name)) STRICT;
CREATE INDEX IF NOT EXISTS records_by_type ON records(zone_owner, zone_name, type, seq);
CREATE TABLE IF NOT EXISTS fields(
  record INTEGER NOT NULL,
  key TEXT NOT NULL,
  type TEXT NOT NULL,
  value ANY,
  PRIMARY KEY(record, key),
  CHECK((type = 'string' AND typeof(value) = 'text')
     OR (type = 'int32' AND typeof(value) = 'integer' AND value BETWEEN -2147483648 AND 2147483647)
     OR (type IN ('int64', 'date') AND typeof(value) = 'integer')
     OR (type = 'bytes' AND typeof(value) = 'blob'))) STRICT, WITHOUT ROWID;
)sql";

CKErrorCode codeFor(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return CKErrorCode::serviceUnavailable;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return CKErrorCode::badDatabase;
    case SQLITE_TOOBIG:
    case SQLITE_FULL: return CKErrorCode::limitExceeded;
    default: return CKErrorCode::internalError;
  }
}

[[noreturn]] void fail(sqlite3* db, int rc, const std::string& what) {
  const char* detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw CloudKitError(codeFor(rc), "record store: " + what + ": " + detail);
}

std::int64_t toNanoseconds(WallTime time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

WallTime fromNanoseconds(std::int64_t ns) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::nanoseconds(ns)));
}

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) fail(db, rc, "prepare");
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::string_view text) {
    check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement& bindValue(int index, const CKValue& value) {
    switch (typeOf(value)) {
      case CKValueType::string: return bind(index, std::get<std::string>(value));
      case CKValueType::int32: return bind(index, std::int64_t{std::get<std::int32_t>(value)});
      case CKValueType::int64: return bind(index, std::get<std::int64_t>(value));
      case CKValueType::date: return bind(index, toNanoseconds(std::get<WallTime>(value)));
      case CKValueType::bytes: {
        const auto& bytes = std::get<CKBytes>(value);
        // An empty blob must stay a blob; binding a null pointer would store NULL.
        check(bytes.empty() ? sqlite3_bind_zeroblob(stmt_, index, 0)
                            : sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()),
                                                SQLITE_TRANSIENT));
        return *this;
      }
    }
    return *this;
  }

  // True while a row is available.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(db_, rc, "step");
  }
  void run() {
    while (step()) {
    }
  }

  int type(int column) const { return sqlite3_column_type(stmt_, column); }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string_view text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return data ? std::string_view(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                : std::string_view();
  }
  CKBytes blob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    return data ? CKBytes(data, data + sqlite3_column_bytes(stmt_, column)) : CKBytes();
  }
  std::size_t bytes(int column) const { return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)); }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) fail(db_, rc, "bind");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string detail = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw CloudKitError(codeFor(rc), "record store: " + detail);
  }
}

// BEGIN ... COMMIT, rolled back when the scope is left by an exception.
class Transaction {
 public:
  Transaction(sqlite3* db, bool write) : db_(db) { exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN"); }
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    exec(db_, "COMMIT");
    open_ = false;
  }

 private:
  sqlite3* db_;
  bool open_ = true;
};

// A text column that is a usable identifier: TEXT, 1..255 bytes, UTF-8.
std::optional<std::string> identifier(const Statement& row, int column) {
  if (row.type(column) != SQLITE_TEXT) return std::nullopt;
  const std::string_view text = row.text(column);
  if (text.empty() || text.size() > kMaxNameBytes || !isValidUtf8(text)) return std::nullopt;
  return std::string(text);
}

struct FieldOutcome {
  std::optional<std::pair<std::string, CKValue>> field;
  std::string problem;  // why the row is not a field, when it is not
};

// One row of "SELECT key, type, value": only a value stored exactly as its tag says.
FieldOutcome decodeField(const Statement& row) {
  auto key = identifier(row, 0);
  if (!key) return {std::nullopt, "a field key is not a short text"};
  const std::string where = "field '" + *key + "'";
  std::optional<CKValueType> type;
  if (row.type(1) == SQLITE_TEXT) type = ckValueTypeFromString(row.text(1));
  if (!type) return {std::nullopt, where + " has an unknown type tag"};
  const int stored = row.type(2);
  const auto mismatch = [&] { return FieldOutcome{std::nullopt, where + " is not stored as a " + std::string(toString(*type))}; };
  switch (*type) {
    case CKValueType::string: {
      if (stored != SQLITE_TEXT) return mismatch();
      if (row.bytes(2) > kMaxRecordBytes) return {std::nullopt, where + " is too large"};
      std::string_view text = row.text(2);
      if (!isValidUtf8(text)) return {std::nullopt, where + " is not UTF-8"};
      return {std::pair{*key, CKValue(std::string(text))}, {}};
    }
    case CKValueType::int32: {
      if (stored != SQLITE_INTEGER) return mismatch();
      const std::int64_t v = row.integer(2);
      if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
        return {std::nullopt, where + " is outside the 32-bit range"};
      }
      return {std::pair{*key, CKValue(static_cast<std::int32_t>(v))}, {}};
    }
    case CKValueType::int64:
      if (stored != SQLITE_INTEGER) return mismatch();
      return {std::pair{*key, CKValue(row.integer(2))}, {}};
    case CKValueType::date:
      if (stored != SQLITE_INTEGER) return mismatch();
      return {std::pair{*key, CKValue(fromNanoseconds(row.integer(2)))}, {}};
    case CKValueType::bytes:
      if (stored != SQLITE_BLOB) return mismatch();
      if (row.bytes(2) > kMaxRecordBytes) return {std::nullopt, where + " is too large"};
      return {std::pair{*key, CKValue(row.blob(2))}, {}};
  }
  return mismatch();
}

struct RecordRow {
  std::int64_t seq;
  CKRecordID id;
  std::optional<std::string> type;
  std::optional<std::string> changeTag;
};

}  // namespace

struct SQLiteCloudKitDatabase::Impl {
  std::filesystem::path file;
  std::mutex mutex;  // guards the connection and everything below
  sqlite3* db = nullptr;
  std::int64_t dataVersion = 0;

  std::thread watcher;
  int stopFd = -1;

  ~Impl() {
    stopWatching();
    sqlite3_close_v2(db);
  }

  // Opens and sets up the connection unless that is done; throws why not.
  void ready() {
    if (db) return;
    try {
      open();
    } catch (...) {
      sqlite3_close_v2(db);
      db = nullptr;
      throw;
    }
  }

  void open() {
    std::error_code ec;
    const auto directory = file.parent_path();
    if (!directory.empty() && !std::filesystem::exists(directory, ec)) {
      std::filesystem::create_directories(directory, ec);
      std::filesystem::permissions(directory, std::filesystem::perms::owner_all, ec);
    }
    // Created private before SQLite sees it; its -wal and -shm files copy the mode.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      throw CloudKitError(CKErrorCode::badDatabase,
                          "record store: cannot open " + file.string() + ": " + std::strerror(errno));
    }
    ::close(fd);
    const int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) fail(db, rc, "open " + file.string());
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // The file is shared with whatever else runs as this user: no schema
    // functions with side effects, no direct writes to the schema, checked cells.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kMaxSQLiteValueBytes);
    exec(db, "PRAGMA cell_size_check = ON");
    // Whatever is not our schema is refused before a byte of it changes (WAL
    // mode alone rewrites the header); another program's tables are never
    // extended with ours.
    {
      Statement check(db, "PRAGMA quick_check(1)");
      if (!check.step() || check.type(0) != SQLITE_TEXT || check.text(0) != "ok") {
        throw CloudKitError(CKErrorCode::badDatabase, "record store: " + file.string() + " is damaged");
      }
    }
    if (readSchemaVersion() == kSchemaVersion) requireOurTables();
    {
      Statement mode(db, "PRAGMA journal_mode = WAL");
      if (!mode.step() || mode.type(0) != SQLITE_TEXT || mode.text(0) != "wal") {
        throw CloudKitError(CKErrorCode::badDatabase, "record store: cannot switch " + file.string() + " to WAL");
      }
    }
    exec(db, "PRAGMA synchronous = NORMAL");
    Transaction setup(db, true);
    if (readSchemaVersion() == 0) {  // again: another process may have been first
      exec(db, kSchema);
      exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    }
    requireOurTables();
    setup.commit();
    dataVersion = readDataVersion();
  }

  // The file's schema version, when it is one we can use.
  std::int64_t readSchemaVersion() {
    std::int64_t found = 0, objects = 0;
    {
      Statement version(db, "PRAGMA user_version");
      found = version.step() ? version.integer(0) : 0;
      Statement schema(db, "SELECT count(*) FROM sqlite_schema");
      objects = schema.step() ? schema.integer(0) : 0;
    }
    if (found == 0 && objects != 0) {
      throw CloudKitError(CKErrorCode::badDatabase, "record store: " + file.string() + " holds another database");
    }
    if (found != 0 && found != kSchemaVersion) {
      throw CloudKitError(CKErrorCode::badDatabase,
                          "record store: " + file.string() + " has schema version " + std::to_string(found));
    }
    return found;
  }

  // A file that claims our version but lacks a table or column we use.
  void requireOurTables() {
    static constexpr const char* kProbes[] = {
        "SELECT owner, name FROM zones LIMIT 0",
        "SELECT id, content_available FROM subscriptions LIMIT 0",
        "SELECT seq, zone_owner, zone_name, name, type, change_tag FROM records LIMIT 0",
        "SELECT record, key, type, value FROM fields LIMIT 0",
    };
    for (const char* probe : kProbes) {
      sqlite3_stmt* statement = nullptr;
      const int rc = sqlite3_prepare_v2(db, probe, -1, &statement, nullptr);
      sqlite3_finalize(statement);
      if (rc != SQLITE_OK) {
        throw CloudKitError(CKErrorCode::badDatabase,
                            "record store: " + file.string() + " has other tables: " + sqlite3_errmsg(db));
      }
    }
  }

  std::int64_t readDataVersion() {
    Statement statement(db, "PRAGMA data_version");
    return statement.step() ? statement.integer(0) : 0;
  }

  void requireZone(const CKRecordZoneID& zone) {
    Statement statement(db, "SELECT 1 FROM zones WHERE owner = ?1 AND name = ?2");
    statement.bind(1, zone.ownerName).bind(2, zone.zoneName);
    if (!statement.step()) throwZoneNotFound(zone);
  }

  std::optional<RecordRow> findRow(const CKRecordID& id) {
    Statement statement(db, "SELECT seq, type, change_tag FROM records WHERE zone_owner = ?1 AND zone_name = ?2 AND name = ?3");
    statement.bind(1, id.zoneID.ownerName).bind(2, id.zoneID.zoneName).bind(3, id.recordName);
    if (!statement.step()) return std::nullopt;
    return RecordRow{statement.integer(0), id, identifier(statement, 1), identifier(statement, 2)};
  }

  // The record of a row, or why it cannot be read. `lenient` drops the
  // fields that cannot be read instead (for merging a write over them).
  std::variant<CKRecord, CloudKitError> loadRecord(const RecordRow& row, bool lenient) {
    const auto unreadable = [&](const std::string& why) {
      return CloudKitError(CKErrorCode::internalError, "record '" + row.id.recordName + "' is unreadable: " + why);
    };
    if (!lenient && (!row.type || !row.changeTag)) return unreadable("bad record type or change tag");
    std::map<std::string, CKValue> fields;
    std::size_t total = 0;
    try {
      Statement statement(db, "SELECT key, type, value FROM fields WHERE record = ?1 ORDER BY key LIMIT ?2");
      statement.bind(1, row.seq).bind(2, static_cast<std::int64_t>(kMaxFieldsPerRecord + 1));
      while (statement.step()) {
        FieldOutcome outcome = decodeField(statement);
        if (outcome.field) {
          total += outcome.field->first.size() + valueBytes(outcome.field->second);
          if (fields.size() == kMaxFieldsPerRecord || total > kMaxRecordBytes) {
            if (lenient) break;
            return unreadable("too many or too large fields");
          }
          fields.insert(std::move(*outcome.field));
        } else if (!lenient) {
          return unreadable(outcome.problem);
        }
      }
    } catch (const CloudKitError& e) {
      if (!lenient) return unreadable(e.what());
    }
    return CKRecord::stored(row.type.value_or(""), row.id, std::move(fields), row.changeTag.value_or(""));
  }

  CKRecord write(const CKRecord& record, CKSavePolicy policy) {
    Transaction transaction(db, true);
    requireZone(record.recordID().zoneID);
    const auto row = findRow(record.recordID());
    std::optional<CKRecord> existing;
    // A stored record of unreadable type is simply replaced.
    if (row && row->type && policy != CKSavePolicy::allKeys) existing = std::get<CKRecord>(loadRecord(*row, true));
    const CKRecord merged = applySave(existing, record, policy);
    const std::string tag = makeChangeTag();
    std::int64_t seq;
    if (row) {
      seq = row->seq;
      Statement(db, "UPDATE records SET type = ?1, change_tag = ?2 WHERE seq = ?3")
          .bind(1, merged.recordType())
          .bind(2, tag)
          .bind(3, seq)
          .run();
      Statement(db, "DELETE FROM fields WHERE record = ?1").bind(1, seq).run();
    } else {
      const CKRecordID& id = merged.recordID();
      Statement(db, "INSERT INTO records(zone_owner, zone_name, name, type, change_tag) VALUES(?1, ?2, ?3, ?4, ?5)")
          .bind(1, id.zoneID.ownerName)
          .bind(2, id.zoneID.zoneName)
          .bind(3, id.recordName)
          .bind(4, merged.recordType())
          .bind(5, tag)
          .run();
      seq = sqlite3_last_insert_rowid(db);
    }
    for (const auto& [key, value] : merged.fields()) {
      Statement(db, "INSERT INTO fields(record, key, type, value) VALUES(?1, ?2, ?3, ?4)")
          .bind(1, seq)
          .bind(2, key)
          .bind(3, toString(typeOf(value)))
          .bindValue(4, value)
          .run();
    }
    transaction.commit();
    return CKRecord::stored(merged.recordType(), merged.recordID(), merged.fields(), tag);
  }

  CKQueryResult query(const CKQuery& query, const CKRecordZoneID& zone) {
    std::string sql =
        "SELECT seq, name, type, change_tag FROM records"
        " WHERE zone_owner = ?1 AND zone_name = ?2 AND type = ?3 AND typeof(name) = 'text'";
    int parameter = 4;
    for (const auto& comparison : query.predicate.comparisons()) {
      sql += comparison.op == CKPredicate::Op::equal ? " AND EXISTS" : " AND NOT EXISTS";
      sql += " (SELECT 1 FROM fields WHERE record = records.seq AND key = ?" + std::to_string(parameter) +
             " AND type = ?" + std::to_string(parameter + 1) + " AND value = ?" + std::to_string(parameter + 2) + ")";
      parameter += 3;
    }
    sql += " ORDER BY seq LIMIT ?" + std::to_string(parameter);

    Transaction snapshot(db, false);
    requireZone(zone);
    Statement statement(db, sql);
    statement.bind(1, zone.ownerName).bind(2, zone.zoneName).bind(3, query.recordType);
    parameter = 4;
    for (const auto& comparison : query.predicate.comparisons()) {
      statement.bind(parameter, comparison.key)
          .bind(parameter + 1, toString(typeOf(comparison.value)))
          .bindValue(parameter + 2, comparison.value);
      parameter += 3;
    }
    statement.bind(parameter, static_cast<std::int64_t>(kMaxQueryResults + 1));

    CKQueryResult result;
    std::size_t bytes = 0;
    while (statement.step()) {
      auto name = identifier(statement, 1);
      if (!name) continue;  // a row no client could name or delete
      if (result.matchResults.size() == kMaxQueryResults || bytes > kMaxQueryBytes) {
        result.cursor = CKQueryCursor{std::to_string(statement.integer(0))};
        break;
      }
      RecordRow row{statement.integer(0), CKRecordID{*name, zone}, identifier(statement, 2), identifier(statement, 3)};
      auto loaded = loadRecord(row, false);
      if (const auto* record = std::get_if<CKRecord>(&loaded)) bytes += recordBytes(*record);
      result.matchResults.push_back({row.id, std::move(loaded)});
    }
    snapshot.commit();
    return result;
  }

  // data_version moves only for other connections' commits.
  bool changedByOthers() {
    std::lock_guard lock(mutex);
    try {
      ready();
      const std::int64_t now = readDataVersion();
      if (now == dataVersion) return false;
      dataVersion = now;
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  void stopWatching() {
    if (!watcher.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(stopFd, &one, sizeof one);
    watcher.join();
    ::close(stopFd);
    stopFd = -1;
  }
};

SQLiteCloudKitDatabase::SQLiteCloudKitDatabase(std::filesystem::path file)
    : impl_(std::make_shared<Impl>()), blocking_(std::make_unique<BlockingExecutor>(1, "orvane-records")) {
  impl_->file = std::move(file);
  // Opening may wait for a busy file too; the first operation follows it.
  blocking_->post([impl = impl_] {
    std::lock_guard lock(impl->mutex);
    try {
      impl->ready();
    } catch (const std::exception&) {
      // Reported by the first operation, which tries again.
    }
  });
}

SQLiteCloudKitDatabase::~SQLiteCloudKitDatabase() = default;

const std::filesystem::path& SQLiteCloudKitDatabase::path() const { return impl_->file; }

// Each operation runs on the store's own thread, where a busy file is waited
// for; the lambdas are named before co_await (see Task.h on GCC 12).
Task<CKRecordZone> SQLiteCloudKitDatabase::saveZone(CKRecordZone zone) {
  validateZone(zone.zoneID);
  auto job = [impl = impl_, zone] {
    std::lock_guard lock(impl->mutex);
    impl->ready();
    Statement(impl->db, "INSERT OR IGNORE INTO zones(owner, name) VALUES(?1, ?2)")
        .bind(1, zone.zoneID.ownerName)
        .bind(2, zone.zoneID.zoneName)
        .run();
    return zone;
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKDatabaseSubscription> SQLiteCloudKitDatabase::saveSubscription(CKDatabaseSubscription subscription) {
  if (subscription.subscriptionID.empty() || subscription.subscriptionID.size() > kMaxNameBytes) {
    throw CloudKitError(CKErrorCode::invalidArguments, "bad subscription identifier");
  }
  auto job = [impl = impl_, subscription] {
    std::lock_guard lock(impl->mutex);
    impl->ready();
    Statement(impl->db,
              "INSERT INTO subscriptions(id, content_available) VALUES(?1, ?2)"
              " ON CONFLICT(id) DO UPDATE SET content_available = excluded.content_available")
        .bind(1, subscription.subscriptionID)
        .bind(2, std::int64_t{subscription.shouldSendContentAvailable ? 1 : 0})
        .run();
    return subscription;
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKRecord> SQLiteCloudKitDatabase::saveRecord(CKRecord record) {
  co_return co_await upsert(std::move(record), CKSavePolicy::allKeys);
}

Task<CKRecord> SQLiteCloudKitDatabase::upsert(CKRecord record, CKSavePolicy savePolicy) {
  auto job = [impl = impl_, record = std::move(record), savePolicy] {
    std::lock_guard lock(impl->mutex);
    impl->ready();
    return impl->write(record, savePolicy);
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKRecord> SQLiteCloudKitDatabase::fetchRecord(CKRecordID recordID) {
  auto job = [impl = impl_, recordID] {
    std::lock_guard lock(impl->mutex);
    impl->ready();
    Transaction snapshot(impl->db, false);
    impl->requireZone(recordID.zoneID);
    auto row = impl->findRow(recordID);
    if (!row) throwUnknownItem(recordID);
    auto loaded = impl->loadRecord(*row, false);
    snapshot.commit();
    if (auto* error = std::get_if<CloudKitError>(&loaded)) throw *error;
    return std::get<CKRecord>(std::move(loaded));
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKRecordID> SQLiteCloudKitDatabase::deleteRecord(CKRecordID recordID) {
  auto job = [impl = impl_, recordID] {
    std::lock_guard lock(impl->mutex);
    impl->ready();
    Transaction transaction(impl->db, true);
    impl->requireZone(recordID.zoneID);
    auto row = impl->findRow(recordID);
    if (!row) throwUnknownItem(recordID);
    Statement(impl->db, "DELETE FROM fields WHERE record = ?1").bind(1, row->seq).run();
    Statement(impl->db, "DELETE FROM records WHERE seq = ?1").bind(1, row->seq).run();
    transaction.commit();
    return recordID;
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKQueryResult> SQLiteCloudKitDatabase::queryRecords(CKQuery query, CKRecordZoneID zoneID) {
  auto job = [impl = impl_, query = std::move(query), zoneID] {
    std::lock_guard lock(impl->mutex);
    impl->ready();
    return impl->query(query, zoneID);
  };
  co_return co_await blocking_->run(std::move(job));
}

bool SQLiteCloudKitDatabase::changedByOthers() { return impl_->changedByOthers(); }

bool SQLiteCloudKitDatabase::watchRemoteChanges(std::function<void()> onRemoteChange) {
  impl_->stopWatching();
  // The directory, not the file: in WAL mode commits go to "<file>-wal",
  // which SQLite may delete and create again.
  const auto directory = impl_->file.parent_path().empty() ? std::filesystem::path(".") : impl_->file.parent_path();
  const int inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd < 0) return false;
  if (inotify_add_watch(inotifyFd, directory.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
    ::close(inotifyFd);
    return false;
  }
  impl_->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->stopFd < 0) {
    ::close(inotifyFd);
    return false;
  }
  impl_->watcher = std::thread([impl = impl_.get(), inotifyFd, stopFd = impl_->stopFd, name = impl_->file.filename().string(),
                                callback = std::move(onRemoteChange)] {
    // A writer appends its frames to "<file>-wal" (seen here) before it
    // publishes the commit in "<file>-shm" through shared memory (not seen),
    // so a check right after the last event can still read the old state:
    // look again a few times shortly after each burst of events.
    static constexpr int kRecheckAfterMs[] = {1, 5, 20, 100, 400};
    using Clock = std::chrono::steady_clock;
    std::size_t recheck = std::size(kRecheckAfterMs);  // none pending
    Clock::time_point burst;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      int timeoutMs = -1;
      if (recheck < std::size(kRecheckAfterMs)) {
        const auto due = burst + std::chrono::milliseconds(kRecheckAfterMs[recheck]);
        timeoutMs = static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count()));
      }
      pollfd fds[2] = {{stopFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
      const int ready = ::poll(fds, 2, timeoutMs);
      if (ready < 0 && errno != EINTR) break;
      if (fds[0].revents != 0) break;
      bool relevant = false;
      if (fds[1].revents != 0) {
        for (;;) {
          const ssize_t n = ::read(inotifyFd, buffer, sizeof buffer);
          if (n <= 0) break;
          for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            const std::string_view changed = event->len ? std::string_view(event->name) : std::string_view();
            if ((event->mask & IN_Q_OVERFLOW) || changed.substr(0, name.size()) == name) relevant = true;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
          }
        }
      }
      if (relevant) {
        burst = Clock::now();
        recheck = 0;
      } else if (ready == 0 && recheck < std::size(kRecheckAfterMs)) {
        ++recheck;
      } else {
        continue;
      }
      if (impl->changedByOthers()) {
        recheck = std::size(kRecheckAfterMs);
        callback();
      }
    }
    ::close(inotifyFd);
  });
  return true;
}

}  // namespace orvane
