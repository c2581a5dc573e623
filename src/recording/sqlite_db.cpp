#include "recording/sqlite_db.h"

#include <sqlite3.h>

#include <utility>

namespace tessamer {
namespace {

// Another connection (an export, the delivery's cursor) may hold the write lock a moment.
constexpr int kBusyTimeoutMs = 5000;

}  // namespace

CSqliteStatement::~CSqliteStatement() { sqlite3_finalize(statement); }

CSqliteStatement::CSqliteStatement(CSqliteStatement&& other) noexcept
    : statement(std::exchange(other.statement, nullptr)) {}

CSqliteStatement& CSqliteStatement::operator=(CSqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement);
    statement = std::exchange(other.statement, nullptr);
  }
  return *this;
}

void CSqliteStatement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(statement, index, value);
}

void CSqliteStatement::Bind(int index, std::string_view text) {
  sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void CSqliteStatement::BindNull(int index) { sqlite3_bind_null(statement, index); }

int CSqliteStatement::Step() { return sqlite3_step(statement); }

bool CSqliteStatement::Next() { return Step() == SQLITE_ROW; }

bool CSqliteStatement::Run() {
  int result = SQLITE_ROW;
  while (result == SQLITE_ROW) result = Step();
  const bool done = result == SQLITE_DONE;
  sqlite3_reset(statement);
  return done;
}

void CSqliteStatement::Reset() {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

int64_t CSqliteStatement::Integer(int column) const {
  return sqlite3_column_int64(statement, column);
}

std::string_view CSqliteStatement::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  if (text == nullptr) return {};
  return {text, static_cast<size_t>(sqlite3_column_bytes(statement, column))};
}

bool CSqliteStatement::IsNull(int column) const {
  return sqlite3_column_type(statement, column) == SQLITE_NULL;
}

CSqliteDb::~CSqliteDb() { Close(); }

CSqliteDb::CSqliteDb(CSqliteDb&& other) noexcept
    : db(std::exchange(other.db, nullptr)), openError(std::move(other.openError)) {}

CSqliteDb& CSqliteDb::operator=(CSqliteDb&& other) noexcept {
  if (this != &other) {
    Close();
    db = std::exchange(other.db, nullptr);
    openError = std::move(other.openError);
  }
  return *this;
}

bool CSqliteDb::Open(const std::string& path, bool readOnly) {
  Close();
  const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int result = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (result != SQLITE_OK) {
    openError = SqlError{result, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result)};
    Close();
    return false;
  }
  openError = {};
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return true;
}

void CSqliteDb::Close() {
  sqlite3_close_v2(db);
  db = nullptr;
}

bool CSqliteDb::Execute(const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

CSqliteStatement CSqliteDb::Prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(statement);
    return CSqliteStatement();
  }
  return CSqliteStatement(statement);
}

std::optional<int64_t> CSqliteDb::QueryInteger(const std::string& sql) {
  CSqliteStatement statement = Prepare(sql);
  if (!statement.Valid() || statement.Step() != SQLITE_ROW || statement.IsNull(0)) {
    return std::nullopt;
  }
  return statement.Integer(0);
}

std::optional<std::string> CSqliteDb::QueryText(const std::string& sql) {
  CSqliteStatement statement = Prepare(sql);
  if (!statement.Valid() || statement.Step() != SQLITE_ROW || statement.IsNull(0)) {
    return std::nullopt;
  }
  return std::string(statement.Text(0));
}

int64_t CSqliteDb::Changes() const { return sqlite3_changes64(db); }

int64_t CSqliteDb::LastInsertId() const { return sqlite3_last_insert_rowid(db); }

SqlError CSqliteDb::LastError() const {
  if (db == nullptr) return openError;
  const int code = sqlite3_extended_errcode(db);
  if (code == SQLITE_OK) return {};
  return SqlError{code, sqlite3_errmsg(db)};
}

}  // namespace tessamer
