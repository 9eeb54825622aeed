#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace runtime {

// A database failure; the message names the file and SQLite's reason.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Why a database cannot be opened, from SQLite's result code, the system's
// errno and SQLite's message: "corrupt or not a database: MESSAGE" only for a
// file whose content is wrong, else "cannot open: MESSAGE (ERRNO TEXT)", so
// that a full disk, a read-only file system or a denied permission is named
// as such.
std::string OpenFailureText(int code, int system_errno, const std::string& message);

// One open SQLite connection. Failures throw StoreError.
class SqliteDb {
 public:
  enum class Access {
    kReadWrite,  // opens or creates the file for writing
    kReadOnly,   // opens an existing file; nothing is ever written to it
  };
  // Opens the file and checks that it is a database (its first page); the
  // whole file is checked only by CheckIntegrity.
  SqliteDb(const std::string& path, int busy_timeout_ms, Access access = Access::kReadWrite);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // Reads every page (PRAGMA quick_check); a damaged file throws with what
  // is wrong. Costs a read of the whole file: seconds on an SD card.
  void CheckIntegrity();
  void Exec(const std::string& sql);
  sqlite3* Handle() const { return db_; }
  const std::string& Path() const { return path_; }
  // "database PATH: WHAT: REASON", REASON being SQLite's last error text.
  [[noreturn]] void Fail(const std::string& what) const;

 private:
  // Runs `sql` to its end; why it failed or what it reported wrong, empty
  // when nothing.
  std::string Probe(const char* sql);

  sqlite3* db_ = nullptr;
  std::string path_;
};

// A prepared statement, reset for reuse after every Run or row loop.
class SqliteStatement {
 public:
  SqliteStatement(SqliteDb& db, const std::string& sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  // Binds by 1-based index.
  SqliteStatement& Bind(int index, std::int64_t value);
  SqliteStatement& Bind(int index, const std::string& value);
  SqliteStatement& BindBlob(int index, const unsigned char* data, std::size_t length);

  // Runs a statement that returns no rows.
  void Run();
  // Steps to the next row; false (and the statement reset) when there is none.
  bool Next();
  void Reset();

  std::int64_t Int(int column) const;
  std::string Text(int column) const;
  std::vector<unsigned char> Blob(int column) const;

 private:
  SqliteDb& db_;
  sqlite3_stmt* statement_ = nullptr;
  std::string sql_;
};

// BEGIN IMMEDIATE on construction; rolled back unless Commit was called.
class SqliteTransaction {
 public:
  explicit SqliteTransaction(SqliteDb& db);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;

  void Commit();

 private:
  SqliteDb& db_;
  bool done_ = false;
};

}  // namespace runtime
