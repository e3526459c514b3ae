#include "OrvaneCore/signaling/cloudkit/PostgresCloudKitDatabase.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "OrvaneCore/runtime/BlockingExecutor.h"
#include "OrvaneCore/signaling/cloudkit/RecordStoreRules.h"

namespace orvane {

using namespace record_store;

namespace {

constexpr int kSchemaVersion = 1;
constexpr const char* kChannel = "orvane_records";
// Serialises schema creation and all writes between connections.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7022365447163114)";
constexpr const char* kWriteLock = "SELECT pg_advisory_xact_lock(7022365447163115)";

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS orvane_zones(
  owner TEXT NOT NULL,
  name TEXT NOT NULL,
  PRIMARY KEY(owner, name));
CREATE TABLE IF NOT EXISTS orvane_subscriptions(
  id TEXT PRIMARY KEY,
  content_available BOOLEAN NOT NULL);
CREATE TABLE IF NOT EXISTS orvane_records(
  seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  zone_owner TEXT NOT NULL,
  zone_name TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  change_tag TEXT NOT NULL,
  UNIQUE(zone_owner, zone_name, name));
CREATE INDEX IF NOT EXISTS orvane_records_by_type ON orvane_records(zone_owner, zone_name, type, seq);
CREATE TABLE IF NOT EXISTS orvane_fields(
  record BIGINT NOT NULL REFERENCES orvane_records(seq) ON DELETE CASCADE,
  key TEXT NOT NULL,
  type TEXT NOT NULL,
  value BYTEA NOT NULL,
  PRIMARY KEY(record, key));
CREATE TABLE orvane_records_version(version INTEGER NOT NULL);
INSERT INTO orvane_records_version(version) VALUES(1);
)sql";

// Every table and column we use, so that a schema claiming our version but
// lacking one is refused before any operation.
constexpr const char* kSchemaProbe =
    "SELECT r.seq, r.zone_owner, r.zone_name, r.name, r.type, r.change_tag, f.record, f.key, f.type, f.value,"
    " z.owner, z.name, s.id, s.content_available"
    " FROM orvane_records r, orvane_fields f, orvane_zones z, orvane_subscriptions s LIMIT 0";

constexpr Oid kTextOid = 25;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kBoolOid = 16;

struct ClearResult {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

struct FinishConn {
  void operator()(PGconn* c) const { PQfinish(c); }
};
using Connection = std::unique_ptr<PGconn, FinishConn>;

std::string trimmed(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "unknown error" : text;
}

// Lost connection, server shutting down, over the time budget, or a
// conflict the next try resolves: the server is there but cannot answer now.
bool meansUnavailable(std::string_view sqlstate) {
  return sqlstate.starts_with("08") || sqlstate.starts_with("57P") || sqlstate == "57014" ||
         sqlstate == "40001" || sqlstate == "40P01" || sqlstate == "55P03" || sqlstate.starts_with("53");
}

CKErrorCode codeFor(std::string_view sqlstate) {
  if (meansUnavailable(sqlstate)) return CKErrorCode::serviceUnavailable;
  if (sqlstate.starts_with("22")) return CKErrorCode::invalidArguments;  // e.g. a NUL byte in a name
  if (sqlstate.starts_with("54")) return CKErrorCode::limitExceeded;
  if (sqlstate.starts_with("42") || sqlstate.starts_with("XX00")) return CKErrorCode::badDatabase;
  return CKErrorCode::internalError;
}

void putBigEndian(std::string& out, std::uint64_t bits) {
  for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>(bits >> (8 * i)));
}

std::optional<std::int64_t> readBigEndian(std::string_view bytes) {
  if (bytes.size() != 8) return std::nullopt;
  std::uint64_t bits = 0;
  for (unsigned char c : bytes) bits = (bits << 8) | c;
  return static_cast<std::int64_t>(bits);
}

std::int64_t toNanoseconds(WallTime time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

WallTime fromNanoseconds(std::int64_t ns) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::nanoseconds(ns)));
}

