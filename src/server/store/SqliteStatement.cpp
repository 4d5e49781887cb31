#include "SqliteStatement.h"

#include <sqlite3.h>

namespace zorva {

namespace {

// Another connection writing (a login on a worker, the operator's edit) holds the write lock for
// milliseconds; waiting this long before calling the database locked is generous.
constexpr int kBusyTimeoutMs = 5000;

}  // namespace

TSqliteConnection::TSqliteConnection(const std::string& path, const char* setup) : FPath(path) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &FHandle, flags, nullptr) != SQLITE_OK) {
    const std::string reason = FHandle ? sqlite3_errmsg(FHandle) : "out of memory";
    sqlite3_close(FHandle);
    throw EDatabaseError("User database " + path + ": cannot open: " + reason);
  }
  sqlite3_extended_result_codes(FHandle, 1);
  sqlite3_busy_timeout(FHandle, kBusyTimeoutMs);
  try {
    Execute(setup);
  } catch (...) {
    sqlite3_close(FHandle);
    throw;
  }
}

TSqliteConnection::~TSqliteConnection() {
  sqlite3_close(FHandle);
}

void TSqliteConnection::Execute(const char* sql) {
  if (sqlite3_exec(FHandle, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
}

void TSqliteConnection::Rollback() noexcept {
  if (!sqlite3_get_autocommit(FHandle))
    sqlite3_exec(FHandle, "ROLLBACK", nullptr, nullptr, nullptr);
}

int TSqliteConnection::Changes() const {
  return sqlite3_changes(FHandle);
}

void TSqliteConnection::Fail() const {
  throw EDatabaseError("User database " + FPath + ": " + sqlite3_errmsg(FHandle));
}

TSqliteStatement::TSqliteStatement(TSqliteConnection& connection, const char* sql)
    : FConnection(connection) {
  if (sqlite3_prepare_v3(connection.Handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &FHandle,
                         nullptr) != SQLITE_OK) {
    connection.Fail();
  }
}

TSqliteStatement::~TSqliteStatement() {
  sqlite3_finalize(FHandle);
}

TSqliteStatement::TRun::~TRun() {
  sqlite3_reset(FStatement.FHandle);
  sqlite3_clear_bindings(FStatement.FHandle);
}

void TSqliteStatement::TRun::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text(FStatement.FHandle, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    FStatement.FConnection.Fail();
  }
}

void TSqliteStatement::TRun::BindBlob(int index, std::string_view bytes) {
  // An empty picture is stored as NULL, which other tools read as "no picture".
  const int result = bytes.empty()
                         ? sqlite3_bind_null(FStatement.FHandle, index)
                         : sqlite3_bind_blob(FStatement.FHandle, index, bytes.data(),
                                             static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  if (result != SQLITE_OK) FStatement.FConnection.Fail();
}

void TSqliteStatement::TRun::Bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(FStatement.FHandle, index, value) != SQLITE_OK) {
    FStatement.FConnection.Fail();
  }
}

bool TSqliteStatement::TRun::Step() {
  const int result = sqlite3_step(FStatement.FHandle);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) return false;
  FStatement.FConnection.Fail();
}

std::string TSqliteStatement::TRun::Text(int column) const {
  const auto* text = sqlite3_column_text(FStatement.FHandle, column);
  if (!text) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<std::size_t>(sqlite3_column_bytes(FStatement.FHandle, column))};
}

std::string_view TSqliteStatement::TRun::Blob(int column) const {
  const void* bytes = sqlite3_column_blob(FStatement.FHandle, column);
  if (!bytes) return {};
  return {static_cast<const char*>(bytes),
          static_cast<std::size_t>(sqlite3_column_bytes(FStatement.FHandle, column))};
}

std::int64_t TSqliteStatement::TRun::Int(int column) const {
  return sqlite3_column_int64(FStatement.FHandle, column);
}

}  // namespace zorva
