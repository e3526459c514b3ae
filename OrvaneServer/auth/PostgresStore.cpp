#include "OrvaneServer/auth/PostgresStore.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneServer/auth/Jws.h"

namespace orvane::server {
namespace {

constexpr int kSchemaVersion = 1;
constexpr const char* kVersionTable = "orvane_signal_version";
// Serialises schema creation between instances starting on one empty database.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7022365447163113)";

constexpr const char* kSchema = R"sql(
CREATE TABLE users(
  id TEXT PRIMARY KEY,
  issuer TEXT NOT NULL,
  subject TEXT NOT NULL,
  created BIGINT NOT NULL,
  UNIQUE(issuer, subject));
CREATE TABLE sessions(
  token_hash BYTEA PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  device_id TEXT NOT NULL,
  role TEXT NOT NULL CHECK(role IN ('mac', 'pad')),
  device_name TEXT NOT NULL,
  created BIGINT NOT NULL,
  UNIQUE(user_id, device_id));
CREATE TABLE used_invites(
  jti TEXT PRIMARY KEY,
  expires BIGINT NOT NULL);
CREATE TABLE revoked_sessions(
  token_hash BYTEA PRIMARY KEY,
  revoked BIGINT NOT NULL);
CREATE TABLE orvane_signal_version(version INTEGER NOT NULL);
INSERT INTO orvane_signal_version(version) VALUES(1);
)sql";

// Parameter types, one letter each: t text, b bytea, i bigint. Every value is
// sent in binary, so text with a NUL byte is refused rather than cut short.
struct PreparedSql {
  const char* name;
  const char* types;
  const char* sql;
};

constexpr std::array kStatements = {
    PreparedSql{"prune_jtis", "i", "DELETE FROM used_invites WHERE expires < $1"},
    PreparedSql{"consume_jti", "ti",
                  "INSERT INTO used_invites(jti, expires) VALUES($1, $2) ON CONFLICT (jti) DO NOTHING"},
    // Two instances creating one user: the loser waits for the winner's
    // commit, inserts nothing, and its next statement sees the winner's row.
    PreparedSql{"insert_user", "ttti",
                  "INSERT INTO users(id, issuer, subject, created) VALUES($1, $2, $3, $4) "
                  "ON CONFLICT (issuer, subject) DO NOTHING"},
    PreparedSql{"find_user", "tt", "SELECT id FROM users WHERE issuer = $1 AND subject = $2"},
    PreparedSql{"put_session", "btttti",
                  "INSERT INTO sessions(token_hash, user_id, device_id, role, device_name, created) "
                  "VALUES($1, $2, $3, $4, $5, $6) ON CONFLICT (user_id, device_id) DO UPDATE SET "
                  "token_hash = EXCLUDED.token_hash, role = EXCLUDED.role, device_name = EXCLUDED.device_name, "
                  "created = EXCLUDED.created"},
    PreparedSql{"find_session", "b",
                  "SELECT token_hash, user_id, device_id, role, device_name FROM sessions WHERE token_hash = $1"},
    PreparedSql{"lock_user", "t", "SELECT id FROM users WHERE id = $1 FOR UPDATE"},
    PreparedSql{"prune_tombstones", "i", "DELETE FROM revoked_sessions WHERE revoked < $1"},
    PreparedSql{"tombstone_user", "it",
                  "INSERT INTO revoked_sessions(token_hash, revoked) SELECT token_hash, $1 FROM sessions "
                  "WHERE user_id = $2 ON CONFLICT (token_hash) DO NOTHING"},
    PreparedSql{"delete_sessions", "t", "DELETE FROM sessions WHERE user_id = $1"},
    PreparedSql{"delete_user", "t", "DELETE FROM users WHERE id = $1"},
    PreparedSql{"find_tombstone", "b", "SELECT token_hash FROM revoked_sessions WHERE token_hash = $1"},
};

Oid oidOf(char type) {
  switch (type) {
    case 'b':
      return 17;  // bytea
    case 'i':
      return 20;  // int8
    default:
      return 25;  // text
  }
}

const PreparedSql& statementNamed(std::string_view name) {
  for (const PreparedSql& s : kStatements) {
    if (name == s.name) return s;
  }
  throw std::logic_error("unknown statement");
}

struct ClearResult {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

bool succeeded(const PGresult* r) {
  const ExecStatusType status = PQresultStatus(r);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string trimmed(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "unknown error" : text;
}

// The primary message only: the detail lines can quote key values, such as a
// user's name, that have no place in a log.
std::string errorText(const PGresult* r, const PGconn* conn) {
  const char* primary = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  return trimmed(primary != nullptr ? primary : PQerrorMessage(conn));
}

std::string sqlstateOf(const PGresult* r) {
  const char* state = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  return state != nullptr ? state : "";
}

// Lost connection, server shutting down, or a call over its time budget.
bool meansUnavailable(std::string_view sqlstate) {
  return sqlstate.starts_with("08") || sqlstate.starts_with("57P") || sqlstate == "57014";
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

const Clock& clockOr(const Clock* clock) {
  static const SystemClock system;
  return clock != nullptr ? *clock : system;
}

}  // namespace

// One execution of a prepared statement with its parameters bound in order.
class PostgresStore::Query {
 public:
  Query(PostgresStore& store, const char* name) : store_(store), sql_(statementNamed(name)) {}

  Query& text(std::string_view v) { return bind(v, 't'); }
  Query& blob(std::string_view v) { return bind(v, 'b'); }
  Query& integer(std::int64_t v) {
    std::string bytes(8, '\0');
    const auto bits = static_cast<std::uint64_t>(v);
    for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<char>(bits >> (56 - 8 * i));  // big-endian
    return bind(bytes, 'i');
  }

  // Runs it; the rows are read with rows() and column().
  Query& run() {
    if (values_.size() != std::strlen(sql_.types)) throw std::logic_error("parameter count");
    std::vector<const char*> pointers;
    std::vector<int> lengths;
    std::vector<int> formats(values_.size(), 1);
    for (const std::string& v : values_) {
      pointers.push_back(v.data());
      lengths.push_back(static_cast<int>(v.size()));
    }
    PGconn* conn = store_.connection();
    result_.reset(PQexecPrepared(conn, sql_.name, static_cast<int>(values_.size()), pointers.data(), lengths.data(),
                                 formats.data(), 1));
    if (!result_ || !succeeded(result_.get())) store_.fail(errorText(result_.get(), conn), sqlstateOf(result_.get()));
    return *this;
  }
  int rows() const { return PQntuples(result_.get()); }
  int changed() const {
    const char* text = PQcmdTuples(result_.get());
    return text != nullptr && *text != '\0' ? std::atoi(text) : 0;
  }
  std::string column(int row, int col) const {
    const auto size = static_cast<std::size_t>(PQgetlength(result_.get(), row, col));
    return std::string(PQgetvalue(result_.get(), row, col), size);
  }

 private:
  Query& bind(std::string_view v, char type) {
    const char expected = sql_.types[values_.size()];
    if (expected == '\0' || oidOf(expected) != oidOf(type)) throw std::logic_error("parameter type");
    values_.emplace_back(v);
    return *this;
  }

  PostgresStore& store_;
  const PreparedSql& sql_;
  std::vector<std::string> values_;
  Result result_;
};

void PostgresStore::CloseConn::operator()(PGconn* conn) const { PQfinish(conn); }

PostgresStore::PostgresStore(PostgresOptions options)
    : options_(std::move(options)), clock_(clockOr(options_.clock)) {
  connect();
}

PostgresStore::~PostgresStore() = default;

void PostgresStore::fail(const std::string& what, std::string_view sqlstate) {
  if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK || meansUnavailable(sqlstate)) {
    conn_.reset();  // the next call starts afresh, at once
    throw StoreError(StoreError::Kind::unavailable, "database unavailable: " + what);
  }
  throw std::runtime_error("database: " + what);
}

PGconn* PostgresStore::connection() {
  if (conn_ && PQstatus(conn_.get()) == CONNECTION_OK) return conn_.get();
  conn_.reset();
  if (clock_.uptime() < retryAt_) {
    throw StoreError(StoreError::Kind::unavailable, "database unavailable: waiting before reconnecting");
  }
  try {
    connect();
  } catch (const StoreError& e) {
    conn_.reset();
    backoff_ = backoff_.count() == 0 ? options_.firstBackoff : std::min(backoff_ * 2, options_.maxBackoff);
    retryAt_ = clock_.uptime() + std::chrono::duration<double>(backoff_).count();
    if (e.kind() == StoreError::Kind::cannotOpen) throw StoreError(StoreError::Kind::unavailable, e.what());
    throw;
  }
  backoff_ = {};
  return conn_.get();
}

void PostgresStore::connect() {
  using Kind = StoreError::Kind;
  const std::string connectTimeout = std::to_string(std::max<long long>(2, options_.connectTimeout.count()));
  // Ours first: what the URL itself says wins.
  const std::array<const char*, 9> keys = {"connect_timeout", "application_name", "client_encoding", "keepalives",
                                           "keepalives_idle", "keepalives_interval", "keepalives_count", "dbname",
                                           nullptr};
  const std::array<const char*, 9> values = {connectTimeout.c_str(), "orvane-signal", "UTF8", "1", "10", "5", "3",
                                             options_.url.c_str(), nullptr};
  conn_.reset(PQconnectdbParams(keys.data(), values.data(), 1));
  if (!conn_) throw StoreError(Kind::cannotOpen, "cannot reach the database: out of memory");
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    // Never the URL: it may hold a password.
    const std::string message = trimmed(PQerrorMessage(conn_.get()));
    conn_.reset();
    throw StoreError(Kind::cannotOpen, "cannot reach the database: " + message);
  }
  try {
    const std::string settings = "SET statement_timeout = " + std::to_string(options_.statementTimeout.count()) +
                                 "; SET client_min_messages = warning";
    execute(settings.c_str());
    checkSchema();
    prepareStatements();
  } catch (const StoreError& e) {
    conn_.reset();
    throw StoreError(e.kind() == Kind::unavailable ? Kind::cannotOpen : e.kind(), e.what());
  } catch (const std::exception& e) {
    conn_.reset();
    throw StoreError(Kind::cannotOpen, std::string("cannot use the database: ") + e.what());
  }
}

void PostgresStore::execute(const char* sql) {
  Result r(PQexec(conn_.get(), sql));
  if (!r || !succeeded(r.get())) fail(errorText(r.get(), conn_.get()), sqlstateOf(r.get()));
}

std::string PostgresStore::scalar(const char* sql) {
  Result r(PQexec(conn_.get(), sql));
  if (!r || !succeeded(r.get())) fail(errorText(r.get(), conn_.get()), sqlstateOf(r.get()));
  return PQntuples(r.get()) > 0 && !PQgetisnull(r.get(), 0, 0) ? PQgetvalue(r.get(), 0, 0) : "";
}

// Creates the schema in an empty database and refuses anything else that is
// not our schema, without changing it.
void PostgresStore::checkSchema() {
  using Kind = StoreError::Kind;
  execute("BEGIN");
  try {
    execute(kSchemaLock);
    const bool versioned = scalar("SELECT to_regclass('orvane_signal_version') IS NOT NULL") == "t";
    if (versioned) {
      const std::string found = scalar("SELECT max(version) FROM orvane_signal_version");
      if (found.empty() || found == "0") {
        throw StoreError(Kind::foreignSchema, std::string("the database's ") + kVersionTable + " table is empty");
      }
      if (std::stoll(found) > kSchemaVersion) {
        throw StoreError(Kind::newerVersion, "the database was written by a newer orvane-signal");
      }
    } else {
      if (scalar("SELECT count(*) FROM pg_tables WHERE schemaname = current_schema()") != "0") {
        throw StoreError(Kind::foreignSchema, "the database holds another program's tables");
      }
      execute(kSchema);
    }
    execute("COMMIT");
  } catch (...) {
    if (conn_ && PQstatus(conn_.get()) == CONNECTION_OK) PQclear(PQexec(conn_.get(), "ROLLBACK"));
    throw;
  }
}

void PostgresStore::prepareStatements() {
  for (const PreparedSql& s : kStatements) {
    std::vector<Oid> types;
    for (const char* t = s.types; *t != '\0'; ++t) types.push_back(oidOf(*t));
    Result r(PQprepare(conn_.get(), s.name, s.sql, static_cast<int>(types.size()), types.data()));
    if (!r || !succeeded(r.get())) {
      const std::string message = errorText(r.get(), conn_.get());
      const std::string state = sqlstateOf(r.get());
      // Undefined table or column: our version row over someone else's tables.
      if (state.starts_with("42")) {
        throw StoreError(StoreError::Kind::foreignSchema, "the database has other tables than ours: " + message);
      }
      fail(message, state);
    }
  }
}

// Runs fn in a transaction; fn returns {commit?, result}. An exception or a
// "no" rolls everything back. A lost COMMIT leaves the outcome unknown to the
// caller, as with any remote database; it is reported as unavailable.
template <typename Fn>
auto PostgresStore::inTransaction(Fn&& fn) {
  connection();
  execute("BEGIN");
  try {
    auto [keep, result] = fn();
    execute(keep ? "COMMIT" : "ROLLBACK");
    return result;
  } catch (...) {
    if (conn_ && PQstatus(conn_.get()) == CONNECTION_OK) PQclear(PQexec(conn_.get(), "ROLLBACK"));
    throw;
  }
}

std::optional<std::string> PostgresStore::issueSession(const Grant& g) {
  return inTransaction([&]() -> std::pair<bool, std::optional<std::string>> {
    if (!g.jti.empty()) {
      Query(*this, "prune_jtis").integer(g.now - kUsedInviteGrace).run();
      // The unique key decides: a racing instance's insert waits for ours and then inserts nothing.
      if (Query(*this, "consume_jti").text(g.jti).integer(g.jtiExpires).run().changed() == 0) {
        return {false, std::nullopt};
      }
    }
    Query(*this, "insert_user").text(hex(jws::randomBytes(16))).text(g.issuer).text(g.subject).integer(g.now).run();
    Query find(*this, "find_user");
    if (find.text(g.issuer).text(g.subject).run().rows() != 1) {
      throw std::runtime_error("database: the user vanished while signing in");
    }
    std::string userId = find.column(0, 0);
    Query(*this, "put_session")
        .blob(g.tokenHash)
        .text(userId)
        .text(g.deviceId)
        .text(g.role)
        .text(g.deviceName)
        .integer(g.now)
        .run();
    return {true, std::move(userId)};
  });
}

std::optional<SessionIdentity> PostgresStore::findSession(std::string_view tokenHash) {
  Query find(*this, "find_session");
  find.blob(tokenHash).run();
  // The index found the row; the digest is still compared in constant time.
  if (find.rows() != 1 || !jws::constantTimeEqual(find.column(0, 0), tokenHash)) return std::nullopt;
  return SessionIdentity{find.column(0, 1), find.column(0, 2), find.column(0, 3), find.column(0, 4)};
}

PostgresStore::DeleteResult PostgresStore::deleteAccount(std::string_view tokenHash, std::int64_t now) {
  return inTransaction([&]() -> std::pair<bool, DeleteResult> {
    std::string userId;
    {
      Query find(*this, "find_session");
      find.blob(tokenHash).run();
      if (find.rows() == 1 && jws::constantTimeEqual(find.column(0, 0), tokenHash)) userId = find.column(0, 1);
    }
    // Another instance deleting the same account first leaves no user to lock.
    if (userId.empty() || Query(*this, "lock_user").text(userId).run().rows() == 0) {
      Query tomb(*this, "find_tombstone");
      tomb.blob(tokenHash).run();
      const bool gone = tomb.rows() == 1 && jws::constantTimeEqual(tomb.column(0, 0), tokenHash);
      return {false, {gone ? Deletion::alreadyGone : Deletion::unknownToken, {}}};
    }
    Query(*this, "prune_tombstones").integer(now - kTombstoneSeconds).run();
    Query(*this, "tombstone_user").integer(now).text(userId).run();
    Query(*this, "delete_sessions").text(userId).run();
    Query(*this, "delete_user").text(userId).run();
    return {true, {Deletion::deleted, std::move(userId)}};
  });
}

}  // namespace orvane::server