// A field value as stored: text as its bytes, numbers and dates as 8 bytes
// big-endian, bytes as they are. Equal values of one type are equal bytes.
std::string encodeValue(const CKValue& value) {
  std::string out;
  switch (typeOf(value)) {
    case CKValueType::string: return std::get<std::string>(value);
    case CKValueType::int32:
      putBigEndian(out, static_cast<std::uint64_t>(std::int64_t{std::get<std::int32_t>(value)}));
      break;
    case CKValueType::int64: putBigEndian(out, static_cast<std::uint64_t>(std::get<std::int64_t>(value))); break;
    case CKValueType::date:
      putBigEndian(out, static_cast<std::uint64_t>(toNanoseconds(std::get<WallTime>(value))));
      break;
    case CKValueType::bytes: {
      const auto& bytes = std::get<CKBytes>(value);
      out.assign(bytes.begin(), bytes.end());
      break;
    }
  }
  return out;
}

// Parameters in order, all sent in binary.
class Params {
 public:
  Params& text(std::string_view v) { return add(v, kTextOid); }
  Params& bytes(std::string_view v) { return add(v, kByteaOid); }
  Params& integer(std::int64_t v) {
    std::string bytes;
    putBigEndian(bytes, static_cast<std::uint64_t>(v));
    return add(bytes, kInt8Oid);
  }
  Params& boolean(bool v) { return add(std::string(1, v ? '\1' : '\0'), kBoolOid); }

  int count() const { return static_cast<int>(values_.size()); }
  const Oid* types() const { return types_.data(); }
  std::vector<const char*> pointers() const {
    std::vector<const char*> out;
    for (const auto& v : values_) out.push_back(v.data());
    return out;
  }
  std::vector<int> lengths() const {
    std::vector<int> out;
    for (const auto& v : values_) out.push_back(static_cast<int>(v.size()));
    return out;
  }

 private:
  Params& add(std::string_view v, Oid type) {
    values_.emplace_back(v);
    types_.push_back(type);
    return *this;
  }
  std::vector<std::string> values_;
  std::vector<Oid> types_;
};

