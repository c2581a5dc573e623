#pragma once
// A small RAII face of SQLite's C API: one connection (CSqliteDb) and its prepared statements
// (CSqliteStatement). Errors are values: an operation returns false (or SQLite's result code)
// and the connection keeps the last error's code and text.
//
// Threads: a connection and its statements are used by one thread at a time; the owner says
// which. A statement must not outlive its connection.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tessamer {

// A failure as SQLite says it: its (extended) result code and its text.
struct SqlError {
  int code = 0;
  std::string text;
};

class CSqliteStatement {
 public:
  CSqliteStatement() = default;
  ~CSqliteStatement();
  CSqliteStatement(CSqliteStatement&& other) noexcept;
  CSqliteStatement& operator=(CSqliteStatement&& other) noexcept;
  CSqliteStatement(const CSqliteStatement&) = delete;
  CSqliteStatement& operator=(const CSqliteStatement&) = delete;

  bool Valid() const { return statement != nullptr; }
  // Parameters count from 1. Text is copied by SQLite.
  void Bind(int index, int64_t value);
  void Bind(int index, std::string_view text);
  void BindNull(int index);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  // Steps to the next row; false at the end or on an error.
  bool Next();
  // Steps until done; false on an error.
  bool Run();
  // Ready to run again, bindings cleared.
  void Reset();

  int64_t Integer(int column) const;
  std::string_view Text(int column) const;  // valid until the next Step or Reset
  bool IsNull(int column) const;

 private:
  friend class CSqliteDb;
  explicit CSqliteStatement(sqlite3_stmt* statement) : statement(statement) {}

  sqlite3_stmt* statement = nullptr;
};

class CSqliteDb {
 public:
  CSqliteDb() = default;
  ~CSqliteDb();  // finalises nothing: the statements must be gone
  CSqliteDb(CSqliteDb&& other) noexcept;
  CSqliteDb& operator=(CSqliteDb&& other) noexcept;
  CSqliteDb(const CSqliteDb&) = delete;
  CSqliteDb& operator=(const CSqliteDb&) = delete;

  // Opens `path`, made if missing unless `readOnly`. False with LastError() when it cannot.
  bool Open(const std::string& path, bool readOnly);
  void Close();
  bool IsOpen() const { return db != nullptr; }

  // Runs one or more statements without results.
  bool Execute(const std::string& sql);
  // A statement ready to bind and step; an invalid one (and LastError()) when the text is wrong.
  CSqliteStatement Prepare(const std::string& sql);
  // The first column of the first row of `sql`; none when there is no row or on an error.
  std::optional<int64_t> QueryInteger(const std::string& sql);
  std::optional<std::string> QueryText(const std::string& sql);
  int64_t Changes() const;       // rows the last statement changed
  int64_t LastInsertId() const;  // the row the last INSERT made

  // The connection's last error (code 0 when there was none); after a failed Open, its error.
  SqlError LastError() const;

 private:
  sqlite3* db = nullptr;
  SqlError openError;  // why the last Open failed
};

}  // namespace tessamer
