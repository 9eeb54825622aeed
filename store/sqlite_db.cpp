#include "store/sqlite_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace runtime {

namespace {

// SQLite retries a file it cannot create read-only and reports that retry's
// error ("No such file or directory"); creating the file tells the reason
// (a read-only file system, a denied permission, a full disk).
int CreateFailure(const std::string& path, int sqlite_errno) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0 || errno != ENOENT) return sqlite_errno;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  ::close(fd);
  ::unlink(path.c_str());
  return sqlite_errno;
}

}  // namespace

std::string OpenFailureText(int code, int system_errno, const std::string& message) {
  const int primary = code & 0xFF;
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
    return "corrupt or not a database: " + message;
  }
  std::string text = "cannot open: " + message;
  if (system_errno != 0) text += std::string(" (") + std::strerror(system_errno) + ")";
  return text;
}

SqliteDb::SqliteDb(const std::string& path, int busy_timeout_ms, Access access) : path_(path) {
  const int flags = access == Access::kReadOnly ? SQLITE_OPEN_READONLY
                                                : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int opened = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (opened != SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(opened);
    int system_errno = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
    if (access == Access::kReadWrite) system_errno = CreateFailure(path, system_errno);
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("database " + path + ": " + OpenFailureText(opened, system_errno, reason));
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busy_timeout_ms);
  // A file that is not a database fails at its first read.
  const std::string reason = Probe("SELECT count(*) FROM sqlite_master");
  if (!reason.empty()) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("database " + path + ": " + reason);
  }
  // SQLite opens a file it may not write read-only without saying so.
  if (access == Access::kReadWrite && sqlite3_db_readonly(db_, "main") == 1) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("database " + path +
                     ": cannot open for writing: the file or its file system is read-only");
  }
}

SqliteDb::~SqliteDb() {
  sqlite3_close(db_);
}

std::string SqliteDb::Probe(const char* sql) {
  std::string problems;
  sqlite3_stmt* probe = nullptr;
  int step = sqlite3_prepare_v2(db_, sql, -1, &probe, nullptr);
  int failure = step;
  while (step == SQLITE_OK || step == SQLITE_ROW) {
    step = sqlite3_step(probe);
    if (step != SQLITE_ROW) break;
    // Integrity checks answer "ok" or one line per fault.
    const unsigned char* line = sqlite3_column_text(probe, 0);
    const std::string text = line != nullptr ? reinterpret_cast<const char*>(line) : "";
    if (sqlite3_column_type(probe, 0) != SQLITE_TEXT || text == "ok") continue;
    if (!problems.empty()) problems += "; ";
    problems += text;
  }
  if (step != SQLITE_DONE && step != SQLITE_OK) failure = step;
  std::string reason;
  if (!problems.empty()) {
    reason = "corrupt or not a database: " + problems;
  } else if (failure != SQLITE_OK && failure != SQLITE_DONE) {
    // Not a damaged file when the failure is the disk's or the permissions'.
    reason = OpenFailureText(failure, sqlite3_system_errno(db_), sqlite3_errmsg(db_));
  }
  sqlite3_finalize(probe);
  return reason;
}

void SqliteDb::CheckIntegrity() {
  const std::string reason = Probe("PRAGMA quick_check");
  if (!reason.empty()) throw StoreError("database " + path_ + ": " + reason);
}

void SqliteDb::Exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw StoreError("database " + path_ + ": \"" + sql + "\" failed: " + reason);
  }
}

void SqliteDb::Fail(const std::string& what) const {
  throw StoreError("database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

SqliteStatement::SqliteStatement(SqliteDb& db, const std::string& sql) : db_(db), sql_(sql) {
  if (sqlite3_prepare_v2(db.Handle(), sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
    db.Fail("cannot prepare \"" + sql + "\"");
  }
}

SqliteStatement::~SqliteStatement() {
  sqlite3_finalize(statement_);
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) db_.Fail("bind");
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::string& value) {
  if (sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    db_.Fail("bind");
  }
  return *this;
}

SqliteStatement& SqliteStatement::BindBlob(int index, const unsigned char* data,
                                           std::size_t length) {
  // A zero-length blob is stored as an empty blob, not as NULL.
  static const unsigned char kEmpty = 0;
  if (sqlite3_bind_blob(statement_, index, length != 0 ? data : &kEmpty, static_cast<int>(length),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    db_.Fail("bind");
  }
  return *this;
}

void SqliteStatement::Run() {
  const int result = sqlite3_step(statement_);
  if (result != SQLITE_DONE && result != SQLITE_ROW) {
    const std::string reason = sqlite3_errmsg(db_.Handle());
    Reset();
    throw StoreError("database " + db_.Path() + ": \"" + sql_ + "\" failed: " + reason);
  }
  Reset();
}

bool SqliteStatement::Next() {
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) {
    Reset();
    return false;
  }
  const std::string reason = sqlite3_errmsg(db_.Handle());
  Reset();
  throw StoreError("database " + db_.Path() + ": \"" + sql_ + "\" failed: " + reason);
}

void SqliteStatement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

std::int64_t SqliteStatement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string SqliteStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  const int length = sqlite3_column_bytes(statement_, column);
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text), length) : std::string();
}

std::vector<unsigned char> SqliteStatement::Blob(int column) const {
  const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement_, column));
  const int length = sqlite3_column_bytes(statement_, column);
  if (data == nullptr || length <= 0) return {};
  return std::vector<unsigned char>(data, data + length);
}

SqliteTransaction::SqliteTransaction(SqliteDb& db) : db_(db) {
  db_.Exec("BEGIN IMMEDIATE");
}

SqliteTransaction::~SqliteTransaction() {
  if (done_) return;
  // Nothing of the transaction stays; a failing rollback leaves SQLite to
  // roll back on the next open.
  sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteTransaction::Commit() {
  db_.Exec("COMMIT");
  done_ = true;
}

}  // namespace runtime