// Cells of a binary result.
std::optional<std::string_view> cell(const PGresult* r, int row, int column) {
  if (PQgetisnull(r, row, column)) return std::nullopt;
  return std::string_view(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::int64_t int8(const PGresult* r, int row, int column) {
  const auto value = cell(r, row, column);
  const auto number = value ? readBigEndian(*value) : std::nullopt;
  if (!number) throw CloudKitError(CKErrorCode::internalError, "record store: a number column is not 8 bytes");
  return *number;
}

// A text cell that is a usable identifier: 1..255 bytes of UTF-8.
std::optional<std::string> identifier(const PGresult* r, int row, int column) {
  const auto text = cell(r, row, column);
  if (!text || text->empty() || text->size() > kMaxNameBytes || !isValidUtf8(*text)) return std::nullopt;
  return std::string(*text);
}

struct FieldOutcome {
  std::optional<std::pair<std::string, CKValue>> field;
  std::string problem;
};

// One row of "key, type, value (NULL when too large), octet_length(value)".
FieldOutcome decodeField(const PGresult* r, int row) {
  auto key = identifier(r, row, 0);
  if (!key) return {std::nullopt, "a field key is not a short text"};
  const std::string where = "field '" + *key + "'";
  const auto tag = cell(r, row, 1);
  const std::optional<CKValueType> type = tag ? ckValueTypeFromString(*tag) : std::nullopt;
  if (!type) return {std::nullopt, where + " has an unknown type tag"};
  const auto value = cell(r, row, 2);
  if (!value) return {std::nullopt, where + " is too large"};
  const auto mismatch = [&] {
    return FieldOutcome{std::nullopt, where + " is not stored as a " + std::string(toString(*type))};
  };
  switch (*type) {
    case CKValueType::string:
      if (!isValidUtf8(*value)) return {std::nullopt, where + " is not UTF-8"};
      return {std::pair{*key, CKValue(std::string(*value))}, {}};
    case CKValueType::int32: {
      const auto number = readBigEndian(*value);
      if (!number) return mismatch();
      if (*number < std::numeric_limits<std::int32_t>::min() || *number > std::numeric_limits<std::int32_t>::max()) {
        return {std::nullopt, where + " is outside the 32-bit range"};
      }
      return {std::pair{*key, CKValue(static_cast<std::int32_t>(*number))}, {}};
    }
    case CKValueType::int64: {
      const auto number = readBigEndian(*value);
      if (!number) return mismatch();
      return {std::pair{*key, CKValue(*number)}, {}};
    }
    case CKValueType::date: {
      const auto number = readBigEndian(*value);
      if (!number) return mismatch();
      return {std::pair{*key, CKValue(fromNanoseconds(*number))}, {}};
    }
    case CKValueType::bytes: return {std::pair{*key, CKValue(CKBytes(value->begin(), value->end()))}, {}};
  }
  return mismatch();
}

// A text column as it is when it could be a name, else NULL: a hostile row's
// huge value is never loaded.
std::string shortText(const std::string& column) {
  return "CASE WHEN octet_length(" + column + ") <= " + std::to_string(kMaxNameBytes) + " THEN " + column + " END";
}

struct RecordRow {
  std::int64_t seq;
  CKRecordID id;
  std::optional<std::string> type;
  std::optional<std::string> changeTag;
};

// Starts a connection without waiting on it; null when libpq cannot even start one.
PGconn* startConnection(const PostgresCloudKitDatabase::Options& options, const char* application, bool blocking) {
  const std::string timeout = std::to_string(std::max<long long>(2, options.connectTimeout.count()));
  // Ours first: what the URL itself says wins.
  const std::array<const char*, 9> keys = {"connect_timeout", "application_name", "client_encoding", "keepalives",
                                           "keepalives_idle", "keepalives_interval", "keepalives_count", "dbname",
                                           nullptr};
  const std::array<const char*, 9> values = {timeout.c_str(), application, "UTF8", "1", "10", "5", "3",
                                             options.url.c_str(), nullptr};
  PGconn* conn = blocking ? PQconnectdbParams(keys.data(), values.data(), 1)
                           : PQconnectStartParams(keys.data(), values.data(), 1);
  // libpq prints server notices (a shutdown's farewell too) to stderr; the
  // failures that matter reach the caller as errors instead.
  if (conn) PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  return conn;
}

}  // namespace

bool isPostgresRecordStore(std::string_view location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

struct PostgresCloudKitDatabase::Impl {
  Options options;
  std::mutex mutex;  // guards the connection
  Connection conn;
  std::atomic<int> backendPid{0};  // of `conn`: its own notifications are not news
  bool committing = false;         // a loss now leaves the outcome unknown
  bool lostOutsideCommit = false;  // the last failure lost a connection before anything was committed

  // Runs one operation. A connection found dead when it is first used after
  // a while (the server restarted meanwhile) is replaced and the operation
  // tried once more: nothing of it was committed. A loss at COMMIT is not
  // retried, since the write may have happened.
  template <typename Fn>
  auto perform(Fn&& fn) {
    const bool reused = conn != nullptr;
    ready();
    lostOutsideCommit = false;
    try {
      return fn();
    } catch (const CloudKitError&) {
      if (!reused || !lostOutsideCommit) throw;
    }
    ready();
    return fn();
  }

  // Connects and sets up the schema unless that is done; throws why not.
  PGconn* ready() {
    if (conn && PQstatus(conn.get()) == CONNECTION_OK) return conn.get();
    conn.reset(startConnection(options, "orvane-records", true));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
      // Never the URL: it may hold a password.
      const std::string message = conn ? trimmed(PQerrorMessage(conn.get())) : "out of memory";
      conn.reset();
      throw CloudKitError(CKErrorCode::serviceUnavailable, "record store: cannot reach the database: " + message);
    }
    try {
      execute("SET statement_timeout = " + std::to_string(options.statementTimeout.count()) +
              "; SET client_min_messages = warning");
      setUpSchema();
    } catch (...) {
      conn.reset();
      throw;
    }
    backendPid = PQbackendPID(conn.get());
    return conn.get();
  }

  [[noreturn]] void fail(const PGresult* r) {
    const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const std::string message = trimmed(primary ? primary : PQerrorMessage(conn.get()));
    const std::string sqlstate = state ? state : "";
    if (PQstatus(conn.get()) != CONNECTION_OK) {
      lostOutsideCommit = !committing;
      conn.reset();  // the next operation starts afresh
      throw CloudKitError(CKErrorCode::serviceUnavailable, "record store: connection lost: " + message);
    }
    throw CloudKitError(codeFor(sqlstate), "record store: " + message);
  }

  Result run(const std::string& sql, const Params& params = {}) {
    const auto pointers = params.pointers();
    const auto lengths = params.lengths();
    const std::vector<int> formats(static_cast<std::size_t>(params.count()), 1);
    Result r(PQexecParams(conn.get(), sql.c_str(), params.count(), params.types(), pointers.data(), lengths.data(),
                          formats.data(), 1));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(r.get());
    return r;
  }

  // Several statements, no parameters, no rows wanted.
  void execute(const std::string& sql) {
    Result r(PQexec(conn.get(), sql.c_str()));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(r.get());
  }

  void rollback() {
    if (conn && PQstatus(conn.get()) == CONNECTION_OK) PQclear(PQexec(conn.get(), "ROLLBACK"));
  }

  // Runs fn between BEGIN and COMMIT; anything thrown rolls back.
  template <typename Fn>
  auto transaction(const char* begin, Fn&& fn) {
    execute(begin);
    try {
      auto result = fn();
      committing = true;
      execute("COMMIT");
      committing = false;
      return result;
    } catch (...) {
      committing = false;
      rollback();
      throw;
    }
  }

  // Creates the schema in a database without it; refuses a version we do not know.
  void setUpSchema() {
    transaction("BEGIN", [&] {
      execute(kSchemaLock);
      Result exists = run("SELECT to_regclass('orvane_records_version') IS NOT NULL");
      const auto flag = cell(exists.get(), 0, 0);
      if (flag && *flag == std::string_view("\1", 1)) {
        Result version = run("SELECT max(version)::bigint FROM orvane_records_version");
        const auto found = cell(version.get(), 0, 0) ? readBigEndian(*cell(version.get(), 0, 0)) : std::nullopt;
        if (found != kSchemaVersion) {
          throw CloudKitError(CKErrorCode::badDatabase, "record store: the database has schema version " +
                                                            (found ? std::to_string(*found) : std::string("none")));
        }
      } else {
        execute(kSchema);
      }
      return true;
    });
    try {
      run(kSchemaProbe);
    } catch (const CloudKitError& e) {
      throw CloudKitError(e.code() == CKErrorCode::serviceUnavailable ? e.code() : CKErrorCode::badDatabase,
                          std::string("record store: the database has other tables: ") + e.what());
    }
  }

  void requireZone(const CKRecordZoneID& zone) {
    Result r = run("SELECT 1 FROM orvane_zones WHERE owner = $1 AND name = $2",
                   Params().text(zone.ownerName).text(zone.zoneName));
    if (PQntuples(r.get()) == 0) throwZoneNotFound(zone);
  }

  std::optional<RecordRow> findRow(const CKRecordID& id) {
    Result r = run("SELECT seq, " + shortText("type") + ", " + shortText("change_tag") +
                       " FROM orvane_records WHERE zone_owner = $1 AND zone_name = $2 AND name = $3",
                   Params().text(id.zoneID.ownerName).text(id.zoneID.zoneName).text(id.recordName));
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return RecordRow{int8(r.get(), 0, 0), id, identifier(r.get(), 0, 1), identifier(r.get(), 0, 2)};
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
    // A hostile row's huge value is never loaded: it reads as NULL.
    Result r = run("SELECT " + shortText("key") + ", " + shortText("type") +
                       ", CASE WHEN octet_length(value) <= $2 THEN value END FROM orvane_fields"
                       " WHERE record = $1 ORDER BY key LIMIT $3",
                   Params()
                       .integer(row.seq)
                       .integer(static_cast<std::int64_t>(kMaxRecordBytes))
                       .integer(static_cast<std::int64_t>(kMaxFieldsPerRecord + 1)));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      FieldOutcome outcome = decodeField(r.get(), i);
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
    return CKRecord::stored(row.type.value_or(""), row.id, std::move(fields), row.changeTag.value_or(""));
  }

  CKRecord write(const CKRecord& record, CKSavePolicy policy) {
    return transaction("BEGIN", [&] {
      execute(kWriteLock);
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
        run("UPDATE orvane_records SET type = $1, change_tag = $2 WHERE seq = $3",
            Params().text(merged.recordType()).text(tag).integer(seq));
        run("DELETE FROM orvane_fields WHERE record = $1", Params().integer(seq));
      } else {
        const CKRecordID& id = merged.recordID();
        Result inserted = run(
            "INSERT INTO orvane_records(zone_owner, zone_name, name, type, change_tag) VALUES($1, $2, $3, $4, $5)"
            " RETURNING seq",
            Params()
                .text(id.zoneID.ownerName)
                .text(id.zoneID.zoneName)
                .text(id.recordName)
                .text(merged.recordType())
                .text(tag));
        seq = int8(inserted.get(), 0, 0);
      }
      for (const auto& [key, value] : merged.fields()) {
        run("INSERT INTO orvane_fields(record, key, type, value) VALUES($1, $2, $3, $4)",
            Params().integer(seq).text(key).text(toString(typeOf(value))).bytes(encodeValue(value)));
      }
      notify();
      return CKRecord::stored(merged.recordType(), merged.recordID(), merged.fields(), tag);
    });
  }

  // Delivered to listeners at COMMIT, and not at all when it rolls back.
  void notify() { execute(std::string("NOTIFY ") + kChannel); }

  CKRecordID remove(const CKRecordID& id) {
    return transaction("BEGIN", [&] {
      execute(kWriteLock);
      requireZone(id.zoneID);
      const auto row = findRow(id);
      if (!row) throwUnknownItem(id);
      run("DELETE FROM orvane_records WHERE seq = $1", Params().integer(row->seq));  // its fields go with it
      notify();
      return id;
    });
  }

  CKRecord fetch(const CKRecordID& id) {
    auto loaded = transaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", [&] {
      requireZone(id.zoneID);
      auto row = findRow(id);
      if (!row) throwUnknownItem(id);
      return loadRecord(*row, false);
    });
    if (auto* error = std::get_if<CloudKitError>(&loaded)) throw *error;
    return std::get<CKRecord>(std::move(loaded));
  }

  CKQueryResult query(const CKQuery& query, const CKRecordZoneID& zone) {
    std::string sql = "SELECT seq, " + shortText("name") + ", type, " + shortText("change_tag") +
                      " FROM orvane_records WHERE zone_owner = $1 AND zone_name = $2 AND type = $3";
    Params params;
    params.text(zone.ownerName).text(zone.zoneName).text(query.recordType);
    int parameter = 4;
    for (const auto& comparison : query.predicate.comparisons()) {
      sql += comparison.op == CKPredicate::Op::equal ? " AND EXISTS" : " AND NOT EXISTS";
      sql += " (SELECT 1 FROM orvane_fields WHERE record = orvane_records.seq AND key = $" + std::to_string(parameter) +
             " AND type = $" + std::to_string(parameter + 1) + " AND value = $" + std::to_string(parameter + 2) + ")";
      params.text(comparison.key).text(toString(typeOf(comparison.value))).bytes(encodeValue(comparison.value));
      parameter += 3;
    }
    sql += " ORDER BY seq LIMIT $" + std::to_string(parameter);
    params.integer(static_cast<std::int64_t>(kMaxQueryResults + 1));

    return transaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", [&] {
      requireZone(zone);
      Result r = run(sql, params);
      CKQueryResult result;
      std::size_t bytes = 0;
      for (int i = 0; i < PQntuples(r.get()); ++i) {
        auto name = identifier(r.get(), i, 1);
        if (!name) continue;  // a row no client could name or delete
        if (result.matchResults.size() == kMaxQueryResults || bytes > kMaxQueryBytes) {
          result.cursor = CKQueryCursor{std::to_string(int8(r.get(), i, 0))};
          break;
        }
        RecordRow row{int8(r.get(), i, 0), CKRecordID{*name, zone}, identifier(r.get(), i, 2),
                      identifier(r.get(), i, 3)};
        auto loaded = loadRecord(row, false);
        if (const auto* record = std::get_if<CKRecord>(&loaded)) bytes += recordBytes(*record);
        result.matchResults.push_back({row.id, std::move(loaded)});
      }
      return result;
    });
  }
};

