#include "OrvaneServer/auth/Store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "OrvaneServer/auth/Jws.h"

namespace orvane::server {
namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS users(
  id TEXT PRIMARY KEY,
  issuer TEXT NOT NULL,
  subject TEXT NOT NULL,
  created INTEGER NOT NULL,
  UNIQUE(issuer, subject));
CREATE TABLE IF NOT EXISTS sessions(
  token_hash BLOB PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  device_id TEXT NOT NULL,
  role TEXT NOT NULL CHECK(role IN ('mac', 'pad')),
  device_name TEXT NOT NULL,
  created INTEGER NOT NULL,
  UNIQUE(user_id, device_id));
CREATE TABLE IF NOT EXISTS used_invites(
  jti TEXT PRIMARY KEY,
  expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS revoked_sessions(
  token_hash BLOB PRIMARY KEY,
  revoked INTEGER NOT NULL);
PRAGMA user_version = 1;
)sql";

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

}  // namespace

namespace {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

 private:
  friend class Run;
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// One execution of a statement: binds in order, steps, and resets the
// statement when it goes out of scope, whatever happened.
class Run {
 public:
  explicit Run(Statement& s) : db_(s.db_), stmt_(s.stmt_) {}
  ~Run() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Run& text(std::string_view v) {
    return check(sqlite3_bind_text(stmt_, next_++, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  Run& blob(std::string_view v) {
    return check(sqlite3_bind_blob(stmt_, next_++, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  Run& integer(std::int64_t v) { return check(sqlite3_bind_int64(stmt_, next_++, v)); }

  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
  }
  // Runs to completion; the number of rows changed.
  int done() {
    while (step()) {
    }
    return sqlite3_changes(db_);
  }
  std::string column(int i) const {  // text or blob
    const void* data = sqlite3_column_blob(stmt_, i);
    const int size = sqlite3_column_bytes(stmt_, i);
    return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
  }
  std::int64_t columnInt(int i) const { return sqlite3_column_int64(stmt_, i); }

 private:
  Run& check(int rc) {
    if (rc != SQLITE_OK) throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    return *this;
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_;
  int next_ = 1;
};

}  // namespace

struct Store::Statements {
  explicit Statements(sqlite3* db) : db(db) {}
  sqlite3* db;
  Statement begin{db, "BEGIN IMMEDIATE"};
  Statement commit{db, "COMMIT"};
  Statement consumeJti{db, "INSERT INTO used_invites(jti, expires) VALUES(?, ?) ON CONFLICT(jti) DO NOTHING"};
  Statement pruneJtis{db, "DELETE FROM used_invites WHERE expires < ?"};
  Statement findUser{db, "SELECT id FROM users WHERE issuer = ? AND subject = ?"};
  Statement insertUser{db, "INSERT INTO users(id, issuer, subject, created) VALUES(?, ?, ?, ?)"};
  Statement dropDeviceSessions{db, "DELETE FROM sessions WHERE user_id = ? AND device_id = ?"};
  Statement insertSession{
      db, "INSERT INTO sessions(token_hash, user_id, device_id, role, device_name, created) VALUES(?, ?, ?, ?, ?, ?)"};
  Statement findSession{db, "SELECT token_hash, user_id, device_id, role, device_name FROM sessions WHERE token_hash = ?"};
  Statement tombstoneUser{
      db, "INSERT OR IGNORE INTO revoked_sessions(token_hash, revoked) SELECT token_hash, ? FROM sessions WHERE user_id = ?"};
  Statement deleteSessions{db, "DELETE FROM sessions WHERE user_id = ?"};
  Statement deleteUser{db, "DELETE FROM users WHERE id = ?"};
  Statement findTombstone{db, "SELECT token_hash FROM revoked_sessions WHERE token_hash = ?"};
  Statement pruneTombstones{db, "DELETE FROM revoked_sessions WHERE revoked < ?"};
};

void Store::CloseDb::operator()(sqlite3* db) const { sqlite3_close(db); }

void Store::execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : sqlite3_errmsg(db_.get());
    sqlite3_free(message);
    throw std::runtime_error("database: " + text);
  }
}

// Runs fn in a write transaction; fn returns {commit?, result}. An exception
// or a "no" rolls everything back.
template <typename Fn>
auto Store::inTransaction(Fn&& fn) {
  Run(q_->begin).done();
  try {
    auto [keep, result] = fn();
    if (keep) {
      Run(q_->commit).done();
    } else {
      execute("ROLLBACK");
    }
    return result;
  } catch (...) {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

Store::Store(const std::filesystem::path& file) {
  using Kind = StoreError::Kind;
  // SQLite would create the file with the umask's mode; it must be private,
  // and the -wal and -shm files SQLite adds copy this file's mode.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw StoreError(Kind::cannotOpen, "cannot open the database " + file.string() + ": " + std::strerror(errno));
  }
  ::close(fd);
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  db_.reset(db);
  if (rc != SQLITE_OK) {
    throw StoreError(Kind::cannotOpen, "cannot open the database " + file.string() + ": " +
                                           (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  try {
    checkFile(file);
  } catch (const StoreError&) {
    throw;
  } catch (const std::exception& e) {
    const int code = sqlite3_errcode(db) & 0xFF;
    const Kind kind = code == SQLITE_NOTADB ? Kind::notADatabase : code == SQLITE_CORRUPT ? Kind::corrupt : Kind::cannotOpen;
    throw StoreError(kind, "the database " + file.string() + " cannot be used: " + e.what());
  }
}

// Sets the connection up and creates the schema in an empty file; refuses
// anything else that is not our schema, without changing it.
// Creates the schema in an empty file, and refuses anything else that is not
// our schema before changing a byte of it (WAL mode alone rewrites the header).
void Store::checkFile(const std::filesystem::path& file) {
  using Kind = StoreError::Kind;
  const auto readSchema = [&] {
    Statement version(db_.get(), "PRAGMA user_version");
    Statement objects(db_.get(), "SELECT count(*) FROM sqlite_schema");
    Run v(version), o(objects);
    const std::int64_t found = v.step() ? v.columnInt(0) : 0;
    if (found > kSchemaVersion) {
      throw StoreError(Kind::newerVersion, "the database " + file.string() + " was written by a newer orvane-signal");
    }
    if (found == 0 && o.step() && o.columnInt(0) != 0) {
      throw StoreError(Kind::foreignSchema, "the file " + file.string() + " holds another program's database");
    }
    return found;
  };
  {
    Statement check(db_.get(), "PRAGMA quick_check(1)");
    Run row(check);
    if (!row.step() || row.column(0) != "ok") {
      throw StoreError(Kind::corrupt, "the database " + file.string() + " is damaged: " + row.column(0));
    }
  }
  const auto tablesMissing = [&](const std::exception& e) {
    return StoreError(Kind::foreignSchema, "the database " + file.string() + " has other tables than ours: " + e.what());
  };
  if (readSchema() == kSchemaVersion) {
    try {
      Statements probe(db_.get());
    } catch (const std::exception& e) {
      throw tablesMissing(e);
    }
  }
  execute("PRAGMA journal_mode = WAL; PRAGMA foreign_keys = ON;");
  execute("BEGIN IMMEDIATE");
  try {
    if (readSchema() == 0) execute(kSchema);  // again: another process may have been first
    execute("COMMIT");
  } catch (...) {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  try {
    q_ = std::make_unique<Statements>(db_.get());
  } catch (const std::exception& e) {
    throw tablesMissing(e);
  }
}

Store::~Store() = default;

std::optional<std::string> Store::issueSession(const Grant& g) {
  return inTransaction([&]() -> std::pair<bool, std::optional<std::string>> {
    if (!g.jti.empty()) {
      Run(q_->pruneJtis).integer(g.now - kUsedInviteGrace).done();
      if (Run(q_->consumeJti).text(g.jti).integer(g.jtiExpires).done() == 0) return {false, std::nullopt};
    }
    std::string userId;
    {
      Run find(q_->findUser);
      find.text(g.issuer).text(g.subject);
      if (find.step()) userId = find.column(0);
    }
    if (userId.empty()) {
      userId = hex(jws::randomBytes(16));
      Run(q_->insertUser).text(userId).text(g.issuer).text(g.subject).integer(g.now).done();
    }
    Run(q_->dropDeviceSessions).text(userId).text(g.deviceId).done();
    Run(q_->insertSession)
        .blob(g.tokenHash)
        .text(userId)
        .text(g.deviceId)
        .text(g.role)
        .text(g.deviceName)
        .integer(g.now)
        .done();
    return {true, std::move(userId)};
  });
}

std::optional<SessionIdentity> Store::findSession(std::string_view tokenHash) {
  Run find(q_->findSession);
  find.blob(tokenHash);
  // The index found the row; the digest is still compared in constant time.
  if (!find.step() || !jws::constantTimeEqual(find.column(0), tokenHash)) return std::nullopt;
  return SessionIdentity{find.column(1), find.column(2), find.column(3), find.column(4)};
}

Store::DeleteResult Store::deleteAccount(std::string_view tokenHash, std::int64_t now) {
  return inTransaction([&]() -> std::pair<bool, DeleteResult> {
    std::string userId;
    {
      Run find(q_->findSession);
      find.blob(tokenHash);
      if (find.step() && jws::constantTimeEqual(find.column(0), tokenHash)) userId = find.column(1);
    }
    if (userId.empty()) {
      Run tomb(q_->findTombstone);
      tomb.blob(tokenHash);
      const bool gone = tomb.step() && jws::constantTimeEqual(tomb.column(0), tokenHash);
      return {false, {gone ? Deletion::alreadyGone : Deletion::unknownToken, {}}};
    }
    Run(q_->pruneTombstones).integer(now - kTombstoneSeconds).done();
    Run(q_->tombstoneUser).integer(now).text(userId).done();
    Run(q_->deleteSessions).text(userId).done();
    Run(q_->deleteUser).text(userId).done();
    return {true, {Deletion::deleted, std::move(userId)}};
  });
}

}  // namespace orvane::server