// The listening connection: its own thread, which sleeps in poll() on the
// connection's socket (new after each reconnect) and on a stop signal.
struct PostgresCloudKitDatabase::Listener {
  std::thread thread;
  int stopFd = -1;
  std::atomic<int> connections{0};

  ~Listener() {
    if (thread.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] auto written = ::write(stopFd, &one, sizeof one);
      thread.join();
    }
    if (stopFd >= 0) ::close(stopFd);
  }

  // Waits for the socket or the stop signal; false when stopping.
  bool wait(int fd, short events, int timeoutMs, bool& timedOut) const {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
      const int ready = ::poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || fds[0].revents != 0) return false;
      timedOut = ready == 0;
      return true;
    }
  }

  static int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
  }

  // A connection listening on the channel, or null (failed, or stopping).
  Connection connect(const Options& options, bool& stopping) const {
    Connection conn(startConnection(options, "orvane-records-listen", false));
    if (!conn || PQstatus(conn.get()) == CONNECTION_BAD) return nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::max(options.connectTimeout, std::chrono::seconds(2));
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
      if (status == PGRES_POLLING_FAILED) return nullptr;
      bool timedOut = false;
      if (!wait(PQsocket(conn.get()), status == PGRES_POLLING_READING ? POLLIN : POLLOUT, millisecondsUntil(deadline),
                timedOut)) {
        stopping = true;
        return nullptr;
      }
      if (timedOut) return nullptr;
      status = PQconnectPoll(conn.get());
    }
    // LISTEN under the same deadline: a server that accepted us and then
    // hangs must not keep the destructor waiting.
    if (PQsendQuery(conn.get(), (std::string("LISTEN ") + kChannel).c_str()) == 0) return nullptr;
    while (PQisBusy(conn.get())) {
      bool timedOut = false;
      if (!wait(PQsocket(conn.get()), POLLIN, millisecondsUntil(deadline), timedOut)) {
        stopping = true;
        return nullptr;
      }
      if (timedOut || PQconsumeInput(conn.get()) == 0) return nullptr;
    }
    bool listening = true;
    while (Result r{PQgetResult(conn.get())}) listening = listening && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
    return listening ? std::move(conn) : nullptr;
  }

  void start(Impl* impl, std::function<void()> onRemoteChange) {
    stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread = std::thread([this, impl, callback = std::move(onRemoteChange)] {
      const Options& options = impl->options;
      std::chrono::milliseconds backoff{0};
      Connection conn;
      for (;;) {
        bool timedOut = false;
        if (!conn) {
          bool stopping = false;
          conn = connect(options, stopping);
          if (stopping) return;
          if (!conn) {
            backoff = backoff.count() == 0 ? options.firstBackoff : std::min(backoff * 2, options.maxBackoff);
            if (!wait(-1, 0, static_cast<int>(backoff.count()), timedOut)) return;
            continue;
          }
          backoff = {};
          ++connections;
          // Whatever LISTEN brought along is covered by the catch-up.
          while (PGnotify* notice = PQnotifies(conn.get())) PQfreemem(notice);
          callback();  // catch up on what changed while nobody listened
        }
        if (!wait(PQsocket(conn.get()), POLLIN, -1, timedOut)) return;
        if (PQconsumeInput(conn.get()) == 0 || PQstatus(conn.get()) != CONNECTION_OK) {
          conn.reset();
          continue;
        }
        bool changed = false;
        while (PGnotify* notice = PQnotifies(conn.get())) {
          if (notice->be_pid != impl->backendPid.load()) changed = true;
          PQfreemem(notice);
        }
        if (changed) callback();
      }
    });
  }
};

PostgresCloudKitDatabase::PostgresCloudKitDatabase(Options options)
    : impl_(std::make_shared<Impl>()), blocking_(std::make_unique<BlockingExecutor>(1, "orvane-records")) {
  impl_->options = std::move(options);
  blocking_->post([impl = impl_] {
    std::lock_guard lock(impl->mutex);
    try {
      impl->ready();
    } catch (const std::exception&) {
      // Reported by the first operation, which tries again.
    }
  });
}

PostgresCloudKitDatabase::~PostgresCloudKitDatabase() {
  blocking_.reset();
  listener_.reset();
}

int PostgresCloudKitDatabase::listenerConnections() const { return listener_ ? listener_->connections.load() : 0; }

void PostgresCloudKitDatabase::watchRemoteChanges(std::function<void()> onRemoteChange) {
  listener_.reset();
  listener_ = std::make_unique<Listener>();
  listener_->start(impl_.get(), std::move(onRemoteChange));
}

// The lambdas are named before co_await (see Task.h on GCC 12).
Task<CKRecordZone> PostgresCloudKitDatabase::saveZone(CKRecordZone zone) {
  validateZone(zone.zoneID);
  auto job = [impl = impl_, zone] {
    std::lock_guard lock(impl->mutex);
    // Creating a zone twice is harmless: even a lost autocommit may be retried.
    impl->perform([&] {
      return impl->run("INSERT INTO orvane_zones(owner, name) VALUES($1, $2) ON CONFLICT DO NOTHING",
                       Params().text(zone.zoneID.ownerName).text(zone.zoneID.zoneName));
    });
    return zone;
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKDatabaseSubscription> PostgresCloudKitDatabase::saveSubscription(CKDatabaseSubscription subscription) {
  if (subscription.subscriptionID.empty() || subscription.subscriptionID.size() > kMaxNameBytes) {
    throw CloudKitError(CKErrorCode::invalidArguments, "bad subscription identifier");
  }
  auto job = [impl = impl_, subscription] {
    std::lock_guard lock(impl->mutex);
    impl->perform([&] {
      return impl->run("INSERT INTO orvane_subscriptions(id, content_available) VALUES($1, $2)"
                       " ON CONFLICT(id) DO UPDATE SET content_available = excluded.content_available",
                       Params().text(subscription.subscriptionID).boolean(subscription.shouldSendContentAvailable));
    });
    return subscription;
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKRecord> PostgresCloudKitDatabase::saveRecord(CKRecord record) {
  co_return co_await upsert(std::move(record), CKSavePolicy::allKeys);
}

Task<CKRecord> PostgresCloudKitDatabase::upsert(CKRecord record, CKSavePolicy savePolicy) {
  auto job = [impl = impl_, record = std::move(record), savePolicy] {
    std::lock_guard lock(impl->mutex);
    return impl->perform([&] { return impl->write(record, savePolicy); });
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKRecord> PostgresCloudKitDatabase::fetchRecord(CKRecordID recordID) {
  auto job = [impl = impl_, recordID] {
    std::lock_guard lock(impl->mutex);
    return impl->perform([&] { return impl->fetch(recordID); });
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKRecordID> PostgresCloudKitDatabase::deleteRecord(CKRecordID recordID) {
  auto job = [impl = impl_, recordID] {
    std::lock_guard lock(impl->mutex);
    return impl->perform([&] { return impl->remove(recordID); });
  };
  co_return co_await blocking_->run(std::move(job));
}

Task<CKQueryResult> PostgresCloudKitDatabase::queryRecords(CKQuery query, CKRecordZoneID zoneID) {
  auto job = [impl = impl_, query = std::move(query), zoneID] {
    std::lock_guard lock(impl->mutex);
    return impl->perform([&] { return impl->query(query, zoneID); });
  };
  co_return co_await blocking_->run(std::move(job));
}

}  // namespace orvane
